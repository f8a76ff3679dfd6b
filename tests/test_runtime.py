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
