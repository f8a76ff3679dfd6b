"""The README's example and the examples pass the strictest type check against the package's stubs."""
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_readme_example_and_examples_type_check(tmp_path):
    readme = (ROOT / "README.md").read_text()
    example = tmp_path / "readme_example.py"
    example.write_text(re.search(r"## Quickstart\s+```python[^\n]*\n(.*?)```", readme, re.S).group(1))
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                             str(example), str(ROOT / "examples")], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout
