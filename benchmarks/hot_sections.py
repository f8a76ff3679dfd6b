"""Lists the code sections that a training loop's logging calls run, hottest first, for the linker to
lay side by side (cmake/hot-sections.txt). After `make install`:

    .venv/bin/python benchmarks/hot_sections.py > cmake/hot-sections.txt

The loop logs through an outage, as in `make bench`, under callgrind twice: without logging calls
and with them. The instructions the calls add, in the logging thread, are looked up in the linker's
map of the installed library's build."""
import collections
import os
import re
import subprocess
import sys
import tempfile
from bisect import bisect_right
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CALLS = 2000
LOOP = f"""
import os, sys, tempfile
sys.path.insert(0, {str(ROOT / "examples")!r})
from local_servers import LocalMlflowServer, free_port
from vela_experiment_tracking.tracking.initialize import init
with LocalMlflowServer(tempfile.mkdtemp(), free_port()) as server:
    iteration = init("hot", "sections", tracking_uri=server.address).get_iteration()
    iteration.log_metric("loss", 0.1, step=0)
    iteration.set_tag("progress", "0")
    iteration.flush()
for n in range(int(sys.argv[1])):
    iteration.log_metric("loss", 1.0 / (n + 1), step=n)
    if n % 10 == 0:
        iteration.set_tag("progress", str(n))
os._exit(0)
"""


def profile(calls, folder):
    """Starts callgrind on the loop; its main thread's profile is <out>-01."""
    out = folder / f"loop.{calls}"
    env = dict(os.environ, MLFLOW_DISABLE_TELEMETRY="true", XDG_CACHE_HOME=str(folder / f"cache{calls}"))
    command = ["valgrind", "--tool=callgrind", "--separate-threads=yes", "--dump-instr=yes", "--dump-line=no",
               f"--callgrind-out-file={out}", sys.executable, "-c", LOOP, str(calls)]
    return subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), Path(f"{out}-01")


def instructions(profile_file, library):
    """Executed count per instruction address of the library (callgrind's compressed format)."""
    names, counts, address = {}, collections.Counter(), 0
    current = after_call = None
    for line in profile_file.open():
        if line.startswith(("ob=", "cob=")):
            key, _, name = line.split("=", 1)[1].strip().partition(" ")
            if name:
                names[key] = name
            if line.startswith("ob="):
                current = names.get(key, "")
        elif line.startswith("calls="):
            after_call = True
        elif line[0] in "0123456789+-*":
            position, *cost = line.split()
            if position.startswith("0x"):
                address = int(position, 16)
            elif position[0] in "+-":
                address += int(position)
            if after_call:  # the call's inclusive cost, not the caller's own instruction
                after_call = False
            elif cost and current and current.endswith(library):
                counts[address] += int(cost[0])
    return counts


def text_sections(map_file):
    """(address, size, name) of each input section the linker placed in .text."""
    sections, pending = [], None
    for line in map_file.open():
        whole = re.match(r"^ (\.text\S*)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s", line)
        if whole:
            sections.append((int(whole[2], 16), int(whole[3], 16), whole[1]))
            continue
        named = re.match(r"^ (\.text\S*)\s*$", line)
        placed = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s", line)
        if named:
            pending = named[1]
        elif placed and pending:
            sections.append((int(placed[1], 16), int(placed[2], 16), pending))
            pending = None
    return sorted(s for s in sections if s[0] and s[1])  # address 0: a discarded duplicate


def main():
    map_file = next((ROOT / "build").glob("cp3*/libvela_native.map"), None)
    if map_file is None:
        sys.exit("no linker map in build/: the library is mapped when gold links it (make install)")
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        runs = [profile(calls, folder) for calls in (0, CALLS)]
        for process, _ in runs:
            if process.wait() != 0:
                sys.exit("callgrind failed")
        without, with_calls = (instructions(out, "libvela_native.so.0") for _, out in runs)
    sections = text_sections(map_file)
    starts = [s[0] for s in sections]
    heat = collections.Counter()
    for address, count in with_calls.items():
        added = count - without.get(address, 0)
        index = bisect_right(starts, address) - 1
        if added >= CALLS // 10 and index >= 0:  # the tag's path runs every tenth step
            heat[sections[index][2]] += added
    for name, _ in heat.most_common():
        print(name)


if __name__ == "__main__":
    main()
