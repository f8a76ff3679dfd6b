"""A scripted stand-in for the tracking server's batch endpoint, reached through the sender's session."""
import json
import threading
import types

import pytest
import requests

from vela_experiment_tracking.tracking import sender as sender_module

SERVER = "http://tracking.test"


class FakeBatchEndpoint:
    """Answers the sender's requests with `answer(body) -> status or (status, error code)` (or raises what
    it raises); keeps the decoded bodies. `hold` blocks every request until it is set."""

    def __init__(self):
        self.bodies, self.calls, self.files = [], [], {}
        self.answer = lambda body: 200
        self.hold = threading.Event()
        self.hold.set()

    def post(self, url, data=None, headers=None, auth=None, timeout=None, allow_redirects=True):
        self.hold.wait(10)
        body = json.loads(data)
        self.calls.append({"url": url, "headers": headers, "auth": auth, "timeout": timeout,
                           "allow_redirects": allow_redirects})
        status, code = self.answer(body), "INVALID_PARAMETER_VALUE"
        if isinstance(status, tuple):
            status, code = status
        if status == 200:
            self.bodies.append(body)
        return types.SimpleNamespace(status_code=status, text="refused",
                                     json=lambda: {"error_code": code, "message": "bad value"})

    def put(self, url, data=None, headers=None, auth=None, timeout=None, allow_redirects=True):
        """An artifact's upload: answered by `answer({"artifact": url})`; the files taken go to `files`."""
        status = self.answer({"artifact": url})
        if status == 200:
            self.files[url] = data.read()
        return types.SimpleNamespace(status_code=status, content=b"", json=lambda: {})

    def delivered(self, kind="metrics"):
        return [entry for body in self.bodies for entry in body.get(kind, [])]


@pytest.fixture
def endpoint(monkeypatch):
    endpoint = FakeBatchEndpoint()
    fake_requests = types.SimpleNamespace(Session=lambda: endpoint, exceptions=requests.exceptions)
    monkeypatch.setattr(sender_module, "requests", fake_requests)
    return endpoint


@pytest.fixture
def journal_home(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    return tmp_path / "vela_experiment_tracking" / "journal"


@pytest.fixture
def make_sender(endpoint, journal_home):
    """Factory of senders on the fake endpoint; each is closed at the end of the test."""
    made = []

    def make():
        made.append(sender_module.Sender())
        return made[-1]

    yield make
    endpoint.hold.set()
    for sender in made:
        sender.close(timeout=0)
