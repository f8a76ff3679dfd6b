"""The interpreter ends daemon threads that are running package code when the main thread returns."""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from daemon_exit import LATE_WORKLOADS, crashed_runs  # noqa: E402

RUNS = 30
LATE_RUNS = 50


def test_exit_while_daemon_threads_run_package_code(mlflow_server):
    assert crashed_runs([mlflow_server], RUNS) == 0


@pytest.mark.parametrize("workload", sorted(LATE_WORKLOADS))
def test_threads_ended_after_the_thread_states_are_gone(workload):
    assert crashed_runs(["late", workload], LATE_RUNS) == 0
