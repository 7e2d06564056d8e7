"""Long calls release the interpreter lock, and Ctrl-C stops them.

The ledger here is one whose walk lasts seconds: blank lines, which the walk
reads one by one, grown until an audit of it takes a few seconds on this
machine, so that a call holding the lock, or a walk that goes on after
Ctrl-C, would show against the generous bounds below.
"""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from cases import BASE
from conftest import PACKAGE_DIR
from ledgers import join
from quorvel_ledger_audit import audit, entries

LONGEST_GAP = 1.0  # seconds a ticker may wait for the lock, at most
LONG_WALK = 3.0    # seconds the fixture's walk lasts, at least


@pytest.fixture(scope="module")
def long_ledger(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("long") / "ledger.jsonl")
    blank = b"\n" * (32 << 20)
    with open(path, "wb") as out:
        out.write(join(BASE) + blank)
    start = time.monotonic()
    audit(path)
    # Lines of this kind take about the same time each: enough of them, with a margin.
    copies = min(64, int(LONG_WALK * 1.5 / (time.monotonic() - start)))
    with open(path, "ab") as out:
        for _ in range(copies - 1):
            out.write(blank)
    return path


def longest_gap_while(call):
    ticks = []
    running = threading.Event()
    running.set()

    def tick():
        while running.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.monotonic()
        call()
        end = time.monotonic()
    finally:
        running.clear()
        ticker.join()
    during = [start] + [moment for moment in ticks if start <= moment <= end] + [end]
    return max(later - earlier for earlier, later in zip(during, during[1:]))


@pytest.mark.parametrize("call", [
    lambda path: audit(path),
    lambda path: audit(path, jobs=2),
    lambda path: list(entries(path, start=10)),
], ids=["audit", "audit, 2 jobs", "entries"])
def test_other_threads_run_while_a_call_walks(call, long_ledger):
    assert longest_gap_while(lambda: call(long_ledger)) < LONGEST_GAP


INTERRUPTED_SCRIPT = r"""
import os, sys, time
sys.path.insert(0, sys.argv[1])
from quorvel_ledger_audit import audit, entries

def threads():
    return len(os.listdir("/proc/self/task"))

before = threads()
print("ready", flush=True)
try:
    if sys.argv[3] == "audit":
        audit(sys.argv[2], jobs=2)
    else:
        for entry in entries(sys.argv[2]):
            pass
    print("finished")
except KeyboardInterrupt:
    print("interrupted", threads() - before)
"""


@pytest.mark.parametrize("function", ["audit", "entries"])
def test_ctrl_c_stops_the_walk(function, long_ledger):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_SCRIPT, PACKAGE_DIR, long_ledger,
                              function], stdout=subprocess.PIPE, universal_newlines=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        output, _ = child.communicate(timeout=60)
        stopped = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    # KeyboardInterrupt, with every thread of the walk gone, soon after the
    # signal: a walk that ran on would end seconds later.
    assert output == "interrupted 0\n"
    assert stopped < LONGEST_GAP
