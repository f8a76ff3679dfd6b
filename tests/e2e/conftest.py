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


@pytest.fixture
def mlflow_client(mlflow_server):
    from mlflow import MlflowClient

    return MlflowClient(tracking_uri=mlflow_server)


@pytest.fixture
def unique_name(request):
    """A name no other test uses, so tests share one server without meeting."""
    return f"{request.node.name}-{time.monotonic_ns()}"
