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


def ratio_median(numerators, denominators):
    """Median of the ratios of samples taken side by side in the same repetition:
    drifts in the machine's speed between repetitions cancel out of each ratio."""
    return statistics.median(n / d for n, d in zip(numerators, denominators))


def warm(path):
    """Reads the file once, so that it is in the page cache when timed (the
    kernel may have dropped some of it since the last repetition)."""
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def run_floor(binary, *args):
    out = subprocess.run([binary, *args], check=True, capture_output=True, text=True).stdout.split()
    return float(out[0])


def commit_rows(args, work, QuorvelRecorder):
    floor, module, peer, checked = [], [], [], []
    for _ in range(args.reps):
        path = os.path.join(work, "commit-floor.jsonl")
        floor.append(run_floor(args.floors, "commit", path, str(args.commits)) / args.commits)
        os.remove(path)
        checked.append(run_floor(args.floors, "commit-checked", path, str(args.commits)) / args.commits)
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
    return floor, module, peer, checked


def scan_rows(args, ledger_path, QuorvelRecorder):
    rows = {"verify": ([], [], []), "reopen": ([], [], [])}
    for _ in range(args.reps):
        warm(ledger_path)
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


JUNK_BYTES = 50_000_000
JUNK_LINES = {"blank lines": b"\n", "short junk lines": b"x\n"}


def junk_rows(args, ledger_path, work, QuorvelRecorder):
    """Reopening a ledger whose last entry is followed by 50 MB of lines that
    are no entries, against the whole-file UTF-8 pass that reopening makes
    first (bench_core_ops utf8): the search for the last entry must not cost
    per line."""
    with open(ledger_path, "rb") as f:
        entry = f.readline()
    rows = {}
    for name, line in JUNK_LINES.items():
        path = os.path.join(work, "junk.jsonl")
        with open(path, "wb") as f:
            f.write(entry + line * (JUNK_BYTES // len(line)))
        utf8, reopen = [], []
        for _ in range(args.reps):
            warm(path)
            utf8.append(run_floor(args.core_ops, "utf8", path))
            reopen.append(timed(lambda: QuorvelRecorder(path)))
        os.remove(path)
        rows[name] = (utf8, reopen)
    return rows


def cli_rows(args, ledger_path, QuorvelRecorder):
    """The auditor's tool verifying the same ledger, as a process, with 1 and 2
    jobs, each repetition beside the module's verify of the same file."""
    rows = {"module": [], 1: [], 2: []}
    rec = QuorvelRecorder(ledger_path)

    def run(what):
        if what == "module":
            return timed(lambda: rec.verify_integrity())
        command = [args.cli, "verify", "--quiet", "--jobs", str(what), ledger_path]
        return timed(lambda: subprocess.run(command, check=True))

    for rep in range(args.reps):
        warm(ledger_path)
        # The order turns each repetition, so that no contender always runs
        # first (or last) after the file was read into the cache.
        order = ["module", 1, 2]
        order = order[rep % 3:] + order[:rep % 3]
        for what in order:
            rows[what].append(run(what))
    return rows


def checkpoint_rows(args, ledger_path, work, QuorvelRecorder):
    """The auditor's tool making a checkpoint note of the ledger and verifying
    the ledger since one (both walk the chain and hash every line into the
    Merkle tree), with 1 and 2 jobs, each repetition beside the module's verify
    and one SHA-256 pass over the file's lines (the verify floor)."""
    rec = QuorvelRecorder(ledger_path)
    note = os.path.join(work, "big.cp")
    with open(note, "w") as out:
        subprocess.run([args.cli, "checkpoint", ledger_path], check=True, stdout=out)
    names = ["module", "sha", ("checkpoint", 1), ("checkpoint", 2), ("since", 1), ("since", 2)]
    rows = {name: [] for name in names}

    def run(what):
        if what == "module":
            return timed(lambda: rec.verify_integrity())
        if what == "sha":
            return run_floor(args.floors, "verify", ledger_path)
        command, jobs = what
        argv = [args.cli, "checkpoint", "--jobs", str(jobs), ledger_path] if command == "checkpoint" \
            else [args.cli, "verify", "--quiet", "--jobs", str(jobs), "--since", note, ledger_path]
        return timed(lambda: subprocess.run(argv, check=True, stdout=subprocess.DEVNULL))

    for rep in range(args.reps):
        warm(ledger_path)
        order = names[rep % len(names):] + names[:rep % len(names)]
        for what in order:
            rows[what].append(run(what))
    return rows


def cli_memory(args, ledger_path, work):
    """Peak resident memory (KiB) of the auditor's tool verifying with two jobs
    the big ledger and its first thousand lines: it should not grow with the file."""
    small = os.path.join(work, "small.jsonl")
    with open(ledger_path, "rb") as big, open(small, "wb") as out:
        out.write(b"".join(big.readline() for _ in range(1000)))
    peaks = []
    for path in (ledger_path, small):
        out = subprocess.run([args.peak, args.cli, "verify", "--quiet", "--jobs", "2", path],
                             check=True, capture_output=True, text=True).stdout
        peaks.append(int(out.strip()))  # KiB
    return peaks


# Peak resident memory of one call, compared with the resident memory just
# before it: the kernel's high-water mark is reset first (clear_refs 5), so the
# interpreter's start-up peak does not hide what the call adds.
MEMORY_PROBE = r"""
import sys
sys.path.insert(0, sys.argv[1])
from quorvel_ledger_rs import QuorvelRecorder
path, what = sys.argv[2], sys.argv[3]

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

# The same operation on a small ledger first, so that code pages and one-time
# library set-up are already resident: what remains is what the file's size adds.
warm = path + ".warm"
with open(path, "rb") as big, open(warm, "wb") as small:
    small.write(b"".join(big.readline() for _ in range(10)))
if what == "verify":
    assert QuorvelRecorder(warm).verify_integrity()
else:
    QuorvelRecorder(warm)
recorder = QuorvelRecorder(path) if what == "verify" else None
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
if what == "verify":
    assert recorder.verify_integrity()
else:
    QuorvelRecorder(path)
print(status("VmHWM") - before)
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
    parser.add_argument("--cli", default=None, help="the quorvel-ledger program, for its rows")
    parser.add_argument("--peak", default=None, help="the peak-memory probe, for the tool's memory row")
    parser.add_argument("--core-ops", default=None, help="bench_core_ops, for the reopen-after-junk rows")
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

        commit = commit_rows(args, work, QuorvelRecorder)
        scans = scan_rows(args, ledger_path, QuorvelRecorder)
        memory = memory_rows(args, ledger_path)
        cli = cli_rows(args, ledger_path, QuorvelRecorder) if args.cli else None
        cli_peaks = cli_memory(args, ledger_path, work) if args.cli and args.peak else None
        tree = checkpoint_rows(args, ledger_path, work, QuorvelRecorder) if args.cli else None
        junk = junk_rows(args, ledger_path, work, QuorvelRecorder) if args.core_ops else None
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("machine: %s, %d cores, Python %s; medians of %d runs, spread = (max-min)/median;"
          " ratios are medians of the ratios within each run"
          % (platform.processor() or platform.machine(), os.cpu_count(), platform.python_version(), args.reps))
    print()
    header = "| what | module | floor | module speed / floor | pure-Python peer | speed-up over peer | targets |"
    print(header)
    print("|---|---|---|---|---|---|---|")
    targets = {"commit": (1 / 1.25, 5), "verify": (1.2, 12), "reopen": (0.5, 40)}
    verdicts = []
    for name, (floor, module, peer) in (("commit", commit[:3]), ("verify", scans["verify"]),
                                         ("reopen", scans["reopen"])):
        fm, fs = median_spread(floor)
        mm, ms = median_spread(module)
        pm, ps = median_spread(peer)
        unit = " per call" if name == "commit" else ""
        ratio_floor, ratio_peer = ratio_median(floor, module), ratio_median(peer, module)
        want_floor, want_peer = targets[name]
        ok = ratio_floor >= want_floor and ratio_peer >= want_peer
        verdicts.append(ok)
        print("| %s | %s%s ±%.0f%% | %s ±%.0f%% | %.2f x | %s ±%.0f%% | %.1f x | >= %.2f x, >= %d x: %s |"
              % (name, fmt_time(mm), unit, ms * 100, fmt_time(fm), fs * 100, ratio_floor,
                 fmt_time(pm), ps * 100, ratio_peer, want_floor, want_peer, "met" if ok else "NOT met"))
    # No target: what the commit floor costs once it also asks the file's
    # type, as the ledger's append must (it takes regular files only).
    floor, module, _, checked = commit
    cm, cs = median_spread(checked)
    print("| commit floor with the file-type check | | %s ±%.0f%% | %.2f x this floor (%.2f x the plain"
          " floor's speed) | | | |" % (fmt_time(cm), cs * 100, ratio_median(checked, module),
                                      ratio_median(floor, checked)))
    if cli:
        for jobs, want in ((1, 1.0), (2, 1.7)):
            cm, cs = median_spread(cli[jobs])
            ratio = ratio_median(cli["module"], cli[jobs])
            ok = ratio >= want
            verdicts.append(ok)
            print("| quorvel-ledger verify --jobs %d | %s ±%.0f%% | | %.2f x the module's verify | | | >= %.1f x: %s |"
                  % (jobs, fmt_time(cm), cs * 100, ratio, want, "met" if ok else "NOT met"))
    if tree:
        # One job: the tool's time less the SHA-256 pass, over the module's
        # verify, per repetition (at most 1.1 x); two jobs against one (>= 1.7 x).
        for command, label in (("checkpoint", "quorvel-ledger checkpoint"),
                               ("since", "quorvel-ledger verify --since NOTE")):
            one, two = tree[(command, 1)], tree[(command, 2)]
            extra = [(t - s) / m for t, s, m in zip(one, tree["sha"], tree["module"])]
            ratio = statistics.median(extra)
            ok = ratio <= 1.1
            verdicts.append(ok)
            om, os_ = median_spread(one)
            print("| %s --jobs 1 | %s ±%.0f%% | %s (one SHA-256 pass) | (time - SHA-256 pass) = %.2f x the module's"
                  " verify | | | <= 1.1 x: %s |" % (label, fmt_time(om), os_ * 100, fmt_time(statistics.median(tree["sha"])),
                                                    ratio, "met" if ok else "NOT met"))
            speed = ratio_median(one, two)
            ok = speed >= 1.7
            verdicts.append(ok)
            tm, ts = median_spread(two)
            print("| %s --jobs 2 | %s ±%.0f%% | | %.2f x faster than 1 job | | | >= 1.7 x: %s |"
                  % (label, fmt_time(tm), ts * 100, speed, "met" if ok else "NOT met"))
    if cli_peaks:
        big, small = cli_peaks
        ok = big - small <= 1024
        verdicts.append(ok)
        print("| peak memory of quorvel-ledger verify --jobs 2 | %d KiB | | %d KiB on the first 1,000 lines | | |"
              " grows by <= 1024 KiB: %s |" % (big, small, "met" if ok else "NOT met"))
    if junk:
        for name, (utf8, reopen) in junk.items():
            rm, rs = median_spread(reopen)
            um, us = median_spread(utf8)
            ratio = ratio_median(reopen, utf8)
            ok = ratio <= 2.0
            verdicts.append(ok)
            print("| reopen after %d MB of %s | %s ±%.0f%% | %s ±%.0f%% (the UTF-8 pass) | %.2f x the UTF-8 pass's time"
                  " | | | <= 2 x: %s |" % (JUNK_BYTES // 1_000_000, name, fmt_time(rm), rs * 100, fmt_time(um),
                                           us * 100, ratio, "met" if ok else "NOT met"))
    for what in ("verify", "reopen"):
        kib = memory[what]
        ok = kib <= 1024
        verdicts.append(ok)
        print("| peak memory added by %s | %d KiB | | | | | <= 1024 KiB: %s |" % (what, kib, "met" if ok else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
