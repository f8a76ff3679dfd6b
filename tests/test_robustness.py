"""Arbitrary values into every public callable: Python exceptions only, never a crash."""
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vela_authn
from vela_experiment_tracking import config, context, exception
from vela_experiment_tracking.auth import authenticator, lookup, user, utils
from vela_experiment_tracking.entities import experiment, iteration, labeled_record, project
from vela_experiment_tracking.tracking import client, initialize
from vela_experiment_tracking.utils import validation


class Hostile:
    """Raises from whichever protocol it is asked for."""

    def __init__(self, protocol):
        self.protocol = protocol

    def _fail(self, *args):
        raise RuntimeError(f"hostile {self.protocol}")

    def __eq__(self, other):
        return self._fail() if self.protocol == "eq" else self is other

    def __bool__(self):
        return self._fail() if self.protocol == "bool" else True

    def __str__(self):
        return self._fail() if self.protocol == "str" else "hostile"

    def __repr__(self):
        return self._fail() if self.protocol == "repr" else "Hostile()"

    def __hash__(self):
        return self._fail() if self.protocol == "hash" else id(self)

    def __getattr__(self, name):
        return self._fail() if self.protocol == "getattr" else None

    def __iter__(self):
        return self._fail() if self.protocol == "iter" else iter([])


class Text(str):
    pass


values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text() | st.binary()
    | st.builds(Text, st.text())
    | st.sampled_from(["eq", "bool", "str", "repr", "hash", "getattr", "iter"]).map(Hostile),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(st.text(max_size=5), children, max_size=3),
    max_leaves=6,
)


class Refusing:
    """Stands in for the network: every request fails as a refused connection would."""

    exceptions = __import__("requests").exceptions

    def _refuse(self, *args, **kwargs):
        raise self.exceptions.ConnectionError("no network in this test")

    get = post = request = _refuse
    utils = __import__("requests").utils


class AcceptingMlflow:
    """Stands in for MLflow's client: takes whatever it is given."""

    def create_run(self, experiment_id, tags=None, run_name=None):
        info = SimpleNamespace(run_id="run-1", run_name=str(run_name), status="RUNNING")
        return SimpleNamespace(info=info, data=SimpleNamespace(params={}), inputs=None, outputs=None)

    def __getattr__(self, name):
        return lambda *args, **kwargs: None


@pytest.fixture(autouse=True)
def no_network(monkeypatch):
    for module in (validation, authenticator, vela_authn):
        monkeypatch.setattr(module, "requests", Refusing())
    monkeypatch.setattr(initialize, "is_server_up", lambda address: False)
    monkeypatch.setattr(iteration, "create_mlflow_client", lambda uri: AcceptingMlflow())
    # no server takes the records an example logs: the next example's ending of the iteration does not wait for them
    monkeypatch.setenv("VELA_LOG_FLUSH_TIMEOUT", "0")


def open_iteration():
    client = SimpleNamespace(tracking_uri="http://127.0.0.1:9", user=user.User("ann"))
    return iteration.Iteration(experiment.Experiment("e", None, "1", SimpleNamespace(client=client)))


def record_subclass():
    return type("Leaf", (labeled_record.LabeledRecord,), {"alpha": property(lambda self: self.name)})


CALLABLES = {
    "User": user.User,
    "create_terminal_user": user.User.create_terminal_user,
    "cleanup": authenticator.Authenticator.cleanup,
    "OIDCAuthenticator": authenticator.OIDCAuthenticator,
    "ZELTAuthenticator": authenticator.ZELTAuthenticator,
    "zelt_authenticate": lambda *a, **k: authenticator.ZELTAuthenticator(*a, **k).authenticate(),
    "base_authenticate": lambda *a, **k: authenticator.Authenticator.authenticate(*a, **k),
    "check_authentication": lookup.check_authentication,
    "check_auth_env_configs": config.check_auth_env_configs,
    "get_disposable_handler": utils.get_disposable_handler,
    "TokenProvider": vela_authn.TokenProvider,
    "token": lambda *a, **k: vela_authn.TokenProvider(*a, **k).token(),
    "remember_client": lambda *a: vela_authn.remember_client(*a) if a else None,
    "Client": client.Client,
    "update": lambda *a: context.ContextClient().update(*a),
    "ExperimentTrackingException": exception.ExperimentTrackingException,
    "RestException": exception.RestException,
    "Project": project.Project,
    "LabeledRecord": labeled_record.LabeledRecord,
    "record_repr": lambda *a: repr(record_subclass()(*a)),
    "record_pairs": lambda *a: list(record_subclass()(*a)),
    "to_string": lambda *a: labeled_record.LabeledRecordPrinter().to_string(*a),
    "entity_to_string": lambda *a: labeled_record.LabeledRecordPrinter()._entity_to_string(*a),
    "is_valid_property": labeled_record.is_valid_property,
    "Experiment": experiment.Experiment,
    "get_iteration_meta": lambda *a: experiment.Experiment("e", None).get_iteration_meta(*a),
    "is_server_up": validation.is_server_up,
    "is_cloud": validation.is_cloud,
    "_validate_keys_already_exists": validation._validate_keys_already_exists,
    "init": initialize.init,
    "Iteration": iteration.Iteration,
    "log_params": lambda *a, **k: open_iteration().log_params(*a, **k),
    "log_metric": lambda *a, **k: open_iteration().log_metric(*a, **k),
    "log_metrics": lambda *a, **k: open_iteration().log_metrics(*a, **k),
    "set_tags": lambda *a, **k: open_iteration().set_tags(*a, **k),
    "end": lambda *a, **k: open_iteration().end(*a, **k),
    "exit": lambda *a: open_iteration().__exit__(*a),
}


@pytest.mark.parametrize("name", sorted(CALLABLES))
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(args=st.lists(values, max_size=5), kwargs=st.dictionaries(st.sampled_from(
    ["name", "description", "username", "address", "timeout", "authenticator", "client_id", "experiment", "x"]),
    values, max_size=2))
def test_only_python_exceptions(name, args, kwargs):
    call = CALLABLES[name]
    try:
        if name in {"remember_client", "record_repr", "record_pairs", "to_string", "entity_to_string",
                    "get_iteration_meta", "update", "exit"}:
            call(*args)
        else:
            call(*args, **kwargs)
    except Exception:
        pass


def test_deep_nesting_is_a_recursion_error():
    record = None
    for depth in range(10_000):
        record = labeled_record.LabeledRecord(record, None)
    with pytest.raises(RecursionError):
        repr(record)


def test_spy_over_the_printer_name_calling_itself_is_a_recursion_error(monkeypatch):
    class Spy(labeled_record.LabeledRecordPrinter):
        def to_string(self, obj):
            return labeled_record.LabeledRecordPrinter().to_string(obj)  # the module's name: this spy again

    monkeypatch.setattr(labeled_record, "LabeledRecordPrinter", Spy)
    with pytest.raises(RecursionError):
        repr(labeled_record.LabeledRecord("a", "b"))


def test_properties_keep_the_base_they_read():
    class FreshBase(type):
        """Answers __base__ with a new class each time: only the caller's reference keeps it alive."""

        @property
        def __base__(cls):
            return type("Fresh", (), {"name": None})

    class Leaf(labeled_record.LabeledRecord, metaclass=FreshBase):
        alpha = property(lambda self: 1)

    assert Leaf._properties() == ["alpha", "name"]
