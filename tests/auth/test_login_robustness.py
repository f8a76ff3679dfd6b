"""Arbitrary values into the device and remembered logins: Python exceptions only, never a crash."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vela_authn
from vela_experiment_tracking.auth import device, remembered

from ..test_robustness import Refusing, values


@pytest.fixture(autouse=True)
def no_network(monkeypatch):
    for module in (device, vela_authn):
        monkeypatch.setattr(module, "requests", Refusing())


def store_call(method):
    return lambda *a: getattr(remembered.LoginStore("login-a"), method)(*a)


CALLABLES = {
    "DeviceAuthenticator": device.DeviceAuthenticator,
    "device_authenticate": lambda *a, **k: device.DeviceAuthenticator(*a, **k).authenticate(),
    "show_device_code": device.show_device_code,
    "offers_device_login": device.offers_device_login,
    "login_id": remembered.login_id,
    "LoginStore": remembered.LoginStore,
    "save_record": store_call("save_record"),
    "save": store_call("save"),
    "silent_login": remembered.silent_login,
    "remember_login": remembered.remember_login,
    "forget_login": remembered.forget_login,
    "RememberedAuthenticator": lambda *a, **k: remembered.RememberedAuthenticator(*a, **k).authenticate(),
}


@pytest.mark.parametrize("name", sorted(CALLABLES))
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(args=st.lists(values, max_size=4), kwargs=st.dictionaries(st.sampled_from(
    ["url", "client_id", "client_secret", "scope", "login_id", "x"]), values, max_size=2))
def test_only_python_exceptions(name, args, kwargs):
    try:
        CALLABLES[name](*args, **(kwargs if name not in {"save_record", "save"} else {}))
    except Exception:
        pass
