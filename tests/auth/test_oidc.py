"""OIDCAuthenticator with every collaborator substituted through the module's attributes."""
import errno
import logging
import socket
from http.server import BaseHTTPRequestHandler, HTTPServer
import queue as queue_module
import threading
from types import SimpleNamespace

import pytest

from vela_experiment_tracking.auth import authenticator as module
from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator

LOGGER = "vela_experiment_tracking.auth.authenticator"


class Flow:
    """Fakes for one login, recording every call in order."""

    def __init__(self, items=("refresh-1", "alice@example.org"), browser_opens=True):
        self.calls = []
        self.items = list(items)
        self.browser_opens = browser_opens

    def record(self, *call):
        self.calls.append(call)

    def install(self, monkeypatch):
        flow = self

        class Client:
            authorization_endpoint = "https://idp/authorize"

            def __init__(self, **kwargs):
                flow.record("Client", kwargs)

            def provider_config(self, url):
                flow.record("provider_config", url)
                return {"registration_endpoint": "https://idp/register", "token_endpoint": "https://idp/token"}

            def register(self, url, **kwargs):
                flow.record("register", url, kwargs)
                self.client_id, self.registration_response = "dyn-id", {"redirect_uris": kwargs["redirect_uris"]}

            def store_registration_info(self, registration):
                flow.record("store_registration_info", registration)
                self.client_id, self.registration_response = registration["client_id"], registration

            def add_code_challenge(self):
                flow.record("add_code_challenge")
                return {"code_challenge": "chal", "code_challenge_method": "S256"}, "verifier"

            def construct_AuthorizationRequest(self, **kwargs):
                flow.record("construct_AuthorizationRequest", kwargs)
                return SimpleNamespace(request=lambda endpoint: endpoint + "?login")

        class Server:
            server_port = 4321

            def __init__(self, address, handler):
                flow.record("HTTPServer", address, handler)

            def serve_forever(self):
                pass

            def shutdown(self):
                flow.record("shutdown")

            def server_close(self):
                flow.record("server_close")

        class Thread:
            def __init__(self, target):
                flow.record("Thread", target.__name__)
                self.daemon = False

            def start(self):
                flow.record("start", self.daemon)

            def join(self, timeout=None):
                flow.record("join", timeout)

        class Queue:
            def __init__(self, *args):
                flow.record("Queue", args)

            def get(self, timeout):
                flow.record("get", timeout)
                if not flow.items:
                    raise queue_module.Empty
                return flow.items.pop(0)

        states = iter(["state-1", "nonce-2"])
        monkeypatch.setattr(module, "Client", Client)
        monkeypatch.setattr(module, "HTTPServer", Server)
        monkeypatch.setattr(module, "Thread", Thread)
        monkeypatch.setattr(module, "Queue", Queue)
        monkeypatch.setattr(module, "rndstr", lambda: next(states))
        monkeypatch.setattr(module, "RegistrationResponse", lambda **kwargs: dict(kwargs))
        monkeypatch.setattr(module, "_loopback_twin", lambda server, hostname: flow.record("twin", hostname))
        monkeypatch.setattr(module, "get_disposable_handler", lambda *args: flow.record("handler", *args) or "Handler")
        monkeypatch.setattr(module, "webbrowser", SimpleNamespace(
            open=lambda url, **kwargs: flow.record("open", url, kwargs) or flow.browser_opens))
        monkeypatch.setattr(module, "vela_authn", SimpleNamespace(
            TokenProvider=lambda **kwargs: flow.record("TokenProvider", kwargs) or "provider"))
        return self

    def names(self):
        return [call[0] for call in self.calls]


@pytest.fixture
def flow(monkeypatch):
    return Flow().install(monkeypatch)


REDIRECT = "http://localhost:4321/callback"


def test_login_with_dynamic_registration(flow, caplog, monkeypatch):
    monkeypatch.setenv("MLFLOW_TRACKING_TOKEN", "old")
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    authenticator = OIDCAuthenticator("https://idp")
    user = authenticator.authenticate(ignored=True)

    assert flow.names() == ["Client", "Queue", "handler", "HTTPServer", "twin", "Thread", "start", "provider_config",
                            "register", "add_code_challenge", "construct_AuthorizationRequest", "open", "get", "get",
                            "join", "shutdown", "TokenProvider"]
    assert "MLFLOW_TRACKING_TOKEN" not in __import__("os").environ  # cleanup ran first
    calls = {call[0]: call[1:] for call in flow.calls}
    assert calls["Client"] == ({"client_authn_method": module.CLIENT_AUTHN_METHOD},)
    assert calls["Queue"] == ((),) and calls["HTTPServer"] == (("localhost", 0), "Handler")
    client, state, queue = calls["handler"]
    assert (type(client).__name__, state, type(queue).__name__) == ("Client", "state-1", "Queue")
    assert calls["register"] == ("https://idp/register", {"redirect_uris": [REDIRECT]})
    assert list(calls["construct_AuthorizationRequest"][0]["request_args"].items()) == [
        ("client_id", "dyn-id"), ("response_type", "code"), ("scope", ["openid"]), ("nonce", "nonce-2"),
        ("redirect_uri", REDIRECT), ("state", "state-1"), ("code_challenge", "chal"), ("code_challenge_method", "S256")]
    assert client.code_verifier == "verifier"  # for the handler's code exchange
    assert calls["start"] == (True,) and calls["twin"] == ("localhost",)
    assert calls["open"] == ("https://idp/authorize?login", {"new": 0, "autoraise": True})
    assert [c[1] for c in flow.calls if c[0] in ("get", "join")] == [300, 300, 300]
    assert calls["TokenProvider"] == ({"refresh_token": "refresh-1", "client_id": "dyn-id",
                                       "token_endpoint_url": "https://idp/token"},)
    assert (user.username, authenticator.user, vars(authenticator)["_Authenticator__token_provider"]) == (
        "alice@example.org", user, "provider")
    lines = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert lines[0] == "Handler started listening 'http://localhost':4321"
    assert lines[1].startswith("auth_req: ") and lines[2] == "Handler stopped listening '0.0.0.0':4321"


def test_login_with_fixed_credentials(flow):
    OIDCAuthenticator("https://idp", "127.0.0.1", False, "cid", "secret").authenticate()
    registration = next(c for c in flow.calls if c[0] == "store_registration_info")[1]
    assert registration == {"client_id": "cid", "client_secret": "secret",
                            "redirect_uris": ["http://127.0.0.1:4321/callback"]}
    assert "register" not in flow.names()
    assert next(c for c in flow.calls if c[0] == "HTTPServer")[1] == ("127.0.0.1", 0)


def test_nothing_arrives_the_listener_ends_and_state_stays(monkeypatch):
    flow = Flow(items=[]).install(monkeypatch)
    authenticator = OIDCAuthenticator("https://idp")
    with pytest.raises(queue_module.Empty):
        authenticator.authenticate()
    assert flow.names()[-3:] == ["shutdown", "join", "server_close"]
    assert vars(authenticator)["_Authenticator__user"] is None
    assert vars(authenticator)["_Authenticator__token_provider"] is None


def test_error_from_the_listener_ends_the_login(monkeypatch):
    Flow(items=[RuntimeError("access_denied")]).install(monkeypatch)
    with pytest.raises(RuntimeError, match="access_denied"):
        OIDCAuthenticator("https://idp").authenticate()


def test_unopened_browser_shows_the_address(monkeypatch, capsys):
    flow = Flow(browser_opens=False).install(monkeypatch)
    OIDCAuthenticator("https://idp").authenticate()
    assert "open this address: https://idp/authorize?login" in capsys.readouterr().err
    assert flow.names().count("get") == 2


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"client_id": "cid"}, "When dcr_enabled is enabled, client_id and client_secret should be empty!"),
        ({"client_secret": ""}, "When dcr_enabled is enabled, client_id and client_secret should be empty!"),
        ({"dcr_enabled": False, "client_id": "cid"},
         "When dcr_enabled is disabled, client_id and client_secret should not be empty!"),
        ({"dcr_enabled": 0, "client_secret": "s"},
         "When dcr_enabled is disabled, client_id and client_secret should not be empty!"),
    ],
)
def test_constructor_refuses_contradictions(arguments, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        OIDCAuthenticator("https://idp", **arguments)


@pytest.mark.parametrize(
    "arguments",
    [{}, {"dcr_enabled": False, "client_id": "", "client_secret": ""}, {"dcr_enabled": "yes"}, {"colour": "red"}],
)
def test_constructor_accepts(arguments):
    authenticator = OIDCAuthenticator("https://idp", **arguments)
    assert (authenticator.url, authenticator.hostname, authenticator.is_authenticated) == (
        "https://idp", "localhost", False)
    assert authenticator.dcr_enabled == arguments.get("dcr_enabled", True)


def test_port_taken_on_the_other_loopback_address_is_given_up(monkeypatch):
    flow = Flow().install(monkeypatch)
    answers = iter([OSError(errno.EADDRINUSE, "taken"), None])

    def twin(server, hostname):
        flow.record("twin", hostname)
        answer = next(answers)
        if answer:
            raise answer

    monkeypatch.setattr(module, "_loopback_twin", twin)
    OIDCAuthenticator("https://idp").authenticate()
    assert flow.names()[:7] == ["Client", "Queue", "handler", "HTTPServer", "twin", "server_close", "HTTPServer"]


@pytest.mark.skipif(not socket.has_ipv6, reason="no IPv6")
@pytest.mark.parametrize("hostname, held", [("localhost", True), ("127.0.0.1", False)])
def test_localhost_listener_holds_its_port_on_both_loopback_addresses(hostname, held):
    server = HTTPServer(("127.0.0.1", 0), BaseHTTPRequestHandler)
    twin = module._loopback_twin(server, hostname)
    try:
        squatter = socket.socket(socket.AF_INET6)
        with squatter:
            if held:
                with pytest.raises(OSError) as refused:
                    squatter.bind(("::1", server.server_port))
                assert refused.value.errno == errno.EADDRINUSE
            else:
                assert twin is None
    finally:
        if twin is not None:
            twin.shutdown()
            twin.server_close()
        server.server_close()


@pytest.mark.parametrize("hostname", ["localhost", "127.0.0.1"])
def test_login_with_plain_magicmock_collaborators(monkeypatch, hostname):
    """The listener, its thread and the protocol client as bare MagicMocks, as mock-based tests substitute them."""
    from unittest import mock

    server_class, thread_class, client_class = mock.MagicMock(), mock.MagicMock(), mock.MagicMock()
    client = client_class.return_value
    client.provider_config.return_value = {"registration_endpoint": "https://idp/register",
                                           "token_endpoint": "https://idp/token"}
    answers = queue_module.Queue()
    for item in ("refresh-1", "alice@example.org"):
        answers.put(item)
    monkeypatch.setattr(module, "HTTPServer", server_class)
    monkeypatch.setattr(module, "Thread", thread_class)
    monkeypatch.setattr(module, "Client", client_class)
    monkeypatch.setattr(module, "Queue", lambda: answers)
    monkeypatch.setattr(module, "webbrowser", mock.MagicMock())
    monkeypatch.setattr(module, "vela_authn", mock.MagicMock())

    user = OIDCAuthenticator("https://idp", hostname).authenticate()

    server = server_class.return_value
    server_class.assert_called_once_with((hostname, 0), mock.ANY)
    thread_class.assert_called_once_with(target=server.serve_forever)
    thread_class.return_value.start.assert_called_once_with()
    thread_class.return_value.join.assert_called_once_with(300)
    server.shutdown.assert_called_once_with()
    assert user.username == "alice@example.org"
