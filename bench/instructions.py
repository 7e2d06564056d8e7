"""Counts user-space instructions (valgrind --tool=callgrind) of the ledger's
operations; the machine's speed does not move these counts, so they show a
change where times are too noisy to.

    /usr/bin/python3 bench/instructions.py BUILD_DIR [--commits 20000] [--entries 30000]

Rows:
  commit (Python module), per call: 20,000 commit_truth calls minus the same
    loop calling a no-op, divided by the count; also without libcrypto, and
    without everything inside the calls that compute a SHA-256 (OpenSSL's
    EVP_Digest* calls, their allocations included): what is left is the
    ledger's own work, which on a processor with the SHA instructions is all
    there is besides the hash (valgrind runs the EVP path, as it cannot run
    those instructions).
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


# The calls that compute a SHA-256 through OpenSSL. Under valgrind the ledger
# takes this path (valgrind cannot run the SHA instructions), so their
# inclusive cost, allocations in them included, is the hash and its set-up.
HASH_CALLS = ("EVP_DigestInit_ex2", "EVP_DigestUpdate", "EVP_DigestFinal_ex")


def annotated(out, *options):
    """(count, function text) per line of callgrind_annotate's function list."""
    text = subprocess.run(["callgrind_annotate", "--threshold=100", *options, out], check=True,
                          capture_output=True, text=True).stdout
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)$", line)
        if m:
            yield int(m.group(1).replace(",", "")), m.group(2)


def callgrind(work, command):
    """Total instructions of `command` under callgrind, those inside libcrypto,
    and those inside the hash calls (HASH_CALLS, inclusive)."""
    out = os.path.join(work, "callgrind.out")
    # A fixed hash seed: the interpreter's own work then repeats exactly.
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
                   check=True, capture_output=True, env=env)
    total = crypto = hashing = 0
    for count, function in annotated(out):
        if "PROGRAM TOTALS" in function:
            total = count
        elif "libcrypto" in function:
            crypto += count
    for count, function in annotated(out, "--inclusive=yes"):
        if any(re.search(r"[:\s]%s\b" % name, function) for name in HASH_CALLS):
            hashing += count
    os.remove(out)
    return total, crypto, hashing


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
        commit_total, commit_crypto, commit_hash = runs["commit"]
        noop_total, noop_crypto, noop_hash = runs["noop"]
        per_call = (commit_total - noop_total) / n
        per_call_ours = (commit_total - commit_crypto - (noop_total - noop_crypto)) / n
        per_call_unhashed = (commit_total - commit_hash - (noop_total - noop_hash)) / n
        core_total, core_crypto, core_hash = callgrind(work, [core_ops, "commit", ledger, str(n)])
        os.remove(ledger)
        verify_ledger = os.path.join(work, "ledger.jsonl")
        subprocess.run([os.path.join(args.build, "bench", "bench_gen_ledger"), verify_ledger,
                        str(args.entries), "42"], check=True, capture_output=True)
        verify_total, verify_crypto, verify_hash = callgrind(work, [core_ops, "verify", verify_ledger])
        lines = args.entries
        print("| what | instructions | outside libcrypto | outside the hash calls | command |")
        print("|---|---|---|---|---|")
        print(f"| commit (Python module), per call | {per_call:,.0f} | {per_call_ours:,.0f} | "
              f"{per_call_unhashed:,.0f} | "
              f"callgrind, {n:,} commit_truth calls minus {n:,} calls of a no-op |")
        print(f"| commit (core), per call | {core_total / n:,.0f} | {(core_total - core_crypto) / n:,.0f} | "
              f"{(core_total - core_hash) / n:,.0f} | callgrind, bench_core_ops commit PATH {n} |")
        print(f"| verify (core), per line | {verify_total / lines:,.0f} | "
              f"{(verify_total - verify_crypto) / lines:,.0f} | {(verify_total - verify_hash) / lines:,.0f} | "
              f"callgrind, bench_core_ops verify on bench_gen_ledger PATH {lines} 42 |")

if __name__ == "__main__":
    main()
