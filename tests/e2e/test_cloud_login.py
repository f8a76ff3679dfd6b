"""The cloud platform's login with the real provider, and tokens that stay fresh through a long run."""
import time

import pytest

from vela_experiment_tracking import context
from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator
from vela_experiment_tracking.tracking.initialize import init

from .conftest import PLATFORM_CLIENT, TOKEN_LIFETIME, userinfo_status


def test_refresh_token_logs_in(oidc_provider, platform_refresh_token):
    authenticator = ZELTAuthenticator(platform_refresh_token, oidc_provider + "/oauth2/token",
                                      oidc_provider + "/userinfo", PLATFORM_CLIENT)
    user = authenticator.authenticate()
    assert (user.username, user.name) == ("jdoe", "Jdoe")
    assert authenticator._refresh_token != platform_refresh_token  # rotated
    assert userinfo_status(oidc_provider, authenticator.token()) == 200


def test_environment_alone_logs_in_and_tracks(monkeypatch, oidc_provider, platform_refresh_token, mlflow_server,
                                              mlflow_client, unique_name):
    for name, value in {
        "VELA_CLOUD_ENVIRONMENT": "1", "VELA_PLATFORM_TOKEN_ENDPOINT": oidc_provider + "/oauth2/token",
        "VELA_TRACKING_SERVER_URI": mlflow_server, "VELA_PLATFORM_REFRESH_TOKEN": platform_refresh_token,
        "VELA_PLATFORM_USERINFO_ENDPOINT": oidc_provider + "/userinfo", "VELA_PLATFORM_CLIENT_ID": PLATFORM_CLIENT,
    }.items():
        monkeypatch.setenv(name, value)
    experiment = init("churn", unique_name)
    assert isinstance(context.current_client.authenticator, ZELTAuthenticator)
    assert experiment.client.user.username == "jdoe"
    assert mlflow_client.get_experiment_by_name(unique_name).experiment_id == experiment.experiment_id


def test_long_run_keeps_a_valid_token(oidc_provider, platform_refresh_token, gateway, unique_name):
    authenticator = ZELTAuthenticator(platform_refresh_token, oidc_provider + "/oauth2/token",
                                      oidc_provider + "/userinfo", PLATFORM_CLIENT)
    experiment = init("churn", unique_name, tracking_uri=gateway.url, authenticator=authenticator)
    provider = vars(authenticator)["_Authenticator__token_provider"]
    requests_before = provider.requests_made
    lifetimes = 3.5
    metrics = 0
    with experiment.get_iteration() as iteration:
        deadline = time.monotonic() + lifetimes * TOKEN_LIFETIME
        while time.monotonic() < deadline:
            iteration.log_metric("loss", 1.0 / (metrics + 1), step=metrics)
            metrics += 1
            time.sleep(0.1)
    token_requests = provider.requests_made - requests_before
    print(f"\n{metrics} metrics over {lifetimes} token lifetimes: {token_requests} token requests, "
          f"{len(gateway.refused)} refused, {gateway.passed} passed")
    assert gateway.refused == []
    assert lifetimes - 1 <= token_requests <= 2 * lifetimes
    assert experiment.get_iteration_meta(iteration.iteration_id).info.status == "FINISHED"


def test_gateway_refuses_stale_tokens(gateway):
    import requests

    assert requests.get(gateway.url + "/api/2.0/mlflow/experiments/search", timeout=10).status_code == 401
    assert requests.get(gateway.url + "/api/2.0/mlflow/experiments/search", timeout=10,
                        headers={"Authorization": "Bearer stale"}).status_code == 401
