"""Daemon threads run package code while the main thread returns; the interpreter must end them cleanly.

Usage: `daemon_exit.py TRACKING_URI` is one such interpreter; `daemon_exit.py late WORKLOAD` is one that ends its
threads late (see `late_scenario`); `daemon_exit.py --runs N` starts a local tracking server, runs each scenario in
N fresh interpreters and prints how many crashed.
"""
import ctypes
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path


class TokenEndpoint(BaseHTTPRequestHandler):
    """Hands out access tokens that expire within milliseconds, so token() calls keep renewing over HTTP."""

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        body = json.dumps({"access_token": "access", "refresh_token": "refresh", "expires_in": 0.01}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def forever(work):
    def loop():
        while True:
            work()

    threading.Thread(target=loop, daemon=True).start()


def scenario(tracking_uri):
    from vela_experiment_tracking.auth.authenticator import Authenticator
    from vela_experiment_tracking.auth.user import User
    from vela_experiment_tracking.entities.labeled_record import LabeledRecord
    from vela_experiment_tracking.tracking.initialize import init

    class Login(Authenticator):
        def authenticate(self, **kwargs):
            return super().authenticate(**{self.USER_KEY: User("ann"), self.TOKEN_PROVIDER_KEY: serve_tokens()})

    login = Login()
    login.authenticate()
    record = None
    for depth in range(30):
        record = LabeledRecord(record, f"level {depth}")
    iteration = init("exit", f"daemon-exit-{os.getpid()}", tracking_uri=tracking_uri).get_iteration()
    step = iter(range(10**9))

    forever(lambda: repr(record))
    forever(login.token)
    forever(lambda: iteration.log_metric("m", 1.0, next(step)))
    time.sleep(random.uniform(0.2, 1.0))  # then the main thread returns while the others run


def serve_tokens():
    """A local token endpoint whose tokens expire at once, and the token provider renewing against it."""
    import vela_authn

    tokens = ThreadingHTTPServer(("127.0.0.1", 0), TokenEndpoint)
    threading.Thread(target=tokens.serve_forever, daemon=True).start()
    return vela_authn.TokenProvider(refresh_token="refresh", client_id="cli", token_endpoint_url=(
        f"http://127.0.0.1:{tokens.server_port}/token"))


def records_workload():
    from vela_experiment_tracking.auth.user import User
    from vela_experiment_tracking.entities.labeled_record import LabeledRecord

    return lambda: (repr(LabeledRecord("n", "d")), User("a.b@c"))


LATE_WORKLOADS = {"records": records_workload, "token": lambda: serve_tokens().token}


def late_scenario(workload):
    """Threads are ended after the interpreter's thread states are gone: few modules to finalize, a slow native
    exit handler (as libraries that training processes load have), and threads that switch often."""
    libc = ctypes.CDLL(None)
    libc.__cxa_atexit(ctypes.cast(libc.usleep, ctypes.c_void_p), ctypes.c_void_p(100_000), None)
    sys.setswitchinterval(0.02)
    work = LATE_WORKLOADS[workload]()
    for _ in range(8):
        forever(work)
    time.sleep(0.3)


def crashed_runs(arguments, runs, parallel=3):
    """How many of `runs` fresh interpreters running the scenario `arguments` names ended other than cleanly."""
    # The logging thread outruns the server, so the exit flush would wait its full default bound:
    # a short one keeps the runs quick and the exit path the same.
    environment = {**os.environ, "VELA_LOG_FLUSH_TIMEOUT": "1"}
    crashed = 0
    for first in range(0, runs, parallel):
        processes = [subprocess.Popen([sys.executable, __file__, *arguments], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, env=environment)
                     for _ in range(min(parallel, runs - first))]
        for process in processes:
            try:
                _, err = process.communicate(timeout=180)
            except subprocess.TimeoutExpired:
                process.kill()
                _, err = process.communicate()
            if process.returncode != 0 or "Fatal Python error" in err or "terminate called" in err:
                crashed += 1
                print(f"exit {process.returncode}: {err[-1000:]}", file=sys.stderr)
    return crashed


def main(arguments):
    if arguments[0] == "late":
        return late_scenario(arguments[1])
    if arguments[0] != "--runs":
        return scenario(arguments[0])
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    from local_servers import LocalMlflowServer, free_port

    runs = int(arguments[1])
    with tempfile.TemporaryDirectory() as folder, LocalMlflowServer(folder, free_port()) as server:
        os.environ["XDG_CACHE_HOME"] = folder  # what the runs leave unsent goes with the folder
        print(f"exit with daemon threads: {crashed_runs([server.address], runs)} crashes in {runs} runs")
    for workload in LATE_WORKLOADS:
        print(f"late exit, {workload}: {crashed_runs(['late', workload], runs)} crashes in {runs} runs")


if __name__ == "__main__":
    main(sys.argv[1:])
