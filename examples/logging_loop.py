"""A training loop for the outage measurements of the end-to-end tests and `make bench`.

    python logging_loop.py TRACKING_URI NAME [TOKEN_ENDPOINT USERINFO_ENDPOINT CLIENT_ID REFRESH_TOKEN]

It logs a metric every 10 ms, and a tag every tenth step, until a line arrives on standard input; then it
ends its iteration and prints, as JSON, its run, its step count and its slowest step of logging beside its
slowest step of storing the same values in a dict. A step during which the OS gave the core to another
process (a server restarting takes both cores for seconds) is also counted apart, as the machine's time
rather than the logging's: "slowest" holds [any step, the steps the OS did not preempt]. A third kind of
step, "spin", does nothing for as long as a typical logging step: where the machine stalls a thread without
preempting it (a virtual machine's host, say), the spin is stalled as often as a logging step of its length.
"""
import json
import resource
import statistics
import sys
import threading
import time
from typing import Callable, Dict, List, Optional

from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator
from vela_experiment_tracking.tracking.initialize import init

PAUSE = 0.01
TYPICAL_AFTER = 200  # logging steps timed before the spin's length is set to their median


class SlowestSteps:
    def __init__(self) -> None:
        self.slowest: Dict[str, List[float]] = {"logging": [0.0, 0.0], "dict": [0.0, 0.0], "spin": [0.0, 0.0]}
        self.preempted: Dict[str, int] = {"logging": 0, "dict": 0, "spin": 0}
        self.first_logging: List[float] = []
        self.typical_logging = 10e-6  # until TYPICAL_AFTER steps are timed

    def time(self, kind: str, action: Callable[[int], None], step: int) -> None:
        switches = resource.getrusage(resource.RUSAGE_THREAD).ru_nivcsw
        start = time.perf_counter()
        action(step)
        took = time.perf_counter() - start
        if kind == "logging" and len(self.first_logging) < TYPICAL_AFTER:
            self.first_logging.append(took)
            if len(self.first_logging) == TYPICAL_AFTER:
                self.typical_logging = statistics.median(self.first_logging)
        slowest = self.slowest[kind]
        slowest[0] = max(slowest[0], took)
        if resource.getrusage(resource.RUSAGE_THREAD).ru_nivcsw == switches:
            slowest[1] = max(slowest[1], took)
        else:
            self.preempted[kind] += 1


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
        if step % 10 == 0:
            iteration.set_tag("progress", str(step))

    def store(step: int) -> None:
        plain["loss"] = (1.0 / (step + 1), step, time.time())
        if step % 10 == 0:
            plain["progress"] = str(step)

    steps = SlowestSteps()

    def spin(step: int) -> None:
        deadline = time.perf_counter() + steps.typical_logging
        while time.perf_counter() < deadline:
            pass

    print("logging", flush=True)
    step = 0
    while not stop.is_set():
        steps.time("logging", log, step)
        steps.time("dict", store, step)
        steps.time("spin", spin, step)
        step += 1
        time.sleep(PAUSE)
    iteration.set_tag("progress", str(step - 1))
    iteration.end()
    print(json.dumps({"run": iteration.iteration_id, "steps": step, "slowest": steps.slowest,
                      "preempted": steps.preempted}), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
