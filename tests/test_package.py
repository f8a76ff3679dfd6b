"""The package's own names: loaded on first use, importing the package alone loads nothing else."""
import importlib.metadata
import subprocess
import sys

import vela_experiment_tracking
from vela_experiment_tracking.tracking import initialize


def test_importing_the_package_loads_nothing_else():
    code = ("import sys; before = set(sys.modules); import vela_experiment_tracking; "
            "print(sorted(set(sys.modules) - before))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=60)
    assert result.stdout.strip() == "['vela_experiment_tracking']"


def test_lazy_names():
    assert vela_experiment_tracking.init is initialize.init
    assert vela_experiment_tracking.__version__ == importlib.metadata.version("vela_experiment_tracking")
    assert {"init", "__version__"} <= set(dir(vela_experiment_tracking))
    try:
        vela_experiment_tracking.no_such_name
    except AttributeError as error:
        assert str(error) == "module 'vela_experiment_tracking' has no attribute 'no_such_name'"
    else:
        raise AssertionError("no AttributeError")
