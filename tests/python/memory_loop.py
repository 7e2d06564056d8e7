"""Constructs recorders and commits in a loop and checks that resident memory stays flat.

    memory_loop.py ITERATIONS DIRECTORY

Each iteration constructs a recorder on a ledger in DIRECTORY (so reopening
reads the file and parses its last line) and commits one entry. Every 10th
iteration also takes the failure paths: a commit whose file cannot be opened,
an argument of the wrong type, a text that is not encodable, a refused delta;
every 100th verifies the ledger (True) and empties it, so that the file, and
with it the time a reopening takes, stays small; every 1000th commits a 2 MB
payload, which the recorder's line buffer must give back.

Resident memory is read after a warm-up of a twentieth of the iterations and
at the end; the loop fails when it grew by more than MAX_GROWTH_KIB. A leak of
one small block per iteration would pass that bound within 150,000
iterations.
"""

import os
import sys

from quorvel_ledger_rs import QuorvelRecorder

MAX_GROWTH_KIB = 4096


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def expect(exception, call, *args):
    try:
        call(*args)
    except exception:
        return
    raise AssertionError(f"{call} did not raise {exception.__name__}")


def main():
    iterations, directory = int(sys.argv[1]), sys.argv[2]
    path = os.path.join(directory, "ledger.jsonl")
    missing = os.path.join(directory, "missing", "ledger.jsonl")
    big = "\u00e9" * (1 << 20)
    warm_up = max(iterations // 20, 1)
    before = peak = 0
    for i in range(iterations):
        recorder = QuorvelRecorder(path)
        recorder.commit_truth(f"actor {i}", i * 0.5, big if i % 1000 == 999 else f"payload {i}")
        if i % 10 == 0:
            expect(OSError, QuorvelRecorder(missing).commit_truth, "a", 1.0, "p")
            expect(TypeError, recorder.commit_truth, 1, 1.0, "p")
            expect(UnicodeEncodeError, recorder.commit_truth, "a", 1.0, "\ud800")
            expect(ValueError, recorder.commit_truth, "a", float("nan"), "p")
        if i % 100 == 99:
            assert recorder.verify_integrity() is True
            os.truncate(path, 0)
        if i == warm_up:
            before = resident_kib()
        if i % 10000 == 0:
            peak = max(peak, resident_kib())
    after = resident_kib()
    peak = max(peak, after)
    growth = after - before
    print(f"memory loop: {iterations} constructions and commits; resident memory "
          f"{before} KiB after warm-up, {after} KiB at the end (growth {growth} KiB, "
          f"peak {peak} KiB)")
    if growth > MAX_GROWTH_KIB:
        print(f"memory loop: FAILED, grew by more than {MAX_GROWTH_KIB} KiB", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
