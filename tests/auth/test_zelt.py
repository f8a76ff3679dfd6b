"""ZELTAuthenticator against local token and userinfo endpoints."""
import urllib.parse
from types import SimpleNamespace

import pytest

from vela_experiment_tracking.auth import authenticator as module
from vela_experiment_tracking.auth.authenticator import Authenticator, ZELTAuthenticator
from vela_experiment_tracking.exception import ExperimentTrackingException

TOKENS = {"access_token": "access-1", "refresh_token": "refresh-1", "expires_in": 60}


@pytest.fixture
def providers(monkeypatch):
    made = []
    monkeypatch.setattr(module, "vela_authn", SimpleNamespace(TokenProvider=lambda **kw: made.append(kw) or "provider"))
    return made


@pytest.fixture
def platform(local_server):
    """Token and userinfo endpoints whose answers a test sets."""

    def start(token=(200, TOKENS), userinfo=(200, {"preferred_username": "jdoe", "email": "john.doe@example.org"})):
        token_endpoint = local_server(lambda request: token)
        userinfo_endpoint = local_server(lambda request: userinfo)
        return SimpleNamespace(token=token_endpoint, userinfo=userinfo_endpoint,
                               authenticator=ZELTAuthenticator("refresh-0", token_endpoint.url + "/token",
                                                               userinfo_endpoint.url + "/userinfo", "cli"))

    return start


def test_login_trades_the_refresh_token(platform, providers, monkeypatch):
    monkeypatch.setenv("MLFLOW_TRACKING_TOKEN", "stale")
    login = platform()
    user = login.authenticator.authenticate(USER_KEY="ignored", TOKEN_PROVIDER_KEY="ignored")
    assert (user.username, login.authenticator.user) == ("jdoe", user)
    token_request, = login.token.requests
    assert token_request.method == "POST" and token_request.path == "/token"
    assert token_request.body == "refresh_token=refresh-0&grant_type=refresh_token&client_id=cli"
    assert token_request.headers["Content-Type"] == "application/x-www-form-urlencoded"
    userinfo_request, = login.userinfo.requests
    assert userinfo_request.method == "GET"
    assert userinfo_request.headers["Authorization"] == "Bearer access-1"
    assert userinfo_request.headers["Content-Type"] == "application/x-www-form-urlencoded"
    assert providers == [{"refresh_token": "refresh-1", "client_id": "cli",
                          "token_endpoint_url": login.token.url + "/token"}]
    assert (login.authenticator._access_token, login.authenticator._refresh_token) == ("access-1", "refresh-1")
    assert vars(login.authenticator)["_Authenticator__token_provider"] == "provider"
    assert "MLFLOW_TRACKING_TOKEN" not in __import__("os").environ


def test_email_names_the_user_when_there_is_no_preferred_name(platform, providers):
    user = platform(userinfo=(200, {"email": "john.doe@example.org"})).authenticator.authenticate()
    assert (user.username, user.name) == ("john.doe@example.org", "John Doe")


def test_refused_token_request(platform, providers):
    login = platform(token=(401, {"error": "invalid_grant"}))
    with pytest.raises(ExperimentTrackingException) as raised:
        login.authenticator.authenticate()
    assert str(raised.value) == f"Authentication failed for the endpoint: {login.token.url}/token, status: 401!"
    assert login.userinfo.requests == [] and providers == []
    assert (login.authenticator._access_token, login.authenticator._refresh_token) == (None, "refresh-0")


def test_refused_userinfo_request(platform, providers):
    login = platform(userinfo=(403, {}))
    with pytest.raises(ExperimentTrackingException) as raised:
        login.authenticator.authenticate()
    assert str(raised.value) == f"User info request failed for the endpoint: {login.userinfo.url}/userinfo, status: 403!"
    assert (login.authenticator._access_token, login.authenticator._refresh_token) == ("access-1", "refresh-1")
    assert login.authenticator.is_authenticated is False


def test_userinfo_without_a_name(platform, providers):
    login = platform(userinfo=(200, {"sub": "x"}))
    with pytest.raises(ExperimentTrackingException) as raised:
        login.authenticator.authenticate()
    assert str(raised.value) == (
        "Couldn't find 'preferred_username', 'email' attributes in the userinfo response for the endpoint: "
        f"{login.userinfo.url}/userinfo, status: 200")


@pytest.mark.parametrize(
    "refresh_token, client_id, body",
    [("r0", None, "refresh_token=r0&grant_type=refresh_token&client_id=None"),
     ("a+b/c=&d e%", "id&x", "refresh_token=a%2Bb/c%3D%26d%20e%25&grant_type=refresh_token&client_id=id%26x"),
     ("jwt.part-1_~", "cli", "refresh_token=jwt.part-1_~&grant_type=refresh_token&client_id=cli")],
)
def test_form_body_keeps_values_intact(local_server, providers, refresh_token, client_id, body):
    token_endpoint = local_server(lambda request: (200, TOKENS))
    userinfo = local_server(lambda request: (200, {"email": "a@b.c"}))
    ZELTAuthenticator(refresh_token, token_endpoint.url, userinfo.url, client_id).authenticate()
    sent = token_endpoint.requests[0].body
    assert sent == body
    assert urllib.parse.parse_qs(sent)["refresh_token"] == [refresh_token]


def test_constructor_passes_extra_arguments_on():
    authenticator = ZELTAuthenticator("r", "t", "u", None, 1, flag=True)
    assert authenticator._client_id is None and authenticator.is_authenticated is False
    assert isinstance(authenticator, Authenticator)
