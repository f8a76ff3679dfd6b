import pytest
from hypothesis import given, strategies as st

from vela_experiment_tracking.auth import user as user_module
from vela_experiment_tracking.auth.user import User


@pytest.mark.parametrize(
    "username, name",
    [
        ("john.smith@example.org", "John Smith"),
        ("john.p.smith@example.org", "John Smith"),
        ("mary.ann.lee@example.org", "Mary Lee"),
        ("JSMITH@example.org", "Jsmith"),
        ("john_smith", "John_Smith"),
        ("o'neil.smith", "O'Neil Smith"),
        (".john", "John"),
        ("ann.", "Ann"),
        ("", ""),
    ],
)
def test_display_name(username, name):
    assert User(username).name == name


def display_name_model(username):
    names = username.split("@")[0].split(".")
    first, last = (names[0], names[-1]) if len(names) > 1 else (names[0], "")
    return f"{first} {last}".strip().title()


@given(st.text())
def test_display_name_follows_the_rule(username):
    assert User(username).name == display_name_model(username)


def test_new_user_state_is_its_own():
    ann, bob = User("ann@example.org"), User("bob@example.org")
    assert (ann.username, ann.active_experiment, ann.active_project) == ("ann@example.org", None, None)
    assert ann.active_iteration_stack == [] and ann.active_iteration_stack is not bob.active_iteration_stack


class Text(str):
    pass


@pytest.mark.parametrize("value, type_name", [(42, "int"), (b"ann", "bytes"), (Text("ann"), "Text")])
def test_username_must_be_exactly_str(value, type_name):
    with pytest.raises(TypeError, match=rf"^Argument 'username' has incorrect type \(expected str, got {type_name}\)$"):
        User(value)


def test_none_username_fails_in_name_derivation():
    with pytest.raises(AttributeError):
        User(None)


@pytest.mark.parametrize("logname, username, name", [(None, "anonymous", "Anonymous"), ("jdoe", "jdoe", "Jdoe"), ("", "", "")])
def test_terminal_user(monkeypatch, logname, username, name):
    if logname is not None:
        monkeypatch.setenv("LOGNAME", logname)
    user = User.create_terminal_user()
    assert (user.username, user.name) == (username, name)


def test_terminal_user_reads_names_at_call_time(monkeypatch):
    monkeypatch.setattr(user_module, "ANON_USER", "nobody")
    assert User.create_terminal_user().username == "nobody"


def test_set_name_recomputes_from_the_attribute():
    user = User("ann@example.org")
    user.username = "bob.stone"
    user._set_name("ignored")
    assert user.name == "Bob Stone"
