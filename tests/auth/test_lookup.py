import logging
import os

import pytest

from vela_experiment_tracking.auth import lookup
from vela_experiment_tracking.auth.lookup import check_authentication
from vela_experiment_tracking.auth.user import User

LOGGER = "vela_experiment_tracking.auth.lookup"


class Login:
    def __init__(self, username="alice", authenticated=False, token="tok-1"):
        self.is_authenticated = authenticated
        self.username, self.token_value = username, token
        self.logins = self.token_calls = 0

    def authenticate(self):
        self.logins += 1
        self.is_authenticated = True

    @property
    def user(self):
        return User(self.username)

    def token(self):
        self.token_calls += 1
        return self.token_value


class OIDCAuthenticator(Login):
    pass


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


def test_nothing_configured(monkeypatch, debug_log):
    monkeypatch.setenv("LOGNAME", "me")
    assert check_authentication(None) is None
    assert messages(debug_log) == [] and os.environ["LOGNAME"] == "me" and "MLFLOW_TRACKING_TOKEN" not in os.environ


def test_environment_authenticator_is_used(monkeypatch, debug_log):
    login = Login()
    monkeypatch.setattr(lookup, "check_auth_env_configs", lambda: login)
    assert check_authentication(None) is login
    assert login.logins == 1 and os.environ["MLFLOW_TRACKING_TOKEN"] == "tok-1" and os.environ["LOGNAME"] == "alice"
    assert messages(debug_log) == ["Using Login", "Authenticating using Login", "Using username:alice using Login"]


def test_authenticated_one_is_not_logged_in_again_but_token_is_renewed(debug_log):
    login = OIDCAuthenticator(authenticated=True)
    check_authentication(login)
    login.token_value = "tok-2"
    assert check_authentication(authenticator=login) is login
    assert (login.logins, login.token_calls, os.environ["MLFLOW_TRACKING_TOKEN"]) == (0, 2, "tok-2")
    assert messages(debug_log)[-2:] == ["Using OIDCAuthenticator", "Using username:alice using OIDCAuthenticator"]


def test_given_authenticator_wins_over_environment(monkeypatch):
    monkeypatch.setattr(lookup, "check_auth_env_configs", lambda: pytest.fail("environment consulted"))
    check_authentication(Login())


def test_failing_token_exports_nothing(monkeypatch):
    login = Login()
    login.token = lambda: (_ for _ in ()).throw(LookupError("Token provider is not initialized!"))
    with pytest.raises(LookupError):
        check_authentication(login)
    assert "MLFLOW_TRACKING_TOKEN" not in os.environ and "LOGNAME" not in os.environ


def test_non_text_username_fails_after_the_token_is_written():
    login = Login()
    login.__class__ = type("Odd", (Login,), {"user": property(lambda self: type("U", (), {"username": 7})())})
    with pytest.raises(TypeError):
        check_authentication(login)
    assert os.environ["MLFLOW_TRACKING_TOKEN"] == "tok-1" and "LOGNAME" not in os.environ


def test_docstring_and_binding():
    assert check_authentication.__doc__.splitlines() == [
        "Check for authenticator configurations. If available, sets token and username.",
        "1. If authenticator is passed, then authenticate",
        "2. If not specified, check for previous authenticator, or else check for env variables",
        "3. At last, If authenticator is available, retrieve new token and username",
    ]
    with pytest.raises(TypeError, match=r"check_authentication\(\) takes exactly 1 positional argument"):
        check_authentication()


def test_concurrent_calls_with_one_authenticator_log_in_once():
    import threading
    import time

    class SlowLogin(Login):
        def authenticate(self):
            time.sleep(0.2)  # a login takes a while; the other callers must wait for it
            super().authenticate()

    login, start, results = SlowLogin(), threading.Barrier(4), []

    def call():
        start.wait()
        results.append(check_authentication(login))

    threads = [threading.Thread(target=call) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert results == [login] * 4 and login.logins == 1


def test_login_the_provider_ended_is_renewed_by_the_next_start(debug_log):
    import vela_authn

    class Ended(Login):
        def token(self):
            if self.logins == 0:
                raise vela_authn.LoginRequiredError("Please log in again.")
            return super().token()

    login = Ended(authenticated=True, username="bob")
    assert check_authentication(login) is login
    assert login.logins == 1 and os.environ["MLFLOW_TRACKING_TOKEN"] == "tok-1" and os.environ["LOGNAME"] == "bob"
    assert "Login ended, authenticating again using Ended" in messages(debug_log)
