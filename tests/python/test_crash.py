"""Crash safety: a process committing in a loop is killed with SIGKILL at random moments.

Each round starts from a ledger of two entries. A child reopens it and commits
in a loop (payloads from a few bytes to megabytes, ASCII and two-byte
characters, so that a kill can land inside a large write), and reports each
returned signature through a pipe before it goes on. The parent kills it after
a random number of reports plus a random pause, and then checks:

- every complete line is an entry, and the entries are the two seeds, every
  acknowledged entry in order, and at most one entry more (a commit that
  returned just before the kill, unreported);
- the file holds at most one partial line, at its end (the killed write; its
  line feed is its last byte, so it is never followed by anything);
- verify_integrity answers True without a partial line, False when the
  partial line is valid UTF-8 (the torn bytes are not an entry), and raises
  OSError "stream did not contain valid UTF-8" when the cut fell inside a
  character;
- a reopened recorder continues from the last whole entry. Without a line
  feed after the torn bytes, its line lands right after them on the same line.

Rounds: 20 in the short mode, 200 in the long mode.
"""

import json
import os
import random
import select
import subprocess
import sys
import time

import pytest

from quorvel_ledger_rs import QuorvelRecorder
from harden_support import by_mode, child_env, record_figures
from ledger_check import assert_chained, parse_line

ROUNDS = by_mode(5, 20, 200)

COMMITTER = r"""
import os, random, sys
from quorvel_ledger_rs import QuorvelRecorder
path, acknowledgements, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(seed)
recorder = QuorvelRecorder(path)
while True:
    size = rng.choice([1, 100, 5000, 100000, 1000000, 3000000])
    payload = rng.choice(["a", "\u00e9", "a\u00e9"]) * (size // 2 + 1)
    signature = recorder.commit_truth("committer", rng.random(), payload)
    os.write(acknowledgements, (signature + "\n").encode())
"""


def read_acknowledgements(reader, wanted, timeout):
    """Reads signature lines until `wanted` of them came (or end of file when
    wanted is None); returns them and any incomplete rest."""
    signatures, buffer = [], b""
    deadline = time.monotonic() + timeout
    while wanted is None or len(signatures) < wanted:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"no acknowledgement for {timeout}s"
        ready, _, _ = select.select([reader], [], [], remaining)
        if not ready:
            continue
        chunk = os.read(reader, 65536)
        if not chunk:
            break
        buffer += chunk
        *lines, buffer = buffer.split(b"\n")
        signatures += [line.decode() for line in lines]
    return signatures, buffer


def kill_while_committing(path, rng):
    """Runs the committer until a random moment, kills it; returns the
    acknowledged signatures."""
    reader, writer = os.pipe()
    child = subprocess.Popen([sys.executable, "-c", COMMITTER, path, str(writer),
                              str(rng.getrandbits(32))], pass_fds=(writer,), env=child_env())
    os.close(writer)
    try:
        acknowledged, rest = read_acknowledgements(reader, rng.randint(0, 6), timeout=60)
        time.sleep(rng.uniform(0, 0.004))
        child.kill()
        assert child.wait(timeout=60) == -9
        more, rest = read_acknowledgements(reader, None, timeout=60)
        assert rest == b"", "a signature was reported in part"
    finally:
        if child.poll() is None:
            child.kill()
        os.close(reader)
    return acknowledged + more


def check_round(path, seeds, acknowledged):
    """The checks of the module docstring; returns what the partial line was."""
    with open(path, "rb") as ledger:
        data = ledger.read()
    *complete, tail = data.split(b"\n")
    entries = [parse_line(line.decode("utf-8") + "\n") for line in complete]
    assert_chained(entries)
    signatures = [entry["signature"] for entry in entries]
    known = seeds + acknowledged
    assert signatures[:len(known)] == known
    unacknowledged = signatures[len(known):]
    assert len(unacknowledged) <= 1
    assert not (unacknowledged and tail), "bytes after an entry whose commit returned unreported"

    if not tail:
        kind, expected_verdict = "none", True
    else:
        start = b'{"index":%d,"timestamp":"' % len(entries)  # the next entry's line
        assert tail.startswith(start) or start.startswith(tail), tail[:80]
        try:
            text = tail.decode("utf-8")
        except UnicodeDecodeError:
            kind, expected_verdict = "inside a character", "OSError"
        else:
            kind, expected_verdict = "between characters", False
            if text.endswith("}"):  # cut right before the line feed: a whole entry
                parse_line(text + "\n")
                kind, expected_verdict = "before the line feed", True
    recorder = QuorvelRecorder(path)
    try:
        verdict = recorder.verify_integrity()
    except OSError as error:
        assert error.args == ("stream did not contain valid UTF-8",)
        verdict = "OSError"
    assert verdict == expected_verdict, kind

    last = json.loads(data[data.rfind(b'{"index":'):]) if kind == "before the line feed" \
        else entries[-1]
    signature = recorder.commit_truth("after the kill", 0.0, "")
    with open(path, "rb") as ledger:
        grown = ledger.read()
    assert grown.startswith(data)
    # One whole line; after a torn tail it starts with a line feed that ends
    # the torn line, so that the new entry stands on a line of its own.
    added_text = grown[len(data):].decode("utf-8")
    assert added_text.startswith("\n") == bool(tail)
    added = parse_line(added_text.lstrip("\n"))
    assert (added["index"], added["prev_hash"], added["signature"]) == \
        (last["index"] + 1, last["signature"], signature)
    return kind, len(complete)


def test_sigkill_while_committing_loses_no_acknowledged_entry(tmp_path):
    base_seed = random.randrange(1 << 32)
    tails = {"none": 0, "between characters": 0, "inside a character": 0,
             "before the line feed": 0}
    acknowledged_total = lines_total = 0
    for round_number in range(ROUNDS):
        rng = random.Random(base_seed + round_number)
        path = str(tmp_path / f"round-{round_number}.jsonl")
        seeder = QuorvelRecorder(path)
        seeds = [seeder.commit_truth("seed", 1.0, "one"), seeder.commit_truth("seed", 2.0, "two")]
        acknowledged = kill_while_committing(path, rng)
        try:
            kind, lines = check_round(path, seeds, acknowledged)
        except AssertionError as error:
            raise AssertionError(f"round {round_number} of seed {base_seed}: {error}") from error
        tails[kind] += 1
        acknowledged_total += len(acknowledged)
        lines_total += lines
        os.remove(path)
    record_figures("sigkill", kills=ROUNDS, acknowledged_entries=acknowledged_total,
                   whole_lines_checked=lines_total,
                   **{f"partial line {kind}": count for kind, count in tails.items()})


def test_reopening_after_a_tear_inside_a_character_continues_the_chain(ledger_path):
    recorder = QuorvelRecorder(ledger_path)
    recorder.commit_truth("a", 1.0, "one")
    last = recorder.commit_truth("a", 2.0, "two")
    # What a write killed inside its payload leaves: the line cut after the
    # first byte of a two-byte character.
    torn = '{"index":2,"timestamp":"2026-01-02T03:04:05.123+00:00","prev_hash":"%s",' \
           '"actor":"a","delta_i":3.0,"payload":"\u00e9' % last
    with open(ledger_path, "ab") as ledger:
        ledger.write(torn.encode()[:-1])
    reopened = QuorvelRecorder(ledger_path)
    reopened.commit_truth("b", 4.0, "after the crash")
    with open(ledger_path, "rb") as ledger:
        data = ledger.read()
    added = json.loads(data[data.rfind(b'{"index":'):])
    assert (added["index"], added["prev_hash"]) == (2, last)
