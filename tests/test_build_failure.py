"""Building from source without a usable C++ compiler stops with one plain line naming what to install."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
ADVICE = "vela_experiment_tracking needs a C++17 compiler to build from source"

# A compiler from before C++17: it refuses -std=c++17.
OLD_COMPILER = """#!/bin/sh
for argument in "$@"; do
  [ "$argument" = "-std=c++17" ] && { echo "g++: error: unrecognized command line option '-std=c++17'" >&2; exit 1; }
done
exit 0
"""


@pytest.fixture
def old_compiler(tmp_path):
    compiler = tmp_path / "g++-6"
    compiler.write_text(OLD_COMPILER)
    compiler.chmod(0o755)
    return str(compiler)


@pytest.mark.parametrize("compiler", ["missing", "too old"])
def test_source_build_without_cxx17_compiler_says_what_to_install(compiler, old_compiler, tmp_path, monkeypatch):
    monkeypatch.setenv("CXX", old_compiler if compiler == "too old" else str(tmp_path / "no-such-g++"))

    result = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--target",
                             str(tmp_path / "site"), "-C", f"build-dir={tmp_path / 'build'}", str(ROOT)],
                            capture_output=True, text=True, timeout=300)

    output = result.stdout + result.stderr
    assert result.returncode != 0
    (advice,) = [line.strip() for line in output.splitlines() if ADVICE in line]
    assert "apt-get install g++" in advice and "prebuilt wheel" in advice
    assert output.index(ADVICE) < output.index("CMake Error")
    assert "CMAKE_CXX_COMPILER" not in output
