"""Prints the package's requirements, one a line (for `pip install -r`): the runtime ones, or
with an argument those of that extra."""
import sys
from pathlib import Path

if sys.version_info >= (3, 11):
    import tomllib
else:  # the build backend brings tomli
    import tomli as tomllib

project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())["project"]
print("\n".join(project["optional-dependencies"][sys.argv[1]] if len(sys.argv) > 1 else project["dependencies"]))
