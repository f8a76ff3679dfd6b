"""Prints the package's runtime requirements and those of the extras named as arguments, one a
line (for `pip install -r`)."""
import sys
from pathlib import Path

if sys.version_info >= (3, 11):
    import tomllib
else:  # the build backend brings tomli
    import tomli as tomllib

project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())["project"]
requirements = list(project["dependencies"])
for extra in sys.argv[1:]:
    requirements += project["optional-dependencies"][extra]
print("\n".join(requirements))
