"""Counts user-space instructions (valgrind --tool=callgrind) of the ledger's
operations; the machine's speed does not move these counts, so they show a
change where times are too noisy to.

    /usr/bin/python3 bench/instructions.py BUILD_DIR [--commits 20000] [--entries 30000]

Rows:
  commit (Python module), per call: 20,000 commit_truth calls minus the same
    loop calling a no-op, divided by the count; also without libcrypto.
  commit (core), per call: bench_core_ops commit, divided by the count.
  verify (core), per line: bench_core_ops verify on a generated ledger.
BUILD_DIR must hold python/quorvel_ledger_rs.abi3.so and bench/bench_core_ops,
bench/bench_gen_ledger.
"""

import argparse
import os
import re
import subprocess
import tempfile

LOOP = r"""
import sys
sys.path.insert(0, sys.argv[1])
from quorvel_ledger_rs import QuorvelRecorder
recorder = QuorvelRecorder(sys.argv[2])
call = recorder.commit_truth if sys.argv[4] == "commit" else slice
for i in range(int(sys.argv[3])):
    call("benchmark", i * 0.25, "a payload of some sixty characters, like most that users write")
"""


def callgrind(work, command):
    """Total instructions and those inside libcrypto, of `command` under callgrind."""
    out = os.path.join(work, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
                   check=True, capture_output=True)
    text = subprocess.run(["callgrind_annotate", "--threshold=100", out], check=True,
                          capture_output=True, text=True).stdout
    os.remove(out)
    total = crypto = 0
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)$", line)
        if not m:
            continue
        count = int(m.group(1).replace(",", ""))
        if "PROGRAM TOTALS" in m.group(2):
            total = count
        elif "libcrypto" in m.group(2):
            crypto += count
    return total, crypto


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--commits", type=int, default=20_000)
    parser.add_argument("--entries", type=int, default=30_000)
    args = parser.parse_args()
    python_dir = os.path.join(args.build, "python")
    core_ops = os.path.join(args.build, "bench", "bench_core_ops")
    with tempfile.TemporaryDirectory() as work:
        ledger = os.path.join(work, "commits.jsonl")
        n = args.commits
        runs = {}
        for what in ("commit", "noop"):
            runs[what] = callgrind(work, ["/usr/bin/python3", "-c", LOOP, python_dir, ledger, str(n), what])
            if os.path.exists(ledger):
                os.remove(ledger)
        commit_total, commit_crypto = runs["commit"]
        noop_total, noop_crypto = runs["noop"]
        per_call = (commit_total - noop_total) / n
        per_call_ours = (commit_total - commit_crypto - (noop_total - noop_crypto)) / n
        core_total, core_crypto = callgrind(work, [core_ops, "commit", ledger, str(n)])
        os.remove(ledger)
        verify_ledger = os.path.join(work, "ledger.jsonl")
        subprocess.run([os.path.join(args.build, "bench", "bench_gen_ledger"), verify_ledger,
                        str(args.entries), "42"], check=True, capture_output=True)
        verify_total, verify_crypto = callgrind(work, [core_ops, "verify", verify_ledger])
        print("| what | instructions | outside libcrypto | command |")
        print("|---|---|---|---|")
        print(f"| commit (Python module), per call | {per_call:,.0f} | {per_call_ours:,.0f} | "
              f"callgrind, {n:,} commit_truth calls minus {n:,} calls of a no-op |")
        print(f"| commit (core), per call | {core_total / n:,.0f} | {(core_total - core_crypto) / n:,.0f} | "
              f"callgrind, bench_core_ops commit PATH {n} |")
        print(f"| verify (core), per line | {verify_total / args.entries:,.0f} | "
              f"{(verify_total - verify_crypto) / args.entries:,.0f} | "
              f"callgrind, bench_core_ops verify on bench_gen_ledger PATH {args.entries} 42 |")


if __name__ == "__main__":
    main()
