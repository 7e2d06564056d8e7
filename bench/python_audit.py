"""The audit package's calls under load: how long other threads wait for the
interpreter lock while audit() walks a large ledger, audit() with 1 and 2
jobs, entries() over the whole file, and how soon Ctrl-C ends an audit.

    cmake --build BUILD --target quorvel_ledger_rs quorvel_ledger_audit_native bench_gen_ledger
    /usr/bin/python3 bench/python_audit.py BUILD [--entries 1000000] [--reps 5]

BUILD holds python/ (both modules) and bench/bench_gen_ledger, which writes
the ledger: the benchmarks' ledger of 1,000,000 entries (seed 42, about 340 MB). Times are medians of --reps runs; the ticker's gap and
the Ctrl-C latency are the worst of them.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def make_ledger(build, directory, entries):
    path = os.path.join(directory, "ledger.jsonl")
    subprocess.run([os.path.join(build, "bench", "bench_gen_ledger"), path, str(entries), "42"],
                   check=True)
    return path


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def longest_gap(call):
    """The longest wait between a 1 ms ticker thread's ticks while `call` runs."""
    ticks, running = [], threading.Event()
    running.set()

    def tick():
        while running.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    running.clear()
    ticker.join()
    during = [start] + [t for t in ticks if start <= t <= end] + [end]
    return max(b - a for a, b in zip(during, during[1:]))


def interrupt_latency(audit, path, after):
    """Seconds from a SIGINT, `after` seconds into audit(), to its KeyboardInterrupt."""
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(after, interrupt)
    timer.start()
    try:
        audit(path)
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    finally:
        timer.join()
    raise RuntimeError("the audit ended before the interrupt; give a larger ledger")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--entries", type=int, default=1000000)
    parser.add_argument("--reps", type=int, default=5)
    options = parser.parse_args()
    sys.path.insert(0, os.path.join(options.build, "python"))
    from quorvel_ledger_audit import audit, entries

    with tempfile.TemporaryDirectory() as directory:
        path = make_ledger(options.build, directory, options.entries)
        size = os.path.getsize(path) / (1 << 20)
        audit(path)  # the file in the page cache
        print("ledger: {:.0f} MB, {} entries (bench_gen_ledger, seed 42)".format(
            size, audit(path).entries))
        for jobs in (1, 2):
            times = [timed(lambda: audit(path, jobs=jobs)) for _ in range(options.reps)]
            gaps = [longest_gap(lambda: audit(path, jobs=jobs)) for _ in range(options.reps)]
            print("audit(jobs={}): {:.3f} s ({:.0f} MB/s); ticker's longest gap {:.1f} ms".format(
                jobs, statistics.median(times), size / statistics.median(times),
                max(gaps) * 1000))
        times = [timed(lambda: sum(1 for _ in entries(path))) for _ in range(max(1, options.reps // 2))]
        print("entries(): {:.2f} s for the whole file".format(statistics.median(times)))
        latencies = [interrupt_latency(audit, path, 0.05 + 0.02 * k) for k in range(options.reps)]
        print("Ctrl-C during audit(): KeyboardInterrupt after {:.1f} ms (median), {:.1f} ms "
              "(worst)".format(statistics.median(latencies) * 1000, max(latencies) * 1000))


if __name__ == "__main__":
    main()
