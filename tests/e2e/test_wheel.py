"""The manylinux wheels, one per CPython 3.10-3.13 on this machine, need nothing newer than glibc 2.28,
and each installs and runs the quickstart on a machine without a compiler or a network.

`make test` fetches each version's runtime dependencies as wheels into build/wheelhouse/<tag> first;
the test builds the wheels (`make wheels`, once) and installs each as a user would
(`pip install <wheel>`) into a fresh virtual environment of its own Python, offline, with no compiler
on PATH."""
import ast
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WHEELHOUSE = ROOT / "build" / "wheelhouse"
QUICKSTART = ROOT / "examples" / "quickstart.py"
VERSIONS = ["3.10", "3.11", "3.12", "3.13"]
OLDEST_GLIBC = (2, 28)

# The quickstart's steps, with nothing beyond the runtime dependencies.
MINIMAL_QUICKSTART = """
from vela_experiment_tracking.tracking.initialize import init

experiment = init("wheel-quickstart", "first-steps")
with experiment.get_iteration() as iteration:
    iteration.log_params({"learning_rate": 0.05, "depth": 6})
    for step in range(1, 4):
        iteration.log_metrics({"loss": 1 / step}, step=step)
address = experiment.client.tracking_uri.rstrip("/")
print(f"MLflow UI: {address}/#/experiments/{experiment.experiment_id}/runs/{iteration.iteration_id}")
"""

# Runs a script with init pointed at the test server instead of the default address.
POINTED_AT_SERVER = """
import functools, runpy, sys
from vela_experiment_tracking.tracking import initialize
initialize.init = functools.partial(initialize.init, tracking_uri=sys.argv[2])
runpy.run_path(sys.argv[1], run_name="__main__")
"""


def imports_of(script):
    tree = ast.parse(script.read_text())
    names = {alias.name for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names}
    names |= {node.module for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) and node.module}
    return sorted({name.split(".")[0] for name in names})


def quickstart_for(python, variables, tmp_path):
    """The quickstart, or its minimal equivalent where it needs more than the runtime dependencies."""
    probe = f"import importlib.util, sys; sys.exit(any(importlib.util.find_spec(n) is None for n in {imports_of(QUICKSTART)!r}))"
    if subprocess.run([python, "-c", probe], env=variables, timeout=60).returncode == 0:
        return QUICKSTART
    script = tmp_path / "minimal_quickstart.py"
    script.write_text(MINIMAL_QUICKSTART)
    return script


def libraries_of(wheel, folder):
    """The wheel's native libraries (the modules' entries and libvela_native.so.0), unpacked in folder."""
    with zipfile.ZipFile(wheel) as archive:
        names = [name for name in archive.namelist() if re.search(r"\.so(\.\d+)*$", name)]
        archive.extractall(folder, names)
    return [folder / name for name in names]


def glibc_versions(library):
    """The glibc symbol versions the library needs (objdump -T)."""
    table = subprocess.run(["objdump", "-T", str(library)], capture_output=True, text=True, check=True,
                           timeout=60).stdout
    return {tuple(int(part) for part in match.groups()) for match in re.finditer(r"\bGLIBC_(\d+)\.(\d+)", table)}


@pytest.mark.parametrize("version", VERSIONS)
def test_wheel_libraries_need_glibc_2_28_at_most(version, version_wheel, tmp_path):
    libraries = libraries_of(version_wheel, tmp_path)
    assert any(library.name == "libvela_native.so.0" for library in libraries)
    assert len(libraries) > 20  # the entries too

    for library in libraries:
        needed = glibc_versions(library)
        assert max(needed, default=(0, 0)) <= OLDEST_GLIBC, (library.name, sorted(needed)[-3:])
    assert glibc_versions(tmp_path / "vela_experiment_tracking" / "libvela_native.so.0")  # the table was read

    auditwheel = Path(sys.executable).parent / "auditwheel"
    shown = subprocess.run([str(auditwheel), "show", str(version_wheel)], capture_output=True, text=True, check=True,
                           timeout=300).stdout
    tag = re.search(r'consistent with the following platform tag:\s*"manylinux_(\d+)_(\d+)_x86_64"', shown)
    assert tag, shown
    assert (int(tag[1]), int(tag[2])) <= OLDEST_GLIBC, shown


@pytest.mark.parametrize("version", VERSIONS)
def test_wheel_installs_without_compiler_and_runs_quickstart(version, version_wheel, bare_environment, mlflow_server,
                                                              mlflow_client, tmp_path):
    wheelhouse = WHEELHOUSE / ("cp" + version.replace(".", ""))
    assert (wheelhouse / ".complete").exists(), f"no {wheelhouse}: make test fetches it (make wheelhouses)"
    environment, variables = bare_environment
    python = str(environment / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--find-links", str(wheelhouse),
                    str(version_wheel)], env=variables, cwd=tmp_path, check=True, timeout=600)

    result = subprocess.run([python, "-c", POINTED_AT_SERVER, str(quickstart_for(python, variables, tmp_path)),
                             mlflow_server], env=variables, cwd=tmp_path, capture_output=True, text=True, timeout=300)

    assert result.returncode == 0, result.stdout + result.stderr
    link = re.search(r"^MLflow UI: (\S+)$", result.stdout, re.M)
    assert link, result.stdout
    assert mlflow_client.get_run(link[1].rsplit("/", 1)[1]).info.status == "FINISHED"
    located = subprocess.run([python, "-c", "import sys, vela_experiment_tracking.model.tags as m; "
                              "print('%d.%d' % sys.version_info[:2], m.__file__)"],
                             env=variables, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    running, module = located.stdout.split()
    assert running == version and module.startswith(str(environment))
