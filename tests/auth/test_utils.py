"""The redirect handler, served by a real HTTP server on 127.0.0.1."""
import queue
import threading
from http.server import HTTPServer
from types import SimpleNamespace

import pytest
import requests

from vela_experiment_tracking.auth import authenticator, utils
from vela_experiment_tracking.auth.utils import get_disposable_handler
from vela_experiment_tracking.exception import ExperimentTrackingException


class ProtocolClient:
    client_id, client_secret = "cid", "secret"

    def __init__(self, claims=None, fail=False):
        self.registration_response = {"token_endpoint_auth_method": "client_secret_post"}
        self.claims = claims or {"preferred_username": "alice", "email": "a@example.org", "sub": "s"}
        self.fail = fail
        self.exchanges = []
        self.requests_args = []

    def parse_response(self, response_class, info, sformat):
        self.exchanges.append(("parse", info))

    def do_access_token_request(self, state, request_args, authn_method):
        self.requests_args.append(request_args)
        if self.fail:
            raise RuntimeError("token endpoint down")
        self.exchanges.append(("token", state, authn_method))
        return {"access_token": "a", "refresh_token": "refresh-1"}

    def do_user_info_request(self, state, method):
        return self.claims


@pytest.fixture
def listener(monkeypatch):
    remembered = []
    monkeypatch.setattr(utils, "vela_authn", SimpleNamespace(remember_client=lambda *a: remembered.append(a)))

    def start(client):
        items = queue.Queue()
        server = HTTPServer(("127.0.0.1", 0), get_disposable_handler(client, "good-state", items))
        server.process_request = authenticator._serve_apart.__get__(server)  # as the login serves
        thread = threading.Thread(target=server.serve_forever)
        thread.start()
        listener.servers.append((server, thread))
        return SimpleNamespace(url=f"http://127.0.0.1:{server.server_port}", items=items, thread=thread,
                               remembered=remembered)

    listener.servers = []
    yield start
    for server, thread in listener.servers:
        server.shutdown()
        thread.join()
        server.server_close()


def drained(items):
    found = []
    while not items.empty():
        found.append(items.get_nowait())
    return found


def test_completed_login_queues_token_then_name_and_ends_the_listener(listener):
    client = ProtocolClient()
    login = listener(client)
    answer = requests.get(login.url + "/callback?code=c0de&state=good-state", timeout=10)
    assert answer.status_code == 200 and "close this window" in answer.text
    login.thread.join(5)
    assert not login.thread.is_alive()
    assert drained(login.items) == ["refresh-1", "alice"]
    assert client.exchanges[1] == ("token", "good-state", "client_secret_post")
    assert login.remembered == [("cid", "secret", "client_secret_post")]


@pytest.mark.parametrize("claims, name", [({"email": "e@x.org", "sub": "s"}, "e@x.org"), ({"sub": "s"}, "s")])
def test_user_name_falls_back_to_email_then_subject(listener, claims, name):
    login = listener(ProtocolClient(claims))
    requests.get(login.url + "/callback?code=c&state=good-state", timeout=10)
    login.thread.join(5)
    assert drained(login.items)[1] == name


@pytest.mark.parametrize(
    "method, path, status",
    [("GET", "/callback?code=c&state=forged", 400), ("GET", "/callback?code=c", 400),
     ("GET", "/favicon.ico", 404), ("POST", "/callback?code=c&state=good-state", 404),
     ("GET", "/callback?error=access_denied&state=forged", 400), ("GET", "/callback?error=access_denied", 400)],
)
def test_foreign_requests_are_refused_and_queue_nothing(listener, method, path, status):
    client = ProtocolClient()
    login = listener(client)
    assert requests.request(method, login.url + path, timeout=10).status_code == status
    assert login.items.empty() and client.exchanges == [] and login.thread.is_alive()


def test_provider_error_ends_the_login(listener):
    login = listener(ProtocolClient())
    answer = requests.get(login.url + "/callback?error=access_denied&state=good-state&error_description=no+thanks",
                          timeout=10)
    assert answer.status_code == 400 and "access_denied: no thanks" in answer.text
    [error] = drained(login.items)
    assert isinstance(error, ExperimentTrackingException) and "access_denied: no thanks" in str(error)


@pytest.mark.parametrize("description, shown", [
    ("line%0Abreak%1B[31mred%07", "linebreak[31mred"),
    ("x" * 5000, "x" * 200 + "..."),
])
def test_provider_error_text_is_printable_and_bounded(listener, description, shown):
    login = listener(ProtocolClient())
    requests.get(login.url + "/callback?error=access_denied&state=good-state&error_description=" + description,
                 timeout=10)
    [error] = drained(login.items)
    assert str(error) == "The identity provider refused the login: access_denied: " + shown


def test_code_exchange_sends_the_pkce_verifier(listener):
    client = ProtocolClient()
    client.code_verifier = "v" * 64
    login = listener(client)
    requests.get(login.url + "/callback?code=c&state=good-state", timeout=10)
    assert client.requests_args[0] == {"code_verifier": "v" * 64}


def test_failed_exchange_is_reported_through_the_queue(listener):
    login = listener(ProtocolClient(fail=True))
    assert requests.get(login.url + "/callback?code=c&state=good-state", timeout=10).status_code == 500
    [error] = drained(login.items)
    assert isinstance(error, RuntimeError)


def test_only_the_first_answer_of_a_login_is_taken(listener):
    class SlowExchange(ProtocolClient):
        def do_access_token_request(self, **kwargs):
            exchanging.set()
            proceed.wait(10)
            return super().do_access_token_request(**kwargs)

    exchanging, proceed, statuses = threading.Event(), threading.Event(), []
    login = listener(SlowExchange())
    first = threading.Thread(target=lambda: statuses.append(
        requests.get(login.url + "/callback?code=c&state=good-state", timeout=10).status_code))
    first.start()
    assert exchanging.wait(10)
    assert requests.get(login.url + "/callback?code=d&state=good-state", timeout=10).status_code == 400
    proceed.set()
    first.join(10)
    assert statuses == [200] and drained(login.items) == ["refresh-1", "alice"]
