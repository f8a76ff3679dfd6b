"""Local servers for the demo, the benchmarks and the end-to-end tests: each runs in a process
session of its own on 127.0.0.1 and is stopped by its own process id."""
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, TypeVar, Union

import requests


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


def answers(address: str, ok: Callable[[int], bool] = lambda status: status == 200) -> bool:
    try:
        return ok(requests.get(address, timeout=2).status_code)
    except requests.exceptions.RequestException:
        return False


Server = TypeVar("Server", bound="ServerProcess")


class ServerProcess:
    """Starts `args`, waits until `probe` answers, and stops the process group on exit."""

    def __init__(self, args: List[str], probe: str, log: Union[str, Path], env: Optional[Dict[str, str]] = None) -> None:
        self.args, self.probe, self.log, self.env = args, probe, Path(log), env
        self.process: Optional["subprocess.Popen[bytes]"] = None

    def __enter__(self: "Server") -> "Server":
        with open(self.log, "w") as out:
            process = self.process = subprocess.Popen(self.args, stdout=out, stderr=subprocess.STDOUT,
                                                      start_new_session=True, env=self.env)
        deadline = time.monotonic() + 120
        while not answers(self.probe, ok=lambda status: status < 500):
            if process.poll() is not None or time.monotonic() > deadline:
                self.__exit__()
                raise RuntimeError(f"{self.probe} did not come up:\n{self.log.read_text()[-3000:]}")
            time.sleep(0.3)
        return self

    def __exit__(self, *exc: Any) -> None:
        if self.process is None:
            return
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=20)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


class LocalMlflowServer(ServerProcess):
    """`mlflow server` on 127.0.0.1:port with its data (SQLite, artifacts, log) in `folder`."""

    def __init__(self, folder: Union[str, Path], port: Union[int, str]) -> None:
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        self.address = f"http://127.0.0.1:{port}"
        mlflow = Path(sys.executable).parent / "mlflow"
        super().__init__([str(mlflow), "server", "--backend-store-uri", f"sqlite:///{folder}/mlflow.db",
                          "--artifacts-destination", str(folder / "artifacts"), "--host", "127.0.0.1",
                          "--port", str(port), "--workers", "1"],
                         self.address + "/health", folder / "server.log")
