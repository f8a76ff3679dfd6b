"""Every module-level name of every package module, replaced in turn by a MagicMock, a spy subclass and an object
that raises at every use, while the module's public callables run: ordinary Python exceptions only, never a crash
and never SystemError. The scenarios run in subprocesses (see substitution_fuzz.py), so a crash is seen as one."""
import subprocess
import sys
from pathlib import Path

FUZZER = Path(__file__).resolve().parent / "substitution_fuzz.py"
SHARDS = 4
PARALLEL = 2
TIMEOUT = 100  # seconds per process


def run_shards(directory):
    """(returncode, stdout, stderr) of each shard, PARALLEL at a time, working in directory (a path stood in for
    by a mock names a relative one)."""
    results = []
    for first in range(0, SHARDS, PARALLEL):
        processes = [subprocess.Popen([sys.executable, str(FUZZER), str(shard), str(SHARDS)], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, cwd=directory)
                     for shard in range(first, min(first + PARALLEL, SHARDS))]
        for process in processes:
            try:
                out, err = process.communicate(timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                out, err = process.communicate()
            results.append((process.returncode, out, err))
    return results


def last_scenario(out):
    started = [line for line in out.splitlines() if line.startswith("start ")]
    return started[-1][len("start "):] if started else "(before the first scenario)"


def test_substituted_collaborators_never_crash_the_interpreter(capsys, tmp_path):
    results = run_shards(tmp_path)
    crashes = [f"exit {code} in {last_scenario(out)}:\n{err[-2000:]}" for code, out, err in results if code != 0]
    system_errors = [line for _, out, _ in results for line in out.splitlines() if line.startswith("systemerror ")]
    scenarios = sum(int(line.split()[1]) for _, out, _ in results for line in out.splitlines()
                    if line.startswith("done "))
    with capsys.disabled():
        print(f"\n{scenarios} substitution scenarios in {SHARDS} processes")
    assert not crashes, "\n".join(crashes)
    assert not system_errors, "\n".join(system_errors)
    assert scenarios > 1000
