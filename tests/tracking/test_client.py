"""The tracking client's listings, MLflow following init, and the plugins MLflow asks."""
from types import SimpleNamespace
from unittest import mock

import pytest
from mlflow.store.entities.paged_list import PagedList

from vela_experiment_tracking import context
from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.entities.project import Project
from vela_experiment_tracking.model.tags import EXP_STORE_PROJECT_NAME
from vela_experiment_tracking.tracking import client as client_module
from vela_experiment_tracking.tracking import mlflow_plugins
from vela_experiment_tracking.tracking.client import Client

TAG = f'tags."{EXP_STORE_PROJECT_NAME}"'


@pytest.fixture
def mlflow_client(monkeypatch):
    mlflow = mock.MagicMock(name="MlflowClient")
    monkeypatch.setattr(client_module, "create_mlflow_client", mock.MagicMock(return_value=mlflow))
    return mlflow


@pytest.fixture
def client():
    tracking = Client(None)
    tracking.tracking_uri = "http://server"
    return tracking


def test_iterations_of_every_page(mlflow_client, client):
    mlflow_client.search_runs.side_effect = [PagedList(["r1", "r2"], "next"), PagedList(["r3"], None)]
    assert client.list_iterations("7", "metrics.auc > 0.5") == ["r1", "r2", "r3"]
    assert mlflow_client.search_runs.call_args_list == [
        mock.call(("7",), filter_string="metrics.auc > 0.5", page_token=None),
        mock.call(("7",), filter_string="metrics.auc > 0.5", page_token="next")]
    client_module.create_mlflow_client.assert_called_with("http://server")


@pytest.mark.parametrize("token", ["same", mock.MagicMock(name="token")], ids=["repeated", "not-text"])
def test_a_page_token_that_leads_nowhere_ends_the_listing(mlflow_client, client, token):
    mlflow_client.search_runs.side_effect = [PagedList(["r1"], "same"), PagedList(["r2"], token),
                                             PagedList(["r3"], None)]
    assert client.list_iterations("7", "") == ["r1", "r2"]


@pytest.mark.parametrize("project_name, filter_string", [
    (None, None),
    ("churn", f"{TAG} = 'churn'"),
    ("o'brien", f'{TAG} = "o\'brien"'),
])
def test_experiments_are_filtered_by_the_project_tag(mlflow_client, client, project_name, filter_string):
    mlflow_client.search_experiments.return_value = PagedList(["e1"], None)
    assert client.list_experiments(project_name) == ["e1"]
    mlflow_client.search_experiments.assert_called_once_with(filter_string=filter_string, page_token=None)


def test_a_name_no_quote_can_hold_is_compared_here(mlflow_client, client):
    name = "a'b\"c"
    tagged = SimpleNamespace(tags={EXP_STORE_PROJECT_NAME: name})
    other = SimpleNamespace(tags={})
    mlflow_client.search_experiments.return_value = PagedList([tagged, other], None)
    assert client.list_experiments(name) == [tagged]


def test_project_lists_through_its_client():
    tracking = mock.MagicMock(name="Client")
    project = Project("churn", None, tracking)
    assert project.list_experiments() is tracking.list_experiments.return_value
    tracking.list_experiments.assert_called_once_with("churn")
    project.list_iterations(SimpleNamespace(experiment_id="7"))
    project.list_iterations("8", "tags.team = 'a'")
    assert tracking.list_iterations.call_args_list == [mock.call("7", ""), mock.call("8", "tags.team = 'a'")]


def test_mlflow_follows_the_server(monkeypatch):
    followed = []
    monkeypatch.setattr(client_module, "set_tracking_uri", lambda uri: followed.append(("tracking", uri)))
    monkeypatch.setattr(client_module, "set_registry_uri", lambda uri: followed.append(("registry", uri)))
    with mock.patch("vela_experiment_tracking.tracking.client.MlflowClient") as mlflow_client_class:
        assert client_module.create_mlflow_client("http://server/") is mlflow_client_class.return_value
    mlflow_client_class.assert_called_once_with(tracking_uri="http://server/")
    assert followed == [("tracking", "http://server/"), ("registry", "http://server/")]


@pytest.fixture
def after_init():
    """The context as an init with project churn and experiment 7 leaves it."""
    user = User("ann")
    user.active_project = Project("churn", None)
    user.active_experiment = SimpleNamespace(experiment_id="7")
    context.current_client.update(SimpleNamespace(user=user, authenticator=None))
    return user


def test_plugins_are_out_of_context_before_init():
    assert not mlflow_plugins.InitExperimentProvider().in_context()
    assert not mlflow_plugins.ProjectRunContext().in_context()


def test_plugins_give_the_experiment_and_project_of_init(after_init):
    provider, run_context = mlflow_plugins.InitExperimentProvider(), mlflow_plugins.ProjectRunContext()
    assert provider.in_context() and provider.get_experiment_id() == "7"
    assert run_context.in_context() and run_context.tags() == {EXP_STORE_PROJECT_NAME: "churn"}
    after_init.active_experiment = None
    assert not provider.in_context()
