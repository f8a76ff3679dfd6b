"""The interpreter ends daemon threads that are running package code when the main thread returns."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from daemon_exit import crashed_runs  # noqa: E402

RUNS = 30


def test_exit_while_daemon_threads_run_package_code(mlflow_server):
    assert crashed_runs(mlflow_server, RUNS) == 0
