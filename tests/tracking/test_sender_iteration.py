"""An iteration's logging calls go through the process's sender; end() waits for them."""
from types import SimpleNamespace
from unittest import mock

import pytest

from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.entities import iteration as iteration_module
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.exception import ExperimentTrackingException

SERVER = "http://tracking.test"


@pytest.fixture
def mlflow(monkeypatch):
    client = mock.MagicMock()
    client.create_run.return_value.info = SimpleNamespace(run_id="run-1", run_name="calm-owl", status="RUNNING")
    monkeypatch.setattr(iteration_module, "create_mlflow_client", lambda uri: client)
    return client


@pytest.fixture
def sender():
    with mock.patch("vela_experiment_tracking.entities.iteration.get_sender") as get_sender:
        yield get_sender.return_value


@pytest.fixture
def iteration(mlflow, sender):
    client = SimpleNamespace(tracking_uri=SERVER, user=User("ann"))
    return iteration_module.Iteration(Experiment("e", None, "1", SimpleNamespace(client=client)))


def test_the_run_is_readied_for_logging_when_the_iteration_starts(iteration, sender):
    sender.open_run.assert_called_once_with(SERVER, "run-1", owner=True)


@pytest.mark.parametrize("call, method, arguments", [
    (lambda it: it.log_metric("loss", 0.5, step=3), "log_metric", (SERVER, "run-1", "loss", 0.5, mock.ANY, 3)),
    (lambda it: it.log_metrics({"a": 1.0}), "log_metrics", (SERVER, "run-1", {"a": 1.0}, mock.ANY, None)),
    (lambda it: it.log_param("lr", 0.1), "log_params", (SERVER, "run-1", {"lr": "0.1"})),
    (lambda it: it.set_tag("stage", "fit"), "set_tag", (SERVER, "run-1", "stage", "fit")),
    (lambda it: it.set_tags({"stage": "fit"}), "set_tags", (SERVER, "run-1", {"stage": "fit"})),
])
def test_logging_calls_hand_their_records_to_the_sender(iteration, sender, call, method, arguments):
    call(iteration)
    getattr(sender, method).assert_called_once_with(*arguments, synchronous=None)


def test_records_go_to_the_server_the_run_was_started_on(iteration, sender):
    iteration.experiment.client.tracking_uri = "http://elsewhere.test"
    iteration.log_metric("loss", 0.5)
    assert sender.log_metric.call_args.args[:2] == (SERVER, "run-1")


def test_the_synchronous_keyword_reaches_the_sender(iteration, sender):
    iteration.log_metric("loss", 0.5, synchronous=True)
    iteration.set_tags({"a": 1}, synchronous=False)
    assert sender.log_metric.call_args.kwargs == {"synchronous": True}
    assert sender.set_tags.call_args.kwargs == {"synchronous": False}


def test_a_parameter_logged_again_with_its_value_is_accepted(iteration, sender):
    iteration.log_param("lr", 0.1)
    iteration.log_params({"lr": "0.1", "depth": 6})
    assert iteration.params == {"lr": "0.1", "depth": "6"}


def test_a_parameter_logged_again_with_another_value_is_refused_whole(iteration, sender):
    iteration.log_param("lr", 0.1)
    with pytest.raises(ExperimentTrackingException, match="^Parameters already logged for this iteration: lr$"):
        iteration.log_params({"depth": 3, "lr": 0.2})
    assert sender.log_params.call_count == 1
    assert iteration.params == {"lr": "0.1"}


def test_flush_waits_for_the_runs_records(iteration, sender):
    sender.flush.reset_mock()
    sender.flush.return_value = True
    assert iteration.flush(timeout=5) is True
    sender.flush.assert_called_once_with("run-1", 5)


def test_end_waits_then_ends_the_run_and_reports_refused_records(iteration, sender, mlflow):
    sender.flush.reset_mock()
    sender.flush.side_effect = ExperimentTrackingException("The tracking server refused 1 record(s)")
    with pytest.raises(ExperimentTrackingException, match="refused 1 record"):
        iteration.end()
    sender.flush.assert_called_once_with("run-1", None)
    mlflow.set_terminated.assert_called_once_with("run-1", "FINISHED")
