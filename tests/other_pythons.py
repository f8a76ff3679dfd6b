"""Builds the package for each supported CPython the machine has and runs the runtime's tests there.

Usage: `other_pythons.py [VERSION ...]` (default: every supported version but the running one's, which the
main test run covers). Each version gets a virtual
environment in build/python-VERSION and the package built there from this checkout; a version the machine
lacks is skipped with the reason. Prints each version's pytest summary and exits 1 when any failed.
"""
import glob
import hashlib
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SUPPORTED = ["3.10", "3.11", "3.12", "3.13"]
TESTS = ["tests/test_runtime.py", "tests/test_robustness.py", "tests/entities", "tests/test_substitution.py",
         "tests/auth/test_oidc.py", "tests/e2e/test_daemon_exit.py::test_threads_ended_after_the_thread_states_are_gone"]
TEST_TOOLS = ["pytest>=8", "hypothesis>=6.100", "scikit-build-core>=0.10", "pybind11>=2.12", "tomli; python_version<'3.11'"]


def interpreter(version):
    """The newest pyenv interpreter of `version`, or None."""
    root = os.environ.get("PYENV_ROOT") or str(Path.home() / ".pyenv")
    found = sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"),
                   key=lambda path: [int(part) for part in Path(path).parts[-3].split(".") if part.isdigit()])
    return found[-1] if found else None


def run(*command, **options):
    subprocess.run(command, check=True, cwd=ROOT, **options)


def prepared_environment(version, python):
    """A venv with the runtime dependencies and the test tools, made again when pyproject.toml changes."""
    folder = ROOT / "build" / f"python-{version}"
    venv_python = folder / "bin" / "python"
    stamp = folder / ".prepared"
    wanted = hashlib.sha256((ROOT / "pyproject.toml").read_bytes() + repr(TEST_TOOLS).encode()).hexdigest()
    if not (stamp.exists() and stamp.read_text() == wanted):
        run(python, "-m", "venv", "--clear", str(folder))
        run(str(venv_python), "-m", "pip", "install", "-q", "--upgrade", "pip")
        run(str(venv_python), "-m", "pip", "install", "-q", *TEST_TOOLS)
        requirements = subprocess.run([str(venv_python), "tests/requirements.py"], cwd=ROOT, check=True,
                                      capture_output=True, text=True).stdout.splitlines()
        run(str(venv_python), "-m", "pip", "install", "-q", *requirements)
        stamp.write_text(wanted)
    return venv_python


def test_version(version):
    if version == f"{sys.version_info.major}.{sys.version_info.minor}":
        print(f"Python {version}: the main test run's", flush=True)
        return True
    python = interpreter(version)
    if python is None:
        print(f"Python {version}: skipped: no interpreter under the pyenv root", flush=True)
        return True
    venv_python = prepared_environment(version, python)
    run(str(venv_python), "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--force-reinstall", ".")
    print(f"Python {version} ({python}):", flush=True)
    tests = TESTS
    if version == "3.10":
        # 3.10 itself crashes when a daemon thread is ended this late, with no native code involved
        tests = [test for test in TESTS if "test_daemon_exit" not in test]
    result = subprocess.run([str(venv_python), "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests], cwd=ROOT)
    return result.returncode == 0


def main(versions):
    failed = [version for version in versions or SUPPORTED if not test_version(version)]
    if failed:
        print(f"failed on Python {', '.join(failed)}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
