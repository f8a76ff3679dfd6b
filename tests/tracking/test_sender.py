"""The background sender: validation at the call, batches, order, retries, the journal and its replay."""
import logging
import os
import re
import signal
import stat
import sys
import types
import zlib
from unittest import mock

import pytest
import requests

import vela_authn

from vela_experiment_tracking.exception import ExperimentTrackingException
from vela_experiment_tracking.tracking import sender as sender_module

from .conftest import SERVER


def log_all(sender, run="r1", metrics=0, params=0, tags=0):
    for i in range(metrics):
        sender.log_metric(SERVER, run, "m", float(i), 1000 + i, i)
    for i in range(params):
        sender.log_params(SERVER, run, {f"p{i}": i})
    for i in range(tags):  # the one-tag call and the mapping's, interleaved
        if i % 2:
            sender.set_tag(SERVER, run, "t", i)
        else:
            sender.set_tags(SERVER, run, {"t": i})


def steps(endpoint):
    """The steps of the metrics delivered: a run's metrics may go in several requests at once, in any order."""
    return sorted(m["step"] for m in endpoint.delivered())


def test_batches_keep_to_the_server_limits_and_the_order(make_sender, endpoint):
    sender = make_sender()
    endpoint.hold.clear()  # everything queues behind the first request
    log_all(sender, metrics=2500, params=250, tags=250)
    endpoint.hold.set()
    assert sender.flush("r1", timeout=30)
    for body in endpoint.bodies:
        assert body["run_id"] == "r1"
        assert len(body.get("metrics", [])) <= 1000
        assert len(body.get("params", [])) <= 100 and len(body.get("tags", [])) <= 100
        assert sum(len(body.get(kind, [])) for kind in ("metrics", "params", "tags")) <= 1000
    assert steps(endpoint) == list(range(2500))
    assert [p["key"] for p in endpoint.delivered("params")] == [f"p{i}" for i in range(250)]
    assert [t["value"] for t in endpoint.delivered("tags")] == [str(i) for i in range(250)]
    assert len(endpoint.bodies) <= 10  # 6 at least; a request beside another one stops at a parameter
    assert endpoint.calls[0]["url"] == SERVER + "/api/2.0/mlflow/runs/log-batch"


def test_a_burst_logged_while_the_loop_holds_the_interpreter_goes_in_one_request(make_sender, endpoint):
    sender = make_sender()
    sender.log_metric(SERVER, "r1", "first", 0.0, 1000, 0)
    assert sender.flush("r1", timeout=30)  # the sending thread is up and waiting for records
    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)  # the loop keeps the interpreter's lock until flush() waits
    try:
        log_all(sender, metrics=500)
        assert sender.flush("r1", timeout=30)
    finally:
        sys.setswitchinterval(switch_interval)
    assert [len(body["metrics"]) for body in endpoint.bodies[1:]] == [500]


def test_runs_are_sent_side_by_side(make_sender, endpoint):
    sender = make_sender()
    for i in range(300):
        for run in ("a", "b"):
            sender.log_metric(SERVER, run, "m", float(i), 1000, i)
    assert sender.flush(timeout=30)
    for run in ("a", "b"):
        logged = [m["step"] for body in endpoint.bodies if body["run_id"] == run for m in body.get("metrics", [])]
        assert sorted(logged) == list(range(300))


def test_the_request_carries_the_package_auth(endpoint, journal_home):
    with mock.patch("vela_experiment_tracking.tracking.sender.BearerAuth") as auth_class:
        sender = sender_module.Sender()
    try:
        sender.log_metric(SERVER, "r1", "m", 1.0, 1000)
        assert sender.flush("r1", timeout=10)
    finally:
        sender.close(timeout=0)
    auth_class.assert_called_once_with()
    assert endpoint.calls[0]["auth"] is auth_class.return_value
    assert endpoint.calls[0]["headers"]["Content-Type"] == "application/json"


@pytest.mark.parametrize("call, message", [
    (lambda s: s.log_metric(SERVER, "r", "a//b", 1.0, 0), "Invalid metric name 'a//b'"),
    (lambda s: s.log_metric(SERVER, "r", "../up", 1.0, 0), "Invalid metric name '../up'"),
    (lambda s: s.log_metric(SERVER, "r", "", 1.0, 0), "Invalid metric name ''"),
    (lambda s: s.log_metric(SERVER, "r", "x" * 251, 1.0, 0), "Invalid metric name"),
    (lambda s: s.log_metric(SERVER, "r", "semi;colon", 1.0, 0), "Invalid metric name"),
    (lambda s: s.log_metric(SERVER, "r", "m", "1.5", 0), "Invalid value '1.5' for metric 'm'"),
    (lambda s: s.log_metric(SERVER, "r", "m", None, 0), "Invalid value None for metric 'm'"),
    (lambda s: s.log_metric(SERVER, "r", "m", 1.0, 0, step=1.5), "Invalid step 1.5"),
    (lambda s: s.log_metric(SERVER, "r", "m", 1.0, 0, step=2 ** 70), "Invalid step"),
    (lambda s: s.log_metric(SERVER, "r", "m", 1.0, -1), "Invalid timestamp -1"),
    (lambda s: s.log_metrics(SERVER, "r", {"ok": 1.0, "bad": {}}, 0), "Invalid value {} for metric 'bad'"),
    (lambda s: s.log_params(SERVER, "r", {"p": "v" * 6001}), "The value of parameter 'p' is longer than 6000"),
    (lambda s: s.set_tags(SERVER, "r", {"t": "v" * 8001}), "The value of tag 't' is longer than 8000"),
    (lambda s: s.set_tags(SERVER, "r", {"a\nb": "v"}), "Invalid tag name"),
    (lambda s: s.set_tag(SERVER, "r", "t", "v" * 8001), "The value of tag 't' is longer than 8000"),
    (lambda s: s.set_tag(SERVER, "r", "../t", "v"), "Invalid tag name '../t'"),
    (lambda s: s.post_request(SERVER, "r", "/api/2.0/mlflow/experiments/delete", "{}"), "Not a request about a run"),
])
def test_invalid_records_raise_at_the_call_and_queue_nothing(make_sender, endpoint, call, message):
    sender = make_sender()
    with pytest.raises(ExperimentTrackingException, match="^" + re.escape(message)) as raised:
        call(sender)
    assert raised.value.error_code == "INVALID_PARAMETER_VALUE"
    assert sender.pending() == 0


@pytest.mark.parametrize("value, sent", [
    (1, 1.0), (2.5, 2.5), (True, 1.0), (float("nan"), "NaN"), (float("inf"), "Infinity"),
    (-float("inf"), "-Infinity")])
def test_numbers_of_every_kind_are_metric_values(make_sender, endpoint, value, sent):
    sender = make_sender()
    sender.log_metric(SERVER, "r", "ünïcode/ok name:1", value, 0)
    assert sender.flush("r", timeout=10)
    assert endpoint.delivered() == [{"key": "ünïcode/ok name:1", "value": sent, "timestamp": 0, "step": 0}]


def test_refused_records_are_reported_once_and_the_rest_delivered(make_sender, endpoint, caplog):
    endpoint.answer = lambda body: 400 if any(m["key"] == "bad" for m in body.get("metrics", [])) else 200
    sender = make_sender()
    endpoint.hold.clear()
    for i in range(10):
        sender.log_metric(SERVER, "r", "bad" if i == 4 else "good", float(i), 1000, i)
    endpoint.hold.set()
    with caplog.at_level(logging.WARNING, "vela_experiment_tracking.tracking.sender"):
        with pytest.raises(ExperimentTrackingException, match="refused 1 record") as raised:
            sender.flush("r", timeout=10)
    assert "metric 'bad': HTTP 400: bad value" in raised.value.message
    assert steps(endpoint) == [0, 1, 2, 3, 5, 6, 7, 8, 9]
    assert any("refused metric 'bad'" in record.message for record in caplog.records)
    assert sender.flush("r", timeout=10) is True  # reported once


@pytest.mark.parametrize("failure, shown", [
    (503, "HTTP 503"), (401, "HTTP 401"), ((400, "BAD_REQUEST"), "HTTP 400 BAD_REQUEST"),
    (requests.exceptions.ConnectionError("down"), "(ConnectionError)"),
    (vela_authn.LoginRequiredError("The login has expired. Please log in again."), "Please log in again."),
])
def test_outages_are_retried_with_one_warning_and_a_count_at_the_end(make_sender, endpoint, caplog, failure, shown):
    answers = iter([failure, failure, failure])

    def answer(body):
        outcome = next(answers, 200)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    endpoint.answer = answer
    sender = make_sender()
    with caplog.at_level(logging.WARNING, "vela_experiment_tracking.tracking.sender"):
        log_all(sender, metrics=50)
        assert sender.flush("r1", timeout=30)
    assert steps(endpoint) == list(range(50))
    warnings = [record.message for record in caplog.records]
    assert len(warnings) == 2
    assert "does not take records now" in warnings[0] and shown in warnings[0]
    assert "answers again" in warnings[1] and "3 failed attempts" in warnings[1]


def test_flush_times_out_while_the_server_is_down(make_sender, endpoint):
    endpoint.answer = lambda body: 503
    sender = make_sender()
    log_all(sender, metrics=3)
    assert sender.flush("r1", timeout=0.5) is False
    assert sender.pending("r1") == 3


def test_synchronous_calls_wait_and_raise_what_the_server_refuses(make_sender, endpoint, monkeypatch):
    endpoint.answer = lambda body: 400
    sender = make_sender()
    with pytest.raises(ExperimentTrackingException, match="refused 1 record"):
        sender.log_metric(SERVER, "r", "m", 1.0, 0, synchronous=True)
    monkeypatch.setenv("VELA_LOG_SYNCHRONOUS", "true")
    with pytest.raises(ExperimentTrackingException, match="refused 1 record"):
        sender.set_tags(SERVER, "r", {"t": "v"})
    sender.log_metric(SERVER, "r", "m", 1.0, 0, synchronous=False)  # the keyword wins


@pytest.mark.parametrize("value, waits", [
    ("1", True), ("TRUE", True), ("yes", True), ("On", True), ("0", False), ("", False), ("no", False),
])
def test_the_synchronous_variable_is_read_at_each_call(make_sender, endpoint, monkeypatch, value, waits):
    endpoint.answer = lambda body: 400
    sender = make_sender()
    sender.log_metric(SERVER, "r", "m", 1.0, 0, synchronous=False)
    monkeypatch.setenv("VELA_LOG_SYNCHRONOUS", value)
    if waits:
        with pytest.raises(ExperimentTrackingException, match="refused"):
            sender.log_metric(SERVER, "r", "m", 2.0, 0)
    else:
        sender.log_metric(SERVER, "r", "m", 2.0, 0)


@pytest.mark.parametrize("patched, value", [
    ("ENV_LOG_SYNCHRONOUS", "TEAM_LOG_SYNCHRONOUS"),  # the constant rebound: the variable it names now
    ("os", types.SimpleNamespace(environ={"VELA_LOG_SYNCHRONOUS": "1"})),  # an environ that is a plain mapping
])
def test_the_synchronous_variable_is_read_through_the_module_at_each_call(make_sender, endpoint, monkeypatch,
                                                                         patched, value):
    endpoint.answer = lambda body: 400
    monkeypatch.delenv("VELA_LOG_SYNCHRONOUS", raising=False)
    monkeypatch.setenv("TEAM_LOG_SYNCHRONOUS", "1")
    sender = make_sender()
    sender.log_metric(SERVER, "r", "m", 1.0, 0)  # reads the variable through the module's usual names first
    with mock.patch.object(sender_module, patched, value):
        with pytest.raises(ExperimentTrackingException, match="refused"):
            sender.log_metric(SERVER, "r", "m", 2.0, 0)


def journal_files(folder):
    return sorted(folder.glob("*.journal"))


def test_the_journal_is_private_and_removed_once_everything_is_confirmed(make_sender, endpoint, journal_home):
    sender = make_sender()
    endpoint.hold.clear()
    log_all(sender, metrics=5)
    [journal] = journal_files(journal_home)
    assert stat.S_IMODE(journal_home.stat().st_mode) == 0o700
    assert stat.S_IMODE(journal.stat().st_mode) == 0o600
    assert journal.read_bytes().count(b"\nm\t") == 5
    endpoint.hold.set()
    assert sender.flush("r1", timeout=10)
    assert journal_files(journal_home) == []


def test_a_readied_run_has_its_journal_before_its_first_record(make_sender, endpoint, journal_home):
    sender = make_sender()
    sender.open_run(SERVER, "r1")
    [journal] = journal_files(journal_home)
    log_all(sender, metrics=3)
    assert journal_files(journal_home) == [journal]
    assert journal.read_bytes().count(b"\nm\t") == 3


def test_a_readied_run_without_records_leaves_no_journal(make_sender, journal_home):
    sender = make_sender()
    sender.open_run(SERVER, "r1")
    sender.close(timeout=0)
    assert journal_files(journal_home) == []


def test_memory_only_keeps_no_files(make_sender, endpoint, journal_home, monkeypatch):
    monkeypatch.setenv("VELA_LOG_MEMORY_ONLY", "1")
    sender = make_sender()
    endpoint.hold.clear()
    log_all(sender, metrics=5)
    assert journal_files(journal_home) == []
    endpoint.hold.set()
    assert sender.flush("r1", timeout=10)


def test_past_the_memory_limit_records_are_read_back_from_the_journal(make_sender, endpoint, monkeypatch):
    monkeypatch.setenv("VELA_LOG_MEMORY_RECORDS", "100")
    sender = make_sender()
    endpoint.hold.clear()
    log_all(sender, metrics=3000, tags=20)
    endpoint.hold.set()
    assert sender.flush("r1", timeout=30)
    assert steps(endpoint) == list(range(3000))
    assert [t["value"] for t in endpoint.delivered("tags")] == [str(i) for i in range(20)]


EXACT_VALUES = [0.1, 1 / 3, -123.456e-7, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, -0.0, 1e22]


def test_values_read_back_from_the_journal_are_the_values_logged(make_sender, endpoint, monkeypatch):
    monkeypatch.setenv("VELA_LOG_MEMORY_RECORDS", "1")
    sender = make_sender()
    endpoint.hold.clear()
    for step, value in enumerate(EXACT_VALUES + [float("nan"), float("inf"), -float("inf")]):
        sender.log_metric(SERVER, "r1", "m", value, 1000, step)
    endpoint.hold.set()
    assert sender.flush("r1", timeout=30)
    assert [m["value"] for m in endpoint.delivered()] == EXACT_VALUES + ["NaN", "Infinity", "-Infinity"]


def leave_records(endpoint, confirmed, left):
    """A sender that got `confirmed` metrics through before the server went down, then ended."""
    answers = iter([200])
    endpoint.answer = lambda body: next(answers, 503)
    sender = sender_module.Sender()
    endpoint.hold.clear()
    log_all(sender, metrics=confirmed)
    endpoint.hold.set()
    assert sender.flush("r1", timeout=10)
    for i in range(confirmed, confirmed + left):
        sender.log_metric(SERVER, "r1", "m", float(i), 1000 + i, i)
    return sender


def test_what_an_ended_process_left_is_uploaded_once(endpoint, journal_home, capsys):
    sender = leave_records(endpoint, confirmed=40, left=60)
    assert sender.close(timeout=0) == 60
    assert "60 logged record(s) of 1 run(s) were not confirmed" in capsys.readouterr().err
    endpoint.bodies.clear()
    endpoint.answer = lambda body: 200
    assert sender_module.Sender().sync(timeout=10) == (60, 0, 0)
    assert steps(endpoint) == list(range(40, 100))
    assert journal_files(journal_home) == []
    assert sender_module.Sender().sync(timeout=10) == (0, 0, 0)


@pytest.mark.parametrize("tail", [b"m\t99\t1000\t99\t0x1p+0\tm", b"\0" * 4096, b"m\t99\t1000" + b"\0" * 100],
                         ids=["a line cut short", "zeros", "both"])
def test_what_a_crash_leaves_after_the_last_line_is_dropped(endpoint, journal_home, tail):
    sender = leave_records(endpoint, confirmed=1, left=3)
    sender.close(timeout=0)
    [journal] = journal_files(journal_home)
    with open(journal, "ab") as out:
        out.write(tail)
    endpoint.bodies.clear()
    endpoint.answer = lambda body: 200
    assert sender_module.Sender().sync(timeout=10) == (3, 0, 0)
    assert steps(endpoint) == [1, 2, 3]


def test_a_killed_process_leaves_every_record(endpoint, journal_home):
    count = 40_000  # a journal of more than 1 MiB
    endpoint.answer = lambda body: 503
    child = os.fork()
    if child == 0:  # dies without any clean-up, as a killed process does
        status = 1
        try:
            sender = sender_module.Sender()  # alive until the end: no close() trims the journal
            log_all(sender, metrics=count)
            status = 0
        finally:
            os._exit(status)
    assert os.waitpid(child, 0)[1] == 0
    endpoint.answer = lambda body: 200
    assert sender_module.Sender().sync(timeout=60) == (count, 0, 0)
    assert steps(endpoint) == list(range(count))


def test_a_journal_in_use_is_not_uploaded(make_sender, endpoint, journal_home):
    endpoint.answer = lambda body: 503
    live = make_sender()
    log_all(live, metrics=3)
    assert sender_module.Sender().sync(timeout=1) == (0, 0, 0)
    assert len(journal_files(journal_home)) == 1


def test_a_forked_child_sends_with_a_sender_of_its_own(endpoint, journal_home, monkeypatch):
    monkeypatch.setattr(sender_module, "_sender", None)  # the process's sender of this test is on the fake endpoint
    parent = sender_module.get_sender()
    parent.flush(timeout=0)
    child = os.fork()
    if child == 0:  # the parent's sender thread is not in the child
        sender = sender_module.get_sender()
        sender.log_metric(SERVER, "forked", "m", 1.0, 0)
        os._exit(0 if sender is not parent and sender.flush("forked", timeout=10) and endpoint.bodies else 1)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert sender_module.get_sender() is parent


@pytest.mark.parametrize("timeout", [float("nan"), float("inf"), 1e300, -1, 0, True])
def test_any_number_is_a_bounded_timeout(make_sender, endpoint, timeout):
    sender = make_sender()
    log_all(sender, metrics=3)
    assert sender.flush("r1", timeout=timeout) in (True, False)
    assert sender.flush("r1", timeout=10)


@pytest.mark.parametrize("timeout, error", [("soon", ValueError), (object(), TypeError)])
def test_a_timeout_that_is_no_number_is_refused(make_sender, timeout, error):
    with pytest.raises(error):
        make_sender().flush(timeout=timeout)


@pytest.mark.parametrize("records", ["inf", "-5", "nan", "many", "1e30", "0"])
def test_any_memory_setting_still_delivers_everything(make_sender, endpoint, monkeypatch, records):
    monkeypatch.setenv("VELA_LOG_MEMORY_RECORDS", records)
    sender = make_sender()
    log_all(sender, metrics=200)
    assert sender.flush("r1", timeout=30)
    assert steps(endpoint) == list(range(200))


def test_a_malformed_server_address_refuses_the_records_instead_of_retrying(make_sender, endpoint):
    def answer(body):
        raise requests.exceptions.MissingSchema("Invalid URL 'None/api/2.0/mlflow/runs/log-batch'")

    endpoint.answer = answer
    sender = make_sender()
    sender.log_metric("None", "r", "m", 1.0, 0)
    with pytest.raises(ExperimentTrackingException, match="MissingSchema: Invalid URL"):
        sender.flush("r", timeout=10)


class Interrupted(Exception):
    pass


def test_a_signal_ends_a_wait_for_the_server(make_sender, endpoint):
    endpoint.answer = lambda body: 503
    sender = make_sender()
    log_all(sender, metrics=3)

    def interrupt(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(Interrupted):
            sender.flush("r1", timeout=60)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert sender.pending("r1") == 3


def test_a_synchronous_call_gives_up_on_a_server_that_is_down(make_sender, endpoint, monkeypatch):
    monkeypatch.setenv("MLFLOW_HTTP_REQUEST_MAX_RETRIES", "1")
    endpoint.answer = lambda body: 503
    sender = make_sender()
    with pytest.raises(ExperimentTrackingException, match="did not confirm the records of run r1"):
        sender.log_metric(SERVER, "r1", "m", 1.0, 0, synchronous=True)
    assert sender.pending("r1") == 1  # still queued


def test_a_full_disk_during_an_outage_is_counted_exactly(endpoint, journal_home, monkeypatch):
    """The journal stops taking lines (a file size limit stands in for a full disk) while the server is down and
    the memory bound is small: what the journal kept and what had nowhere to go are told apart exactly."""
    endpoint.answer = lambda body: 503
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        status = 1
        try:
            os.close(read)
            os.environ["VELA_LOG_MEMORY_RECORDS"] = "1000"
            import resource
            resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, resource.RLIM_INFINITY))
            sys.stderr = os.fdopen(write, "w")
            sender = sender_module.Sender()
            log_all(sender, metrics=10_000)
            sender.close(timeout=0)
            sys.stderr.flush()
            status = 0
        finally:
            os._exit(status)
    os.close(write)
    with os.fdopen(read) as pipe:
        message = pipe.read()
    assert os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0
    kept = int(re.search(r"(\d+) logged record\(s\) of 1 run\(s\) were not confirmed", message).group(1))
    lost = int(re.search(r"(\d+) logged record\(s\) are lost", message).group(1))
    [journal] = journal_files(journal_home)
    assert kept == journal.read_bytes().count(b"\nm\t") and kept + lost == 10_000
    endpoint.answer = lambda body: 200
    assert sender_module.Sender().sync(timeout=30) == (kept, 0, 0)


ARTIFACTS = "/api/2.0/mlflow-artifacts/artifacts/0/" + "a" * 32 + "/artifacts/"


def forge(journal, old, new):
    """The journal with `old` replaced by `new` in its lines, each sealed again with its checksum."""
    lines = []
    for line in journal.read_bytes().splitlines():
        payload = line.rsplit(b"\t", 1)[0].replace(old, new)
        lines.append(payload + b"\t%08x\n" % zlib.crc32(payload))
    journal.write_bytes(b"".join(lines))


def test_an_artifact_is_uploaded_from_its_kept_copy_and_never_from_another_file(endpoint, journal_home, tmp_path):
    """Two artifacts logged through an outage; a damaged journal then names a file of the user's outside the
    journal's copies for the second one. sync uploads the first and refuses the second."""
    secret = tmp_path / "secret"
    secret.write_text("never uploaded")
    endpoint.answer = lambda body: 503
    sender = sender_module.Sender()
    for name in ["a.txt", "b.txt"]:
        (tmp_path / name).write_text(name)
        assert sender.log_artifact(SERVER, "r1", ARTIFACTS + name, str(tmp_path / name))
        (tmp_path / name).unlink()  # the caller may remove its file at once
    sender.close(timeout=0)
    [journal] = journal_files(journal_home)
    second = [line.split(b"\t")[6] for line in journal.read_bytes().splitlines() if line.startswith(b"f\t")][1]
    forge(journal, second, str(secret).encode())
    endpoint.answer = lambda body: 200
    assert sender_module.Sender().sync(timeout=10) == (1, 0, 0)
    assert endpoint.files == {SERVER + ARTIFACTS + "a.txt": b"a.txt"}
    assert secret.read_text() == "never uploaded"  # nor removed as an uploaded copy is
    assert [str(copy).encode() for copy in (journal_home / "files").iterdir()] == [second]  # the first went
