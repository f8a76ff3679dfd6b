import webbrowser
from unittest import mock

import pytest

from vela_experiment_tracking import config
from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator, ZELTAuthenticator
from vela_experiment_tracking.auth.device import DeviceAuthenticator
from vela_experiment_tracking.auth.remembered import RememberedOIDCAuthenticator, RememberedZELTAuthenticator
from vela_experiment_tracking.config import check_auth_env_configs
from vela_experiment_tracking.exception import ExperimentTrackingException

PLATFORM = {"VELA_PLATFORM_REFRESH_TOKEN": "r", "VELA_PLATFORM_TOKEN_ENDPOINT": "https://idp/token",
            "VELA_PLATFORM_USERINFO_ENDPOINT": "https://idp/userinfo"}


@pytest.fixture
def environment(monkeypatch):
    def set_to(variables):
        for name, value in variables.items():
            monkeypatch.setenv(name, value)

    return set_to


def test_nothing_configured():
    assert check_auth_env_configs() is None


def test_platform_login(environment):
    environment({**PLATFORM, "VELA_PLATFORM_CLIENT_ID": "cli", "VELA_OIDC_ISSUER": "https://other"})
    login = check_auth_env_configs()
    assert isinstance(login, ZELTAuthenticator)
    assert (login._refresh_token, login._token_endpoint, login._userinfo_endpoint, login._client_id) == (
        "r", "https://idp/token", "https://idp/userinfo", "cli")


@pytest.mark.parametrize(
    "variables, dcr, client",
    [({"VELA_OIDC_ISSUER": "https://idp"}, True, (None, None)),
     ({"VELA_OIDC_ISSUER": "https://idp", "VELA_OIDC_CLIENT_ID": "c", "VELA_OIDC_CLIENT_SECRET": "s",
       "VELA_OIDC_HOSTNAME": "127.0.0.1"}, False, ("c", "s"))],
)
def test_browser_login(environment, variables, dcr, client):
    environment(variables)
    login = check_auth_env_configs()
    assert isinstance(login, OIDCAuthenticator) and login.url == "https://idp"
    assert (login.dcr_enabled, (login.client_id, login.client_secret)) == (dcr, client)
    assert login.hostname == variables.get("VELA_OIDC_HOSTNAME", "localhost")


@pytest.mark.parametrize(
    "variables, missing",
    [({"VELA_PLATFORM_REFRESH_TOKEN": "r"}, "VELA_PLATFORM_TOKEN_ENDPOINT"),
     ({k: v for k, v in PLATFORM.items() if k != "VELA_PLATFORM_USERINFO_ENDPOINT"}, "VELA_PLATFORM_USERINFO_ENDPOINT"),
     ({"VELA_PLATFORM_CLIENT_ID": "c"}, "VELA_PLATFORM_REFRESH_TOKEN"),
     ({"VELA_OIDC_ISSUER": "https://idp", "VELA_OIDC_CLIENT_SECRET": "s"}, "VELA_OIDC_CLIENT_ID")],
)
def test_half_configured_login_names_the_missing_variable(environment, variables, missing):
    environment(variables)
    with pytest.raises(ExperimentTrackingException, match=f" {missing} is not set.$"):
        check_auth_env_configs()


class NoBrowser:
    Error = webbrowser.Error

    @staticmethod
    def get():
        raise webbrowser.Error("could not locate runnable browser")


def test_the_device_login_when_asked(environment):
    environment({"VELA_OIDC_ISSUER": "https://idp", "VELA_OIDC_CLIENT_ID": "c", "VELA_OIDC_LOGIN": " Device"})
    login = check_auth_env_configs()
    assert isinstance(login, DeviceAuthenticator)
    assert (login.url, login.client_id, login.client_secret) == ("https://idp", "c", None)


@pytest.mark.parametrize(
    "host, fallback",
    [({"browser": NoBrowser}, True),
     ({"SSH_CONNECTION": "10.0.0.1 5 10.0.0.2 22"}, True),
     ({"SSH_CONNECTION": "10.0.0.1 5 10.0.0.2 22", "DISPLAY": ":0"}, False),
     ({"SSH_CONNECTION": "10.0.0.1 5 10.0.0.2 22", "VELA_OIDC_LOGIN": "browser", "browser": NoBrowser}, False)],
    ids=["no browser", "remote shell", "remote shell with a display", "browser asked for"],
)
def test_without_a_browser_the_browser_login_may_turn_to_the_device_login(environment, monkeypatch, host, fallback):
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "BROWSER", "SSH_CONNECTION"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(config, "webbrowser", host.pop("browser", mock.MagicMock()))
    environment({"VELA_OIDC_ISSUER": "https://idp", "VELA_REMEMBER_LOGIN": "0", **host})
    login = check_auth_env_configs()
    assert isinstance(login, OIDCAuthenticator)
    assert getattr(login, "device_fallback", False) is fallback


def test_an_unknown_way_to_log_in_is_named(environment):
    environment({"VELA_OIDC_ISSUER": "https://idp", "VELA_OIDC_LOGIN": "carrier-pigeon"})
    with pytest.raises(ExperimentTrackingException, match="^VELA_OIDC_LOGIN must be browser or device, not "):
        check_auth_env_configs()


@pytest.mark.parametrize("remember, browser, platform",
                         [("1", RememberedOIDCAuthenticator, RememberedZELTAuthenticator),
                          ("0", OIDCAuthenticator, ZELTAuthenticator)])
def test_environment_logins_are_remembered_unless_turned_off(environment, monkeypatch, remember, browser, platform):
    monkeypatch.setattr(config, "webbrowser", mock.MagicMock())
    environment({"VELA_REMEMBER_LOGIN": remember, "VELA_OIDC_ISSUER": "https://idp"})
    assert type(check_auth_env_configs()) is browser
    environment(PLATFORM)
    assert type(check_auth_env_configs()) is platform


@pytest.mark.parametrize(
    "host, fallback",
    [({"BROWSER": "no-such-browser"}, True), ({"BROWSER": "no-such-browser" + __import__("os").pathsep + "sh"}, False)],
    ids=["a browser that cannot start", "one of the choices can"],
)
def test_a_browser_variable_naming_nothing_that_runs_means_no_browser(environment, monkeypatch, host, fallback):
    monkeypatch.setattr(config, "webbrowser", mock.MagicMock())
    environment({"VELA_OIDC_ISSUER": "https://idp", **host})
    assert getattr(check_auth_env_configs(), "device_fallback", False) is fallback


def test_a_client_id_without_a_secret_is_a_public_client(environment, monkeypatch):
    monkeypatch.setattr(config, "webbrowser", mock.MagicMock())
    environment({"VELA_OIDC_ISSUER": "https://idp", "VELA_OIDC_CLIENT_ID": "public"})
    login = check_auth_env_configs()
    assert (login.dcr_enabled, login.client_id, login.client_secret, login.device_if_browser_fails) == (
        False, "public", "", True)
