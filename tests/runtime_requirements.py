"""Prints the package's runtime requirements, one a line (for `pip download -r`)."""
import sys
from pathlib import Path

if sys.version_info >= (3, 11):
    import tomllib
else:  # the build backend brings tomli
    import tomli as tomllib

pyproject = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
print("\n".join(pyproject["project"]["dependencies"]))
