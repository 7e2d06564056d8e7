"""Compares two builds of the project side by side, alternating them in one run:
the core's verify and reopen on a 1M-entry ledger, commits through the Python
module and through the core, and the tool's verify with 1 and 2 jobs, its
checkpoint with 1 and 2, verify --since a note and an inclusion proof. Prints,
per row, the median of the per-pair time ratios (new / old): drifts in the
machine's speed reach both builds of a pair alike and cancel out.

    git worktree add --detach ../base REV && (cd ../base && cmake --preset default &&
      cmake --build --preset default --target quorvel_ledger_rs bench_core_ops quorvel-ledger)
    /usr/bin/python3 bench/compare.py ../base/build/default build/default [--pairs 11]

Each build directory must hold python/quorvel_ledger_rs.abi3.so,
bench/bench_core_ops and tools/quorvel-ledger; the new one also bench/bench_gen_ledger.
"""

import argparse
import os
import statistics
import subprocess
import tempfile
import time

COMMITS = 20_000
COMMIT_SCRIPT = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
from quorvel_ledger_rs import QuorvelRecorder
recorder = QuorvelRecorder(sys.argv[2])
start = time.perf_counter()
for i in range(int(sys.argv[3])):
    recorder.commit_truth("benchmark", i * 0.25,
                          "a payload of some sixty characters, like most that users write")
print(time.perf_counter() - start)
"""


def core_ops(build, *args):
    out = subprocess.run([os.path.join(build, "bench", "bench_core_ops"), *args],
                         capture_output=True, text=True, check=False)
    return float(out.stdout.split()[0])


def in_fresh_file(work, fn):
    path = os.path.join(work, "commits.jsonl")
    try:
        return fn(path)
    finally:
        os.remove(path)


def python_commit(build, work):
    def run(path):
        out = subprocess.run(["/usr/bin/python3", "-c", COMMIT_SCRIPT, os.path.join(build, "python"),
                              path, str(COMMITS)], capture_output=True, text=True, check=True)
        return float(out.stdout.split()[0])
    return in_fresh_file(work, run)


def tool(build, *args):
    start = time.perf_counter()
    subprocess.run([os.path.join(build, "tools", "quorvel-ledger"), *args], check=True,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def tool_verify(build, ledger, jobs):
    return tool(build, "verify", "--quiet", "--jobs", str(jobs), ledger)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--pairs", type=int, default=11)
    parser.add_argument("--entries", type=int, default=1_000_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        ledger = os.path.join(work, "ledger.jsonl")
        subprocess.run([os.path.join(args.new, "bench", "bench_gen_ledger"), ledger,
                        str(args.entries), "42"], check=True, capture_output=True)
        note = os.path.join(work, "ledger.cp")
        with open(note, "w") as out:
            subprocess.run([os.path.join(args.new, "tools", "quorvel-ledger"), "checkpoint", ledger],
                           check=True, stdout=out)
        rows = {
            "verify (core)": lambda b: core_ops(b, "verify", ledger),
            "reopen (core)": lambda b: core_ops(b, "reopen", ledger),
            "commit (Python module)": lambda b: python_commit(b, work),
            "commit (core)": lambda b: in_fresh_file(
                work, lambda path: core_ops(b, "commit", path, str(COMMITS))),
            "quorvel-ledger verify --jobs 1": lambda b: tool_verify(b, ledger, 1),
            "quorvel-ledger verify --jobs 2": lambda b: tool_verify(b, ledger, 2),
            "quorvel-ledger checkpoint --jobs 1": lambda b: tool(b, "checkpoint", "--jobs", "1", ledger),
            "quorvel-ledger checkpoint --jobs 2": lambda b: tool(b, "checkpoint", "--jobs", "2", ledger),
            "quorvel-ledger verify --since NOTE --jobs 2": lambda b: tool(
                b, "verify", "--quiet", "--jobs", "2", "--since", note, ledger),
            "quorvel-ledger prove --entry N": lambda b: tool(
                b, "prove", "--entry", str(args.entries // 2), "--checkpoint", note, ledger),
        }
        print("| what | old | new | new / old time, median of pairs (min, max) |")
        print("|---|---|---|---|")
        for name, measure in rows.items():
            measure(args.old)
            measure(args.new)  # warm the page cache and the binaries
            old, new = [], []
            for i in range(args.pairs):
                # Each build goes first in every other pair.
                if i % 2 == 0:
                    old.append(measure(args.old))
                    new.append(measure(args.new))
                else:
                    new.append(measure(args.new))
                    old.append(measure(args.old))
            ratios = [n / o for n, o in zip(new, old)]
            print(f"| {name} | {statistics.median(old) * 1e3:.1f} ms | {statistics.median(new) * 1e3:.1f} ms "
                  f"| {statistics.median(ratios):.3f} ({min(ratios):.3f}, {max(ratios):.3f}) |", flush=True)


if __name__ == "__main__":
    main()
