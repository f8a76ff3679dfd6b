"""Log in to the experiment-tracking service and track training with MLflow.

Importing the package loads nothing else: the names below are loaded on first use.
"""

# name -> (module, attribute) it is loaded from
_LAZY_NAMES = {
    "init": ("vela_experiment_tracking.tracking.initialize", "init"),
}


def __getattr__(name):
    import importlib

    if name == "__version__":
        value = importlib.import_module("importlib.metadata").version(__name__)
    elif name in _LAZY_NAMES:
        module, attribute = _LAZY_NAMES[name]
        value = getattr(importlib.import_module(module), attribute)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY_NAMES) | {"__version__"})
