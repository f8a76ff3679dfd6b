"""The manylinux wheel installs and runs the quickstart on a machine without a compiler or a network.

`make test` fetches the runtime dependencies' wheels into build/wheelhouse first; the test then
installs the wheel as a user would (`pip install <wheel>`), offline, with no compiler on PATH."""
import ast
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WHEELHOUSE = ROOT / "build" / "wheelhouse"
QUICKSTART = ROOT / "examples" / "quickstart.py"
COMPILERS = ["c++", "g++", "gcc", "cc", "clang++", "clang"]

# The quickstart's steps, with nothing beyond the runtime dependencies.
MINIMAL_QUICKSTART = """
from vela_experiment_tracking.tracking.initialize import init

experiment = init("wheel-quickstart", "first-steps")
with experiment.get_iteration() as iteration:
    iteration.log_params({"learning_rate": 0.05, "depth": 6})
    for step in range(1, 4):
        iteration.log_metrics({"loss": 1 / step}, step=step)
print("iteration:", iteration.iteration_id)
"""

# Runs a script with init pointed at the test server instead of the default address.
POINTED_AT_SERVER = """
import functools, runpy, sys
from vela_experiment_tracking.tracking import initialize
initialize.init = functools.partial(initialize.init, tracking_uri=sys.argv[2])
runpy.run_path(sys.argv[1], run_name="__main__")
"""

AUDITWHEEL_REFUSALS = ("cannot repair", "not supported", "unsupported", "only supports")


@pytest.fixture(scope="session")
def wheel():
    """`make wheel` once per session; skips where auditwheel refuses this platform."""
    result = subprocess.run(["make", "-s", "wheel"], cwd=ROOT, capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        refusals = [line for line in result.stderr.splitlines() if any(r in line for r in AUDITWHEEL_REFUSALS)]
        if refusals:
            pytest.skip(f"auditwheel does not support this platform: {refusals[-1].strip()}")
        pytest.fail(f"make wheel failed:\n{result.stdout[-2000:]}\n{result.stderr[-4000:]}")
    (built,) = (ROOT / "dist").glob("*manylinux*.whl")
    return built


@pytest.fixture
def bare_environment(tmp_path):
    """Environment variables of a machine whose PATH has a fresh virtual environment and no compiler."""
    environment = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", str(environment)], check=True, timeout=300)
    variables = {name: value for name, value in os.environ.items()
                 if name not in ("PYTHONPATH", "CC", "CXX", "VIRTUAL_ENV", "PIP_FIND_LINKS", "PIP_INDEX_URL")}
    variables["PATH"] = str(environment / "bin")
    assert not any(shutil.which(compiler, path=variables["PATH"]) for compiler in COMPILERS)
    return environment, variables


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


def finished_runs(mlflow_client):
    return sum(len(mlflow_client.search_runs([e.experiment_id], "attributes.status = 'FINISHED'"))
               for e in mlflow_client.search_experiments())


def test_wheel_installs_without_compiler_and_runs_quickstart(wheel, bare_environment, mlflow_server, mlflow_client,
                                                              tmp_path):
    assert (WHEELHOUSE / ".complete").exists(), "no build/wheelhouse: make test fetches it"
    environment, variables = bare_environment
    python = str(environment / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--find-links", str(WHEELHOUSE), str(wheel)],
                   env=variables, cwd=tmp_path, check=True, timeout=600)
    before = finished_runs(mlflow_client)

    result = subprocess.run([python, "-c", POINTED_AT_SERVER, str(quickstart_for(python, variables, tmp_path)),
                             mlflow_server], env=variables, cwd=tmp_path, capture_output=True, text=True, timeout=300)

    assert result.returncode == 0, result.stdout + result.stderr
    assert finished_runs(mlflow_client) > before
    located = subprocess.run([python, "-c", "import vela_experiment_tracking.model.tags as m; print(m.__file__)"],
                             env=variables, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert located.stdout.startswith(str(environment))
