"""A local MLflow tracking server on a SQLite file, for the demo and the benchmarks."""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import requests


def answers(address):
    try:
        return requests.get(address, timeout=2).status_code == 200
    except requests.exceptions.RequestException:
        return False


class LocalMlflowServer:
    """Runs `mlflow server` on 127.0.0.1:port with its data in `folder`; stopped by its own process id."""

    def __init__(self, folder, port):
        self.folder = Path(folder)
        self.address = f"http://127.0.0.1:{port}"
        self.port = port
        self.process = None

    def __enter__(self):
        self.folder.mkdir(parents=True, exist_ok=True)
        mlflow = Path(sys.executable).parent / "mlflow"
        with open(self.folder / "server.log", "w") as log:
            self.process = subprocess.Popen(
                [str(mlflow), "server", "--backend-store-uri", f"sqlite:///{self.folder}/mlflow.db",
                 "--artifacts-destination", str(self.folder / "artifacts"), "--host", "127.0.0.1",
                 "--port", str(self.port), "--workers", "1"],
                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 120
        while not answers(self.address):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.__exit__()
                sys.exit(f"the local MLflow server did not start; see {self.folder / 'server.log'}")
            time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=20)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
