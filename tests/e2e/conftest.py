"""Real peers for end-to-end tests, each started on 127.0.0.1 and stopped by its own process id."""
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests

BIN = Path(sys.executable).parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until_up(url, process, log, seconds=120):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{url} exited early:\n{Path(log).read_text()[-3000:]}")
        try:
            if requests.get(url, timeout=2).status_code < 500:
                return
        except requests.exceptions.RequestException:
            pass
        time.sleep(0.3)
    raise RuntimeError(f"{url} did not come up:\n{Path(log).read_text()[-3000:]}")


class Peer:
    def __init__(self, args, url, probe_path, log, env=None):
        self.url = url
        self.log = log
        with open(log, "w") as out:
            self.process = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, start_new_session=True,
                                            env=env)
        wait_until_up(url + probe_path, self.process, log)

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=20)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


@pytest.fixture(scope="session")
def mlflow_server(tmp_path_factory):
    """A real MLflow tracking server on a SQLite file."""
    root = tmp_path_factory.mktemp("mlflow")
    port = free_port()
    server = Peer([str(BIN / "mlflow"), "server", "--backend-store-uri", f"sqlite:///{root}/mlflow.db",
                   "--artifacts-destination", str(root / "artifacts"), "--host", "127.0.0.1", "--port", str(port),
                   "--workers", "1"],
                  f"http://127.0.0.1:{port}", "/health", root / "server.log")
    yield server.url
    server.stop()


HERE = Path(__file__).resolve().parent
TOKEN_LIFETIME = 4  # seconds: short enough that the tests outlive several access tokens


@pytest.fixture(scope="session")
def oidc_provider(tmp_path_factory):
    """A real OpenID Connect provider that rotates refresh tokens; access tokens last TOKEN_LIFETIME s."""
    root = tmp_path_factory.mktemp("oidc")
    port = free_port()
    provider = Peer([sys.executable, str(HERE / "oidc_provider.py"), str(port), str(TOKEN_LIFETIME)],
                    f"http://127.0.0.1:{port}", "/.well-known/openid-configuration", root / "provider.log")
    yield provider.url
    provider.stop()


@pytest.fixture
def browser(tmp_path, monkeypatch):
    """Makes Python's webbrowser open Playwright-driven chromium; returns the file of pages it saw."""
    command = tmp_path / "browser"
    command.write_text(f"#!{sys.executable}\nimport runpy\nrunpy.run_path({str(HERE / 'browser.py')!r}, "
                       "run_name='__main__')\n")
    command.chmod(0o755)
    pages = tmp_path / "pages.txt"
    pages.write_text("")
    monkeypatch.setenv("BROWSER", str(command))
    monkeypatch.setenv("VELA_TEST_LOGIN_SUB", "john.smith@example.org")
    monkeypatch.setenv("VELA_TEST_BROWSER_PAGES", str(pages))
    import webbrowser

    monkeypatch.setattr(webbrowser, "_tryorder", None)  # BROWSER is read when the browsers are registered
    return pages


def userinfo_status(provider, token):
    return requests.get(provider + "/userinfo", headers={"Authorization": f"Bearer {token}"}, timeout=10).status_code


@pytest.fixture
def mlflow_client(mlflow_server):
    from mlflow import MlflowClient

    return MlflowClient(tracking_uri=mlflow_server)


@pytest.fixture
def unique_name(request):
    """A name no other test uses, so tests share one server without meeting."""
    return f"{request.node.name}-{time.monotonic_ns()}"
