"""Every README code block marked ```python runnable runs, as written, against the test server."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
RUNNABLE = re.compile(r"^```python runnable\n(.*?)^```", re.MULTILINE | re.DOTALL)

# init aimed at the test server instead of the default address (a call naming a server wins).
PRELUDE = """
import functools, sys
from vela_experiment_tracking.tracking import initialize
initialize.init = functools.partial(initialize.init, tracking_uri=sys.argv[1])
"""


def runnable_blocks():
    text = README.read_text()
    return [pytest.param(match.group(1), id=f"line-{text.count(chr(10), 0, match.start()) + 1}")
            for match in RUNNABLE.finditer(text)]


def test_readme_has_runnable_blocks():
    assert runnable_blocks()


@pytest.mark.parametrize("block", runnable_blocks())
def test_readme_block_runs(block, mlflow_server, tmp_path):
    script = tmp_path / "block.py"
    script.write_text(PRELUDE + block)
    environment = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache"), "XDG_STATE_HOME": str(tmp_path / "state"),
                   "MPLBACKEND": "Agg"}

    result = subprocess.run([sys.executable, str(script), mlflow_server], cwd=tmp_path, env=environment,
                            capture_output=True, text=True, timeout=300)

    assert result.returncode == 0, f"{block}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
