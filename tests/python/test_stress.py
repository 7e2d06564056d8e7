"""Concurrency at counts well above the functional tests.

- threads sharing one recorder, with a thread verifying all the while;
- several recorders on one file in one process, each on its own thread;
- several processes on one file.

In each: every line is one whole entry (no line torn or interleaved), every
signature a commit returned is in the file, each writer's entries keep their
order and form one chain, and a chain verifies when it is the only writer's:
the shared recorder's file as it is, and every other writer's entries copied
alone into a file of their own.

Counts: short mode 16 threads x 1,000, 4 recorders x 1,000 and 4 processes x
1,000; long mode 16 x 5,000, 8 x 5,000 and 8 x 5,000.
"""

import os
import subprocess
import sys
import threading

from quorvel_ledger_rs import QuorvelRecorder
from harden_support import by_mode, child_env, record_figures
from ledger_check import assert_chained, parse_line

THREADS, THREAD_COMMITS = 16, by_mode(100, 1000, 5000)
RECORDERS, RECORDER_COMMITS = by_mode(2, 4, 8), by_mode(100, 1000, 5000)
PROCESSES, PROCESS_COMMITS = by_mode(2, 4, 8), by_mode(100, 1000, 5000)


def payload(writer, number):
    """Mostly short, sometimes past a page or a pipe buffer, now and then 200 KB,
    with multi-byte characters; starts with the writer and the number."""
    size = (0, 10, 300, 5000, 70000, 200000)[(number * 7919) % 6 if number % 50 == 0 else
                                             (number * 7919) % 4]
    return f"{writer}:{number}:" + "\u00e9\U0001F600x" * (size // 7)


def run_threads(count, target):
    barrier = threading.Barrier(count)
    errors = []

    def body(number):
        try:
            barrier.wait()
            target(number)
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads between as many commits as possible
    try:
        threads = [threading.Thread(target=body, args=(n,)) for n in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(switch_interval)
    assert errors == []


def read_lines(path):
    """The file's lines, each checked to be one whole entry; with their entries."""
    with open(path, encoding="utf-8", newline="") as ledger:
        lines = ledger.readlines()
    return lines, [parse_line(line) for line in lines]


def check_writers(lines, entries, returned, tmp_path=None):
    """Each writer's entries are its returned signatures, in order. With
    tmp_path (writers with recorders of their own): they also form one chain
    from GENESIS, and its lines copied alone into a file verify."""
    for writer, signatures in returned.items():
        own = [number for number, entry in enumerate(entries) if entry["actor"] == writer]
        assert [entries[n]["signature"] for n in own] == signatures
        assert [entries[n]["payload"] for n in own] == \
            [payload(writer, i) for i in range(len(signatures))]
        if tmp_path is None:
            continue
        assert_chained([entries[n] for n in own])
        alone = tmp_path / f"{writer}.jsonl"
        with open(alone, "w", encoding="utf-8", newline="") as copy:
            copy.writelines(lines[n] for n in own)
        assert QuorvelRecorder(str(alone)).verify_integrity() is True


def test_threads_share_one_recorder_and_verification_stays_true(ledger_path):
    recorder = QuorvelRecorder(ledger_path)
    recorder.commit_truth("start", 0.0, "")  # the file exists before the verifier starts
    returned = {f"thread-{n}": [] for n in range(THREADS)}
    done = threading.Event()
    verdicts = []

    def commit(number):
        writer = f"thread-{number}"
        for i in range(THREAD_COMMITS):
            returned[writer].append(recorder.commit_truth(writer, float(i), payload(writer, i)))

    def verify_all_the_while():
        while not done.wait(0.005):  # leave the committers most of the time
            verdicts.append(recorder.verify_integrity())

    verifier = threading.Thread(target=verify_all_the_while)
    verifier.start()
    try:
        run_threads(THREADS, commit)
    finally:
        done.set()
        verifier.join()
    assert verdicts and set(verdicts) == {True}

    lines, entries = read_lines(ledger_path)
    assert len(entries) == 1 + THREADS * THREAD_COMMITS
    assert_chained(entries)
    check_writers(lines, entries, returned)
    assert recorder.verify_integrity() is True
    record_figures("threads on one recorder", threads=THREADS, lines_checked=len(entries),
                   verifications_while_committing=len(verdicts))


def test_recorders_on_one_file_keep_their_own_chains(ledger_path, tmp_path):
    # All opened before anything is written, so each chain starts at GENESIS.
    recorders = [QuorvelRecorder(ledger_path) for _ in range(RECORDERS)]
    returned = {f"recorder-{n}": [] for n in range(RECORDERS)}

    def commit(number):
        writer = f"recorder-{number}"
        for i in range(RECORDER_COMMITS):
            returned[writer].append(recorders[number].commit_truth(writer, float(i),
                                                                   payload(writer, i)))

    run_threads(RECORDERS, commit)
    lines, entries = read_lines(ledger_path)
    assert len(entries) == RECORDERS * RECORDER_COMMITS
    check_writers(lines, entries, returned, tmp_path)
    # Interleaved chains: the first entry of a later chain does not link to
    # the line before it.
    assert recorders[0].verify_integrity() is False
    record_figures("recorders on one file", recorders=RECORDERS, lines_checked=len(entries))


PROCESS_WRITER = r"""
import sys
from quorvel_ledger_rs import QuorvelRecorder
from test_stress import payload
path, writer, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
recorder = QuorvelRecorder(path)
print("ready", flush=True)
sys.stdin.readline()  # wait for every process to be ready
signatures = [recorder.commit_truth(writer, float(i), payload(writer, i)) for i in range(count)]
print("\n".join(signatures), flush=True)
"""


def test_processes_append_whole_lines_to_one_file(ledger_path, tmp_path):
    env = child_env(PYTHONPATH=os.pathsep.join([child_env()["PYTHONPATH"],
                                                os.path.dirname(__file__)]))
    processes = [subprocess.Popen([sys.executable, "-c", PROCESS_WRITER, ledger_path,
                                   f"process-{n}", str(PROCESS_COMMITS)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  env=env) for n in range(PROCESSES)]
    try:
        for process in processes:  # every recorder opened on the empty file
            assert process.stdout.readline() == "ready\n"
        for process in processes:
            process.stdin.write("go\n")
            process.stdin.flush()
        outputs = [process.communicate(timeout=900)[0] for process in processes]
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
    assert [process.returncode for process in processes] == [0] * PROCESSES

    returned = {f"process-{n}": output.split() for n, output in enumerate(outputs)}
    lines, entries = read_lines(ledger_path)
    assert len(entries) == PROCESSES * PROCESS_COMMITS
    check_writers(lines, entries, returned, tmp_path)
    record_figures("processes on one file", processes=PROCESSES, lines_checked=len(entries),
                   bytes=os.path.getsize(ledger_path))
