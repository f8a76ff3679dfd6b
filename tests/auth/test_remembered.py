"""The remembered login: its private store, its lock, silent logins and logging out."""
import os
import stat
import subprocess
import sys
import threading
import urllib.parse
from unittest import mock

import pytest

import vela_authn
from vela_experiment_tracking.auth import remembered
from vela_experiment_tracking.auth.authenticator import Authenticator, OIDCAuthenticator
from vela_experiment_tracking.auth.remembered import (LoginStore, RememberedAuthenticator,
                                                      RememberedOIDCAuthenticator, forget_login, inherited_login)
from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.exception import ExperimentTrackingException

RECORD = {"refresh_token": "refresh-1", "client_id": "cli", "token_endpoint": "http://127.0.0.1:9/token",
          "client_secret": None, "auth_method": "none", "username": "jdoe"}


@pytest.fixture(autouse=True)
def recorded_clients(monkeypatch):
    """Client credentials that logins record stay with the test."""
    monkeypatch.setattr(vela_authn, "_client_credentials", {})


@pytest.fixture
def token_endpoint(local_server):
    """A token endpoint that rotates refresh tokens, or refuses them all when `refusing` is set."""
    state = {"refusing": False, "issued": 0}

    def respond(request):
        if state["refusing"]:
            return 400, {"error": "invalid_grant"}
        state["issued"] += 1
        n = state["issued"]
        return 200, {"access_token": f"access-{n}", "refresh_token": f"refresh-{n + 1}", "expires_in": 60}

    server = local_server(respond)
    server.state = state
    server.record = {**RECORD, "token_endpoint": server.url + "/token"}
    return server


def logged_in_as_jdoe(authenticator, token_endpoint):
    """What an interactive login ends with: the base class takes the user and a token provider."""
    provider = vela_authn.TokenProvider(refresh_token="refresh-1", client_id="cli",
                                        token_endpoint_url=token_endpoint.record["token_endpoint"])
    return Authenticator.authenticate(authenticator, USER_KEY=User("jdoe"), TOKEN_PROVIDER_KEY=provider)


def stored(login="login-a", record=None):
    store = LoginStore(login)
    with store.lock():
        store.save_record(record or RECORD)
    return store


def test_the_record_file_is_private_and_written_whole(remembered_logins):
    store = stored()
    files = sorted(os.listdir(remembered_logins))
    assert files == ["login-a.json", "login-a.lock"]  # no temporary file left behind
    assert stat.S_IMODE(os.stat(remembered_logins / "login-a.json").st_mode) == 0o600
    assert stat.S_IMODE(os.stat(remembered_logins).st_mode) == 0o700
    assert store.load() == "refresh-1" and store.load_record() == RECORD
    assert "refresh-1" not in repr(store)


@pytest.mark.parametrize("damage", ["widen", "garble"])
def test_a_record_others_could_write_or_a_damaged_one_is_no_login(remembered_logins, damage):
    store = stored()
    path = remembered_logins / "login-a.json"
    if damage == "widen":
        path.chmod(0o666)
    else:
        path.write_text("{not json")
    assert store.load_record() is None and store.load() is None


def test_a_wide_directory_is_narrowed(remembered_logins):
    remembered_logins.mkdir(parents=True)
    remembered_logins.chmod(0o755)
    stored()
    assert stat.S_IMODE(os.stat(remembered_logins).st_mode) == 0o700


def test_save_keeps_a_rotated_token_and_forget_removes_the_record():
    store = stored()
    store.save("refresh-2")
    assert store.load_record() == {**RECORD, "refresh_token": "refresh-2"}
    store.forget()
    store.save("refresh-3")  # a login forgotten meanwhile stays forgotten
    assert store.load() is None


def test_the_lock_holds_other_processes_off(remembered_logins):
    store = stored()
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys\nfrom vela_experiment_tracking.auth.remembered import LoginStore\n"
         "with LoginStore('login-a').lock():\n    print('held', flush=True)\n    sys.stdin.readline()\n"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        entered = threading.Event()

        def enter():
            with store.lock():
                entered.set()

        waiter = threading.Thread(target=enter, daemon=True)
        waiter.start()
        assert not entered.wait(0.5)
        holder.stdin.write("\n")
        holder.stdin.flush()
        assert entered.wait(10)
    finally:
        holder.kill()
        holder.wait(10)


class FakeKeyring:
    """A keyring with a real backend's looks."""

    class Backend:
        priority = 5

    class errors:
        class KeyringError(Exception):
            pass

        class PasswordDeleteError(KeyringError):
            pass

    def __init__(self):
        self.passwords = {}

    def get_keyring(self):
        return self.Backend()

    def get_password(self, service, name):
        return self.passwords.get((service, name))

    def set_password(self, service, name, value):
        self.passwords[(service, name)] = value

    def delete_password(self, service, name):
        if (service, name) not in self.passwords:
            raise self.errors.PasswordDeleteError(name)
        del self.passwords[(service, name)]


def test_a_usable_keyring_keeps_the_record_instead_of_a_file(monkeypatch, remembered_logins):
    keyring = FakeKeyring()
    monkeypatch.setattr(remembered, "keyring", keyring)
    store = stored()
    assert list(keyring.passwords) == [("vela_experiment_tracking", "login-a")]
    assert not (remembered_logins / "login-a.json").exists()
    assert store.load() == "refresh-1"
    forget_login()
    assert keyring.passwords == {}


def test_silent_login_renews_and_keeps_the_rotated_token(token_endpoint):
    store = stored(record=token_endpoint.record)
    user, provider = remembered.silent_login("login-a")
    assert user.username == "jdoe" and provider.token() == "access-1"
    assert store.load() == "refresh-2"
    assert os.environ["VELA_REMEMBERED_LOGIN"] == "login-a"
    assert urllib.parse.parse_qs(token_endpoint.requests[0].body)["client_id"] == ["cli"]


def test_a_refused_remembered_login_is_forgotten(token_endpoint):
    store = stored(record=token_endpoint.record)
    token_endpoint.state["refusing"] = True
    assert remembered.silent_login("login-a") is None
    assert store.load_record() is None


@pytest.mark.parametrize("value", ["0", "false", "No", "off"])
def test_remembering_can_be_turned_off(monkeypatch, token_endpoint, remembered_logins, value):
    stored(record=token_endpoint.record)
    monkeypatch.setenv("VELA_REMEMBER_LOGIN", value)
    assert remembered.silent_login("login-a") is None
    provider = vela_authn.TokenProvider(refresh_token="r", client_id="cli", token_endpoint_url="http://127.0.0.1:9")
    remembered.remember_login("login-b", User("jdoe"), provider)
    assert sorted(os.listdir(remembered_logins)) == ["login-a.json", "login-a.lock"]


def test_forget_login_logs_out_on_this_machine(monkeypatch, remembered_logins):
    import vela_experiment_tracking

    assert vela_experiment_tracking.logout is forget_login
    for login in ("login-a", "login-b"):
        stored(login)
    monkeypatch.setenv("VELA_REMEMBERED_LOGIN", "login-a")
    forget_login("login-b")
    assert LoginStore("login-b").load() is None and LoginStore("login-a").load() == "refresh-1"
    forget_login()
    assert LoginStore("login-a").load() is None and "VELA_REMEMBERED_LOGIN" not in os.environ


def test_the_second_login_is_silent(monkeypatch, token_endpoint):
    """The browser login runs once; the next authenticator of the same login asks no one."""
    browser_logins = []

    def browser_login(self, **kwargs):
        browser_logins.append(self)
        vela_authn.remember_client("cli", None, "none")
        return logged_in_as_jdoe(self, token_endpoint)

    monkeypatch.setattr(OIDCAuthenticator, "authenticate", browser_login)
    first = RememberedOIDCAuthenticator("https://idp", dcr_enabled=False, client_id="cli", client_secret="")
    assert first.authenticate().username == "jdoe" and first.token() == "access-1"
    second = RememberedOIDCAuthenticator("https://idp", dcr_enabled=False, client_id="cli", client_secret="")
    assert second.authenticate().username == "jdoe" and second.token() == "access-1"  # the first's, still fresh
    assert browser_logins == [first] and len(token_endpoint.requests) == 1
    assert isinstance(second, OIDCAuthenticator)


def test_a_worker_logs_in_from_the_inherited_login(monkeypatch, token_endpoint):
    assert inherited_login() is None
    stored(record=token_endpoint.record)
    monkeypatch.setenv("VELA_REMEMBERED_LOGIN", "login-a")
    login = inherited_login()
    assert login.user.username == "jdoe" and inherited_login() is login
    monkeypatch.setattr(remembered, "_inherited_logins", {})
    forget_login("login-a")
    with pytest.raises(ExperimentTrackingException, match="no remembered login"):
        RememberedAuthenticator("login-a").authenticate()


@pytest.mark.parametrize("inherited, url, sent", [
    ("tok", "http://127.0.0.1:5000/api/2.0/mlflow/runs/log-metric", "Bearer tok"),
    ("tok", "http://127.0.0.1:5001/api", None),
    (None, "http://127.0.0.1:5000/api/2.0/mlflow/runs/log-metric", "Bearer exported"),  # no login of its own
    (None, "http://127.0.0.1:5001/api", None),
])
def test_a_worker_without_init_sends_a_token_to_its_parents_server_only(monkeypatch, inherited, url, sent):
    """The inherited login's fresh token, else the exported one MLflow copies onto every request."""
    import requests

    from vela_experiment_tracking.tracking import client

    login = mock.MagicMock(**{"token.return_value": inherited}) if inherited else None
    monkeypatch.setattr(remembered, "inherited_login", lambda: login)
    monkeypatch.setenv("VELA_TOKEN_SERVER_URI", "http://127.0.0.1:5000")
    monkeypatch.setenv("MLFLOW_TRACKING_TOKEN", "exported")
    request = requests.Request("POST", url, headers={"Authorization": "Bearer exported"}).prepare()
    assert client.BearerAuth()(request).headers.get("Authorization") == sent


def test_a_store_that_cannot_be_written_costs_only_the_remembering(monkeypatch, tmp_path, token_endpoint):
    blocked = tmp_path / "not-a-directory"
    blocked.write_text("")
    monkeypatch.setenv("XDG_STATE_HOME", str(blocked))
    provider = vela_authn.TokenProvider(refresh_token="refresh-1", client_id="cli", store=LoginStore("login-a"),
                                        token_endpoint_url=token_endpoint.record["token_endpoint"])
    assert provider.token() == "access-1"
    remembered.remember_login("login-a", User("jdoe"), provider)
    assert remembered.silent_login("login-a") is None
    forget_login("login-a")


@pytest.mark.parametrize("offered", [True, False])
def test_a_browser_login_without_a_browser_turns_to_the_device_login(monkeypatch, token_endpoint, offered):
    from vela_experiment_tracking.auth import device

    def approved(self, **kwargs):
        return logged_in_as_jdoe(self, token_endpoint)

    browser_login = mock.MagicMock(side_effect=approved)
    monkeypatch.setattr(device, "offers_device_login", mock.MagicMock(return_value=offered))
    monkeypatch.setattr(device.DeviceAuthenticator, "authenticate", approved)
    monkeypatch.setattr(OIDCAuthenticator, "authenticate", lambda self, **kwargs: browser_login(self))
    login = RememberedOIDCAuthenticator("https://idp")
    login.device_fallback = True
    if offered:
        assert login.authenticate().username == "jdoe" and login.token() == "access-1"
    else:  # no browser, no device login: said at once, not after a wait for a browser
        with pytest.raises(ExperimentTrackingException, match="offers no device login.*Set BROWSER"):
            login.authenticate()
    device.offers_device_login.assert_called_once_with("https://idp")
    assert not browser_login.called


@pytest.mark.parametrize("way", ["silent", "device", "browser"])
def test_every_way_of_logging_in_keeps_the_login_name_backed_up_once(monkeypatch, token_endpoint, way):
    """As every login, a remembered one cleans up once: the original login name stays in the backup."""
    from vela_experiment_tracking.auth import device

    def interactive(self, **kwargs):  # what the browser and device logins do first
        self.cleanup()
        return logged_in_as_jdoe(self, token_endpoint)

    monkeypatch.setattr(OIDCAuthenticator, "authenticate", interactive)
    monkeypatch.setattr(device.DeviceAuthenticator, "authenticate", interactive)
    monkeypatch.setattr(device, "offers_device_login", mock.MagicMock(return_value=way == "device"))
    monkeypatch.setenv("LOGNAME", "orig")
    monkeypatch.delenv("VELA_BCK_LOGNAME", raising=False)
    login = RememberedOIDCAuthenticator("https://idp", dcr_enabled=False, client_id="cli", client_secret="")
    if way == "silent":
        stored(login._login_id(), token_endpoint.record)
    login.device_fallback = way == "device"
    assert login.authenticate().username == "jdoe"
    assert os.environ["VELA_BCK_LOGNAME"] == "orig"


def widen(path):
    path.chmod(0o644)


def give_away(path):
    os.chown(path, 65534, 65534)


REFUSALS = {
    "readable by others": (widen, "other users could read or write it (mode 0644)", False),
    "another user's": (give_away, "belongs to user id 65534, not to you", True),
}


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file to another user needs root")
@pytest.mark.parametrize("damage", REFUSALS.values(), ids=REFUSALS.keys())
def test_an_unsafe_record_is_refused_with_one_warning(remembered_logins, token_endpoint, caplog, damage):
    change, warning, kept = damage
    stored("login-a", token_endpoint.record)
    change(remembered_logins / "login-a.json")
    for _ in range(2):
        assert remembered.silent_login("login-a") is None
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert len(warnings) == 1 and warning in warnings[0] and "log in again" in warnings[0]
    assert (remembered_logins / "login-a.json").exists() is kept  # a record others could read is gone
    assert token_endpoint.requests == []  # no refresh token was spent


@pytest.mark.parametrize("field, value", [("username", None), ("token_endpoint", "file:///etc/passwd"),
                                          ("refresh_token", 7)])
def test_a_damaged_record_is_removed_before_its_refresh_token_is_spent(token_endpoint, caplog, field, value):
    stored("login-a", {**token_endpoint.record, field: value})
    assert remembered.silent_login("login-a") is None
    assert token_endpoint.requests == [] and LoginStore("login-a").load_record() is None
    (warning,) = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert f"it is damaged ({field} " in warning and warning.endswith("Log in again.")


def test_a_lock_file_planted_as_a_link_is_refused(remembered_logins, token_endpoint, tmp_path, caplog):
    stored("login-a", token_endpoint.record)
    target = tmp_path / "elsewhere"
    (remembered_logins / "login-a.lock").unlink()
    (remembered_logins / "login-a.lock").symlink_to(target)
    assert remembered.silent_login("login-a") is None
    assert not target.exists() and token_endpoint.requests == []
    (warning,) = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert "is a symbolic link, not a lock file" in warning
