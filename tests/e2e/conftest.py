"""Real peers for end-to-end tests, each started on 127.0.0.1 and stopped by its own process id."""
import os
import runpy
import shutil
import sqlite3
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
import requests
from local_servers import LocalMlflowServer, ServerProcess, free_port

@pytest.fixture(scope="session")
def mlflow_server(tmp_path_factory):
    """A real MLflow tracking server on a SQLite file."""
    with LocalMlflowServer(tmp_path_factory.mktemp("mlflow"), free_port()) as server:
        yield server.address


HERE = Path(__file__).resolve().parent
TOKEN_LIFETIME = 4  # seconds: short enough that the tests outlive several access tokens


@pytest.fixture(scope="session")
def oidc_provider(tmp_path_factory):
    """A real OpenID Connect provider that rotates refresh tokens; access tokens last TOKEN_LIFETIME s."""
    port = free_port()
    url = f"http://127.0.0.1:{port}"
    with ServerProcess([sys.executable, str(HERE / "oidc_provider.py"), str(port), str(TOKEN_LIFETIME)],
                       url + "/.well-known/openid-configuration", tmp_path_factory.mktemp("oidc") / "provider.log"):
        yield url


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


PLATFORM_CLIENT = "platform-cli"


def obtain_refresh_token(provider):
    """A new refresh token for jdoe, obtained from the provider as the cloud platform would hold it."""
    redirect_uri = "http://127.0.0.1/platform"
    authorization = requests.post(
        f"{provider}/oauth2/authorize",
        params={"client_id": PLATFORM_CLIENT, "redirect_uri": redirect_uri, "response_type": "code",
                "scope": "openid profile email", "state": "s"},
        data={"sub": "jdoe"}, allow_redirects=False, timeout=10)
    code = urllib.parse.parse_qs(urllib.parse.urlsplit(authorization.headers["Location"]).query)["code"][0]
    tokens = requests.post(f"{provider}/oauth2/token", data={
        "grant_type": "authorization_code", "code": code, "redirect_uri": redirect_uri, "client_id": PLATFORM_CLIENT},
        timeout=10)
    tokens.raise_for_status()
    return tokens.json()["refresh_token"]


@pytest.fixture
def platform_refresh_token(oidc_provider):
    """A refresh token for jdoe, obtained from the provider as the cloud platform would hold it."""
    requests.put(f"{oidc_provider}/users/jdoe", json={"preferred_username": "jdoe", "email": "john.doe@example.org"},
                 timeout=10).raise_for_status()
    return obtain_refresh_token(oidc_provider)


class Relay:
    """A local HTTP server before `upstream`: `answer(handler, body)` answers a request itself (returning True)
    or leaves it to be forwarded as it came."""

    def __init__(self, upstream):
        relay = self

        class Handler(BaseHTTPRequestHandler):
            def forward(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                if relay.answer(self, body):
                    return
                headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "content-length")}
                answer = requests.request(self.command, upstream + self.path, headers=headers, data=body, timeout=60)
                relay.reply(self, answer.status_code, answer.headers.get("Content-Type", "application/json"),
                            answer.content)

            do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = forward

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_port}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def answer(self, handler, body):
        return False

    @staticmethod
    def reply(handler, status, content_type=None, content=b"", headers=()):
        handler.send_response(status)
        if content_type:
            handler.send_header("Content-Type", content_type)
        for name, value in headers:
            handler.send_header(name, value)
        handler.send_header("Content-Length", str(len(content)))
        handler.end_headers()
        handler.wfile.write(content)

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class VerifyingGateway(Relay):
    """Stands before the tracking server and lets a request through only with an access token that the
    provider accepts now. The server probe (GET /, the UI's page) passes without one."""

    def __init__(self, provider, upstream):
        self.provider, self.refused, self.passed = provider, [], 0
        super().__init__(upstream)

    def answer(self, handler, body):
        probe = handler.command == "GET" and handler.path == "/"
        token = handler.headers.get("Authorization", "")
        if not probe and userinfo_status(self.provider, token.removeprefix("Bearer ")) != 200:
            self.refused.append(handler.path)
            self.reply(handler, 401)
            return True
        self.passed += 1
        return False


@pytest.fixture
def gateway(oidc_provider, mlflow_server):
    gateway = VerifyingGateway(oidc_provider, mlflow_server)
    yield gateway
    gateway.stop()


class DeviceProvider:
    def __init__(self, issuer, database):
        self.issuer, self.database = issuer, database

    def query(self, sql, *args):
        with sqlite3.connect(self.database, timeout=20) as db:
            return db.execute(sql, args).fetchall()

    def expire(self, user_code):
        self.query("UPDATE oauth2_provider_devicegrant SET status = 'expired' WHERE user_code = ?", user_code)

    def secrets(self):
        """Every token and device code the provider ever issued."""
        return [row[0] for table, column in [("accesstoken", "token"), ("refreshtoken", "token"),
                                             ("devicegrant", "device_code")]
                for row in self.query(f"SELECT {column} FROM oauth2_provider_{table}")]


@pytest.fixture(scope="session")
def device_provider(tmp_path_factory):
    folder = tmp_path_factory.mktemp("device-provider")
    port = free_port()
    issuer = f"http://127.0.0.1:{port}/o"
    with ServerProcess([sys.executable, str(HERE / "device_provider" / "provider.py"), str(port),
                        str(folder / "provider.sqlite3"), "60"],
                       issuer + "/.well-known/openid-configuration", folder / "provider.log"):
        yield DeviceProvider(issuer, folder / "provider.sqlite3")


ROOT = HERE.parents[1]
PYTHONS = runpy.run_path(str(ROOT / "tests" / "pythons.py"))
AUDITWHEEL_REFUSALS = ("cannot repair", "not supported", "unsupported", "only supports")
COMPILERS = ["c++", "g++", "gcc", "cc", "clang++", "clang", "zig"]


@pytest.fixture(scope="session")
def wheels():
    """`make wheels` once per session: the folder of the manylinux wheels. Skips where auditwheel refuses
    this platform."""
    result = subprocess.run(["make", "-s", "wheels"], cwd=ROOT, capture_output=True, text=True, timeout=2400)
    if result.returncode != 0:
        refusals = [line for line in result.stderr.splitlines() if any(r in line for r in AUDITWHEEL_REFUSALS)]
        if refusals:
            pytest.skip(f"auditwheel does not support this platform: {refusals[-1].strip()}")
        pytest.fail(f"make wheels failed:\n{result.stdout[-2000:]}\n{result.stderr[-4000:]}")
    return ROOT / "dist"


@pytest.fixture
def interpreter(version):
    """The CPython `version` (a test's parameter) that the wheels are built with; skips where it is missing."""
    python = PYTHONS["interpreters"]()[version]
    if python is None:
        pytest.skip(PYTHONS["missing"](version))
    return python


@pytest.fixture
def version_wheel(version, interpreter, wheels):
    tag = PYTHONS["tag"](version)
    (built,) = wheels.glob(f"vela_experiment_tracking-*-{tag}-{tag}-manylinux*.whl")
    return built


@pytest.fixture
def bare_environment(interpreter, tmp_path):
    """A fresh virtual environment of the interpreter, and the environment variables of a machine whose
    PATH has it and no compiler."""
    environment = tmp_path / "env"
    subprocess.run([str(interpreter), "-m", "venv", str(environment)], check=True, timeout=300)
    variables = {name: value for name, value in os.environ.items()
                 if name not in ("PYTHONPATH", "CC", "CXX", "VIRTUAL_ENV", "PIP_FIND_LINKS", "PIP_INDEX_URL")}
    variables["PATH"] = str(environment / "bin")
    variables["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    assert not any(shutil.which(compiler, path=variables["PATH"]) for compiler in COMPILERS)
    return environment, variables
