"""The sender against a real tracking server behind a proxy that injects faults: odd answers, a damaged or
truncated journal, a full memory bound, a sender alive at exit. Nothing is lost that is not counted, no
signal ends the process, no logging call waits on the server."""
import os
import subprocess
import sys
import textwrap
import time

import pytest

from vela_experiment_tracking.tracking import sender as sender_module

from .conftest import Relay

BATCH = "/api/2.0/mlflow/runs/log-batch"


class FaultProxy(Relay):
    """Forwards to the tracking server; while `fault` is set, answers the batch endpoint with it instead:
    (status, content type, body, extra headers)."""

    def __init__(self, upstream):
        self.fault = None
        super().__init__(upstream)

    def answer(self, handler, body):
        fault = self.fault if handler.path.startswith(BATCH) else None
        if fault:
            status, content_type, content, headers = fault
            self.reply(handler, status, content_type, content, headers.items())
        return bool(fault)


LOGIN_PAGE = (200, "text/html", b"<html><body>Sign in</body></html>", {})
UNAVAILABLE = (503, "text/html", b"<html>busy</html>", {})
FAULTS = {
    "200 html": LOGIN_PAGE,
    "302 to a login page": (302, "text/html", b"", {"Location": "/login"}),
    "403": (403, "text/html", b"<html>forbidden</html>", {}),
    "404": (404, "text/html", b"<html>not found</html>", {}),
    "413": (413, "text/html", b"<html>too large</html>", {}),
}


@pytest.fixture
def proxy(mlflow_server):
    proxy = FaultProxy(mlflow_server)
    yield proxy
    proxy.stop()


@pytest.fixture
def run_id(mlflow_client, unique_name):
    experiment = mlflow_client.create_experiment(unique_name)
    return mlflow_client.create_run(experiment).info.run_id


@pytest.fixture
def journal_home(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    return tmp_path / "vela_experiment_tracking" / "journal"


def log_through(sender, proxy, run_id, fault, count=150, fault_from=30, fault_to=120):
    """Logs `count` metrics, one every 10 ms, with `fault` injected for part of them; the slowest call's time."""
    slowest = 0.0
    for step in range(count):
        proxy.fault = fault if fault_from <= step < fault_to else None
        started = time.monotonic()
        sender.log_metric(proxy.url, run_id, "loss", 1.0 / (step + 1), int(time.time() * 1000), step)
        slowest = max(slowest, time.monotonic() - started)
        time.sleep(0.01)
    proxy.fault = None
    return slowest


def steps_on_server(mlflow_client, run_id):
    return sorted(metric.step for metric in mlflow_client.get_metric_history(run_id, "loss"))


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_an_odd_answer_keeps_the_records_until_the_server_confirms_them(proxy, run_id, mlflow_client, journal_home,
                                                                      fault):
    sender = sender_module.Sender()
    try:
        slowest = log_through(sender, proxy, run_id, FAULTS[fault])
        assert sender.flush(run_id, timeout=60)
    finally:
        sender.close(timeout=0)
    steps = steps_on_server(mlflow_client, run_id)
    print(f"\n{fault}: {len(steps)} of 150 on the server; slowest call {slowest * 1000:.1f} ms")
    assert steps == list(range(150))
    assert slowest < 1


def test_a_full_memory_bound_drops_and_counts_but_never_waits(proxy, run_id, mlflow_client, journal_home,
                                                             monkeypatch, capfd):
    monkeypatch.setenv("VELA_LOG_MEMORY_ONLY", "1")
    monkeypatch.setenv("VELA_LOG_MEMORY_RECORDS", "1000")
    sender = sender_module.Sender()
    proxy.fault = UNAVAILABLE
    slowest = 0.0
    for step in range(3000):
        started = time.monotonic()
        sender.log_metric(proxy.url, run_id, "loss", 1.0, 0, step)
        slowest = max(slowest, time.monotonic() - started)
    proxy.fault = None
    assert sender.flush(run_id, timeout=60)
    not_delivered = sender.close(timeout=0)
    delivered = len(steps_on_server(mlflow_client, run_id))
    print(f"\nmemory bound: {delivered} delivered, {not_delivered} dropped; slowest call {slowest * 1000:.1f} ms")
    assert (delivered, not_delivered) == (1000, 2000)
    assert "2000 logged record(s) are lost" in capfd.readouterr().err
    assert slowest < 1


def leave_journal(proxy_url, run_id, count):
    """A process that logs `count` metrics while the server is down and is killed: its journal stays."""
    script = textwrap.dedent(f"""
        import os
        from vela_experiment_tracking.tracking.sender import Sender
        sender = Sender()
        for step in range({count}):
            sender.log_metric({proxy_url!r}, {run_id!r}, "loss", float(step), 0, step)
        os.kill(os.getpid(), 9)
    """)
    subprocess.run([sys.executable, "-c", script], env=os.environ, timeout=120)


def test_a_damaged_byte_costs_its_line_only(proxy, run_id, mlflow_client, journal_home):
    proxy.fault = UNAVAILABLE
    leave_journal(proxy.url, run_id, 5000)
    [journal] = journal_home.glob("*.journal")
    data = bytearray(journal.read_bytes())
    data[len(data) // 4] ^= 0x20
    journal.write_bytes(bytes(data))
    proxy.fault = None
    uploaded, left, damaged = sender_module.Sender().sync(timeout=60)
    steps = steps_on_server(mlflow_client, run_id)
    print(f"\ndamaged byte: {uploaded} uploaded, {left} left, {damaged} damaged line(s)")
    assert (uploaded, left, damaged) == (4999, 0, 1)
    assert len(steps) == 4999
    assert journal.exists()  # kept while it holds a damaged line


def test_a_journal_truncated_by_another_process_faults_nothing(proxy, run_id, mlflow_client, journal_home):
    sender = sender_module.Sender()
    proxy.fault = UNAVAILABLE
    try:
        for step in range(2000):
            sender.log_metric(proxy.url, run_id, "loss", 1.0, 0, step)
            if step == 1000:
                [journal] = journal_home.glob("*.journal")
                subprocess.run(["truncate", "-s", "0", str(journal)], check=True)
        proxy.fault = None
        assert sender.flush(run_id, timeout=60)
    finally:
        sender.close(timeout=0)
    assert steps_on_server(mlflow_client, run_id) == list(range(2000))


def test_a_sender_of_the_user_s_own_alive_at_exit_ends_cleanly(proxy, run_id, mlflow_client, journal_home):
    proxy.fault = UNAVAILABLE
    script = textwrap.dedent(f"""
        import sys
        from vela_experiment_tracking.tracking.sender import Sender
        sender = Sender()
        sender.log_metric({proxy.url!r}, {run_id!r}, "loss", 1.0, 0, int(sys.argv[1]))
    """)
    environment = {**os.environ, "VELA_LOG_FLUSH_TIMEOUT": "1"}
    for step in range(5):
        ended = subprocess.run([sys.executable, "-c", script, str(step)], env=environment, capture_output=True,
                               text=True, timeout=120)
        assert ended.returncode == 0, ended.stderr
        assert "1 logged record(s) of 1 run(s) were not confirmed" in ended.stderr
    proxy.fault = None
    assert sender_module.Sender().sync(timeout=60) == (5, 0, 0)
    assert steps_on_server(mlflow_client, run_id) == list(range(5))
