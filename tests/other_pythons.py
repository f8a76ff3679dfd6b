"""Installs the package for each supported CPython the machine has and runs the runtime's tests there.

Usage: `other_pythons.py [VERSION ...]` (default: every supported version but the running one's, which the
main test run covers). Each version gets a virtual environment in build/python-VERSION with the version's
wheel from dist/ (`make wheels`) when it is newer than the sources, else the package built from this
checkout; a version the machine lacks is skipped with the reason. Prints each version's pytest summary and
exits 1 when any failed.
"""
import hashlib
import subprocess
import sys
from pathlib import Path

from pythons import VERSIONS, interpreters, missing, tag

ROOT = Path(__file__).resolve().parent.parent
TESTS = ["tests/test_runtime.py", "tests/test_robustness.py", "tests/entities", "tests/test_substitution.py",
         "tests/auth/test_oidc.py", "tests/e2e/test_daemon_exit.py::test_threads_ended_after_the_thread_states_are_gone"]
TEST_TOOLS = ["pytest>=8", "hypothesis>=6.100", "scikit-build-core>=0.10", "pybind11>=2.12", "tomli; python_version<'3.11'"]


def fresh_wheel(version):
    """The version's wheel in dist/ when it was built after every source changed, else None."""
    wheels = sorted((ROOT / "dist").glob(f"*-{tag(version)}-*.whl"))
    sources = [path for path in (ROOT / "src").rglob("*") if path.is_file()] + [ROOT / "CMakeLists.txt"]
    newest_source = max(path.stat().st_mtime for path in sources)
    return wheels[-1] if wheels and wheels[-1].stat().st_mtime > newest_source else None


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
    python = interpreters()[version]
    if python is None:
        print(f"Python {version}: skipped: {missing(version)}", flush=True)
        return True
    venv_python = prepared_environment(version, python)
    wheel = fresh_wheel(version)
    package = [str(wheel)] if wheel else ["--no-build-isolation", "."]
    run(str(venv_python), "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall", *package)
    print(f"Python {version} ({python}, {wheel.name if wheel else 'built from the checkout'}):", flush=True)
    tests = TESTS
    if version == "3.10":
        # 3.10 itself crashes when a daemon thread is ended this late, with no native code involved
        tests = [test for test in TESTS if "test_daemon_exit" not in test]
    result = subprocess.run([str(venv_python), "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests], cwd=ROOT)
    return result.returncode == 0


def main(versions):
    failed = [version for version in versions or VERSIONS if not test_version(version)]
    if failed:
        print(f"failed on Python {', '.join(failed)}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
