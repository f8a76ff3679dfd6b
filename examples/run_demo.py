"""`make demo`: run the quickstart against the tracking server at the default address,
starting a local MLflow server on a SQLite file first if none answers there."""
import contextlib
import subprocess
import sys
from pathlib import Path

from local_servers import LocalMlflowServer, answers

from vela_experiment_tracking.constants import DEFAULT_TRACK_SERVER

ROOT = Path(__file__).resolve().parent.parent


def main():
    server = contextlib.nullcontext()
    if not answers(DEFAULT_TRACK_SERVER):
        print(f"No tracking server answers at {DEFAULT_TRACK_SERVER}: starting a local MLflow server (data in .demo/)")
        server = LocalMlflowServer(ROOT / ".demo", DEFAULT_TRACK_SERVER.rsplit(":", 1)[1])
    with server:
        result = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")])
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
