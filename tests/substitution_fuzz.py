"""Substitutes every module-level name of every package module in turn and calls the module's public callables.

Run as `substitution_fuzz.py SHARD SHARDS`: takes every SHARDS-th module starting at SHARD, prints
`start <scenario>` before each call (so the parent can name the scenario that killed the process), `systemerror
<scenario>: <message>` for a SystemError, and `done <count>` at the end. Modules are found by walking the
packages, so modules added later are covered too.
"""
import http.server
import importlib
import inspect
import itertools
import os
import pkgutil
import queue
import signal
import sys
import tempfile
import webbrowser
from types import SimpleNamespace
from unittest import mock

PACKAGES = ["vela_experiment_tracking", "vela_authn"]
CLOSED = "http://127.0.0.1:9"  # nothing listens: every request is refused at once
SCENARIO_SECONDS = 3


class Raising:
    """Stands in for anything; every use of it raises."""

    def _raise(self, *args, **kwargs):
        raise RuntimeError("raising stand-in")

    __getattr__ = __call__ = __iter__ = __bool__ = __str__ = __eq__ = __hash__ = __len__ = _raise
    __getitem__ = __setitem__ = __contains__ = __enter__ = __exit__ = __int__ = __float__ = _raise


def spy_subclass(cls):
    """A subclass that records its constructions and otherwise is its base."""

    def __init__(self, *args, **kwargs):
        type(self).made.append((args, kwargs))
        super(spy, self).__init__(*args, **kwargs)

    try:
        spy = type("Spy" + cls.__name__, (cls,), {"__init__": __init__, "made": []})
    except TypeError:  # not subclassable (bool, final classes)
        return None
    return spy


def substitutes(value):
    yield "MagicMock", mock.MagicMock()
    if inspect.isclass(value):
        spy = spy_subclass(value)
        if spy is not None:
            yield "spy", spy
    yield "Raising", Raising()


class ImpatientQueue(queue.Queue):
    """A login's queue that never waits for a browser."""

    def get(self, block=True, timeout=None):
        return super().get(block=False)


class QuickServer(http.server.HTTPServer):
    """Stops within milliseconds of being told to."""

    def serve_forever(self, poll_interval=0.01):
        super().serve_forever(poll_interval)


def offline_mlflow(tracking_uri=None):
    return mock.MagicMock(name="MlflowClient")


# Offline stand-ins for the few collaborators that would wait on a person or a server; found by identity, so a
# new module that imports them gets them too.
def baseline():
    from vela_experiment_tracking.tracking import client

    return {id(queue.Queue): ImpatientQueue, id(http.server.HTTPServer): QuickServer,
            id(webbrowser): SimpleNamespace(open=lambda *args, **kwargs: True),
            id(client.create_mlflow_client): offline_mlflow}


def plausible(name):
    """An ordinary argument for a parameter of this name."""
    from vela_experiment_tracking.auth.user import User
    from vela_experiment_tracking.entities.experiment import Experiment
    from vela_experiment_tracking.entities.labeled_record import LabeledRecord
    from vela_experiment_tracking.entities.project import Project

    lowered = name.lower()
    client = SimpleNamespace(tracking_uri=CLOSED, user=User("ann"), authenticator=None)
    if any(part in lowered for part in ("url", "uri", "endpoint", "address", "issuer")):
        return CLOSED
    if "timeout" in lowered or lowered in ("step", "seconds"):
        return 1
    if lowered in ("value", "timestamp"):
        return 1.0
    if lowered in ("params", "metrics", "tags", "json", "dictionary"):
        return {"k": "v"}
    if lowered == "experiment":
        return Experiment("e", None, "1", SimpleNamespace(client=client))
    if lowered == "project":
        return Project("p", None)
    if lowered == "client":
        return client
    if lowered in ("obj", "entity", "record"):
        return LabeledRecord("r", None)
    if lowered == "queue":
        return ImpatientQueue()
    if lowered in ("authenticator", "previous"):
        return None
    if lowered.startswith("use_") or lowered.endswith("enabled"):
        return True
    return "x"


def arguments(function, skip_first):
    try:
        parameters = list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        return []
    if skip_first:
        parameters = parameters[1:]
    return [plausible(p.name) for p in parameters if p.kind == p.POSITIONAL_OR_KEYWORD]


def instance_of(cls):
    """An instance made under the baseline, for calling methods."""
    if getattr(cls, "__abstractmethods__", None):
        cls = type(cls.__name__, (cls,), {})
        cls.__abstractmethods__ = frozenset()
    if issubclass(cls, BaseException):
        return cls("x")
    return cls(*arguments(cls.__init__, skip_first=True))


def class_calls(module, cls, instances):
    """(label, call) for the constructor (of the class, and of whatever the module's name for it is bound to now)
    and each method and property the class defines. Methods are called on the instance made before the
    substitution, else (it could not be made) on one made now."""

    def instance():
        return instances[cls] if cls in instances else instance_of(cls)

    def through_module_name():
        current = getattr(module, cls.__name__)
        return instance_of(current) if inspect.isclass(current) else current(*arguments(cls.__init__, True))

    yield cls.__name__, lambda: instance_of(cls)
    yield cls.__name__ + " (by name)", through_module_name
    for name, member in vars(cls).items():
        if name.startswith("_") and name not in ("__repr__", "__iter__", "__enter__", "__exit__"):
            continue
        label = f"{cls.__name__}.{name}"
        if isinstance(member, property):
            yield label, lambda name=name: getattr(instance(), name)
            if member.fset is not None:
                yield label + "=", lambda name=name: setattr(instance(), name, "x")
        elif isinstance(member, (staticmethod, classmethod)):
            yield label, lambda name=name, f=member.__func__, s=isinstance(member, classmethod): \
                getattr(cls, name)(*arguments(f, skip_first=s))
        elif name == "__iter__":
            yield label, lambda: list(instance())
        elif callable(member):
            yield label, lambda name=name, f=member: getattr(instance(), name)(*arguments(f, skip_first=True))


def public(module):
    return [value for name, value in sorted(vars(module).items())
            if not name.startswith("_") and getattr(value, "__module__", None) == module.__name__ and callable(value)]


def public_calls(module, instances):
    for value in public(module):
        if inspect.isclass(value):
            yield from class_calls(module, value, instances)
        else:
            yield value.__name__, lambda f=value: f(*arguments(f, skip_first=False))


def fresh_instances(module):
    instances = {}
    for cls in filter(inspect.isclass, public(module)):
        try:
            instances[cls] = instance_of(cls)
        except Exception:
            pass
    return instances


def package_modules():
    names = []
    for package in PACKAGES:
        names.append(package)
        module = importlib.import_module(package)
        if hasattr(module, "__path__"):
            names += [m.name for m in pkgutil.walk_packages(module.__path__, package + ".")
                      if not m.name.endswith("__main__")]
    return sorted(names)


class ScenarioTimeout(Exception):
    pass


def on_alarm(signum, frame):
    raise ScenarioTimeout("the scenario took too long")


def run_scenario(label, call):
    print("start", label, flush=True)
    signal.setitimer(signal.ITIMER_REAL, SCENARIO_SECONDS)
    try:
        call()
    except SystemError as error:
        print(f"systemerror {label}: {error!s}", flush=True)
    except (Exception, SystemExit):  # the command line's entry exits as it should: no crash
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


def fuzz(module, stand_ins, mine):
    """The scenarios of the module's names that `mine()`, asked once a name in order, takes."""
    count = 0
    for name, value in list(vars(module).items()):
        if id(value) in stand_ins:
            setattr(module, name, stand_ins[id(value)])
    for name, original in sorted(vars(module).items()):
        if name.startswith("__") or not mine():
            continue
        for kind, substitute in substitutes(original):
            calls = list(public_calls(module, fresh_instances(module)))
            setattr(module, name, substitute)
            try:
                for label, call in calls:
                    run_scenario(f"{module.__name__}.{name}={kind}: {label}", call)
                    count += 1
            finally:
                setattr(module, name, original)
    return count


def main(shard, shards):
    signal.signal(signal.SIGALRM, on_alarm)
    os.environ.update(HOME=tempfile.mkdtemp(), XDG_CACHE_HOME=tempfile.mkdtemp(),
                      MLFLOW_HTTP_REQUEST_MAX_RETRIES="0",
                      MLFLOW_HTTP_REQUEST_TIMEOUT="2", PYTHON_KEYRING_BACKEND="keyring.backends.null.Keyring")
    count = 0
    stand_ins = baseline()
    # Names are dealt to the shards one by one, so a module with slow callables (the sender's waits) is shared out.
    names = itertools.count()

    def mine():
        return next(names) % shards == shard

    for name in package_modules():
        count += fuzz(importlib.import_module(name), stand_ins, mine)
    print("done", count, flush=True)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
