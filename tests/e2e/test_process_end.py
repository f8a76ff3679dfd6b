"""Iterations a process leaves open end with it: finished on a normal exit, failed on an unhandled exception."""
import re
import subprocess
import sys

import pytest

SCRIPT = """
import sys
from vela_experiment_tracking import init

experiment = init("churn", sys.argv[2], tracking_uri=sys.argv[1])
outer = experiment.get_iteration()
inner = outer.__class__(experiment, parent=outer)
print("runs", outer.iteration_id, inner.iteration_id, flush=True)
if sys.argv[3] == "raise":
    raise RuntimeError("training diverged")
"""


@pytest.mark.parametrize("ending, status", [("return", "FINISHED"), ("raise", "FAILED")])
def test_open_iterations_end_with_the_process(mlflow_server, mlflow_client, unique_name, tmp_path, ending, status):
    result = subprocess.run([sys.executable, "-c", SCRIPT, mlflow_server, unique_name, ending], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == (0 if ending == "return" else 1), result.stderr[-3000:]
    if ending == "raise":
        assert "RuntimeError: training diverged" in result.stderr  # the previous hook still reports it
    run_ids = re.search(r"^runs (\S+) (\S+)$", result.stdout, re.M).groups()
    assert [mlflow_client.get_run(run_id).info.status for run_id in run_ids] == [status, status]
