"""The request-auth hook: tokens only for the tracking server init resolved, one renewal on a 401."""
import os
from types import SimpleNamespace
from unittest import mock

import pytest
import requests

from vela_experiment_tracking import context
from vela_experiment_tracking.auth.authenticator import Authenticator
from vela_experiment_tracking.tracking import client as module
from vela_experiment_tracking.tracking.client import BearerAuth, create_mlflow_client

SERVER = "http://tracking.example:5000"


class Login:
    def __init__(self, tokens=("tok-1",)):
        self.tokens = list(tokens)
        self._Authenticator__token_provider = mock.MagicMock()

    def token(self):
        return self.tokens[0] if len(self.tokens) == 1 else self.tokens.pop(0)


@pytest.fixture
def logged_in(monkeypatch):
    login = Login()
    monkeypatch.setattr(context.current_client, "authenticator", login)
    monkeypatch.setattr(context.current_client, "tracking_uri", SERVER + "/")
    return login


def prepared(url, headers=None):
    return requests.Request("POST", url, headers=headers or {}, data=b"{}").prepare()


@pytest.mark.parametrize("url, sent", [
    (SERVER + "/api/2.0/mlflow/runs/log-metric", True),
    ("HTTP://Tracking.Example:5000/api", True),
    ("http://tracking.example:5001/api", False),
    ("https://tracking.example:5000/api", False),
    ("http://other.example:5000/api", False),
    ("https://bucket.s3.example/artifact?X-Amz-Signature=s", False),
])
def test_token_only_for_the_tracking_server(logged_in, url, sent):
    request = BearerAuth()(prepared(url))
    assert request.headers.get("Authorization") == ("Bearer tok-1" if sent else None)


@pytest.mark.parametrize("uri, url", [("http://h", "http://h:80/x"), ("https://h:443/", "https://h/x")])
def test_default_ports_are_the_same_origin(logged_in, monkeypatch, uri, url):
    monkeypatch.setattr(context.current_client, "tracking_uri", uri)
    assert BearerAuth()(prepared(url)).headers["Authorization"] == "Bearer tok-1"


def test_exported_token_is_taken_off_other_hosts_but_their_own_credentials_stay(logged_in, monkeypatch):
    monkeypatch.setenv("MLFLOW_TRACKING_TOKEN", "exported")
    assert "Authorization" not in BearerAuth()(prepared("http://other:1/", {"Authorization": "Bearer exported"})).headers
    own = BearerAuth()(prepared("http://other:1/", {"Authorization": "Basic dTpw"}))
    assert own.headers["Authorization"] == "Basic dTpw"


def test_nothing_without_a_login_or_a_resolved_server(monkeypatch):
    assert "Authorization" not in BearerAuth()(prepared(SERVER + "/api")).headers
    monkeypatch.setattr(context.current_client, "authenticator", Login())
    assert module.token_origin() is None
    assert "Authorization" not in BearerAuth()(prepared(SERVER + "/api")).headers


def test_lookups_are_module_functions_that_can_be_replaced(monkeypatch):
    monkeypatch.setattr(module, "current_authenticator", lambda: Login(["other"]))
    monkeypatch.setattr(module, "token_origin", lambda: ("http", "worker", 1))
    assert BearerAuth()(prepared("http://worker:1/api")).headers["Authorization"] == "Bearer other"


def answered(status, request):
    response = requests.Response()
    response.status_code, response.request, response._content = status, request, b""
    response._content_consumed = True
    response.connection = mock.MagicMock()
    response.connection.send.return_value = requests.Response()
    return response


def test_refused_token_is_renewed_and_the_request_sent_once_more(logged_in):
    logged_in.tokens = ["tok-1", "tok-2"]
    auth = BearerAuth()
    request = auth(prepared(SERVER + "/api"))
    refused = answered(401, request)
    retried = request.hooks["response"][0](refused, timeout=5)
    logged_in._Authenticator__token_provider.expire.assert_called_once_with("tok-1")
    [(resent,), kwargs] = refused.connection.send.call_args
    assert resent.headers["Authorization"] == "Bearer tok-2" and resent.body == b"{}" and kwargs == {"timeout": 5}
    assert retried.history == [refused] and retried.request is resent


@pytest.mark.parametrize("status, tokens", [(200, ["tok-1", "tok-2"]), (403, ["tok-1", "tok-2"]), (401, ["tok-1"])])
def test_no_resend_unless_refused_and_renewed(logged_in, status, tokens):
    logged_in.tokens = tokens
    request = BearerAuth()(prepared(SERVER + "/api"))
    response = answered(status, request)
    assert request.hooks["response"][0](response) is response
    response.connection.send.assert_not_called()


def test_mlflow_client_scopes_tokens_to_init_server(monkeypatch):
    monkeypatch.setenv("MLFLOW_TRACKING_TOKEN", "t")
    monkeypatch.setattr(context.current_client, "is_set_up", True)
    with mock.patch("vela_experiment_tracking.tracking.client.MlflowClient") as mlflow_client:
        create_mlflow_client(SERVER)
        create_mlflow_client("http://elsewhere:1")  # a later client does not move the scope
    mlflow_client.assert_called_with(tracking_uri="http://elsewhere:1")
    assert module.token_origin() == ("http", "tracking.example", 5000)
    assert os.environ["MLFLOW_TRACKING_AUTH"] == "vela"


@pytest.mark.parametrize("value, kept", [("vela", False), ("kubernetes", True)])
def test_cleanup_drops_our_auth_choice_only(monkeypatch, value, kept):
    monkeypatch.setenv("MLFLOW_TRACKING_AUTH", value)
    Authenticator.cleanup()
    assert ("MLFLOW_TRACKING_AUTH" in os.environ) is kept
