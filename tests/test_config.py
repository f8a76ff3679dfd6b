import pytest

from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator, ZELTAuthenticator
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
     ({"VELA_OIDC_ISSUER": "https://idp", "VELA_OIDC_CLIENT_ID": "c"}, "VELA_OIDC_CLIENT_SECRET")],
)
def test_half_configured_login_names_the_missing_variable(environment, variables, missing):
    environment(variables)
    with pytest.raises(ExperimentTrackingException, match=f" {missing} is not set.$"):
        check_auth_env_configs()
