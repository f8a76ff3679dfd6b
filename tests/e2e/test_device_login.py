"""The device login against a real provider (django-oauth-toolkit), with chromium as the user, and the
remembered login shared by processes in a row, processes at once and worker processes."""
import os
import re
import stat
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
import requests

from vela_experiment_tracking.auth import device
from vela_experiment_tracking.exception import ExperimentTrackingException
from vela_experiment_tracking.tracking.initialize import init

from .conftest import PLATFORM_CLIENT, TOKEN_LIFETIME, userinfo_status

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "device_provider"))

from local_servers import ServerProcess, free_port  # noqa: E402
from provider import CLIENT_ID, CONFIDENTIAL_CLIENT_ID, CONFIDENTIAL_CLIENT_SECRET  # noqa: E402
from user import answer_device_login  # noqa: E402

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
PROMPT = re.compile(r"To log in, open (\S+) and enter the code (\S+)")
RUN_TIMEOUT = 180


@pytest.fixture
def device_environment(monkeypatch, device_provider):
    for name, value in {"VELA_OIDC_ISSUER": device_provider.issuer, "VELA_OIDC_CLIENT_ID": CLIENT_ID,
                        "VELA_OIDC_LOGIN": "device"}.items():
        monkeypatch.setenv(name, value)


@pytest.fixture
def device_user(monkeypatch):
    """The user who answers the login shown: `answer(uri, code)` runs in chromium beside the login."""
    answers = []

    def play(answer):
        def show(verification_uri, user_code, verification_uri_complete=None):
            worker = threading.Thread(target=lambda: answers.append(answer(verification_uri, user_code)),
                                      daemon=True)
            worker.start()
            answers.append(worker)

        monkeypatch.setattr(device, "show_device_code", show)
        return answers

    yield play
    for worker in [a for a in answers if isinstance(a, threading.Thread)]:
        worker.join(60)


@pytest.fixture
def recorded_polls(monkeypatch):
    """The moments at which the device login polled the token endpoint."""
    moments = []

    class Recording:
        def __getattr__(self, name):
            return getattr(requests, name)

        def post(self, url, **kwargs):
            if (kwargs.get("data") or {}).get("grant_type") == DEVICE_GRANT:
                moments.append(time.monotonic())
            return requests.post(url, **kwargs)

    monkeypatch.setattr(device, "requests", Recording())
    return moments


def test_device_login_tracks_to_the_server(device_environment, device_user, recorded_polls, mlflow_server,
                                           mlflow_client, unique_name):
    answers = device_user(answer_device_login)
    experiment = init("churn", unique_name, tracking_uri=mlflow_server)
    assert experiment.client.user.username == "jdoe" and os.environ["LOGNAME"] == "jdoe"
    assert mlflow_client.get_experiment_by_name(unique_name).experiment_id == experiment.experiment_id
    gaps = [later - earlier for earlier, later in zip(recorded_polls, recorded_polls[1:])]
    assert len(recorded_polls) >= 2 and min(gaps) >= 0.95  # the provider asks for one poll a second
    answers[0].join(60)
    assert answers[-1] == "Device Authorized"


def test_without_a_browser_the_browser_login_turns_to_the_device_login(monkeypatch, device_provider, device_user):
    import webbrowser

    from vela_experiment_tracking import config
    from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator

    class NoBrowser:
        Error = webbrowser.Error

        @staticmethod
        def get():
            raise webbrowser.Error("could not locate runnable browser")

    monkeypatch.setattr(config, "webbrowser", NoBrowser)
    for name, value in {"VELA_OIDC_ISSUER": device_provider.issuer, "VELA_OIDC_CLIENT_ID": CONFIDENTIAL_CLIENT_ID,
                        "VELA_OIDC_CLIENT_SECRET": CONFIDENTIAL_CLIENT_SECRET}.items():
        monkeypatch.setenv(name, value)
    answers = device_user(answer_device_login)
    login = config.check_auth_env_configs()
    assert isinstance(login, OIDCAuthenticator) and login.authenticate().username == "jdoe"
    assert userinfo_status(device_provider.issuer, login.token()) == 200
    answers[0].join(60)


@pytest.mark.parametrize(
    "answer, message",
    [(lambda provider: lambda uri, code: answer_device_login(uri, code, action="deny"), "was denied"),
     (lambda provider: lambda uri, code: provider.expire(code), "code expired")],
    ids=["denied", "expired"],
)
def test_device_login_ends_with_a_clear_error(device_environment, device_provider, device_user, recorded_polls,
                                              answer, message):
    from vela_experiment_tracking.config import check_auth_env_configs

    device_user(answer(device_provider))
    with pytest.raises(ExperimentTrackingException, match=message):
        check_auth_env_configs().authenticate()
    assert len(recorded_polls) >= 1


SCRIPT = textwrap.dedent("""
    import logging, sys
    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr)
    from mlflow import MlflowClient
    from vela_experiment_tracking.tracking.initialize import init
    experiment = init("churn", sys.argv[2], tracking_uri=sys.argv[1])
    client = MlflowClient(tracking_uri=sys.argv[1])
    run = client.create_run(experiment.experiment_id)
    client.log_metric(run.info.run_id, "loss", 0.5)
    print("user", experiment.client.user.username, flush=True)
""")


def run_script(environment, *args, user=None):
    """Runs the tracking script; `user` answers any login it shows. Returns (stdout, stderr, prompts)."""
    process = subprocess.Popen([sys.executable, "-c", SCRIPT, *args], env=environment, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    prompts, errors, players = [], [], []

    def read_errors():
        for line in process.stderr:
            errors.append(line)
            prompt = PROMPT.search(line)
            if prompt:
                prompts.append(prompt.groups())
                players.append(threading.Thread(target=user, args=prompt.groups(), daemon=True))
                players[-1].start()

    reader = threading.Thread(target=read_errors, daemon=True)
    reader.start()
    try:
        out = process.stdout.read()
        process.wait(RUN_TIMEOUT)
    finally:
        process.kill()
    reader.join(10)
    for player in players:
        player.join(60)
    assert process.returncode == 0, "".join(errors)[-3000:]
    return out, "".join(errors), prompts


def test_second_process_logs_in_silently(device_environment, device_provider, mlflow_server, unique_name, tmp_path,
                                         remembered_logins):
    browser_started = tmp_path / "browser-started"
    browser = tmp_path / "browser"
    browser.write_text(f"#!/bin/sh\necho \"$1\" >> {browser_started}\n")
    browser.chmod(0o755)
    environment = {**os.environ, "BROWSER": str(browser)}

    first, first_log, prompts = run_script(environment, mlflow_server, unique_name, user=answer_device_login)
    second, second_log, again = run_script(environment, mlflow_server, unique_name)

    assert "user jdoe" in first and "user jdoe" in second
    assert len(prompts) == 1 and again == [] and not browser_started.exists()
    (record,) = remembered_logins.glob("*.json")
    assert stat.S_IMODE(record.stat().st_mode) == 0o600
    secrets = device_provider.secrets()
    assert secrets and not [s for s in secrets if s in first_log or s in second_log]


def platform_login(monkeypatch, oidc_provider, refresh_token):
    for name, value in {"VELA_PLATFORM_TOKEN_ENDPOINT": oidc_provider + "/oauth2/token",
                        "VELA_PLATFORM_REFRESH_TOKEN": refresh_token,
                        "VELA_PLATFORM_USERINFO_ENDPOINT": oidc_provider + "/userinfo",
                        "VELA_PLATFORM_CLIENT_ID": PLATFORM_CLIENT}.items():
        monkeypatch.setenv(name, value)


RENEWER = textwrap.dedent("""
    import sys, time
    from vela_experiment_tracking.auth.remembered import inherited_login
    login = inherited_login()
    provider = vars(login)["_Authenticator__token_provider"]
    tokens, deadline = set(), time.monotonic() + float(sys.argv[1])
    while time.monotonic() < deadline:
        tokens.add(login.token())
        time.sleep(0.05)
    print(len(tokens), flush=True)
""")


def test_processes_renewing_at_once_share_the_rotating_login(monkeypatch, oidc_provider, platform_refresh_token):
    from vela_experiment_tracking.auth.remembered import inherited_login
    from vela_experiment_tracking.config import check_auth_env_configs

    platform_login(monkeypatch, oidc_provider, platform_refresh_token)
    check_auth_env_configs().authenticate()
    seconds = 3 * TOKEN_LIFETIME
    renewers = [subprocess.Popen([sys.executable, "-c", RENEWER, str(seconds)], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True) for _ in range(2)]
    results = [renewer.communicate(timeout=seconds + 60) for renewer in renewers]
    for renewer, (out, err) in zip(renewers, results):
        assert renewer.returncode == 0, err[-3000:]
        assert int(out) >= 3  # each renewed through several lifetimes without a refused refresh token
    monkeypatch.setattr("vela_experiment_tracking.auth.remembered._inherited_logins", {})
    assert userinfo_status(oidc_provider, inherited_login().token()) == 200  # and the login lives on


WORKER = textwrap.dedent("""
    import sys, time
    from mlflow import MlflowClient
    client = MlflowClient(tracking_uri=sys.argv[1])
    deadline, step = time.monotonic() + float(sys.argv[3]), 0
    while time.monotonic() < deadline:
        client.log_metric(sys.argv[2], "loss", 1.0 / (step + 1), step=step)
        step += 1
        time.sleep(0.2)
    print(step, flush=True)
""")


def test_worker_keeps_logging_behind_the_verifying_gateway(monkeypatch, oidc_provider, platform_refresh_token,
                                                           gateway, mlflow_client, unique_name):
    platform_login(monkeypatch, oidc_provider, platform_refresh_token)
    experiment = init("churn", unique_name, tracking_uri=gateway.url)
    run = mlflow_client.create_run(experiment.experiment_id)
    seconds = 3 * TOKEN_LIFETIME + 2
    worker = subprocess.run([sys.executable, "-c", WORKER, gateway.url, run.info.run_id, str(seconds)],
                            capture_output=True, text=True, timeout=seconds + 120)
    assert worker.returncode == 0, worker.stderr[-3000:]
    assert gateway.refused == []
    assert len(mlflow_client.get_metric_history(run.info.run_id, "loss")) == int(worker.stdout)
