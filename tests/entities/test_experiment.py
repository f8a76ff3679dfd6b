from types import SimpleNamespace

import pytest
from mlflow.exceptions import RestException as MlflowRestException

from vela_experiment_tracking.entities import iteration
from vela_experiment_tracking.entities.experiment import Experiment
from vela_experiment_tracking.exception import RestException


class Falsy:
    client = "never read"

    def __bool__(self):
        return False


def test_plain_experiment():
    experiment = Experiment("churn", "weekly retrain")
    assert (experiment.experiment_id, experiment.project, experiment.client) == (None, None, None)
    assert dict(experiment) == {"name": "churn"} and repr(experiment) == "<Experiment: name='churn'>"


def test_client_is_taken_once_from_a_true_project():
    client = object()
    experiment = Experiment("e", None, "7", SimpleNamespace(client=client))
    experiment.project = SimpleNamespace(client=object())
    assert experiment.client is client and experiment.experiment_id == "7"
    assert Experiment("e", None, project=Falsy()).client is None


def test_iteration_meta_needs_text():
    client = SimpleNamespace(get_iteration=lambda **kw: pytest.fail("client called"))
    experiment = Experiment("e", None, project=SimpleNamespace(client=client))
    with pytest.raises(TypeError, match=r"^Argument 'iteration_id' has incorrect type \(expected str, got int\)$"):
        experiment.get_iteration_meta(12)


def test_iteration_meta_passes_the_id_by_keyword():
    calls = []
    client = SimpleNamespace(get_iteration=lambda **kw: calls.append(kw) or "meta")
    experiment = Experiment("e", None, project=SimpleNamespace(client=client))
    assert experiment.get_iteration_meta(None) == "meta" and calls == [{"iteration_id": None}]


def test_rest_error_becomes_the_package_error():
    body = {"error_code": "RESOURCE_DOES_NOT_EXIST", "message": "Run 'x' not found"}

    def get_iteration(iteration_id):
        raise MlflowRestException(body)

    experiment = Experiment("e", None, project=SimpleNamespace(client=SimpleNamespace(get_iteration=get_iteration)))
    with pytest.raises(RestException) as raised:
        experiment.get_iteration_meta("x")
    assert raised.value.json is body and raised.value.args == ("RESOURCE_DOES_NOT_EXIST: Run 'x' not found",)
    assert raised.value.error_code == "RESOURCE_DOES_NOT_EXIST"
    assert isinstance(raised.value.__context__, MlflowRestException) and raised.value.__cause__ is None


def test_get_iteration_makes_a_new_iteration_each_time(monkeypatch):
    made = []
    monkeypatch.setattr(iteration, "Iteration", lambda **kw: made.append(kw) or len(made))
    experiment = Experiment("e", None)
    assert [experiment.get_iteration(), experiment.get_iteration()] == [1, 2]
    assert made == [{"experiment": experiment}, {"experiment": experiment}]
