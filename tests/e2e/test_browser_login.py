"""The browser login with a real OpenID Connect provider and a real browser."""
import os
import subprocess
import sys
import threading
import time
import logging

import pytest

from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator
from vela_experiment_tracking.auth.lookup import check_authentication
from vela_experiment_tracking.exception import ExperimentTrackingException
from vela_experiment_tracking.tracking.initialize import init

from .conftest import TOKEN_LIFETIME, userinfo_status


@pytest.mark.parametrize("credentials", [{}, {"dcr_enabled": False, "client_id": "fixed-client",
                                              "client_secret": "fixed-secret"}], ids=["registration", "fixed"])
def test_login_and_tokens_that_outlive_their_lifetime(oidc_provider, browser, caplog, credentials):
    caplog.set_level(logging.DEBUG)
    authenticator = OIDCAuthenticator(oidc_provider, **credentials)
    user = authenticator.authenticate()
    assert (user.username, user.name) == ("john.smith@example.org", "John Smith")
    assert authenticator.user is user and "Login complete" in browser.read_text()

    first = authenticator.token()
    assert userinfo_status(oidc_provider, first) == 200
    time.sleep(TOKEN_LIFETIME + 0.5)
    second = authenticator.token()
    assert second != first and userinfo_status(oidc_provider, second) == 200

    refresh_token = vars(authenticator)["_Authenticator__token_provider"]._refresh_token
    for secret in (first, second, refresh_token):
        assert secret not in caplog.text
    assert "code=" not in caplog.text
    assert not [t for t in threading.enumerate() if "serve_forever" in repr(getattr(t, "_target", None))]


def test_login_exports_credentials_and_init_reuses_it(oidc_provider, browser, mlflow_server, unique_name):
    authenticator = OIDCAuthenticator(oidc_provider)
    assert check_authentication(authenticator) is authenticator
    assert os.environ["LOGNAME"] == "john.smith@example.org"
    assert userinfo_status(oidc_provider, os.environ["MLFLOW_TRACKING_TOKEN"]) == 200

    experiment = init("churn", unique_name, tracking_uri=mlflow_server, authenticator=authenticator)
    again = init("churn", unique_name, tracking_uri=mlflow_server)
    assert again.experiment_id == experiment.experiment_id
    assert again.client.authenticator is authenticator
    assert browser.read_text().count("Login complete") == 1


def test_denied_login_fails_at_once(oidc_provider, browser, monkeypatch):
    monkeypatch.setenv("VELA_TEST_LOGIN_ACTION", "deny")
    authenticator = OIDCAuthenticator(oidc_provider)
    started = time.monotonic()
    with pytest.raises(ExperimentTrackingException, match="access_denied"):
        authenticator.authenticate()
    assert time.monotonic() - started < 60
    assert authenticator.is_authenticated is False and "Login failed" in browser.read_text()


def test_process_exits_promptly_after_a_failed_login(oidc_provider, browser, monkeypatch):
    monkeypatch.setenv("VELA_TEST_LOGIN_ACTION", "deny")
    code = ("from vela_experiment_tracking.auth.authenticator import OIDCAuthenticator\n"
            f"OIDCAuthenticator({oidc_provider!r}).authenticate()\n")
    started = time.monotonic()
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and "access_denied" in result.stderr
    assert time.monotonic() - started < 60
