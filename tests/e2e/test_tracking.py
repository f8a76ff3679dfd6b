"""init and iterations against a real MLflow tracking server."""
import pytest
from mlflow.entities import ViewType

from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.project import Project
from vela_experiment_tracking.exception import (
    ExperimentTrackingException, RestException, ServerNotAccessibleException)
from vela_experiment_tracking.model.tags import EXP_STORE_PARENT_RUN_ID, EXP_STORE_RUN_NAME
from vela_experiment_tracking.tracking.initialize import init

from .conftest import free_port


def test_new_experiment_is_created_once_and_reused(mlflow_server, mlflow_client, unique_name):
    first = init("churn", unique_name, tracking_uri=mlflow_server)
    second = init("churn", unique_name, tracking_uri=mlflow_server)
    assert isinstance(first, Experiment) and first.name == unique_name
    assert first.experiment_id == second.experiment_id
    assert mlflow_client.get_experiment_by_name(unique_name).experiment_id == first.experiment_id
    assert first.client.user.active_experiment is first and first.client.user.active_project is first.project


def test_existing_experiment_refused_when_reuse_is_off(mlflow_server, unique_name):
    init("churn", unique_name, tracking_uri=mlflow_server)
    with pytest.raises(Exception) as raised:
        init("churn", unique_name, use_if_exists=False, tracking_uri=mlflow_server)
    assert type(raised.value) is Exception
    assert str(raised.value) == "Experiment already exists with name: " + unique_name


def test_deleted_experiment_is_refused(mlflow_server, mlflow_client, unique_name):
    mlflow_client.delete_experiment(mlflow_client.create_experiment(unique_name))
    with pytest.raises(ExperimentTrackingException) as raised:
        init("churn", unique_name, tracking_uri=mlflow_server)
    assert raised.value.message == (
        f"Cannot set a deleted experiment '{unique_name}' as the active experiment. You can restore the experiment, "
        "or permanently delete the  experiment to create a new one.")
    assert raised.value.error_code == "INVALID_PARAMETER_VALUE"


def test_default_experiment_gives_the_project_and_creates_nothing(mlflow_server, mlflow_client):
    before = mlflow_client.search_experiments(view_type=ViewType.ALL)
    project = init(Project("churn", "weekly"), tracking_uri=mlflow_server)
    assert isinstance(project, Project) and (project.name, project.description) == ("churn", "weekly")
    assert project.client.tracking_uri == mlflow_server
    assert project.client.user.active_project is None
    assert len(mlflow_client.search_experiments(view_type=ViewType.ALL)) == len(before)


def test_trailing_slashes_are_tolerated(mlflow_server, unique_name):
    experiment = init("churn", Experiment(unique_name, "kept"), tracking_uri=mlflow_server + "///")
    assert experiment.description == "kept" and experiment.client.tracking_uri == mlflow_server + "///"


def test_no_server_at_the_port():
    address = f"http://127.0.0.1:{free_port()}"
    with pytest.raises(ServerNotAccessibleException) as raised:
        init("churn", "e", tracking_uri=address + "/")
    assert str(raised.value) == (
        "Unable to communicate with Experiment Tracking server. Please make sure the server at "
        f"'{address}' is running, and the address is correct. The server could not be reached: Connection refused.")


def test_iteration_is_a_real_run(monkeypatch, tmp_path, mlflow_server, mlflow_client, unique_name):
    monkeypatch.setenv("LOGNAME", "jdoe")
    experiment = init("churn", unique_name, tracking_uri=mlflow_server)
    artifact = tmp_path / "notes.txt"
    artifact.write_text("seen")
    with experiment.get_iteration() as iteration:
        iteration.log_params({"lr": 0.1, "depth": 6})
        iteration.log_metric("auc", 0.5, step=1)
        iteration.log_metrics({"auc": 0.75, "loss": 0.2}, step=2)
        iteration.set_tag("stage", "fit")
        iteration.log_artifact(str(artifact))
        assert experiment.client.user.active_iteration_stack == [iteration]
    run = mlflow_client.get_run(iteration.iteration_id)
    assert run.info.status == iteration.status == "FINISHED"
    assert run.info.user_id == "jdoe"
    assert run.data.params == {"lr": "0.1", "depth": "6"}
    assert run.data.tags["stage"] == "fit" and run.data.tags[EXP_STORE_RUN_NAME] == run.info.run_name
    assert [m.value for m in mlflow_client.get_metric_history(run.info.run_id, "auc")] == [0.5, 0.75]
    assert [a.path for a in mlflow_client.list_artifacts(run.info.run_id)] == ["notes.txt"]
    assert experiment.client.user.active_iteration_stack == []


def test_parameters_are_not_logged_twice(mlflow_server, mlflow_client, unique_name):
    iteration = init("churn", unique_name, tracking_uri=mlflow_server).get_iteration()
    iteration.log_param("lr", 0.1)
    with pytest.raises(ExperimentTrackingException, match="^Parameters already logged for this iteration: lr$"):
        iteration.log_params({"depth": 3, "lr": 0.2})
    iteration.end()
    assert mlflow_client.get_run(iteration.iteration_id).data.params == {"lr": "0.1"}


def test_failed_block_fails_the_run_and_nested_runs_name_their_parent(mlflow_server, mlflow_client, unique_name):
    experiment = init("churn", unique_name, tracking_uri=mlflow_server)
    with pytest.raises(ZeroDivisionError):
        with experiment.get_iteration() as parent:
            with experiment.get_iteration() as child:
                assert experiment.client.user.active_iteration_stack == [parent, child]
            1 / 0
    assert mlflow_client.get_run(parent.iteration_id).info.status == "FAILED"
    child_run = mlflow_client.get_run(child.iteration_id)
    assert child_run.info.status == "FINISHED"
    assert child_run.data.tags[EXP_STORE_PARENT_RUN_ID] == parent.iteration_id


def test_iteration_meta_from_the_server(mlflow_server, unique_name):
    experiment = init("churn", unique_name, tracking_uri=mlflow_server)
    iteration = experiment.get_iteration()
    assert experiment.get_iteration_meta(iteration.iteration_id).info.run_id == iteration.iteration_id
    with pytest.raises(RestException) as raised:
        experiment.get_iteration_meta("no-such-run")
    assert raised.value.json["error_code"] == "RESOURCE_DOES_NOT_EXIST"
    assert raised.value.__context__.json == raised.value.json
