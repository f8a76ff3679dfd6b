"""The README's examples, the examples and a user's script pass the strictest type check against the stubs."""
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

USER_SCRIPT = '''
from mlflow.entities import Run
from typing_extensions import assert_type

import vela_experiment_tracking as vet
from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.entities.project import Project
from vela_experiment_tracking.tracking.client import Client

experiment: Experiment = vet.init("churn-model", "weekly-retrain", tracking_uri="http://localhost:5000")
project: Project = vet.init("churn-model")
client: Client = experiment.client
user: User = client.user
name: str = user.username
with Iteration(experiment, name="first") as iteration:
    iteration.log_metric("loss", 0.5, step=1)
run: Run = experiment.get_iteration_meta(iteration.iteration_id)
status: str = run.info.status
same: str = project.client.user.username
assert_type(experiment.client, Client)  # none of these is Any
assert_type(client.user, User)
assert_type(experiment.get_iteration_meta(iteration.iteration_id), Run)
vet.logout()
'''


def test_readme_examples_and_a_users_script_type_check(tmp_path):
    readme = (ROOT / "README.md").read_text()
    blocks = [re.search(r"## Quickstart\s+```python[^\n]*\n(.*?)```", readme, re.S).group(1),
              re.search(r"## MLflow's own API and autolog.*?```python[^\n]*\n(.*?)```", readme, re.S).group(1),
              USER_SCRIPT]
    files = []
    for number, block in enumerate(blocks):
        files.append(tmp_path / f"example_{number}.py")
        files[-1].write_text(block)
    # scikit-learn ships no type information: in the README only its import is let through, as a user would
    for checked, options in ((files, ["--disable-error-code", "import-untyped"]), ([ROOT / "examples"], [])):
        result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                                 *options, *map(str, checked)], capture_output=True, text=True, timeout=600)
        assert result.returncode == 0, result.stdout
