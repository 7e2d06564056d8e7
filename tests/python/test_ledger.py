"""End to end: commits, verification and reopening, each line checked independently."""

import datetime
import os
import subprocess
import sys
import threading

import pytest

from quorvel_ledger_rs import QuorvelRecorder
from ledger_check import GENESIS, assert_chained, entry_digest, parse_line, read_entries
from conftest import MODULE_DIR

COMMITS = [
    ("alice", 1.5, "hello"),
    ("bob", -2.25, ""),
    ("", 0.0, "{\"nested\": [1, 2]}"),
    ("carol", 12.34, "tab\tquote\"back\\slash\u2028"),
    ("dave", 0.1 + 0.2, "é漢\U0001F600"),
    ("eve", -0.0, "\x00\x1f\x7f"),
    ("frank", 5e-324, "smallest"),
    ("grace", 1.7976931348623157e308, "largest"),
    ("heidi", 1e16, "exponent"),
    ("ivan", 123456789.0, "integral"),
]


def utc_time(timestamp):
    text, _, _ = timestamp.partition("+")
    if "." in text:
        whole, fraction = text.split(".")
        text = whole + "." + fraction[:6]
    return datetime.datetime.fromisoformat(text).replace(tzinfo=datetime.timezone.utc)


def test_commits_are_chained_and_each_line_checks_independently(recorder, ledger_path):
    before = datetime.datetime.now(datetime.timezone.utc)
    signatures = [recorder.commit_truth(*commit) for commit in COMMITS]
    after = datetime.datetime.now(datetime.timezone.utc)

    entries = read_entries(ledger_path)
    assert_chained(entries)
    assert [entry["signature"] for entry in entries] == signatures
    for entry, (actor, delta, payload) in zip(entries, COMMITS):
        assert (entry["actor"], entry["payload"]) == (actor, payload)
        # Bit-exact: -0.0 keeps its sign, the digest covers the exact double.
        assert repr(float(entry["delta_i"])) == repr(delta)
        assert before - datetime.timedelta(seconds=1) <= utc_time(entry["timestamp"]) <= after
    assert all(isinstance(s, str) and len(s) == 64 and s == s.lower() for s in signatures)
    assert recorder.verify_integrity() is True


def test_first_entry_worked_example(recorder, ledger_path):
    signature = recorder.commit_truth("alice", 1.5, "hello")
    with open(ledger_path, encoding="utf-8") as ledger:
        line = ledger.read()
    entry = parse_line(line)
    assert line == ('{"index":0,"timestamp":"%s","prev_hash":"GENESIS_BLOCK_HASH",'
                    '"actor":"alice","delta_i":1.5,"payload":"hello","signature":"%s"}\n'
                    % (entry["timestamp"], signature))
    assert signature == entry_digest(GENESIS, entry["timestamp"], "alice", 1.5, "hello")


def test_construction_creates_no_file_and_verify_says_false(recorder, ledger_path):
    assert not os.path.exists(ledger_path)
    assert recorder.verify_integrity() is False
    recorder.commit_truth("a", 1.0, "p")
    assert recorder.verify_integrity() is True


def test_reopen_continues_the_chain(ledger_path):
    first = QuorvelRecorder(ledger_path)
    for i in range(3):
        first.commit_truth("a", float(i), f"first {i}")
    del first
    second = QuorvelRecorder(ledger_path)
    second.commit_truth("b", 3.0, "second")
    entries = read_entries(ledger_path)
    assert len(entries) == 4
    assert_chained(entries)
    assert second.verify_integrity() is True


def test_reopen_skips_a_torn_last_line(ledger_path):
    recorder = QuorvelRecorder(ledger_path)
    for i in range(3):
        recorder.commit_truth("a", float(i), "p")
    torn = '{"index":3,"timestamp":"2026'
    with open(ledger_path, "a", encoding="utf-8") as ledger:
        ledger.write(torn)
    reopened = QuorvelRecorder(ledger_path)
    assert reopened.verify_integrity() is False
    reopened.commit_truth("b", 1.0, "after")
    with open(ledger_path, encoding="utf-8") as ledger:
        lines = ledger.readlines()
    entries = [parse_line(line) for line in lines[:3]]
    # The torn bytes had no line feed: the recorder ends their line first, so
    # that the new entry stands on a line of its own where readers find it.
    assert lines[3] == torn + "\n"
    new = parse_line(lines[4])
    assert (new["index"], new["prev_hash"]) == (3, entries[2]["signature"])
    assert QuorvelRecorder(ledger_path).commit_truth("c", 2.0, "again")  # continues from it
    with open(ledger_path, encoding="utf-8") as ledger:
        assert parse_line(ledger.readlines()[5])["prev_hash"] == new["signature"]


@pytest.mark.parametrize("edit", [
    lambda entry: entry.replace('"actor":"alice"', '"actor":"alicf"'),
    lambda entry: entry.replace('"payload":"p1"', '"payload":"p2"'),
    lambda entry: entry.replace('"delta_i":1.5', '"delta_i":1.25'),
    lambda entry: entry.replace("+00:00", "+00:01"),
], ids=["actor", "payload", "delta", "timestamp"])
def test_an_edited_copy_fails_verification(ledger_path, tmp_path, edit):
    recorder = QuorvelRecorder(ledger_path)
    recorder.commit_truth("alice", 1.5, "p1")
    recorder.commit_truth("bob", 2.0, "p2")
    copy = str(tmp_path / "edited.jsonl")
    with open(ledger_path, encoding="utf-8") as ledger:
        first, second = ledger.readlines()
    with open(copy, "w", encoding="utf-8") as edited:
        edited.write(edit(first) + second)
    assert QuorvelRecorder(copy).verify_integrity() is False
    assert recorder.verify_integrity() is True


def test_open_failure_raises_ioerror_and_leaves_the_recorder_usable(tmp_path):
    path = str(tmp_path / "missing-dir" / "ledger.jsonl")
    recorder = QuorvelRecorder(path)
    with pytest.raises(IOError) as caught:
        recorder.commit_truth("a", 1.0, "p")
    assert type(caught.value) is OSError
    assert caught.value.args == ("File Open Failed: No such file or directory (os error 2)",)
    os.mkdir(tmp_path / "missing-dir")
    recorder.commit_truth("a", 1.0, "p")
    assert_chained(read_entries(path))


def test_a_ledger_path_naming_a_directory_fails_to_open(tmp_path):
    recorder = QuorvelRecorder(str(tmp_path))
    assert recorder.verify_integrity() is False
    with pytest.raises(OSError) as caught:
        recorder.commit_truth("a", 1.0, "p")
    assert caught.value.args == ("File Open Failed: Is a directory (os error 21)",)


def test_unreadable_bytes_raise_ioerror_during_verification(recorder, ledger_path):
    recorder.commit_truth("a", 1.0, "p")
    with open(ledger_path, "ab") as ledger:
        ledger.write(b'{"not utf-8": "\xff"}\n')
    with pytest.raises(OSError) as caught:
        recorder.verify_integrity()
    assert caught.value.args == ("stream did not contain valid UTF-8",)
    # Still usable: the commit lands after the bad line.
    recorder.commit_truth("a", 2.0, "after")
    with open(ledger_path, "rb") as ledger:
        assert ledger.read().count(b"\n") == 3


def test_file_deleted_between_commits_is_recreated_and_the_chain_continues(recorder, ledger_path):
    first = recorder.commit_truth("a", 1.0, "p")
    os.remove(ledger_path)
    recorder.commit_truth("a", 2.0, "q")
    (entry,) = read_entries(ledger_path)
    assert (entry["index"], entry["prev_hash"]) == (1, first)


def test_eight_threads_share_one_recorder(recorder, ledger_path):
    barrier = threading.Barrier(8)
    errors = []

    def work(thread):
        try:
            barrier.wait()
            for i in range(200):
                recorder.commit_truth(f"thread-{thread}", float(i), f"{thread}:{i}")
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    entries = read_entries(ledger_path)
    assert len(entries) == 1600
    assert_chained(entries)
    assert sorted(entry["payload"] for entry in entries) == \
        sorted(f"{t}:{i}" for t in range(8) for i in range(200))
    assert recorder.verify_integrity() is True


WRITER = """
import sys
from quorvel_ledger_rs import QuorvelRecorder
path, name = sys.argv[1], sys.argv[2]
recorder = QuorvelRecorder(path)
for i in range(300):
    recorder.commit_truth(name, float(i), name + ":" + str(i) + ":" + "x" * (i * 37 % 4000))
"""


def run_four_writers(script, ledger_path):
    """Runs `script` in four processes at once, named p0 to p3, to the end."""
    env = dict(os.environ, PYTHONPATH=str(MODULE_DIR))
    processes = [subprocess.Popen([sys.executable, "-c", script, ledger_path, f"p{n}"], env=env)
                 for n in range(4)]
    assert [process.wait(timeout=300) for process in processes] == [0, 0, 0, 0]


def entries_by_writer(ledger_path, total):
    """The ledger's entries (blank lines allowed) as the lists of p0 to p3, in
    file order, and the set of all signatures."""
    entries = read_entries(ledger_path, blank_lines_allowed=True)
    assert len(entries) == total
    by_writer = [[entry for entry in entries if entry["actor"] == f"p{n}"] for n in range(4)]
    return by_writer, {entry["signature"] for entry in entries}


def test_four_processes_append_whole_lines_to_one_file(ledger_path):
    run_four_writers(WRITER, ledger_path)

    # Every line parses and carries its own digest.
    by_writer, signatures = entries_by_writer(ledger_path, 1200)
    for own in by_writer:
        # Each process continues its own chain, in file order, from whatever
        # last line it found when it opened the file.
        assert own[0]["prev_hash"] == GENESIS or own[0]["prev_hash"] in signatures
        assert_chained(own, first_index=own[0]["index"], first_prev=own[0]["prev_hash"])
        assert [entry["payload"].split(":")[1] for entry in own] == [str(i) for i in range(300)]


REOPENING_WRITER = """
import sys
from quorvel_ledger_rs import QuorvelRecorder
path, name = sys.argv[1], sys.argv[2]
for i in range(150):
    QuorvelRecorder(path).commit_truth(name, float(i), name + ":" + str(i) + ":" + "x" * (i * 53 % 6000))
"""


def test_recorders_opened_for_each_commit_while_others_append(ledger_path):
    # Each commit's recorder reads a file that others are appending to, often
    # ending inside a line that is still being written: no entry may be lost
    # or joined to another line.
    run_four_writers(REOPENING_WRITER, ledger_path)

    by_writer, signatures = entries_by_writer(ledger_path, 600)
    for own in by_writer:
        assert [entry["payload"].split(":")[1] for entry in own] == [str(i) for i in range(150)]
        # Each commit continues from a line that was in the file when its recorder opened.
        assert all(entry["prev_hash"] == GENESIS or entry["prev_hash"] in signatures for entry in own)


def test_a_nul_in_the_path_is_kept_and_refused_at_open(tmp_path):
    # Cut short at the NUL, the path would name another file; nothing may be written there.
    truncated = tmp_path / "ledger"
    recorder = QuorvelRecorder(str(truncated) + "\0.jsonl")
    assert recorder.verify_integrity() is False
    with pytest.raises(OSError) as caught:
        recorder.commit_truth("a", 1.0, "p")
    assert caught.value.args == ("File Open Failed: path contains a NUL byte",)
    assert list(tmp_path.iterdir()) == []
