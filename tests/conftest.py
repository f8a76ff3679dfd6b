import json
import os
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

# the local servers of the examples serve the end-to-end tests too
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

# Offline, MLflow's telemetry thread gives up by deleting a variable from os.environ while other threads
# may be iterating it (requests does, for proxies): a KeyError at random. The tests and the processes
# they start go without it.
os.environ["MLFLOW_DISABLE_TELEMETRY"] = "true"

# Variables the package reads or writes; every test starts without them.
PACKAGE_VARIABLES = [
    "LOGNAME", "VELA_BCK_LOGNAME", "MLFLOW_TRACKING_TOKEN", "MLFLOW_TRACKING_AUTH", "MLFLOW_TRACKING_URI",
    "VELA_TRACKING_SERVER_URI", "VELA_CLOUD_ENVIRONMENT", "VELA_PLATFORM_TOKEN_ENDPOINT",
    "VELA_PLATFORM_REFRESH_TOKEN", "VELA_PLATFORM_USERINFO_ENDPOINT", "VELA_PLATFORM_CLIENT_ID",
    "VELA_OIDC_ISSUER", "VELA_OIDC_HOSTNAME", "VELA_OIDC_CLIENT_ID", "VELA_OIDC_CLIENT_SECRET",
    "VELA_OIDC_LOGIN", "VELA_REMEMBER_LOGIN", "VELA_REMEMBERED_LOGIN", "VELA_TOKEN_SERVER_URI",
    "VELA_LOG_SYNCHRONOUS", "VELA_LOG_MEMORY_ONLY", "VELA_LOG_MEMORY_RECORDS", "VELA_LOG_FLUSH_TIMEOUT",
]


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    for name in PACKAGE_VARIABLES:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(autouse=True)
def remembered_logins(tmp_path, monkeypatch):
    """Logins are remembered in a directory of this test's own, never in the user's keyring."""
    state = tmp_path / "state"
    monkeypatch.setenv("XDG_STATE_HOME", str(state))
    monkeypatch.setenv("PYTHON_KEYRING_BACKEND", "keyring.backends.null.Keyring")
    return state / "vela_experiment_tracking" / "logins"


@pytest.fixture(autouse=True)
def private_cache(tmp_path_factory, monkeypatch):
    """Logging journals go to a folder of the test session, not to the user's cache."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.getbasetemp() / "cache"))


@pytest.fixture(autouse=True)
def fresh_context(monkeypatch):
    """Each test starts with a context that no init has set up."""
    from vela_experiment_tracking import context

    monkeypatch.setattr(context, "current_client", context.ContextClient())


class Recorded:
    """A request as a local test server saw it."""

    def __init__(self, handler, body):
        self.method = handler.command
        self.path = handler.path
        self.headers = dict(handler.headers)
        self.body = body


class LocalServer:
    """An HTTP server on 127.0.0.1 whose answers a test scripts:
    respond(request) -> (status, json or text[, extra headers])."""

    def __init__(self, respond):
        self.requests = []
        server = self

        class Handler(BaseHTTPRequestHandler):
            def handle_one(self):
                length = int(self.headers.get("Content-Length") or 0)
                request = Recorded(self, self.rfile.read(length).decode())
                server.requests.append(request)
                status, payload, *headers = respond(request)
                body = payload if isinstance(payload, str) else json.dumps(payload)
                self.send_response(status)
                for name, value in (headers[0] if headers else {}).items():
                    self.send_header(name, value)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body.encode())))
                self.end_headers()
                try:
                    self.wfile.write(body.encode())
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the client gave up waiting

            do_GET = do_POST = handle_one

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_port}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def local_server():
    """Factory: local_server(respond) starts a scripted HTTP server for this test."""
    servers = []

    def start(respond):
        servers.append(LocalServer(respond))
        return servers[-1]

    yield start
    for server in servers:
        server.stop()
