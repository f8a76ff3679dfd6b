import time
from types import SimpleNamespace

import pytest
import requests

from vela_experiment_tracking.utils import validation
from vela_experiment_tracking.utils.validation import _validate_keys_already_exists, is_cloud, is_server_up


@pytest.mark.parametrize("status, up", [(200, True), (201, False), (404, False), (500, False)])
def test_only_200_is_up(local_server, status, up):
    assert is_server_up(local_server(lambda r: (status, {})).url) is up


def test_redirect_ending_in_404_is_down(local_server):
    missing = local_server(lambda r: (404, {}))
    redirecting = local_server(lambda r: (302, {}, {"Location": missing.url + "/gone"}))
    assert is_server_up(redirecting.url) is False
    assert missing.requests[0].path == "/gone"


def test_unreachable_servers_are_down(local_server):
    slow = local_server(lambda r: (time.sleep(1.5), (200, {}))[1])
    with __import__("socket").socket() as s:
        s.bind(("127.0.0.1", 0))
        refused = f"http://127.0.0.1:{s.getsockname()[1]}"
    assert is_server_up(refused) is False
    assert is_server_up("http://no-such-host.invalid") is False
    assert is_server_up(slow.url, timeout=0.5) is False


@pytest.mark.parametrize("address", ["127.0.0.1:5000", None])
def test_addresses_the_http_client_cannot_use_raise(address):
    with pytest.raises(requests.exceptions.RequestException):
        is_server_up(address)


@pytest.mark.parametrize("call, timeout", [(lambda: is_server_up("http://x"), 10), (lambda: is_server_up("http://x", timeout=3), 3)])
def test_timeout_reaches_the_client(monkeypatch, call, timeout):
    seen = {}

    def get(address, timeout):
        seen.update(address=address, timeout=timeout)
        return SimpleNamespace(status_code=200)

    monkeypatch.setattr(validation, "requests", SimpleNamespace(get=get, exceptions=requests.exceptions))
    assert call() is True and seen == {"address": "http://x", "timeout": timeout}


def test_address_must_be_text():
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected str, got bytes\)$"):
        is_server_up(b"http://x")


@pytest.mark.parametrize(
    "variables, cloud",
    [({}, False), ({"VELA_CLOUD_ENVIRONMENT": "1"}, False), ({"VELA_PLATFORM_TOKEN_ENDPOINT": "x"}, False),
     ({"VELA_CLOUD_ENVIRONMENT": "", "VELA_PLATFORM_TOKEN_ENDPOINT": ""}, True)],
)
def test_is_cloud_tests_presence_only(monkeypatch, variables, cloud):
    for name, value in variables.items():
        monkeypatch.setenv(name, value)
    assert is_cloud() is cloud


def params(*keys):
    return [SimpleNamespace(key=k, value="v") for k in keys]


@pytest.mark.parametrize("new, old, overlap", [(params("a", "b"), {"b": "1"}, True), (params("a"), {"b": "1"}, False)])
def test_key_overlap(new, old, overlap):
    assert _validate_keys_already_exists(new, old) is overlap


def test_no_records_leaves_old_params_untouched():
    assert _validate_keys_already_exists([], None) is False
