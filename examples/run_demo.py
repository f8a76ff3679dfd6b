"""`make demo`: run the quickstart against the tracking server at the default address,
starting a local MLflow server on a SQLite file first if none answers there; that server then
stays up for the link the quickstart prints until you stop it (Ctrl+C)."""
import contextlib
import os
import subprocess
import sys
import time
from pathlib import Path

from local_servers import LocalMlflowServer, answers

from vela_experiment_tracking.constants import DEFAULT_TRACK_SERVER

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / ".demo"


def keep_serving() -> None:
    if not sys.stdin.isatty():
        print(f"The local server stops now. To look at the run again: .venv/bin/mlflow server --backend-store-uri "
              f"sqlite:///{DATA}/mlflow.db --artifacts-destination {DATA}/artifacts --port "
              f"{DEFAULT_TRACK_SERVER.rsplit(':', 1)[1]}")
        return
    print("The local MLflow server keeps running for the link above; press Ctrl+C to stop it.")
    with contextlib.suppress(KeyboardInterrupt, EOFError):
        while True:
            input()


def report_time() -> None:
    started = os.environ.get("VELA_DEMO_STARTED")
    if started:
        print(f"make demo: the quickstart finished {time.time() - int(started):.0f} s after make demo started")


def wait_for_the_ui(seconds: float = 60) -> None:
    """The server answers its health check a little before its UI page, which init probes."""
    deadline = time.monotonic() + seconds
    while not answers(DEFAULT_TRACK_SERVER) and time.monotonic() < deadline:
        time.sleep(0.5)


def main() -> None:
    if answers(DEFAULT_TRACK_SERVER):
        sys.exit(subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")]).returncode)
    print(f"No tracking server answers at {DEFAULT_TRACK_SERVER}: starting a local MLflow server (data in .demo/)")
    with LocalMlflowServer(DATA, int(DEFAULT_TRACK_SERVER.rsplit(":", 1)[1])):
        wait_for_the_ui()
        result = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")])
        if result.returncode == 0:
            report_time()
            keep_serving()
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
