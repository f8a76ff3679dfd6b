"""MLflow's own writes (fluent calls, autolog) inside an iteration, a run's end, a killed process and ranks
sharing a run, against a real MLflow server (behind the verifying gateway where tokens matter)."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest
from mlflow import MlflowClient

from .conftest import PLATFORM_CLIENT, TOKEN_LIFETIME, LocalMlflowServer, VerifyingGateway, free_port
from .test_durable_logging import kill

OUTAGE = 60

FLUENT_AND_AUTOLOG = """
import json, sys, time
import mlflow
import numpy as np
from sklearn.linear_model import LinearRegression
from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator
from vela_experiment_tracking.tracking.initialize import init

gateway, provider, refresh_token, client_id, name = sys.argv[1:]
login = ZELTAuthenticator(refresh_token, provider + "/oauth2/token", provider + "/userinfo", client_id)
iteration = init("churn", name, tracking_uri=gateway, authenticator=login).get_iteration()
mlflow.sklearn.autolog(log_models=False)
slowest, step, fit_seconds = 0.0, 0, 0.0
print(iteration.iteration_id, flush=True)
for line in sys.stdin:  # "log N" logs N metrics a step every 10 ms; "fit" trains once; "end" ends
    command = line.split()
    if command[0] == "fit":
        started = time.monotonic()
        # a regressor logs no plots; autolog logs arrays as the run's dataset
        LinearRegression().fit(np.array([[0, 1], [1, 0], [1, 1], [0, 0]]), np.array([0, 1, 1, 0]))
        fit_seconds = time.monotonic() - started
    elif command[0] == "log":
        for _ in range(int(command[1])):
            started = time.monotonic()
            mlflow.log_metric("fluent", step, step=step)
            slowest = max(slowest, time.monotonic() - started)
            step += 1
            time.sleep(0.01)
    else:
        break
    print("done", flush=True)
started = time.monotonic()
iteration.end()
print(json.dumps({"steps": step, "slowest": slowest, "fit": fit_seconds, "end": time.monotonic() - started}),
      flush=True)
"""


def command(process, line):
    process.stdin.write(line + "\n")
    process.stdin.flush()
    assert process.stdout.readline() == "done\n"


def test_fluent_calls_and_autolog_go_through_an_outage(tmp_path, oidc_provider, platform_refresh_token, unique_name):
    folder, port = tmp_path / "mlflow", free_port()
    servers = [LocalMlflowServer(folder, port).__enter__()]
    gateway = VerifyingGateway(oidc_provider, servers[0].address)
    script = tmp_path / "training.py"
    script.write_text(FLUENT_AND_AUTOLOG)
    training = subprocess.Popen(
        [sys.executable, str(script), gateway.url, oidc_provider, platform_refresh_token, PLATFORM_CLIENT, unique_name],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env={**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache")},
        text=True)
    try:
        run_id = training.stdout.readline().strip()
        command(training, "log 100")
        kill(servers[0])
        outage_ends = time.monotonic() + OUTAGE
        command(training, "fit")
        while time.monotonic() < outage_ends:
            command(training, "log 100")
        servers.append(LocalMlflowServer(folder, port).__enter__())
        command(training, "log 100")
        output, _ = training.communicate("end\n", timeout=300)
        result = json.loads(output.splitlines()[-1])
        client = MlflowClient(servers[-1].address)
        run = client.get_run(run_id)
        steps = [m.step for m in client.get_metric_history(run_id, "fluent")]
        artifacts = [artifact.path for artifact in client.list_artifacts(run_id)]
        datasets = run.inputs.dataset_inputs
    finally:
        training.kill()
        gateway.stop()
        for server in servers:
            server.__exit__()
    print(f"\n{result['steps']} fluent metrics, {len(steps)} on the server; slowest call "
          f"{result['slowest'] * 1000:.1f} ms; the fit took {result['fit']:.2f} s; autolog's parameters: "
          f"{sorted(run.data.params)}, metrics: {sorted(run.data.metrics)}, artifacts: {artifacts}, "
          f"datasets: {[inputs.dataset.name for inputs in datasets]}")
    assert steps == list(range(result["steps"]))  # all of them, in order
    # autolog's, logged while the server was down: the estimator's page, and the scores after it
    assert {"fit_intercept", "copy_X"} <= set(run.data.params)
    assert "estimator.html" in artifacts and "training_score" in run.data.metrics and len(datasets) == 1
    assert run.info.status == "FINISHED"
    assert result["slowest"] < 1 and result["fit"] < 5  # minutes when an upload waited for the server


ENDING = """
import sys, time
import mlflow
from vela_experiment_tracking.tracking.initialize import init

iteration = init("churn", sys.argv[2], tracking_uri=sys.argv[1]).get_iteration()
for step in range(50):
    iteration.log_metric("loss", 1.0, step=step)
print(iteration.iteration_id, flush=True)
sys.stdin.readline()  # the server is down from here on, or the process is killed here
iteration.log_metric("loss", 1.0, step=50)
mlflow.log_text("the last words", "notes/end.txt")
started = time.monotonic()
iteration.end() if sys.argv[3] == "end" else mlflow.end_run()  # the iteration is MLflow's active run
print(time.monotonic() - started, flush=True)
"""


def start_ending(tmp_path, server, unique_name, environment, ending="end"):
    script = tmp_path / "ending.py"
    script.write_text(ENDING)
    process = subprocess.Popen([sys.executable, str(script), server.address, unique_name, ending], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment, text=True,
                               cwd=tmp_path)
    return process, process.stdout.readline().strip()


def sync(environment):
    return subprocess.run([sys.executable, "-m", "vela_experiment_tracking", "sync"], capture_output=True, text=True,
                          timeout=300, env=environment)


@pytest.mark.parametrize("ending", ["end", "mlflow.end_run"])
def test_end_during_an_outage_returns_and_the_run_finishes_later(tmp_path, unique_name, ending):
    environment = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache"), "VELA_LOG_FLUSH_TIMEOUT": "5"}
    folder, port = tmp_path / "mlflow", free_port()
    with LocalMlflowServer(folder, port) as server:
        process, run_id = start_ending(tmp_path, server, unique_name, environment, ending)
        kill(server)
        output, errors = process.communicate("go\n", timeout=120)
    assert process.returncode == 0, errors
    took = float(output.splitlines()[-1])  # after the address of the run, which MLflow's end prints
    assert took < 5 + 1
    with LocalMlflowServer(folder, port) as server:
        uploaded = sync({**environment, "VELA_TRACKING_SERVER_URI": server.address})
        client = MlflowClient(server.address)
        run, history = client.get_run(run_id), client.get_metric_history(run_id, "loss")
        notes = client.download_artifacts(run_id, "notes/end.txt", str(tmp_path))
    print(f"\n{ending}() took {took:.2f} s while the server was down; sync: {uploaded.stdout.strip()}")
    assert uploaded.returncode == 0, uploaded.stderr
    assert run.info.status == "FINISHED" and len(history) == 51
    assert open(notes).read() == "the last words"  # logged while the server was down
    assert not os.listdir(tmp_path / "cache" / "vela_experiment_tracking" / "journal" / "files")


def test_a_killed_process_s_run_ends_killed_after_sync(tmp_path, unique_name):
    subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
    subprocess.run(["git", "-C", str(tmp_path), "-c", "user.email=a@b", "-c", "user.name=a", "commit", "-q",
                    "--allow-empty", "-m", "start"], check=True)
    environment = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache")}
    with LocalMlflowServer(tmp_path / "mlflow", free_port()) as server:
        process, run_id = start_ending(tmp_path, server, unique_name, environment)
        process.send_signal(signal.SIGKILL)
        process.wait(timeout=20)
        uploaded = sync({**environment, "VELA_TRACKING_SERVER_URI": server.address})
        client = MlflowClient(server.address)
        run, history = client.get_run(run_id), client.get_metric_history(run_id, "loss")
    assert uploaded.returncode == 0, uploaded.stderr
    assert run.info.status == "KILLED" and len(history) == 50
    assert run.data.tags["mlflow.source.type"] == "LOCAL"
    assert run.data.tags["mlflow.source.name"].endswith("ending.py")
    assert "mlflow.source.git.commit" in run.data.tags


RANK = """
import os, sys, time
from pathlib import Path
from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.tracking.initialize import init

name, folder, seconds = sys.argv[1], Path(sys.argv[2]), float(sys.argv[3])
rank = int(os.environ["RANK"])
experiment = init("churn", name)  # the cloud platform's login, from the environment
if rank == 0:
    iteration = experiment.get_iteration()
    (folder / "run").write_text(iteration.iteration_id)
    (folder / "run").rename(folder / "run_id")
else:
    while not (folder / "run_id").exists():
        time.sleep(0.05)
    iteration = Iteration(experiment, iteration_id=(folder / "run_id").read_text())
deadline, step = time.monotonic() + seconds, 0
while time.monotonic() < deadline:
    iteration.log_metric(f"rank{rank}", 1.0, step=step)
    step += 1
    time.sleep(0.02)
print(step, flush=True)
while rank == 0 and not (folder / "end").exists():  # the run is looked at after the other ranks exit
    time.sleep(0.05)
"""


def test_ranks_share_one_login_and_only_the_owner_ends_the_run(oidc_provider, platform_refresh_token, gateway,
                                                               mlflow_client, unique_name, tmp_path):
    """Three ranks started together on the platform's one refresh token, which the provider rotates (revoking
    the access token issued with the old one), log to one run for three token lifetimes."""
    environment = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache"), "WORLD_SIZE": "3",
                   "VELA_CLOUD_ENVIRONMENT": "1", "VELA_TRACKING_SERVER_URI": gateway.url,
                   "VELA_PLATFORM_TOKEN_ENDPOINT": oidc_provider + "/oauth2/token",
                   "VELA_PLATFORM_USERINFO_ENDPOINT": oidc_provider + "/userinfo",
                   "VELA_PLATFORM_REFRESH_TOKEN": platform_refresh_token, "VELA_PLATFORM_CLIENT_ID": PLATFORM_CLIENT}
    ranks = [subprocess.Popen([sys.executable, "-c", RANK, unique_name, str(tmp_path), str(3 * TOKEN_LIFETIME)],
                              env={**environment, "RANK": str(rank)}, stdout=subprocess.PIPE, text=True)
             for rank in range(3)]
    logged = {rank: int(ranks[rank].communicate(timeout=300)[0]) for rank in (1, 2)}
    assert [ranks[1].returncode, ranks[2].returncode] == [0, 0]
    run_id = (tmp_path / "run_id").read_text()
    assert mlflow_client.get_run(run_id).info.status == "RUNNING"
    (tmp_path / "end").touch()
    logged[0] = int(ranks[0].communicate(timeout=300)[0])
    assert ranks[0].returncode == 0
    stored = {rank: len(mlflow_client.get_metric_history(run_id, f"rank{rank}")) for rank in range(3)}
    print(f"\nlogged {logged}, stored {stored}; the gateway passed {gateway.passed}, refused {gateway.refused}")
    assert gateway.refused == []
    assert stored == logged
    assert mlflow_client.get_run(run_id).info.status == "FINISHED"
