import base64
import contextlib
import threading
import time
from unittest import mock
import urllib.parse

import pytest
import requests

import vela_authn
from vela_authn import LoginRequiredError, TokenProvider, TokenRefreshError


class Clock:
    """Monotonic and wall clock; a suspended machine moves only the wall clock."""

    def __init__(self):
        self.now = 1000.0
        self.suspended = 0.0

    def monotonic(self):
        return self.now

    def time(self):
        return 1.7e9 + self.now + self.suspended


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


class SharingStore(FakeStore):
    """A remembered login that also keeps the access token renewed last, for other processes."""

    def __init__(self, token=None, access=None):
        super().__init__(token)
        self.access = access

    def shared_access(self):
        assert self.locked
        self.calls.append("shared_access")
        return self.access

    def save(self, refresh_token, access=None):
        super().save(refresh_token)
        self.access = access


def shared(renew_in=60, expires_in=90, **fields):
    """What another process shared, with its moments counted from now."""
    now = time.time()
    return {"access_token": "access-other", "renew_at": now + renew_in, "expires_at": now + expires_in, **fields}


@pytest.mark.parametrize("changes, taken_over", [
    ({}, True),
    ({"renew_in": -1}, False),  # due: this process renews
    ({"renew_at": "soon"}, False),  # damaged
    ({"renew_at": 10**400}, False),  # damaged: no float holds it
    ({"access_token": None}, False),
    (None, False),  # nothing shared
])
def test_an_access_token_another_process_renewed_is_used_until_due(token_endpoint, changes, taken_over):
    access = None if changes is None else shared(**changes)
    store = SharingStore("refresh-0", access)
    provider = provider_for(token_endpoint)
    provider.store = store
    assert provider.token() == ("access-other" if taken_over else "access-1")
    assert len(token_endpoint.requests) == (0 if taken_over else 1)
    assert store.access == (access if taken_over else provider.access_in_effect())
    assert store.access["renew_at"] < store.access["expires_at"]


def test_a_refused_access_token_is_renewed_though_the_store_still_has_it(token_endpoint):
    store = SharingStore("refresh-0", shared())
    provider = provider_for(token_endpoint)
    provider.store = store
    assert provider.token() == "access-other"
    provider.expire("access-other")
    assert provider.token() == "access-1" and store.access["access_token"] == "access-1"


def scripted(local_server, *answers):
    """A token endpoint giving these answers in turn (the last one for ever), each as (status, body[, delay])."""

    def respond(request):
        status, body, *delay = answers[min(len(server.requests), len(answers)) - 1]
        time.sleep(delay[0] if delay else 0)
        return status, body

    server = local_server(respond)
    return server


FRESH = 200, {"access_token": "access-1", "refresh_token": "refresh-1", "expires_in": 60}
RENEWED = 200, {"access_token": "access-2", "refresh_token": "refresh-2", "expires_in": 60}


def test_failed_renewal_keeps_the_valid_token_and_backs_off(clock, local_server):
    server = scripted(local_server, FRESH, (500, "down"), (500, "down"), RENEWED)
    provider = provider_for(server)
    provider.token()
    clock.now += 50  # inside the renewal window, 10 s before expiry
    assert [provider.token() for _ in range(5)] == ["access-1"] * 5
    assert len(server.requests) == 2  # one attempt, then the backoff
    clock.now += 1.1
    assert provider.token() == "access-1" and len(server.requests) == 3
    clock.now += 1.5  # the backoff doubled to 2 s
    assert provider.token() == "access-1" and len(server.requests) == 3
    clock.now += 0.6
    assert provider.token() == "access-2" and len(server.requests) == 4


def test_expired_token_and_failing_endpoint_raise_without_a_storm(clock, local_server):
    server = scripted(local_server, FRESH, (503, "down"))
    provider = provider_for(server)
    provider.token()
    clock.now += 61
    for _ in range(10):
        with pytest.raises(TokenRefreshError, match="status: 503"):
            provider.token()
    assert len(server.requests) == 2


def test_refused_refresh_token_asks_for_a_new_login_once(clock, local_server):
    server = scripted(local_server, FRESH, (400, {"error": "invalid_grant", "error_description": "revoked"}))
    provider = provider_for(server)
    provider.token()
    clock.now += 61
    for _ in range(5):
        with pytest.raises(LoginRequiredError, match=r"\(invalid_grant\).*Please log in again"):
            provider.token()
    assert len(server.requests) == 2


@pytest.mark.parametrize("answer, message", [
    ("<html>busy</html>", "not JSON"),
    ([], "not an object"),
    ({"token_type": "Bearer"}, "without an access token"),
    ({"access_token": None, "expires_in": 60}, "without an access token"),
    ({"access_token": "", "expires_in": 60}, "without an access token"),
    ({"access_token": 7, "expires_in": 60}, "without an access token"),
    ({"access_token": "a", "expires_in": float("nan")}, "unusable expires_in: nan"),
    ({"access_token": "a", "expires_in": float("inf")}, "unusable expires_in: inf"),
    ({"access_token": "a", "expires_in": -5}, "unusable expires_in: -5"),
    ({"access_token": "a", "expires_in": 0}, "unusable expires_in: 0"),
    ({"access_token": "a", "expires_in": 10**12}, "unusable expires_in: 1000000000000"),
    ({"access_token": "a", "expires_in": True}, "unusable expires_in: True"),
    ({"access_token": "a", "expires_in": "soon"}, "unusable expires_in: 'soon'"),
])
def test_odd_answers_are_refresh_errors(clock, local_server, answer, message):
    provider = provider_for(scripted(local_server, (200, answer)))
    with pytest.raises(TokenRefreshError, match=message):
        provider.token()


def test_numeric_text_expires_in_is_accepted(clock, local_server):
    provider = provider_for(scripted(local_server, (200, {"access_token": "a", "expires_in": "120"})))
    assert provider.token() == "a"


def test_suspended_machine_renews_on_wake(clock, token_endpoint):
    provider = provider_for(token_endpoint)
    provider.token()
    clock.suspended += 3600  # the monotonic clock stood still
    assert provider.token() == "access-2"


def test_refused_token_is_renewed_once_unless_already_newer(clock, token_endpoint):
    provider = provider_for(token_endpoint)
    provider.expire(provider.token())
    assert provider.token() == "access-2"
    provider.expire("access-1")  # a late refusal of the old token
    assert provider.token() == "access-2" and len(token_endpoint.requests) == 2


def test_every_provider_request_has_a_timeout_and_no_answer_is_a_refresh_error(clock):
    with mock.patch("vela_authn.requests.post", side_effect=requests.exceptions.ReadTimeout("slow")) as post:
        provider = TokenProvider(refresh_token="r", client_id="cli", token_endpoint_url="http://127.0.0.1:9/token")
        with pytest.raises(TokenRefreshError, match="no answer: ReadTimeout"):
            provider.token()
    connect, read = post.call_args.kwargs["timeout"]
    assert 0 < connect <= 10 and 0 < read <= 30


def test_sixteen_callers_in_the_renewal_window_with_a_failing_endpoint(clock, local_server):
    server = scripted(local_server, FRESH, (500, "down", 1.5))
    provider = provider_for(server)
    provider.token()
    clock.now += 50
    tokens, start = [], threading.Barrier(16)

    def call():
        start.wait()
        tokens.append(provider.token())

    threads = [threading.Thread(target=call) for _ in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert tokens == ["access-1"] * 16
    # one renewal in flight; the fifteen others kept the valid token without waiting for it
    assert len(server.requests) == 2
    assert [provider.token() for _ in range(16)] == ["access-1"] * 16 and len(server.requests) == 2


def test_callers_without_a_valid_token_share_the_renewal_in_flight(clock, local_server):
    server = scripted(local_server, FRESH, (200, RENEWED[1], 1.0))
    provider = provider_for(server)
    provider.token()
    clock.now += 61  # expired: everyone needs the new token
    tokens, start = [], threading.Barrier(8)

    def call():
        start.wait()
        tokens.append(provider.token())

    threads = [threading.Thread(target=call) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert tokens == ["access-2"] * 8 and len(server.requests) == 2
