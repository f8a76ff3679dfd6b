"""The device login's polling rules and hand-over, against scripted provider answers on 127.0.0.1."""
import json
import logging
import urllib.parse
from unittest import mock

import pytest

import vela_authn
from vela_experiment_tracking.auth import device
from vela_experiment_tracking.auth.device import DeviceAuthenticator
from vela_experiment_tracking.exception import ExperimentTrackingException

DEVICE_CODE, USER_CODE = "device-code-secret", "WDJB-MJHT"
PENDING = (400, {"error": "authorization_pending"})
SLOW_DOWN = (400, {"error": "slow_down"})
TOKENS = (200, {"access_token": "access-1", "refresh_token": "refresh-1", "expires_in": 60})


class FakeClock:
    """time as the device module sees it: sleeping moves the clock on at once."""

    def __init__(self):
        self.now, self.sleeps = 1000.0, []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(device, "time", fake)
    return fake


@pytest.fixture(autouse=True)
def nothing_remembered(monkeypatch):
    monkeypatch.setenv("VELA_REMEMBER_LOGIN", "0")


@pytest.fixture(autouse=True)
def recorded_clients(monkeypatch):
    """Client credentials that logins record stay with the test."""
    monkeypatch.setattr(vela_authn, "_client_credentials", {})


@pytest.fixture
def provider(local_server):
    """A provider whose token endpoint gives the scripted answers in turn (the last one repeats)."""

    def start(*polls, grant=None, discovery=None):
        answers = list(polls)

        def respond(request):
            path = urllib.parse.urlsplit(request.path).path
            if path == "/.well-known/openid-configuration":
                document = {"token_endpoint": server.url + "/token", "userinfo_endpoint": server.url + "/userinfo",
                            "device_authorization_endpoint": server.url + "/device"}
                extra = {k: v.format(url=server.url) if isinstance(v, str) else v for k, v in (discovery or {}).items()}
                return 200, {**document, **extra}
            if path == "/device":
                return 200, {"device_code": DEVICE_CODE, "user_code": USER_CODE, "interval": 2, "expires_in": 30,
                             "verification_uri": server.url + "/verify", **(grant or {})}
            if path == "/token":
                return answers.pop(0) if len(answers) > 1 else answers[0]
            if path == "/register":
                return 201, {"client_id": "registered"}
            if path == "/userinfo":
                return 200, {"sub": "42", "preferred_username": "jdoe"}
            return 404, {}

        server = local_server(respond)
        return server

    return start


def polls(server):
    return [r for r in server.requests if r.path == "/token"]


def test_approved_login_hands_the_refresh_token_to_the_token_provider(provider, clock):
    server = provider(PENDING, PENDING, TOKENS)
    with mock.patch("vela_experiment_tracking.auth.device.vela_authn") as vela_authn:
        login = DeviceAuthenticator(server.url, client_id="cli")
        user = login.authenticate()
    assert user.username == "jdoe" and login.is_authenticated
    vela_authn.TokenProvider.assert_called_once_with(refresh_token="refresh-1", client_id="cli",
                                                     token_endpoint_url=server.url + "/token")
    vela_authn.remember_client.assert_called_once_with("cli", None, "none")
    assert clock.sleeps == [2, 2, 2]
    poll = urllib.parse.parse_qs(polls(server)[0].body)
    assert poll == {"grant_type": ["urn:ietf:params:oauth:grant-type:device_code"], "device_code": [DEVICE_CODE],
                    "client_id": ["cli"]}
    assert server.requests[-1].headers["Authorization"] == "Bearer access-1"


@pytest.mark.parametrize(
    "answers, sleeps",
    [([TOKENS], [2]),
     ([PENDING, SLOW_DOWN, PENDING, TOKENS], [2, 2, 7, 7]),
     ([SLOW_DOWN, SLOW_DOWN, TOKENS], [2, 7, 12]),
     ([(503, "unavailable"), PENDING, TOKENS], [2, 4, 4])],
    ids=["at once", "slow_down adds five seconds", "slow_down adds up", "a provider fault slows the polling"],
)
def test_polls_at_the_interval(provider, clock, answers, sleeps):
    server = provider(*answers)
    DeviceAuthenticator(server.url, client_id="cli").authenticate()
    assert clock.sleeps == sleeps
    assert len(polls(server)) == len(sleeps)


@pytest.mark.parametrize(
    "answer, message",
    [((400, {"error": "access_denied"}), "The device login was denied."),
     ((400, {"error": "expired_token"}), "The device login code expired before the login was approved"),
     ((400, {"error": "invalid_client"}), "refused the device login: invalid_client"),
     ((401, "not json"), "refused the device login: 401")],
)
def test_a_final_answer_ends_the_login_with_a_clear_error(provider, clock, answer, message):
    server = provider(PENDING, answer)
    with pytest.raises(ExperimentTrackingException, match=message):
        DeviceAuthenticator(server.url, client_id="cli").authenticate()
    assert len(polls(server)) == 2


def test_the_code_expires_when_the_user_never_answers(provider, clock):
    server = provider(PENDING, grant={"interval": 5, "expires_in": 12})
    with pytest.raises(ExperimentTrackingException, match="code expired"):
        DeviceAuthenticator(server.url, client_id="cli").authenticate()
    assert len(polls(server)) == 2  # at 5 s and 10 s; at 15 s the code is gone


def test_shows_where_to_log_in_and_keeps_secrets_out_of_the_log(provider, clock, capsys, caplog):
    complete = "http://127.0.0.1/verify?user_code=" + USER_CODE
    server = provider(TOKENS, grant={"verification_uri_complete": complete})
    caplog.set_level(logging.DEBUG)
    DeviceAuthenticator(server.url, client_id="cli").authenticate()
    shown = capsys.readouterr().err
    assert f"open {server.url}/verify and enter the code {USER_CODE}" in shown and complete in shown
    for secret in (DEVICE_CODE, "access-1", "refresh-1"):
        assert secret not in shown and secret not in caplog.text


def test_a_notebook_gets_a_link(monkeypatch, capsys):
    display = mock.MagicMock()
    ipython = mock.MagicMock(**{"get_ipython.return_value.kernel": object()})
    monkeypatch.setitem(device.sys.modules, "IPython", ipython)
    monkeypatch.setitem(device.sys.modules, "IPython.display", display)
    device.show_device_code("https://idp/verify", "AB<CD", "javascript:alert(1)")
    device.show_device_code("https://idp/verify", "AB<CD", "https://idp/verify?c=1&d=2")
    (html,), _ = display.HTML.call_args
    assert display.HTML.call_count == 1  # the javascript: address is shown as text only
    assert 'href="https://idp/verify?c=1&amp;d=2"' in html and "<b>AB&lt;CD</b>" in html


@pytest.mark.parametrize(
    "discovery, message",
    [({"device_authorization_endpoint": None}, "offers no device login"),
     ({"registration_endpoint": None}, "needs a client id")],
)
def test_a_provider_without_what_the_login_needs(provider, clock, discovery, message):
    server = provider(TOKENS, discovery=discovery)
    client_id = "cli" if "device_authorization_endpoint" in discovery else None
    with pytest.raises(ExperimentTrackingException, match=message):
        DeviceAuthenticator(server.url, client_id=client_id).authenticate()
    assert polls(server) == []


def test_a_confidential_client_authenticates_its_polls(provider, clock):
    server = provider(TOKENS)
    DeviceAuthenticator(server.url, client_id="cli", client_secret="s3cret").authenticate()
    assert polls(server)[0].headers["Authorization"].startswith("Basic ")
    assert "s3cret" not in polls(server)[0].body


def test_registers_a_public_client_when_none_is_configured(provider, clock):
    server = provider(TOKENS, discovery={"registration_endpoint": "{url}/register"})
    DeviceAuthenticator(server.url).authenticate()
    (registration,) = [r for r in server.requests if r.path == "/register"]
    assert json.loads(registration.body)["token_endpoint_auth_method"] == "none"
    assert urllib.parse.parse_qs(polls(server)[0].body)["client_id"] == ["registered"]


@pytest.mark.parametrize(
    "grant",
    [{"interval": 1e5, "expires_in": 5}, {"interval": float("inf"), "expires_in": 10 ** 400}],
    ids=["an interval longer than the code lives", "numbers no float holds (1e400)"],
)
def test_an_unusable_interval_polls_within_bounds(provider, clock, grant):
    server = provider(PENDING, grant=grant)
    with pytest.raises(ExperimentTrackingException, match="code expired"):
        DeviceAuthenticator(server.url, client_id="cli").authenticate()
    assert max(clock.sleeps) <= 60 and sum(clock.sleeps) <= 1800 and len(polls(server)) <= 30


def test_too_many_requests_slows_the_polling_down(provider, clock):
    server = provider((429, "slow down"), TOKENS)
    DeviceAuthenticator(server.url, client_id="cli").authenticate()
    assert clock.sleeps == [2, 7] and len(polls(server)) == 2


def test_the_prompt_is_printable_text(capsys):
    device.show_device_code("https://idp/verify\x1b]8;;evil\x07", "AB\x1b[2JCD", None)
    shown = capsys.readouterr().err
    assert "\x1b" not in shown and "\x07" not in shown and "enter the code AB[2JCD" in shown
