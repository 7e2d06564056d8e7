"""Benchmarks the module against the floors and the pure-Python peer, side by
side in one run, and prints a table of medians, spreads and ratios.

Run through bench/run, which builds what is needed first.
"""

import argparse
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from peer import PeerLedger  # noqa: E402


def median_spread(samples):
    m = statistics.median(samples)
    return m, (max(samples) - min(samples)) / m if m else 0.0


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def run_floor(binary, *args):
    out = subprocess.run([binary, *args], check=True, capture_output=True, text=True).stdout.split()
    return float(out[0])


def commit_rows(args, work, QuorvelRecorder):
    floor, module, peer = [], [], []
    for _ in range(args.reps):
        path = os.path.join(work, "commit-floor.jsonl")
        floor.append(run_floor(args.floors, "commit", path, str(args.commits)) / args.commits)
        os.remove(path)

        path = os.path.join(work, "commit-module.jsonl")
        rec = QuorvelRecorder(path)
        commit = rec.commit_truth
        payload = "a payload of some sixty characters, like most that users write"
        n = args.commits
        module.append(timed(lambda: [commit("benchmark", i * 0.25, payload) for i in range(n)]) / n)
        os.remove(path)

        path = os.path.join(work, "commit-peer.jsonl")
        ledger = PeerLedger(path)
        n = max(1, args.commits // 4)
        peer.append(timed(lambda: [ledger.commit_truth("benchmark", i * 0.25, payload) for i in range(n)]) / n)
        os.remove(path)
    return floor, module, peer


def scan_rows(args, ledger_path, QuorvelRecorder):
    rows = {"verify": ([], [], []), "reopen": ([], [], [])}
    for _ in range(args.reps):
        rows["verify"][0].append(run_floor(args.floors, "verify", ledger_path))
        rec = QuorvelRecorder(ledger_path)
        rows["verify"][1].append(timed(lambda: rec.verify_integrity()))
        peer = PeerLedger.__new__(PeerLedger)
        peer.path = ledger_path
        rows["verify"][2].append(timed(lambda: peer.verify_integrity()))

        rows["reopen"][0].append(run_floor(args.floors, "reopen", ledger_path))
        rows["reopen"][1].append(timed(lambda: QuorvelRecorder(ledger_path)))
        rows["reopen"][2].append(timed(lambda: PeerLedger(ledger_path)))
    return rows


MEMORY_PROBE = r"""
import resource, sys
sys.path.insert(0, sys.argv[1])
from quorvel_ledger_rs import QuorvelRecorder
path, what = sys.argv[2], sys.argv[3]
rec = QuorvelRecorder(path + ".absent")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if what == "verify":
    assert QuorvelRecorder(path).verify_integrity()
else:
    QuorvelRecorder(path)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(after - before)
"""


def memory_rows(args, ledger_path):
    result = {}
    for what in ("verify", "reopen"):
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, args.module_dir, ledger_path, what],
                             check=True, capture_output=True, text=True).stdout
        result[what] = int(out.strip())  # KiB
    return result


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--module-dir", required=True)
    parser.add_argument("--floors", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--commits", type=int, default=20_000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--work-dir", default=None)
    args = parser.parse_args()

    sys.path.insert(0, args.module_dir)
    from quorvel_ledger_rs import QuorvelRecorder

    work = tempfile.mkdtemp(prefix="ledger-bench-", dir=args.work_dir)
    try:
        ledger_path = os.path.join(work, "big.jsonl")
        start = time.perf_counter()
        subprocess.run([args.generator, ledger_path, str(args.entries), str(args.seed)], check=True)
        size = os.path.getsize(ledger_path)
        print("generated %d entries (%.0f MB) in %.1f s" % (args.entries, size / 1e6, time.perf_counter() - start))
        with open(ledger_path, "rb") as f:  # into the page cache
            while f.read(1 << 20):
                pass

        commit = commit_rows(args, work, QuorvelRecorder)
        scans = scan_rows(args, ledger_path, QuorvelRecorder)
        memory = memory_rows(args, ledger_path)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("machine: %s, %d cores, Python %s; medians of %d runs, spread = (max-min)/median"
          % (platform.processor() or platform.machine(), os.cpu_count(), platform.python_version(), args.reps))
    print()
    header = "| what | module | floor | module speed / floor | pure-Python peer | speed-up over peer | targets |"
    print(header)
    print("|---|---|---|---|---|---|---|")
    targets = {"commit": (1 / 1.25, 5), "verify": (0.9, 12), "reopen": (0.5, 40)}
    verdicts = []
    for name, (floor, module, peer) in (("commit", commit), ("verify", scans["verify"]),
                                         ("reopen", scans["reopen"])):
        fm, fs = median_spread(floor)
        mm, ms = median_spread(module)
        pm, ps = median_spread(peer)
        unit = " per call" if name == "commit" else ""
        ratio_floor, ratio_peer = fm / mm, pm / mm
        want_floor, want_peer = targets[name]
        ok = ratio_floor >= want_floor and ratio_peer >= want_peer
        verdicts.append(ok)
        print("| %s | %s%s ±%.0f%% | %s ±%.0f%% | %.2f x | %s ±%.0f%% | %.1f x | >= %.2f x, >= %d x: %s |"
              % (name, fmt_time(mm), unit, ms * 100, fmt_time(fm), fs * 100, ratio_floor,
                 fmt_time(pm), ps * 100, ratio_peer, want_floor, want_peer, "met" if ok else "NOT met"))
    for what in ("verify", "reopen"):
        kib = memory[what]
        ok = kib <= 1024
        verdicts.append(ok)
        print("| peak memory added by %s | %d KiB | | | | | <= 1024 KiB: %s |" % (what, kib, "met" if ok else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
