"""A training loop for the outage measurements of the end-to-end tests and `make bench`.

    python logging_loop.py TRACKING_URI NAME [TOKEN_ENDPOINT USERINFO_ENDPOINT CLIENT_ID REFRESH_TOKEN]

It logs a metric every 10 ms, and a tag every tenth step, until a line arrives on standard input; then it
ends its iteration and prints, as JSON, its run, its step count and its slowest step of logging beside its
slowest step of storing the same values in a dict.

Three kinds of step are the machine's time rather than the code's, and each slowest step is given as
[any step, the steps the OS did not preempt, the calm steps]:
- preempted: the OS gave the core to another process (a server restarting takes both cores for seconds);
- stopped: the virtual machine's host stopped the virtual core. The kernel leaves that time out of the
  thread's CPU time: the step ran for less time than it took, though it did not wait;
- stalled: on a virtual machine, the host now and then makes the first touch of each memory page slow
  (tens of microseconds a page) for a while, whatever the code. Two canaries show it: before the step and
  after it, each touches its own 32 pages, which takes a few microseconds. A canary that took over ten times
  its median saw a stall. A page stays slow until its first touch after the stall, and the loop's tag is
  logged every tenth step: the step of a stall and the nine after it are stalled.
A calm step is none of these: what it took is the code's own time.

What a stall costs a step goes with the pages it reads, which the loop counts at the end for a step with a
tag, logging and storing (the lower quartile of several tries; none where the kernel does not let the process
clear its pages' referenced bits).
"""
import ctypes
import json
import os
import resource
import statistics
import sys
import threading
import time
from typing import Callable, Dict, List, Optional

from vela_experiment_tracking.auth.authenticator import ZELTAuthenticator
from vela_experiment_tracking.entities.iteration import Iteration
from vela_experiment_tracking.tracking.initialize import init

PAUSE = 0.01
PAGE = 4096
CANARY_PAGES = 32
STALLED = 10  # times a canary's median
PERIOD = 10  # steps: the loop touches what its tag's logging touches this often
HOST_STOP = 0.0002  # seconds of a step that its thread did not run, without having waited
SMAPS_BYTES = 16 << 20  # room for the process's /proc/self/smaps


class Canary:
    """Touches pages of its own and keeps how long each touch took."""

    def __init__(self) -> None:
        self.pages = bytearray(CANARY_PAGES * PAGE)
        self.marks = b"\1" * CANARY_PAGES
        self.times: List[float] = []

    def touch(self) -> None:
        start = time.perf_counter()
        self.pages[::PAGE] = self.marks
        self.times.append(time.perf_counter() - start)

    def stalled(self) -> List[bool]:
        limit = STALLED * statistics.median(self.times)
        return [took > limit for took in self.times]


def timed(action: Callable[[int], None], step: int) -> List[float]:
    """[seconds, 1.0 if the OS preempted the step, 1.0 if the host stopped it]"""
    before = resource.getrusage(resource.RUSAGE_THREAD)
    start, start_cpu = time.perf_counter(), time.thread_time()
    action(step)
    took, cpu = time.perf_counter() - start, time.thread_time() - start_cpu
    after = resource.getrusage(resource.RUSAGE_THREAD)
    preempted = after.ru_nivcsw != before.ru_nivcsw
    # the kernel leaves out of a thread's CPU time what the host took: a gap that no wait of the thread's own
    # (a voluntary switch) explains is the host's
    stopped = after.ru_nvcsw == before.ru_nvcsw and took - cpu > HOST_STOP
    return [took, float(preempted), float(stopped)]


def slowest(times: List[List[float]], stalled: List[bool]) -> List[float]:
    """[any step, the steps not preempted, the calm steps]"""
    unpreempted = [took for took, preempted, _ in times if not preempted]
    calm = [took for (took, preempted, stopped), machine in zip(times, stalled)
            if not (preempted or stopped or machine)]
    return [max(took for took, _, _ in times), max(unpreempted, default=0.0), max(calm, default=0.0)]


class PageCounter:
    """Counts the pages the process reads between clear() and count(). Both keep the interpreter's lock
    (ctypes' PyDLL calls do not let go of it, as its CDLL calls and Python's own file calls do): the
    sender's thread, which a step wakes and which takes that lock before it sends, then waits, and its
    work is not counted against the step."""

    def __init__(self) -> None:
        self.libc = ctypes.PyDLL(None)
        self.libc.read.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
        self.libc.read.restype = ctypes.c_ssize_t
        self.libc.lseek.argtypes = [ctypes.c_int, ctypes.c_long, ctypes.c_int]
        self.libc.lseek.restype = ctypes.c_long
        self.clear_refs = os.open("/proc/self/clear_refs", os.O_WRONLY)
        self.smaps = os.open("/proc/self/smaps", os.O_RDONLY)
        self.buffer = ctypes.create_string_buffer(SMAPS_BYTES)

    def close(self) -> None:
        os.close(self.clear_refs)
        os.close(self.smaps)

    def clear(self) -> None:
        self.libc.write(self.clear_refs, b"1", 1)

    def count(self) -> int:
        self.libc.lseek(self.smaps, 0, os.SEEK_SET)
        size = 0
        while size < len(self.buffer):
            got = self.libc.read(self.smaps, ctypes.addressof(self.buffer) + size, len(self.buffer) - size)
            if got <= 0:
                break
            size += got
        lines = self.buffer.raw[:size].splitlines()
        return sum(int(line.split()[1]) for line in lines if line.startswith(b"Referenced:")) // (PAGE // 1024)

    def pages_after(self, action: Callable[[int], None], step: int) -> int:
        """Pages read by `action`, with what counting reads."""
        self.clear()
        action(step)
        return self.count()


def pages_read(action: Callable[[int], None], tries: int = 41) -> Optional[int]:
    """Pages that a step with a tag reads, beyond what counting them reads: the lower quartile over
    several tries, as the process's other threads may run meanwhile."""
    try:
        counter = PageCounter()
    except OSError:
        return None
    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)  # no other thread is handed the interpreter's lock while the loop counts
    try:
        counts: List[int] = []
        for n in range(tries):
            action(PERIOD * n)  # a page the step reads only once is not counted
            step_count = counter.pages_after(action, PERIOD * n)
            counts.append(step_count - counter.pages_after(lambda step: None, PERIOD * n))
        return sorted(counts)[tries // 4]
    finally:
        sys.setswitchinterval(switch_interval)
        counter.close()


def logging_step(iteration: Iteration) -> Callable[[int], None]:
    def log(step: int) -> None:
        iteration.log_metric("loss", 1.0 / (step + 1), step=step)
        if step % PERIOD == 0:
            iteration.set_tag("progress", str(step))
    return log


def main(tracking_uri: str, name: str, *login: str) -> None:
    authenticator: Optional[ZELTAuthenticator] = None
    if login:
        token_endpoint, userinfo_endpoint, client_id, refresh_token = login
        authenticator = ZELTAuthenticator(refresh_token, token_endpoint, userinfo_endpoint, client_id)
    experiment = init("churn", name, tracking_uri=tracking_uri, authenticator=authenticator)
    iteration = experiment.get_iteration()
    stop = threading.Event()

    def wait_for_stop() -> None:
        sys.stdin.readline()
        stop.set()

    threading.Thread(target=wait_for_stop, daemon=True).start()
    plain: Dict[str, object] = {}

    log = logging_step(iteration)

    def store(step: int) -> None:
        plain["loss"] = (1.0 / (step + 1), step, time.time())
        if step % PERIOD == 0:
            plain["progress"] = str(step)

    before, after = Canary(), Canary()
    times: Dict[str, List[List[float]]] = {"logging": [], "dict": []}
    print("logging", flush=True)
    step = 0
    while not stop.is_set():
        before.touch()
        times["logging"].append(timed(log, step))
        times["dict"].append(timed(store, step))
        after.touch()
        step += 1
        time.sleep(PAUSE)
    iteration.set_tag("progress", str(step - 1))
    iteration.end()
    probe = experiment.get_iteration()  # the pages are counted on a run of their own, the loop's run kept whole
    pages = {"logging": pages_read(logging_step(probe)), "dict": pages_read(store)}
    probe.end()
    seen = [a or b for a, b in zip(before.stalled(), after.stalled())]
    stalled = [any(seen[max(0, step - PERIOD + 1):step + 1]) for step in range(len(seen))]
    print(json.dumps({
        "run": iteration.iteration_id, "steps": step,
        "slowest": {kind: slowest(kind_times, stalled) for kind, kind_times in times.items()},
        "preempted": {kind: int(sum(p for _, p, _ in kind_times)) for kind, kind_times in times.items()},
        "stopped": {kind: int(sum(s for _, _, s in kind_times)) for kind, kind_times in times.items()},
        "stalls": sum(seen), "stalled": sum(stalled), "pages": pages,
        "canaries": {"median": [statistics.median(c.times) for c in (before, after)],
                     "slowest": [max(c.times) for c in (before, after)]},
    }), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
