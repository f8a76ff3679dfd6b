"""Native functions and classes behave like Python ones."""
import inspect
import pickle
import pydoc

import pytest

from vela_experiment_tracking.auth.authenticator import Authenticator, OIDCAuthenticator
from vela_experiment_tracking.auth.lookup import check_authentication
from vela_experiment_tracking.auth.user import User
from vela_experiment_tracking.tracking.initialize import init
from vela_experiment_tracking.utils.validation import is_cloud, is_server_up


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: check_authentication(), "check_authentication() takes exactly 1 positional argument (0 given)"),
        (lambda: check_authentication(1, 2), "check_authentication() takes exactly 1 positional argument (2 given)"),
        (lambda: init(), "init() takes at least 1 positional argument (0 given)"),
        (lambda: init(1, 2, 3, 4, 5, 6), "init() takes at most 5 positional arguments (6 given)"),
        (lambda: is_server_up(timeout=1), "is_server_up() takes at least 1 positional argument (0 given)"),
        (lambda: is_cloud(1), "is_cloud() takes exactly 0 positional arguments (1 given)"),
        (lambda: is_cloud(x=1), "is_cloud() got an unexpected keyword argument 'x'"),
        (lambda: is_server_up("a", address="b"), "is_server_up() got multiple values for keyword argument 'address'"),
        (lambda: User("a")._set_name(), "_set_name() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_extra_arguments_reach_the_next_class_in_the_mro():
    class Recorder(Authenticator):
        def __init__(self, *args, **kwargs):
            self.leftovers = (args, kwargs)
            super().__init__()

    class Spy(OIDCAuthenticator, Recorder):
        pass

    spy = Spy("https://issuer", "host", True, None, None, 1, 2, color="red")
    assert spy.leftovers == ((1, 2), {"color": "red"})
    assert (spy.url, spy.hostname, spy.is_authenticated) == ("https://issuer", "host", False)


def test_native_method_binds_to_its_instance():
    user = User("ann")
    bound = user._set_name
    assert bound.__self__ is user and bound.__func__ is User.__dict__["_set_name"]
    assert User.__dict__["_set_name"].__get__(None, User) is User.__dict__["_set_name"]


def test_function_attributes():
    assert (is_server_up.__name__, is_server_up.__qualname__) == ("is_server_up", "is_server_up")
    assert is_server_up.__module__ == "vela_experiment_tracking.utils.validation"
    assert User._set_name.__qualname__ == "User._set_name"
    assert is_server_up.__defaults__ == (10,) and is_server_up.__kwdefaults__ is None
    assert is_server_up.__annotations__ == {"address": str, "timeout": int, "return": bool}
    assert is_cloud.__defaults__ is None
    assert is_server_up.__doc__.startswith("Checks if an Experiment Tracking server is running.\n")


def test_signature_and_help_show_parameters_and_defaults():
    assert str(inspect.signature(is_server_up)) == "(address: str, timeout: int = 10) -> bool"
    assert str(inspect.signature(OIDCAuthenticator.__init__)) == (
        "(self, url, hostname='localhost', dcr_enabled=True, client_id=None, client_secret=None, *args, **kwargs)"
    )
    assert str(inspect.signature(User("a")._set_name)) == "(username)"
    assert "is_server_up(address: str, timeout: int = 10) -> bool" in pydoc.render_doc(is_server_up, renderer=pydoc.plaintext)


def test_function_dict_carries_abstract_marks():
    assert Authenticator.authenticate.__isabstractmethod__ is True
    is_cloud.note = "kept"
    assert is_cloud.__dict__["note"] == "kept"
    del is_cloud.note


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(is_server_up)) is is_server_up
    assert pickle.loads(pickle.dumps(User._set_name)) is User._set_name


def test_classes_are_real_python_classes():
    class Named(User):
        def _set_name(self, username):
            super()._set_name(username)
            self.name = self.name.upper()

    assert Named("ann.lee").name == "ANN LEE"
    assert type(User) is type and User.__module__ == "vela_experiment_tracking.auth.user"


def test_cpp_errors_become_python_exceptions():
    from vela_authn import TokenProvider

    provider = TokenProvider(refresh_token="r", client_id="c", token_endpoint_url="http://127.0.0.1:9/token")
    provider._lock = "not a lock"
    with pytest.raises(AttributeError):
        provider.token()


# ---- Python's guarantees where callers substitute collaborators ------------------------------------------------

import types  # noqa: E402
from unittest import mock  # noqa: E402

from mlflow.exceptions import RestException as MlflowRestException  # noqa: E402

from vela_experiment_tracking import context, exception  # noqa: E402
from vela_experiment_tracking.auth import authenticator  # noqa: E402
from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator  # noqa: E402
from vela_experiment_tracking.config import check_auth_env_configs  # noqa: E402
from vela_experiment_tracking.entities import experiment, iteration, labeled_record, project  # noqa: E402
from vela_experiment_tracking.entities.labeled_record import LabeledRecord  # noqa: E402

REST_ERROR = {"error_code": "RESOURCE_DOES_NOT_EXIST", "message": "no such run"}


def experiment_whose_server_fails():
    made = experiment.Experiment("e", None)
    made.client = mock.MagicMock()
    made.client.get_iteration.side_effect = MlflowRestException(REST_ERROR)
    return made


@pytest.mark.parametrize("stand_in, raised", [
    (mock.MagicMock(), TypeError),  # a call gives a MagicMock: not an exception
    (KeyError, KeyError),
    (lambda json: ValueError(json["message"]), ValueError),
])
def test_raising_follows_python_raise(stand_in, raised):
    with mock.patch("vela_experiment_tracking.entities.experiment.RestException", stand_in):
        with pytest.raises(raised) as error:
            experiment_whose_server_fails().get_iteration_meta("run-1")
    assert isinstance(error.value.__context__, MlflowRestException)
    if raised is TypeError:
        assert str(error.value) == "exceptions must derive from BaseException"
        stand_in.assert_called_once_with(REST_ERROR)


def test_raising_a_mock_exception_type_from_config(monkeypatch):
    monkeypatch.setenv("VELA_PLATFORM_REFRESH_TOKEN", "r")
    with mock.patch("vela_experiment_tracking.config.ExperimentTrackingException") as stand_in:
        with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
            check_auth_env_configs()
    stand_in.assert_called_once_with(
        "The environment configures the cloud platform login only in part: VELA_PLATFORM_TOKEN_ENDPOINT is not set.")


def offline_iteration_arguments():
    client = types.SimpleNamespace(tracking_uri="http://127.0.0.1:9", user=User("ann"))
    return (experiment.Experiment("e", None, "1", types.SimpleNamespace(client=client)),)


CLASSES = [
    (experiment, "Experiment", lambda: ("e", "d")),
    (project, "Project", lambda: ("p", "d")),
    (iteration, "Iteration", offline_iteration_arguments),
    (labeled_record, "LabeledRecordPrinter", lambda: ()),
    (context, "ContextClient", lambda: ()),
    (exception, "RestException", lambda: (REST_ERROR,)),
    (authenticator, "ZELTAuthenticator", lambda: ("r", "http://t", "http://u", "cli")),
    (authenticator, "OIDCAuthenticator", lambda: ("https://issuer",)),
]


@pytest.fixture
def offline_mlflow():
    with mock.patch("vela_experiment_tracking.entities.iteration.create_mlflow_client") as create:
        create.return_value.create_run.return_value.info = types.SimpleNamespace(
            run_id="run-1", run_name="brave-owl", status="RUNNING")
        yield create


@pytest.mark.parametrize("module, name, arguments", CLASSES)
def test_base_class_is_reached_through_the_defining_class(offline_mlflow, module, name, arguments):
    cls = getattr(module, name)
    with mock.patch(f"{module.__name__}.{name}") as stand_in:
        made = cls(*arguments())
    assert type(made) is cls
    stand_in.assert_not_called()


def spy_of(cls):
    class Spy(cls):
        calls = []

        def __init__(self, *args, **kwargs):
            Spy.calls.append(args)
            super().__init__(*args, **kwargs)

    return Spy


@pytest.mark.parametrize("module, name, arguments", CLASSES)
def test_spy_subclass_over_the_class_name_reaches_the_base_once(offline_mlflow, module, name, arguments):
    spy = spy_of(getattr(module, name))
    with mock.patch(f"{module.__name__}.{name}", spy):
        spy(*arguments())
    assert len(spy.calls) == 1


class Rendered(str):
    def __str__(self):
        return "rendered"


class Subclassed(str):
    pass


@pytest.mark.parametrize("answer, token", [("plain", "plain"), (Rendered("raw"), "rendered"),
                                           (Subclassed("kept"), "kept"), (42, "42")])
def test_token_is_str_of_the_providers_answer(answer, token):
    provider = mock.MagicMock()
    provider.token.return_value = answer
    login = ZELTAuthenticator("r", "http://t", "http://u")
    Authenticator.authenticate(login, USER_KEY=User("ann"), TOKEN_PROVIDER_KEY=provider)
    given = login.token()
    assert type(given) is str and given == token
    provider.token.assert_called_once_with()


def test_record_iteration_is_a_lazy_generator():
    record = LabeledRecord("a", "b")
    with mock.patch.object(LabeledRecord, "_properties", return_value=["name"]) as properties:
        pairs = iter(record)
        assert isinstance(pairs, types.GeneratorType) and inspect.isgenerator(pairs)
        properties.assert_not_called()
        assert next(pairs) == ("name", "a")
        properties.assert_called_once_with()
        assert list(pairs) == []


@pytest.mark.parametrize("refresh_token, client_id, body", [
    ("tok", "cli", "refresh_token=tok&grant_type=refresh_token&client_id=cli"),
    ("a&b=c+d%e f", "x y", "refresh_token=a%26b%3Dc%2Bd%25e%20f&grant_type=refresh_token&client_id=x%20y"),
    ("é€", "ü", "refresh_token=%C3%A9%E2%82%AC&grant_type=refresh_token&client_id=%C3%BC"),
])
def test_form_body_is_built_by_the_package(refresh_token, client_id, body):
    with mock.patch("vela_experiment_tracking.auth.authenticator.requests") as requests, \
            mock.patch("vela_experiment_tracking.auth.authenticator.vela_authn"):
        requests.request.return_value.status_code = 200
        requests.request.return_value.json.side_effect = [
            {"access_token": "a", "refresh_token": "r2"}, {"preferred_username": "jdoe"}]
        ZELTAuthenticator(refresh_token, "http://t", "http://u", client_id).authenticate()
    assert requests.request.call_args_list[0] == mock.call("POST", "http://t", headers=mock.ANY, data=body)
    assert {name.split("(")[0].split(".")[0] for name, _, _ in requests.mock_calls} == {"request"}
