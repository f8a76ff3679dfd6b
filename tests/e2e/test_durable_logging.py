"""Logging through outages, crashes and floods, counted on a real MLflow server behind the verifying gateway."""
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

from mlflow import MlflowClient

from .conftest import PLATFORM_CLIENT, TOKEN_LIFETIME, LocalMlflowServer, VerifyingGateway, free_port, obtain_refresh_token

# The server stays down a minute while the loop logs on: many retries, and many token lifetimes.
OUTAGE = max(60, 3 * TOKEN_LIFETIME)


def kill(server):
    os.killpg(server.process.pid, signal.SIGKILL)
    server.process.wait(timeout=20)


def cloud_environment(provider, refresh_token, server):
    return {"VELA_CLOUD_ENVIRONMENT": "1", "VELA_PLATFORM_TOKEN_ENDPOINT": provider + "/oauth2/token",
            "VELA_TRACKING_SERVER_URI": server, "VELA_PLATFORM_REFRESH_TOKEN": refresh_token,
            "VELA_PLATFORM_USERINFO_ENDPOINT": provider + "/userinfo", "VELA_PLATFORM_CLIENT_ID": PLATFORM_CLIENT}


# A training loop in its own process, as a user's is (see its docstring).
LOOP = Path(__file__).resolve().parents[2] / "examples" / "logging_loop.py"


def test_a_server_outage_loses_nothing_and_never_stalls_the_loop(tmp_path, oidc_provider, platform_refresh_token,
                                                                 unique_name):
    folder, port = tmp_path / "mlflow", free_port()
    servers = [LocalMlflowServer(folder, port).__enter__()]
    gateway = VerifyingGateway(oidc_provider, servers[0].address)
    loop = subprocess.Popen(
        [sys.executable, str(LOOP), gateway.url, unique_name, oidc_provider + "/oauth2/token",
         oidc_provider + "/userinfo", PLATFORM_CLIENT, platform_refresh_token], stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, env={**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache")}, text=True)
    try:
        assert loop.stdout.readline() == "logging\n"
        time.sleep(2)
        kill(servers[0])
        time.sleep(OUTAGE)
        servers.append(LocalMlflowServer(folder, port).__enter__())
        time.sleep(1)
        output, _ = loop.communicate("stop\n", timeout=120)
        result = json.loads(output.splitlines()[-1])  # MLflow may print links of ended runs before it

        client = MlflowClient(servers[-1].address)
        history = client.get_metric_history(result["run"], "loss")
        run = client.get_run(result["run"])
        logging, plain = result["slowest"]["logging"], result["slowest"]["dict"]
        print(f"\n{result['steps']} steps; the slowest logging step took {logging * 1000:.2f} ms, "
              f"the same values stored in a dict: {plain * 1000:.2f} ms; "
              f"{len(gateway.refused)} requests refused by the gateway")
        assert sorted(m.step for m in history) == list(range(result["steps"]))
        assert run.data.tags["progress"] == str(result["steps"] - 1)  # the last value won: sent in order
        assert run.info.status == "FINISHED"
        assert logging < 0.25  # loosely: this machine's stalls reach tens of milliseconds
    finally:
        loop.kill()
        gateway.stop()
        for server in servers:
            server.__exit__()


TRAINING = """
import sys
from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator
from vela_experiment_tracking.tracking.initialize import init

gateway, provider, refresh_token, client_id, name, count = sys.argv[1:]
authenticator = ZELTAuthenticator(refresh_token, provider + "/oauth2/token", provider + "/userinfo", client_id)
iteration = init("churn", name, tracking_uri=gateway, authenticator=authenticator).get_iteration()
iteration.log_params({"lr": 0.1, "depth": 6})
for step in range(int(count)):
    iteration.log_metric("loss", 1.0 / (step + 1), step=step)
    if step % 100 == 0:
        iteration.set_tag("progress", str(step))
print(iteration.iteration_id, flush=True)
sys.stdin.read()  # killed here
"""


def test_a_killed_training_process_is_uploaded_by_sync_once(tmp_path, oidc_provider, platform_refresh_token, gateway,
                                                            mlflow_client, unique_name):
    count = 5000
    environment = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache")}
    script = tmp_path / "training.py"
    script.write_text(TRAINING)
    training = subprocess.Popen(
        [sys.executable, str(script), gateway.url, oidc_provider, platform_refresh_token, PLATFORM_CLIENT, unique_name,
         str(count)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment, text=True)
    try:
        run_id = training.stdout.readline().strip()
    finally:
        training.send_signal(signal.SIGKILL)
        training.wait(timeout=20)
    assert run_id
    held_before = len(mlflow_client.get_metric_history(run_id, "loss"))

    sync = subprocess.run(
        [sys.executable, "-m", "vela_experiment_tracking", "sync"], capture_output=True, text=True, timeout=300,
        env={**environment, **cloud_environment(oidc_provider, obtain_refresh_token(oidc_provider), gateway.url)})
    print(f"\n{held_before} of {count} metrics on the server at the kill; sync: {sync.stdout.strip()}")
    assert sync.returncode == 0, sync.stderr
    assert sync.stdout.endswith(" 0 left.\n")
    steps = [m.step for m in mlflow_client.get_metric_history(run_id, "loss")]
    assert sorted(steps) == list(range(count))  # none lost, none twice
    run = mlflow_client.get_run(run_id)
    assert run.data.params == {"lr": "0.1", "depth": "6"}
    assert run.data.tags["progress"] == str((count - 1) // 100 * 100)
    assert list((tmp_path / "cache" / "vela_experiment_tracking" / "journal").iterdir()) == []


FLOOD = """
import sys
from vela_experiment_tracking.tracking.initialize import init

def rss():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))

iteration = init("churn", sys.argv[2], tracking_uri=sys.argv[1]).get_iteration()
print("ready", flush=True)
sys.stdin.readline()  # the server is down from here on
before = rss()
for step in range(1_000_000):
    iteration.log_metric("loss", 1.0, step=step)
print(rss() - before, iteration.flush(timeout=0), flush=True)
"""


def test_a_flood_during_an_outage_keeps_memory_bounded(tmp_path, unique_name):
    script = tmp_path / "flood.py"
    script.write_text(FLOOD)
    environment = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache")}
    with LocalMlflowServer(tmp_path / "mlflow", free_port()) as server:
        flood = subprocess.Popen([sys.executable, str(script), server.address, unique_name], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment, text=True)
        assert flood.stdout.readline() == "ready\n"
        kill(server)
        output, errors = flood.communicate("go\n", timeout=300)
    growth, flushed = output.split()
    print(f"\nmemory growth over 1,000,000 metrics logged during the outage: {int(growth) / 2 ** 20:.1f} MiB")
    assert int(growth) < 100 * 2 ** 20
    assert flushed == "False"
    kept = re.search(r"(\d+) logged record\(s\) of 1 run\(s\) were not confirmed", errors)
    assert kept and int(kept.group(1)) == 1_000_002, errors  # the metrics, the run's name tag and its end
    assert "Upload them with: python -m vela_experiment_tracking sync" in errors
