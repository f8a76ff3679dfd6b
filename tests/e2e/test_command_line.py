"""The command line as a user runs it: a real device provider, a real MLflow server, chromium as the user."""
import os
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "device_provider"))

from provider import CLIENT_ID, CONFIDENTIAL_CLIENT_ID, CONFIDENTIAL_CLIENT_SECRET  # noqa: E402
from user import answer_device_login  # noqa: E402

PROMPT = re.compile(r"To log in, open (\S+) and enter the code (\S+)")
RUN_TIMEOUT = 180
COMMAND = [sys.executable, "-m", "vela_experiment_tracking"]


def run(*args, env=None, user=None):
    """Runs the command line; `user` answers the device login it shows. Returns (code, stdout, stderr, prompts)."""
    process = subprocess.Popen([*COMMAND, *args], env=env or dict(os.environ), text=True, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    prompts, errors, players = [], [], []

    def read_errors():
        for line in process.stderr:
            errors.append(line)
            prompt = PROMPT.search(line)
            if prompt and user:
                prompts.append(prompt.groups())
                players.append(threading.Thread(target=user, args=prompt.groups(), daemon=True))
                players[-1].start()

    out = []
    readers = [threading.Thread(target=read_errors, daemon=True),
               threading.Thread(target=lambda: out.append(process.stdout.read()), daemon=True)]
    for reader in readers:
        reader.start()
    try:
        process.wait(RUN_TIMEOUT)
    finally:
        process.kill()
    for reader in readers:
        reader.join(10)
    for player in players:
        player.join(60)
    return process.returncode, "".join(out), "".join(errors), prompts


@pytest.mark.parametrize("command", [[], ["login"], ["status"], ["logout"], ["sync"]], ids=lambda c: c[0] if c else "-")
def test_help_of_each_command_exits_0_and_names_the_exit_status(command):
    code, out, err, _ = run(*command, "--help")
    assert code == 0 and "usage:" in out and "exit status:" in out and err == ""


def test_the_console_script_and_usage_errors():
    script = Path(sys.executable).parent / "vela-tracking"
    version = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
    assert version.returncode == 0 and version.stdout.startswith("vela-tracking ")
    code, out, err, _ = run("login", "--no-such-flag")
    assert code == 2 and out == "" and len(err.strip().splitlines()) == 1 and "--no-such-flag" in err


def test_login_status_logout_status(device_provider, mlflow_server):
    environment = {**os.environ, "SSH_CONNECTION": "10.0.0.1 5 10.0.0.2 22"}
    code, out, err, prompts = run("login", "--device", "--issuer", device_provider.issuer, "--client-id", CLIENT_ID,
                                  env=environment, user=answer_device_login)
    assert code == 0, err[-3000:]
    assert len(prompts) == 1 and "Logged in as jdoe (device login at " + device_provider.issuer in out

    code, shown, err, _ = run("status", "--tracking-uri", mlflow_server, env=environment)
    assert code == 0, err[-3000:]
    assert "Logged in as jdoe" in shown and f"Tracking server: {mlflow_server} (answers)" in shown
    assert "Access token valid until" in shown
    secrets = device_provider.secrets()
    assert secrets and not [s for s in secrets if s in shown or s in out]

    code, out, err, _ = run("logout", env=environment)
    assert code == 0 and "forgot 1 remembered login" in out
    code, out, err, _ = run("status", "--tracking-uri", mlflow_server, env=environment)
    assert code == 1 and "Not logged in" in out


HEADLESS = {
    "an SSH host, a public client": {"SSH_CONNECTION": "10.0.0.1 5 10.0.0.2 22", "VELA_OIDC_CLIENT_ID": CLIENT_ID},
    "a BROWSER naming nothing runnable": {"BROWSER": "no-such-browser", "VELA_OIDC_CLIENT_ID": CONFIDENTIAL_CLIENT_ID,
                                          "VELA_OIDC_CLIENT_SECRET": CONFIDENTIAL_CLIENT_SECRET},
    "a BROWSER that fails to start": {"BROWSER": "false", "VELA_OIDC_CLIENT_ID": CLIENT_ID},
}


@pytest.mark.parametrize("host", HEADLESS.values(), ids=HEADLESS.keys())
def test_without_a_usable_browser_the_login_is_a_device_login(device_provider, host):
    environment = {**os.environ, "VELA_OIDC_ISSUER": device_provider.issuer, **host}
    for name in ("DISPLAY", "WAYLAND_DISPLAY") + (("BROWSER",) if "BROWSER" not in host else ()):
        environment.pop(name, None)
    code, out, err, prompts = run("login", env=environment, user=answer_device_login)
    assert code == 0, err[-3000:]
    assert len(prompts) == 1 and "Logged in as jdoe (device login" in out
    assert "Could not open a web browser" not in err and "127.0.0.1:" not in err.replace(device_provider.issuer, "")


def test_without_a_browser_or_a_device_login_the_error_says_what_to_do(oidc_provider):
    environment = {**os.environ, "VELA_OIDC_ISSUER": oidc_provider, "SSH_CONNECTION": "10.0.0.1 5 10.0.0.2 22"}
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "BROWSER"):
        environment.pop(name, None)
    code, out, err, prompts = run("login", env=environment)
    assert code == 1 and prompts == [] and len(err.strip().splitlines()) == 1
    assert "offers no device login" in err and "Set BROWSER" in err and "Traceback" not in err
