"""init with its collaborators substituted through the module's attributes."""
import subprocess
import sys
from types import SimpleNamespace

import pytest

from vela_experiment_tracking import context
from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.project import Project
from vela_experiment_tracking.exception import ExperimentTrackingException
from vela_experiment_tracking.tracking import initialize
from vela_experiment_tracking.tracking.initialize import init


class Recorder:
    """Stands in for every collaborator of init and records the calls in order."""

    def __init__(self, monkeypatch, existing=None, server_up=True):
        self.calls = []
        self.existing = existing
        self.user = User("ann")
        recorder = self

        class Client:
            def __init__(self, authenticator):
                recorder.calls.append(("Client", authenticator))
                self.authenticator, self.user, self.tracking_uri = authenticator, recorder.user, None

        class MlflowClient:
            def get_experiment_by_name(self, name):
                recorder.calls.append(("get_experiment_by_name", name))
                return recorder.existing

            def create_experiment(self, name):
                recorder.calls.append(("create_experiment", name))
                return "42"

            def get_experiment(self, experiment_id):
                recorder.calls.append(("get_experiment", experiment_id))
                return SimpleNamespace(name="e", experiment_id=experiment_id, lifecycle_stage="active")

        def record(name, result):
            return lambda *args: recorder.calls.append((name, *args)) or result

        monkeypatch.setattr(initialize, "Client", Client)
        monkeypatch.setattr(initialize, "check_authentication", record("check_authentication", "auth"))
        monkeypatch.setattr(initialize, "is_server_up", record("is_server_up", server_up))
        monkeypatch.setattr(initialize, "create_mlflow_client", record("create_mlflow_client", MlflowClient()))

    def names(self):
        return [call[0] for call in self.calls]


def test_calls_in_order_for_a_new_experiment(monkeypatch):
    recorder = Recorder(monkeypatch)
    experiment = init("p", "e", tracking_uri="http://server//")
    assert recorder.calls == [
        ("check_authentication", None), ("Client", "auth"), ("is_server_up", "http://server"),
        ("create_mlflow_client", "http://server//"), ("get_experiment_by_name", "e"), ("create_experiment", "e"),
        ("get_experiment", "42")]
    assert (experiment.name, experiment.experiment_id, experiment.project.name) == ("e", "42", "p")
    assert recorder.user.active_experiment is experiment and recorder.user.active_project is experiment.project
    assert context.current_client and context.current_client.authenticator == "auth"


def test_default_experiment_returns_the_project(monkeypatch):
    recorder = Recorder(monkeypatch)
    project = init(Project("p", "d"))
    assert isinstance(project, Project) and project.client.tracking_uri == "http://localhost:5000"
    assert "get_experiment_by_name" not in recorder.names() and recorder.user.active_project is None


def test_previous_authenticator_is_reused_and_an_argument_wins(monkeypatch):
    recorder = Recorder(monkeypatch)
    context.current_client.update(SimpleNamespace(authenticator="previous"))
    init("p")
    init("p", authenticator="given")
    assert [c for c in recorder.calls if c[0] == "check_authentication"] == [
        ("check_authentication", "previous"), ("check_authentication", "given")]


def test_cloud_address_comes_from_the_environment(monkeypatch):
    recorder = Recorder(monkeypatch)
    for name, value in {"VELA_CLOUD_ENVIRONMENT": "1", "VELA_PLATFORM_TOKEN_ENDPOINT": "x",
                        "VELA_TRACKING_SERVER_URI": "http://cloud/"}.items():
        monkeypatch.setenv(name, value)
    init("p", tracking_uri="http://ignored")
    assert ("is_server_up", "http://cloud") in recorder.calls


def test_tracking_uri_is_type_tested_first(monkeypatch):
    recorder = Recorder(monkeypatch)
    with pytest.raises(TypeError, match=r"^Argument 'tracking_uri' has incorrect type \(expected str, got int\)$"):
        init("p", tracking_uri=5000)
    assert recorder.calls == [] and not context.current_client


@pytest.mark.parametrize("project", ["", None, Project("", None)])
def test_empty_project_refused_after_authentication_before_the_probe(monkeypatch, project):
    recorder = Recorder(monkeypatch)
    with pytest.raises(ExperimentTrackingException) as raised:
        init(project, "e")
    assert (raised.value.message, raised.value.error_code) == ("Must specify `project_name`.", "INVALID_PARAMETER_VALUE")
    assert recorder.names() == ["check_authentication", "Client"] and context.current_client


def test_existing_experiment_is_reused_with_its_description(monkeypatch):
    existing = SimpleNamespace(name="e", experiment_id="7", lifecycle_stage="active")
    recorder = Recorder(monkeypatch, existing=existing)
    experiment = init("p", Experiment("e", "kept"))
    assert (experiment.experiment_id, experiment.description) == ("7", "kept")
    assert "create_experiment" not in recorder.names()


def test_deleted_experiment_refused(monkeypatch):
    Recorder(monkeypatch, existing=SimpleNamespace(name="e", experiment_id="7", lifecycle_stage="deleted"))
    with pytest.raises(ExperimentTrackingException, match="deleted experiment 'e'"):
        init("p", "e")


def test_defaults_and_docstring():
    assert init.__defaults__ == ("Default", True, "http://localhost:5000", None) and init.__kwdefaults__ is None
    assert "http://localhost:5000 will be used." in init.__doc__


def test_module_refuses_a_default_server_that_is_not_text():
    code = ("import vela_experiment_tracking.constants as c; c.DEFAULT_TRACK_SERVER = 5000; "
            "import vela_experiment_tracking.tracking.initialize")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "TypeError: Argument 'tracking_uri' has incorrect type (expected str, got int)" in result.stderr


def test_lost_creation_race_reuses_the_experiment(monkeypatch):
    from unittest import mock

    from mlflow.exceptions import RestException

    recorder = Recorder(monkeypatch)
    winner = SimpleNamespace(name="e", experiment_id="7", lifecycle_stage="active")
    mlflow = mock.MagicMock()
    mlflow.get_experiment_by_name.side_effect = [None, winner]
    mlflow.create_experiment.side_effect = RestException({"error_code": "RESOURCE_ALREADY_EXISTS", "message": "exists"})
    monkeypatch.setattr(initialize, "create_mlflow_client", lambda uri: mlflow)
    experiment = init("p", "e", tracking_uri="http://server")
    assert experiment.experiment_id == "7"
    assert mlflow.mock_calls == [mock.call.get_experiment_by_name("e"), mock.call.create_experiment("e"),
                                 mock.call.get_experiment_by_name("e")]
    assert recorder.user.active_experiment is experiment


def test_other_creation_errors_pass_through(monkeypatch):
    from unittest import mock

    from mlflow.exceptions import RestException

    Recorder(monkeypatch)
    mlflow = mock.MagicMock()
    mlflow.get_experiment_by_name.return_value = None
    mlflow.create_experiment.side_effect = RestException({"error_code": "PERMISSION_DENIED", "message": "no"})
    monkeypatch.setattr(initialize, "create_mlflow_client", lambda uri: mlflow)
    with pytest.raises(RestException, match="no"):
        init("p", "e", tracking_uri="http://server")
    assert mlflow.get_experiment_by_name.call_count == 1
