import base64
import contextlib
import urllib.parse

import pytest

import vela_authn
from vela_authn import LoginRequiredError, TokenProvider, TokenRefreshError


class Clock:
    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(vela_authn, "time", clock)
    return clock


@pytest.fixture
def token_endpoint(local_server):
    """Answers each refresh with a numbered access token and a rotated refresh token."""

    def respond(request):
        n = len(server.requests)
        return 200, {"access_token": f"access-{n}", "refresh_token": f"refresh-{n}", "expires_in": 60}

    server = local_server(respond)
    return server


def form(request):
    return dict(urllib.parse.parse_qsl(request.body))


def provider_for(server, client_id="cli"):
    return TokenProvider(refresh_token="refresh-0", client_id=client_id, token_endpoint_url=server.url + "/token")


def test_one_request_while_the_token_is_valid(clock, token_endpoint):
    provider = provider_for(token_endpoint)
    assert {provider.token() for _ in range(100)} == {"access-1"}
    assert len(token_endpoint.requests) == 1 == provider.requests_made


def test_renews_once_shortly_before_expiry_with_the_rotated_token(clock, token_endpoint):
    provider = provider_for(token_endpoint)
    provider.token()
    clock.now += 47  # a 60 s token is renewed in its last 12 s
    assert provider.token() == "access-1"
    clock.now += 2
    assert [provider.token(), provider.token()] == ["access-2", "access-2"]
    assert [form(r)["refresh_token"] for r in token_endpoint.requests] == ["refresh-0", "refresh-1"]
    assert form(token_endpoint.requests[0]) == {
        "grant_type": "refresh_token", "refresh_token": "refresh-0", "client_id": "cli"}


def test_refused_refresh_names_endpoint_and_status(local_server):
    server = local_server(lambda request: (400, {"error": "invalid_request"}))
    provider = provider_for(server)
    with pytest.raises(TokenRefreshError, match=rf"^Token refresh failed for the endpoint: {server.url}/token, status: 400$"):
        provider.token()


@pytest.mark.parametrize("method", ["client_secret_basic", "client_secret_post", "none"])
def test_recorded_credentials_authenticate_the_refresh(monkeypatch, token_endpoint, method):
    monkeypatch.setattr(vela_authn, "_client_credentials", {})
    vela_authn.remember_client("conf", "s3cret+", method)
    provider_for(token_endpoint, client_id="conf").token()
    request = token_endpoint.requests[0]
    body = form(request)
    if method == "client_secret_basic":
        assert request.headers["Authorization"] == "Basic " + base64.b64encode(b"conf:s3cret%2B").decode()
        assert "client_secret" not in body
    elif method == "client_secret_post":
        assert (body["client_id"], body["client_secret"]) == ("conf", "s3cret+")
    else:
        assert "Authorization" not in request.headers and body["client_id"] == "conf"


class FakeStore:
    """A remembered login: one refresh token behind a lock, with every use recorded."""

    def __init__(self, token=None):
        self.token, self.calls, self.locked = token, [], False

    @contextlib.contextmanager
    def lock(self):
        self.calls.append("lock")
        self.locked = True
        try:
            yield
        finally:
            self.locked = False
            self.calls.append("unlock")

    def load(self):
        assert self.locked
        self.calls.append("load")
        return self.token

    def save(self, refresh_token):
        assert self.locked
        self.calls.append("save")
        self.token = refresh_token

    def forget(self):
        assert self.locked
        self.calls.append("forget")
        self.token = None


@pytest.mark.parametrize("stored, sent", [(None, "refresh-0"), ("refresh-0", "refresh-0"), ("other-process", "other-process")])
def test_store_lends_its_refresh_token_and_keeps_the_rotated_one(token_endpoint, stored, sent):
    store = FakeStore(stored)
    provider = provider_for(token_endpoint)
    provider.store = store
    assert provider.token() == "access-1"
    assert form(token_endpoint.requests[0])["refresh_token"] == sent
    assert store.calls == ["lock", "load", "save", "unlock"] and store.token == "refresh-1"


def test_refused_refresh_token_is_forgotten_and_asks_for_a_new_login(local_server):
    server = local_server(lambda request: (400, {"error": "invalid_grant"}))
    store = FakeStore("refresh-0")
    provider = TokenProvider(refresh_token="refresh-0", client_id="cli", token_endpoint_url=server.url + "/token",
                             store=store)
    with pytest.raises(LoginRequiredError, match="invalid_grant.*log in again"):
        provider.token()
    assert store.calls == ["lock", "load", "forget", "unlock"] and store.token is None
    assert issubclass(LoginRequiredError, TokenRefreshError)


def test_other_failures_leave_the_store_alone(local_server):
    server = local_server(lambda request: (503, "down"))
    store = FakeStore("refresh-0")
    provider = TokenProvider(refresh_token="refresh-0", client_id="cli", token_endpoint_url=server.url + "/token",
                             store=store)
    with pytest.raises(TokenRefreshError):
        provider.token()
    assert store.calls == ["lock", "load", "unlock"] and store.token == "refresh-0"
