"""Iterations with MLflow's client, the fluent stack and the context replaced."""
import sys
import threading
from types import SimpleNamespace
from unittest import mock

import pytest
from mlflow.exceptions import MlflowException

from vela_experiment_tracking import context
from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.entities import iteration
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.entities.project import Project
from vela_experiment_tracking.exception import ExperimentTrackingException
from vela_experiment_tracking.model.tags import (
    EXP_STORE_EXPERIMENT_DESCRIPTION, EXP_STORE_PARENT_RUN_ID, EXP_STORE_PROJECT_DESCRIPTION, EXP_STORE_PROJECT_NAME,
    EXP_STORE_RUN_NAME)


def a_run(run_id, experiment_id="7", params=None):
    info = SimpleNamespace(run_id=run_id, run_name=f"name-{run_id}", experiment_id=experiment_id, status="RUNNING")
    return SimpleNamespace(info=info, data=SimpleNamespace(params=params or {}), inputs=None, outputs=None)


@pytest.fixture
def mlflow_client(monkeypatch):
    """MLflow's client: every run it creates gets the next id."""
    client = mock.MagicMock(name="MlflowClient")
    ids = iter(f"run-{n}" for n in range(1, 100))
    client.create_run.side_effect = lambda experiment_id, tags=None, run_name=None: a_run(next(ids))
    client.get_experiment.return_value = SimpleNamespace(tags={})
    monkeypatch.setattr(iteration, "create_mlflow_client", mock.MagicMock(return_value=client))
    return client


@pytest.fixture(autouse=True)
def fresh_process_state(monkeypatch):
    """This thread's iterations, the open ones, the tagged experiments and MLflow's run stack start empty."""
    monkeypatch.setattr(context, "thread_iterations", context.ThreadIterations())
    monkeypatch.setattr(context, "open_iterations", [])
    monkeypatch.setattr(context, "tagged_experiments", set())
    stacks = threading.local()
    fluent = SimpleNamespace(ActiveRun=lambda run: SimpleNamespace(info=run.info),
                             _active_run_stack=SimpleNamespace(get=lambda: stacks.__dict__.setdefault("runs", [])))
    monkeypatch.setattr(iteration, "fluent", fluent)
    return fluent


@pytest.fixture
def experiment():
    client = SimpleNamespace(tracking_uri="http://server", user=User("ann"))
    return Experiment("e", "weekly", "7", Project("churn", "card churn", client))


def active_run_ids(fluent):
    return [run.info.run_id for run in fluent._active_run_stack.get()]


def test_an_experiment_of_another_project_keeps_its_project(mlflow_client, experiment, caplog):
    mlflow_client.get_experiment.return_value = SimpleNamespace(tags={EXP_STORE_PROJECT_NAME: "first-hour"})
    Iteration(experiment).end()
    Iteration(experiment).end()
    mlflow_client.set_experiment_tag.assert_not_called()
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert len(warnings) == 1 and "'first-hour'" in warnings[0] and "'churn'" in warnings[0]


def test_a_run_starts_with_name_project_and_caller_tags(mlflow_client, experiment, monkeypatch):
    monkeypatch.setattr(iteration, "resolve_tags", lambda tags: {"mlflow.source.type": "LOCAL", **tags})
    started = Iteration(experiment, name="baseline", tags={"round": 2})
    mlflow_client.create_run.assert_called_once_with("7", tags={
        "mlflow.source.type": "LOCAL", EXP_STORE_PROJECT_NAME: "churn", EXP_STORE_RUN_NAME: "baseline", "round": "2",
        "mlflow.user": "ann"}, run_name="baseline")
    mlflow_client.set_tag.assert_not_called()
    assert (started.name, started.iteration_id, started.parent) == ("baseline", "run-1", None)


def test_the_experiment_is_tagged_once_per_process(mlflow_client, experiment):
    Iteration(experiment).end()
    Iteration(experiment).end()
    assert mlflow_client.set_experiment_tag.call_args_list == [
        mock.call("7", EXP_STORE_PROJECT_NAME, "churn"), mock.call("7", EXP_STORE_PROJECT_DESCRIPTION, "card churn"),
        mock.call("7", EXP_STORE_EXPERIMENT_DESCRIPTION, "weekly")]


@pytest.mark.parametrize("held_after_refusal, writes", [
    ("churn", 1),  # another process wrote the same value first: nothing more to do
    ("other", 1),  # another project's process wrote first: the experiment is that project's
    (None, 2),  # nothing was written: ours is written once more
])
def test_a_tag_write_the_server_refuses_is_checked_against_the_server(mlflow_client, experiment, held_after_refusal,
                                                                      writes):
    mlflow_client.set_experiment_tag.side_effect = [MlflowException("duplicate key value"), None, None, None]
    mlflow_client.get_experiment.side_effect = [
        SimpleNamespace(tags={}), SimpleNamespace(tags={EXP_STORE_PROJECT_NAME: held_after_refusal} if held_after_refusal
                                                  else {})]
    Iteration(experiment).end()
    assert mlflow_client.get_experiment.call_args_list == [mock.call("7")] * 2
    project_writes = [c for c in mlflow_client.set_experiment_tag.call_args_list if c.args[1] == EXP_STORE_PROJECT_NAME]
    assert project_writes == [mock.call("7", EXP_STORE_PROJECT_NAME, "churn")] * writes


def test_inside_a_with_block_an_iteration_nests(mlflow_client, experiment, fresh_process_state):
    with Iteration(experiment) as outer:
        inner = Iteration(experiment)
        assert inner.parent is outer and active_run_ids(fresh_process_state) == ["run-1", "run-2"]
        assert mlflow_client.create_run.call_args.kwargs["tags"][EXP_STORE_PARENT_RUN_ID] == "run-1"
        inner.end()
        assert active_run_ids(fresh_process_state) == ["run-1"]
    assert active_run_ids(fresh_process_state) == [] and context.open_iterations == []


def test_outside_a_with_block_the_iteration_left_open_is_ended(mlflow_client, experiment, fresh_process_state):
    first = Iteration(experiment)
    second = Iteration(experiment)
    mlflow_client.set_terminated.assert_called_once_with("run-1", "FINISHED")
    assert second.parent is None and context.open_iterations == [second]
    assert experiment.client.user.active_iteration_stack == [second]
    assert active_run_ids(fresh_process_state) == ["run-2"] and first.status != "RUNNING"


def test_asked_for_a_parent_nothing_is_ended(mlflow_client, experiment):
    parent = Iteration(experiment)
    child = Iteration(experiment, parent=parent)
    mlflow_client.set_terminated.assert_not_called()
    assert child.parent is parent and context.open_iterations == [parent, child]


def test_a_failure_to_end_the_one_left_open_costs_nothing(mlflow_client, experiment):
    first = Iteration(experiment)
    mlflow_client.set_terminated.side_effect = MlflowException("server gone")
    second = Iteration(experiment)
    assert context.open_iterations == [second] and first not in context.thread_iterations.open


def test_another_thread_has_its_own_parent(mlflow_client, experiment):
    seen = {}
    with Iteration(experiment):
        worker = threading.Thread(target=lambda: seen.setdefault("iteration", Iteration(experiment)))
        worker.start()
        worker.join(10)
    assert seen["iteration"].parent is None
    assert EXP_STORE_PARENT_RUN_ID not in mlflow_client.create_run.call_args.kwargs["tags"]


def test_resuming_runs_the_existing_run_again(mlflow_client, experiment):
    mlflow_client.get_run.return_value = a_run("old", params={"lr": "0.1"})
    resumed = Iteration(experiment, iteration_id="old", tags={"again": True})
    mlflow_client.create_run.assert_not_called()
    mlflow_client.update_run.assert_called_once_with("old", status="RUNNING", name=None)
    tags = {tag.key: tag.value for tag in mlflow_client.log_batch.call_args.kwargs["tags"]}
    assert tags == {EXP_STORE_PROJECT_NAME: "churn", "again": "True"}
    assert (resumed.iteration_id, resumed.name, resumed.params) == ("old", "name-old", {"lr": "0.1"})


def test_a_run_of_another_experiment_is_not_resumed(mlflow_client, experiment):
    mlflow_client.get_run.return_value = a_run("old", experiment_id="8")
    with pytest.raises(ExperimentTrackingException, match="^Iteration old belongs to another experiment.$"):
        Iteration(experiment, iteration_id="old")
    mlflow_client.update_run.assert_not_called()


@pytest.mark.parametrize("method, args, call", [
    ("log_artifacts", ("out/", "inputs"), "log_artifacts"),
    ("log_dict", ({"a": 1}, "a.json"), "log_dict"),
    ("log_text", ("done", "notes.txt"), "log_text"),
    ("log_figure", ("figure", "curve.png"), "log_figure"),
])
def test_artifacts_go_to_the_run(mlflow_client, experiment, method, args, call):
    getattr(Iteration(experiment), method)(*args)
    getattr(mlflow_client, call).assert_called_once_with("run-1", *args)


def test_status_is_the_servers_unless_it_cannot_be_asked(mlflow_client, experiment):
    started = Iteration(experiment)
    mlflow_client.get_run.return_value = a_run("run-1")
    mlflow_client.get_run.return_value.info.status = "KILLED"
    assert started.status == "KILLED"
    mlflow_client.get_run.side_effect = MlflowException("unreachable")
    assert started.status == "KILLED"


@pytest.mark.parametrize("exiting_on_exception, status", [(False, "FINISHED"), (True, "FAILED")])
def test_open_iterations_end_at_exit(monkeypatch, mlflow_client, experiment, exiting_on_exception, status):
    monkeypatch.setattr(context, "exiting_on_exception", exiting_on_exception)
    monkeypatch.setattr(iteration, "os", SimpleNamespace(environ={}))
    outer = Iteration(experiment)
    Iteration(experiment, parent=outer)
    mlflow_client.set_terminated.side_effect = [MlflowException("one failure"), None]
    iteration.end_open_iterations()
    assert mlflow_client.set_terminated.call_args_list == [mock.call("run-2", status), mock.call("run-1", status)]
    assert context.open_iterations == []
    assert iteration.os.environ == {"MLFLOW_HTTP_REQUEST_MAX_RETRIES": "0", "MLFLOW_HTTP_REQUEST_TIMEOUT": "5"}


@pytest.mark.parametrize("interactive, noted", [(False, True), (True, False)])
def test_exit_hook_notes_an_unhandled_exception_and_hands_over(monkeypatch, interactive, noted):
    monkeypatch.setattr(context, "exiting_on_exception", False)
    if interactive:
        monkeypatch.setattr(sys, "ps1", ">>> ", raising=False)
    else:
        monkeypatch.delattr(sys, "ps1", raising=False)
    previous = mock.MagicMock(return_value=None)
    error = RuntimeError("diverged")
    iteration.ExitStatusHook(previous)(RuntimeError, error, None)
    previous.assert_called_once_with(RuntimeError, error, None)
    assert context.exiting_on_exception is noted

