"""A training loop for the outage measurements of the end-to-end tests and `make bench`.

    python logging_loop.py TRACKING_URI NAME [TOKEN_ENDPOINT USERINFO_ENDPOINT CLIENT_ID REFRESH_TOKEN]

It logs a metric every 10 ms, and a tag every tenth step, until a line arrives on standard input; then it
ends its iteration and prints, as JSON, its run, its step count and its slowest step of logging beside its
slowest step of storing the same values in a dict (on this shared machine the latter shows the host's own
stalls).
"""
import json
import sys
import threading
import time
from typing import Callable, Dict, Optional

from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator
from vela_experiment_tracking.tracking.initialize import init

PAUSE = 0.01
PERIOD = 10  # steps between two tags


def timed(action: Callable[[int], None], step: int) -> float:
    started = time.perf_counter()
    action(step)
    return time.perf_counter() - started


def main(tracking_uri: str, name: str, *login: str) -> None:
    authenticator: Optional[ZELTAuthenticator] = None
    if login:
        token_endpoint, userinfo_endpoint, client_id, refresh_token = login
        authenticator = ZELTAuthenticator(refresh_token, token_endpoint, userinfo_endpoint, client_id)
    iteration = init("churn", name, tracking_uri=tracking_uri, authenticator=authenticator).get_iteration()
    stop = threading.Event()

    def wait_for_stop() -> None:
        sys.stdin.readline()
        stop.set()

    threading.Thread(target=wait_for_stop, daemon=True).start()
    plain: Dict[str, object] = {}

    def log(step: int) -> None:
        iteration.log_metric("loss", 1.0 / (step + 1), step=step)
        if step % PERIOD == 0:
            iteration.set_tag("progress", str(step))

    def store(step: int) -> None:
        plain["loss"] = (1.0 / (step + 1), step, time.time())
        if step % PERIOD == 0:
            plain["progress"] = str(step)

    slowest = {"logging": 0.0, "dict": 0.0}
    print("logging", flush=True)
    step = 0
    while not stop.is_set():
        slowest["logging"] = max(slowest["logging"], timed(log, step))
        slowest["dict"] = max(slowest["dict"], timed(store, step))
        step += 1
        time.sleep(PAUSE)
    iteration.set_tag("progress", str(step - 1))
    iteration.end()
    print(json.dumps({"run": iteration.iteration_id, "steps": step, "slowest": slowest}), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
