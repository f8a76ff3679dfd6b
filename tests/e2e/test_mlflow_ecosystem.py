"""MLflow's own API, autolog and model logging land in the iteration, through the verifying gateway."""
import threading
import time

import mlflow
import mlflow.sklearn
import pytest
from sklearn.datasets import load_iris
from sklearn.linear_model import LogisticRegression

from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.entities.project import Project
from vela_experiment_tracking.model.tags import (
    EXP_STORE_EXPERIMENT_DESCRIPTION, EXP_STORE_PARENT_RUN_ID, EXP_STORE_PROJECT_DESCRIPTION, EXP_STORE_PROJECT_NAME,
    EXP_STORE_RUN_NAME)
from vela_experiment_tracking.tracking.initialize import init

from .conftest import PLATFORM_CLIENT, TOKEN_LIFETIME


@pytest.fixture
def experiment(mlflow_server, unique_name):
    return init("churn", unique_name, tracking_uri=mlflow_server)


@pytest.fixture
def autolog():
    mlflow.sklearn.autolog(log_models=False, silent=True)
    yield
    mlflow.sklearn.autolog(disable=True)


def test_fluent_calls_autolog_and_models_land_in_the_iteration_after_the_token_expired(
        oidc_provider, platform_refresh_token, gateway, mlflow_client, unique_name, autolog):
    authenticator = ZELTAuthenticator(platform_refresh_token, oidc_provider + "/oauth2/token",
                                      oidc_provider + "/userinfo", PLATFORM_CLIENT)
    experiment = init("churn", unique_name, tracking_uri=gateway.url, authenticator=authenticator)
    with experiment.get_iteration() as iteration:
        assert mlflow.active_run().info.run_id == iteration.iteration_id
        time.sleep(TOKEN_LIFETIME + 1)
        mlflow.log_metric("fluent_loss", 0.25)
        model = LogisticRegression(max_iter=300).fit(*load_iris(return_X_y=True))
        logged = mlflow.sklearn.log_model(model, name="model")
    assert mlflow.active_run() is None
    run = mlflow_client.get_run(iteration.iteration_id)
    assert run.data.metrics["fluent_loss"] == 0.25
    assert run.data.params["max_iter"] == "300" and "training_accuracy_score" in run.data.metrics
    assert logged.run_id == iteration.iteration_id
    assert mlflow_client.get_logged_model(logged.model_id).experiment_id == experiment.experiment_id
    assert gateway.refused == []


def test_fluent_runs_outside_an_iteration_go_to_the_experiment_of_init(experiment, mlflow_client):
    assert mlflow.get_tracking_uri() == experiment.client.tracking_uri
    with mlflow.start_run() as run:
        mlflow.log_param("alpha", 1)
    server_run = mlflow_client.get_run(run.info.run_id)
    assert server_run.info.experiment_id == experiment.experiment_id
    assert server_run.data.tags[EXP_STORE_PROJECT_NAME] == "churn"


def test_nested_iterations_and_threads_name_the_right_parent(experiment, mlflow_client):
    in_thread = {}

    def other_thread():
        with experiment.get_iteration() as iteration:
            in_thread["iteration"], in_thread["active"] = iteration, mlflow.active_run().info.run_id

    with experiment.get_iteration() as outer:
        with experiment.get_iteration() as inner:
            assert mlflow.active_run().info.run_id == inner.iteration_id
            worker = threading.Thread(target=other_thread)
            worker.start()
            worker.join(60)
        assert mlflow.active_run().info.run_id == outer.iteration_id
    tags = {name: mlflow_client.get_run(it.iteration_id).data.tags
            for name, it in [("outer", outer), ("inner", inner), ("thread", in_thread["iteration"])]}
    assert tags["inner"][EXP_STORE_PARENT_RUN_ID] == tags["inner"]["mlflow.parentRunId"] == outer.iteration_id
    assert EXP_STORE_PARENT_RUN_ID not in tags["outer"] and EXP_STORE_PARENT_RUN_ID not in tags["thread"]
    assert in_thread["active"] == in_thread["iteration"].iteration_id


def test_a_new_iteration_outside_any_with_block_ends_the_one_left_open(experiment, mlflow_client):
    first = experiment.get_iteration()  # a notebook cell, run twice
    second = experiment.get_iteration()
    assert mlflow_client.get_run(first.iteration_id).info.status == first.status == "FINISHED"
    assert second.status == "RUNNING" and second.parent is None
    assert EXP_STORE_PARENT_RUN_ID not in mlflow_client.get_run(second.iteration_id).data.tags
    nested = Iteration(experiment, parent=second)
    assert nested.parent is second and second.status == "RUNNING"
    assert mlflow.active_run().info.run_id == nested.iteration_id
    nested.end()
    second.end("KILLED")
    assert mlflow_client.get_run(second.iteration_id).info.status == "KILLED"


def test_named_tagged_resumed_iteration_with_artifacts(experiment, mlflow_client, tmp_path):
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    (tmp_path / "data" / "sub").mkdir(parents=True)
    (tmp_path / "data" / "sub" / "notes.txt").write_text("seen")
    figure, axes = pyplot.subplots()
    axes.plot([1, 2, 3])
    with Iteration(experiment, name="baseline", tags={"team": "churn", "round": 2}) as iteration:
        iteration.log_param("lr", 0.1)
        iteration.log_artifacts(str(tmp_path / "data"), "inputs")
        iteration.log_dict({"features": ["age"]}, "features.json")
        iteration.log_text("all good", "notes/summary.txt")
        iteration.log_figure(figure, "curve.png")
    pyplot.close(figure)
    resumed = Iteration(experiment, iteration_id=iteration.iteration_id, tags={"resumed": "yes"})
    assert (resumed.name, resumed.status, resumed.params) == ("baseline", "RUNNING", {"lr": "0.1"})
    resumed.log_metric("auc", 0.8)
    resumed.end()
    run = mlflow_client.get_run(iteration.iteration_id)
    assert run.info.run_name == run.data.tags[EXP_STORE_RUN_NAME] == "baseline" and run.info.status == "FINISHED"
    assert {k: run.data.tags[k] for k in ("team", "round", "resumed")} == {"team": "churn", "round": "2",
                                                                          "resumed": "yes"}
    assert run.data.metrics == {"auc": 0.8}
    paths = {a.path for a in mlflow_client.list_artifacts(run.info.run_id)}
    assert paths == {"inputs", "features.json", "notes", "curve.png"}
    assert [a.path for a in mlflow_client.list_artifacts(run.info.run_id, "inputs/sub")] == ["inputs/sub/notes.txt"]


def test_projects_and_descriptions_are_on_the_server(mlflow_server, mlflow_client, unique_name):
    experiment = init(Project("fraud", "card fraud"), Experiment(unique_name, "weekly retrain"),
                      tracking_uri=mlflow_server)
    with experiment.get_iteration() as iteration:
        pass
    tags = mlflow_client.get_experiment(experiment.experiment_id).tags
    assert (tags[EXP_STORE_PROJECT_NAME], tags[EXP_STORE_PROJECT_DESCRIPTION],
            tags[EXP_STORE_EXPERIMENT_DESCRIPTION]) == ("fraud", "card fraud", "weekly retrain")
    assert mlflow_client.get_run(iteration.iteration_id).data.tags[EXP_STORE_PROJECT_NAME] == "fraud"
    project = experiment.project
    assert unique_name in [e.name for e in project.list_experiments()]
    assert [run.info.run_id for run in project.list_iterations(experiment)] == [iteration.iteration_id]
    assert unique_name not in [e.name for e in experiment.client.list_experiments("churn")]
