"""The CPython interpreters the wheels are built for and tested on: the newest release of each minor
version among pyenv's versions ($PYENV_ROOT, else `pyenv root`, else ~/.pyenv). Run as a script, it
prints "<tag> <interpreter>" a line for each one found, and says on standard error which are missing."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, Optional

VERSIONS = ("3.10", "3.11", "3.12", "3.13")


def pyenv_root() -> Path:
    if os.environ.get("PYENV_ROOT"):
        return Path(os.environ["PYENV_ROOT"])
    pyenv = shutil.which("pyenv")
    if pyenv:
        answer = subprocess.run([pyenv, "root"], capture_output=True, text=True, timeout=60)
        if answer.returncode == 0 and answer.stdout.strip():
            return Path(answer.stdout.strip())
    return Path.home() / ".pyenv"


def tag(version: str) -> str:
    return "cp" + version.replace(".", "")


def interpreters() -> Dict[str, Optional[Path]]:
    """Each version's interpreter, or None. Free-threaded and development builds (3.13.0t, 3.13-dev)
    are left out: their wheels would be others."""
    versions = pyenv_root() / "versions"
    found: Dict[str, Optional[Path]] = {}
    for version in VERSIONS:
        releases = sorted((int(folder.name.rsplit(".", 1)[1]), folder) for folder in versions.glob(version + ".*")
                          if re.fullmatch(re.escape(version) + r"\.\d+", folder.name))
        pythons = [folder / "bin" / f"python{version}" for _, folder in releases]
        found[version] = next((python for python in reversed(pythons) if os.access(python, os.X_OK)), None)
    return found


def missing(version: str) -> str:
    return f"no CPython {version} in {pyenv_root() / 'versions'}: its wheel is skipped"


if __name__ == "__main__":
    for version, python in interpreters().items():
        if python:
            print(tag(version), python)
        else:
            print(missing(version), file=sys.stderr)
