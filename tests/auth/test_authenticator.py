import abc
import os

import pytest

from vela_experiment_tracking.auth.authenticator import Authenticator
from vela_experiment_tracking.auth.user import User


class Fixed(Authenticator):
    """A login that hands the base whatever the test gives it."""

    def __init__(self, user=None, provider=None, *args, **kwargs):
        self.given = (user, provider)
        super().__init__(*args, **kwargs)

    def authenticate(self, **kwargs):
        user, provider = self.given
        return super().authenticate(**{self.USER_KEY: user, self.TOKEN_PROVIDER_KEY: provider})


class Counting:
    def __init__(self, value=42):
        self.calls, self.value = 0, value

    def token(self):
        self.calls += 1
        return self.value


def test_base_is_abstract():
    assert type(Authenticator) is abc.ABCMeta
    with pytest.raises(TypeError):
        Authenticator()


def test_fresh_instance_is_not_authenticated():
    authenticator = Fixed()
    assert authenticator.is_authenticated is False
    with pytest.raises(LookupError, match=r"^User is not found!, please login first!$"):
        authenticator.user
    with pytest.raises(LookupError, match=r"^Token provider is not initialized!$"):
        authenticator.token()


def test_authenticate_stores_user_and_provider():
    user, provider = User("ann@example.org"), Counting()
    authenticator = Fixed(user, provider, "ignored", extra="ignored")
    assert authenticator.authenticate() is user
    assert authenticator.is_authenticated is True and authenticator.user is user
    assert vars(authenticator)["_Authenticator__user"] is user
    assert vars(authenticator)["_Authenticator__token_provider"] is provider


def test_token_asks_the_provider_each_time_and_gives_text():
    provider = Counting(42)
    authenticator = Fixed(User("ann"), provider)
    authenticator.authenticate()
    assert [authenticator.token(), authenticator.token()] == ["42", "42"]
    assert provider.calls == 2


@pytest.mark.parametrize(
    "attribute, message",
    [("user", "Assigning user not allowed!"), ("is_authenticated", "Cannot change is_authenticated value!")],
)
def test_read_only_properties(attribute, message):
    with pytest.raises(AttributeError, match=f"^{message}$"):
        setattr(Fixed(), attribute, True)


def test_missing_user_keyword_stores_nothing():
    authenticator = Fixed()
    with pytest.raises(KeyError, match="USER_KEY"):
        Authenticator.authenticate(authenticator, TOKEN_PROVIDER_KEY=Counting())
    assert authenticator.is_authenticated is False


def test_missing_provider_keyword_leaves_the_user_stored():
    authenticator = Fixed()
    with pytest.raises(KeyError, match="TOKEN_PROVIDER_KEY"):
        Authenticator.authenticate(authenticator, USER_KEY=User("ann"))
    assert authenticator.is_authenticated is True
    with pytest.raises(LookupError):
        authenticator.token()


def test_keys_are_read_through_the_instance():
    class Renamed(Fixed):
        USER_KEY = "who"

    authenticator = Renamed()
    user = User("ann")
    assert Authenticator.authenticate(authenticator, who=user, TOKEN_PROVIDER_KEY=Counting()) is user


def test_authenticate_refuses_positional_arguments():
    with pytest.raises(TypeError, match=r"authenticate\(\) takes exactly 1 positional argument \(2 given\)"):
        Authenticator.authenticate(Fixed(), 1)


@pytest.mark.parametrize(
    "before, after",
    [
        ({"LOGNAME": "alice"}, {"LOGNAME": "alice", "VELA_BCK_LOGNAME": "alice"}),
        ({"LOGNAME": "bob", "VELA_BCK_LOGNAME": "alice"}, {"LOGNAME": "alice"}),
        ({"VELA_BCK_LOGNAME": "alice"}, {"VELA_BCK_LOGNAME": "alice"}),
        ({"MLFLOW_TRACKING_TOKEN": "t"}, {}),
        ({"LOGNAME": "bob", "MLFLOW_TRACKING_TOKEN": "t"}, {"LOGNAME": "bob", "VELA_BCK_LOGNAME": "bob"}),
        ({}, {}),
    ],
)
def test_cleanup(monkeypatch, before, after):
    for name, value in before.items():
        monkeypatch.setenv(name, value)
    assert Authenticator.cleanup() is None
    watched = ("LOGNAME", "VELA_BCK_LOGNAME", "MLFLOW_TRACKING_TOKEN")
    assert {name: os.environ[name] for name in watched if name in os.environ} == after


def test_cleanup_twice_restores_then_backs_up(monkeypatch):
    monkeypatch.setenv("LOGNAME", "bob")
    monkeypatch.setenv("VELA_BCK_LOGNAME", "alice")
    Fixed().cleanup()
    assert (os.environ["LOGNAME"], "VELA_BCK_LOGNAME" in os.environ) == ("alice", False)
    Fixed().cleanup()
    assert (os.environ["LOGNAME"], os.environ["VELA_BCK_LOGNAME"]) == ("alice", "alice")


def test_cleanup_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^cleanup\(\) takes exactly 0 positional arguments \(1 given\)$"):
        Authenticator.cleanup(1)


def test_docstrings():
    assert Authenticator.__doc__ == "Abstract class for Authentication."
    assert Authenticator.authenticate.__doc__ == (
        "Start authentication flow.\nImplementations MUST call this method once authentication is successful"
    )
    assert Authenticator.token.__doc__ == "Retrieve access token."
    assert Authenticator.user.__doc__ == "Retrieve user name."
    assert Authenticator.is_authenticated.__doc__ == "Returns True if authenticated. False, otherwise."
    assert Authenticator.cleanup.__doc__ == "Clearing-up previous authentication envs."
