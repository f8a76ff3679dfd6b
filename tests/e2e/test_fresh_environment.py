"""The quickstart in a virtual environment holding the package's runtime dependencies alone (MLflow's
skinny client, no full MLflow), against the test server."""
import re
import subprocess
import sys
from pathlib import Path

import pytest
import requests

ROOT = Path(__file__).resolve().parents[2]

# Runs a script with init pointed at the test server instead of the default address.
POINTED_AT_SERVER = """
import functools, runpy, sys
from vela_experiment_tracking.tracking import initialize
initialize.init = functools.partial(initialize.init, tracking_uri=sys.argv[2])
runpy.run_path(sys.argv[1], run_name="__main__")
"""


@pytest.fixture(scope="session")
def package_wheel(tmp_path_factory):
    """The package's wheel, built once per session from the incremental build directory."""
    folder = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(folder),
                    str(ROOT)], check=True, timeout=1200)
    return next(folder.glob("vela_experiment_tracking-*.whl"))


@pytest.fixture(scope="session")
def skinny_python(tmp_path_factory, package_wheel):
    """A fresh environment with the wheel, its runtime dependencies (from pip's cache) and what the
    quickstart needs besides: scikit-learn, with pandas and skops for MLflow's scikit-learn flavour."""
    venv = tmp_path_factory.mktemp("skinny") / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    python = venv / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", str(package_wheel), "scikit-learn", "pandas", "skops"],
                   check=True, timeout=1200)
    return python


def test_quickstart_runs_with_the_runtime_dependencies_alone(skinny_python, mlflow_server, mlflow_client, tmp_path):
    installed = subprocess.run([str(skinny_python), "-m", "pip", "list", "--format=freeze"], capture_output=True,
                               text=True, check=True, timeout=120).stdout
    assert re.search(r"^mlflow-skinny==", installed, re.M) and not re.search(r"^mlflow==", installed, re.M)
    result = subprocess.run([str(skinny_python), "-c", POINTED_AT_SERVER, str(ROOT / "examples" / "quickstart.py"),
                             mlflow_server],
                            cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    link = re.search(r"^MLflow UI: (\S+)$", result.stdout, re.M).group(1)
    run = mlflow_client.get_run(link.rsplit("/", 1)[1])
    assert run.info.status == "FINISHED"
    assert run.data.params["max_iter"] == "300" and run.data.metrics["test_accuracy"] > 0.8
    models = mlflow_client.search_logged_models(experiment_ids=[run.info.experiment_id])
    assert run.info.run_id in [model.source_run_id for model in models]
    assert requests.get(link, timeout=10).status_code == 200
    assert list(tmp_path.iterdir()) == []  # nothing went to a local store
