"""entries(): every field, slices, breaks, unverified reading, timestamps,
constant memory, and the producer thread's end."""

import gc
import json
import os
import subprocess
import sys
from datetime import datetime, timezone

import pytest

from cases import BASE, EDITED, LEDGER
from conftest import PACKAGE_DIR
from ledgers import chain, entry_line, join, write_big
from quorvel_ledger_audit import BrokenLedgerError, Entry, entries
from quorvel_ledger_rs import QuorvelRecorder


def threads():
    return len(os.listdir("/proc/self/task"))


def write(tmp_path, data, name="ledger.jsonl"):
    path = str(tmp_path / name)
    with open(path, "wb") as out:
        out.write(data)
    return path


def lines_of(path):
    """(line number, offset, parsed line) of each entry line of the file."""
    found, offset = [], 0
    with open(path, "rb") as ledger:
        for number, line in enumerate(ledger, 1):
            if line.strip():
                found.append((number, offset, json.loads(line)))
            offset += len(line)
    return found


def test_every_field_of_what_a_recorder_wrote(tmp_path):
    path = str(tmp_path / "ledger.jsonl")
    recorder = QuorvelRecorder(path)
    for i in range(5):
        recorder.commit_truth("\u00e9ve {}".format(i), i * 1.25 - 3.0,
                              "payment {} \"quoted\"\t\u00e9\U0001F600".format(i))
    with open(path, "ab") as out:
        out.write(b"\n \r\n")  # blank lines count as lines, not as entries
    recorder.commit_truth("bob", 1e-300, "after blank lines")
    expected = lines_of(path)
    for verified in (True, False):
        read = list(entries(path, verified=verified))
        assert all(type(entry) is Entry for entry in read)
        assert [(entry.line, entry.offset, entry.index, entry.timestamp_text, entry.prev_hash,
                 entry.actor, entry.delta_i, entry.payload, entry.signature) for entry in read] == \
            [(number, offset, fields["index"], fields["timestamp"], fields["prev_hash"],
              fields["actor"], fields["delta_i"], fields["payload"], fields["signature"])
             for number, offset, fields in expected]
        for entry in read:
            moment = datetime.strptime(entry.timestamp_text[:26], "%Y-%m-%dT%H:%M:%S.%f")
            assert entry.timestamp == moment.replace(tzinfo=timezone.utc)
    assert [entry.line for entry in read] == [1, 2, 3, 4, 5, 8]
    with pytest.raises(AttributeError):
        read[0].payload = "changed"


@pytest.mark.parametrize("verified", [True, False])
def test_start_and_stop_count_entry_lines_like_a_slice(verified, tmp_path):
    path = write(tmp_path, b"\n" + join(BASE[:3], "\n\n") + join(BASE[3:]))
    every = list(entries(path, verified=verified))
    assert [entry.index for entry in every] == list(range(6))
    for start, stop in [(0, None), (2, None), (0, 3), (2, 4), (4, 2), (0, 0), (3, 3), (5, 6),
                        (6, None), (10, None), (1, 100)]:
        assert list(entries(path, start=start, stop=stop, verified=verified)) == \
            every[start:stop], (start, stop)


def broken_message(path, line, offset, rest):
    return "{}: broken at line {} (byte {}{}".format(path, line, offset, rest)


def test_a_break_is_raised_after_every_entry_before_it(tmp_path):
    path = write(tmp_path, EDITED)
    offset = len(join(BASE[:3]))
    read = []
    with pytest.raises(BrokenLedgerError) as raised:
        for entry in entries(path):
            read.append(entry.index)
    assert read == [0, 1, 2]
    error = raised.value
    assert str(error) == broken_message(path, 4, offset, ", index 3): content altered")
    assert (error.path, error.audit) == (path, None)
    assert (error.first_break.kind, error.first_break.line, error.first_break.offset,
            error.first_break.index) == ("content-altered", 4, offset, 3)
    assert error.first_break.details["stored_signature"] == json.loads(BASE[3])["signature"]
    # Entries before start are judged too; nothing past stop is read.
    with pytest.raises(BrokenLedgerError):
        next(entries(path, start=4))
    assert [entry.index for entry in entries(path, stop=3)] == [0, 1, 2]


def test_unverified_entries_skip_the_chain_but_not_lines_that_are_no_entries(tmp_path):
    shuffled = join([BASE[3], BASE[0]]) + EDITED
    assert [entry.index for entry in entries(write(tmp_path, shuffled), verified=False)] == \
        [3, 0, 0, 1, 2, 3, 4, 5]
    cases = [
        (join(BASE[:2]) + b"}{\n" + join(BASE[2:]),
         "): not a ledger entry: the value is neither an object nor an array at column 1"),
        (join(BASE[:2]) + b"pay\xff\n", "): not valid UTF-8 at column 4"),
        (join(BASE[:2]) + BASE[2][:40].encode(),
         "): torn tail: the last line has no line feed and is not a whole entry"),
    ]
    for data, rest in cases:
        path = write(tmp_path, data)
        read = []
        with pytest.raises(BrokenLedgerError) as raised:
            for entry in entries(path, verified=False):
                read.append(entry.index)
        assert read == [0, 1]
        assert str(raised.value) == broken_message(path, 3, len(join(BASE[:2])), rest)


@pytest.mark.parametrize("stamp, moment", [
    ("2026-12-11T10:00:00.123456789+00:00", datetime(2026, 12, 11, 10, 0, 0, 123456)),
    ("2026-12-11T10:00:00.999999999+00:00", datetime(2026, 12, 11, 10, 0, 0, 999999)),
    ("2026-12-11T10:00:00.000000001+00:00", datetime(2026, 12, 11, 10, 0, 0, 0)),
    ("2026-12-11T10:00:00.123456+00:00", datetime(2026, 12, 11, 10, 0, 0, 123456)),
    ("2026-12-11T10:00:00.250+00:00", datetime(2026, 12, 11, 10, 0, 0, 250000)),
    ("2026-12-11T23:59:59+00:00", datetime(2026, 12, 11, 23, 59, 59)),
    ("2024-02-29T00:00:00+00:00", datetime(2024, 2, 29)),
])
def test_timestamps(stamp, moment, tmp_path):
    line = entry_line(0, "GENESIS_BLOCK_HASH", stamp=stamp)
    (entry,) = entries(write(tmp_path, (line + "\n").encode()))
    assert entry.timestamp_text == stamp
    assert entry.timestamp == moment.replace(tzinfo=timezone.utc)


@pytest.mark.parametrize("stamp", ["0000-01-01T00:00:00+00:00", "+10000-01-01T00:00:00+00:00",
                                   "-0001-12-31T23:59:59.500+00:00"])
def test_timestamps_of_the_writer_outside_datetimes_years(stamp, tmp_path):
    line = entry_line(0, "GENESIS_BLOCK_HASH", stamp=stamp)
    (entry,) = entries(write(tmp_path, (line + "\n").encode()))
    assert entry.timestamp_text == stamp
    with pytest.raises(ValueError) as raised:
        entry.timestamp
    assert str(raised.value) == \
        "the timestamp {!r} is outside the years a datetime holds (1 to 9999)".format(stamp)


@pytest.mark.parametrize("stamp", ["2026-12-11T10:00:00.5+00:00", "2026-12-11T10:00:00Z",
                                   "2026-02-30T00:00:00+00:00", "2026-12-11T10:00:00.\u0661\u0662\u0663+00:00",
                                   "yesterday"])
def test_unverified_timestamps_not_in_the_writers_form(stamp, tmp_path):
    line = entry_line(0, "GENESIS_BLOCK_HASH", stamp=stamp)
    path = write(tmp_path, (line + "\n").encode())
    (entry,) = entries(path, verified=False)
    assert entry.timestamp_text == stamp
    with pytest.raises(ValueError) as raised:
        entry.timestamp
    assert str(raised.value) == "the timestamp {!r} is not in the writer's form".format(stamp)
    with pytest.raises(BrokenLedgerError, match=": bad timestamp: the timestamp is not in the writer's form$"):
        list(entries(path))


@pytest.fixture(scope="module")
def big_ledger(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("big") / "ledger.jsonl")
    return path, write_big(path, 40)


MEMORY_SCRIPT = r"""
import sys
sys.path.insert(0, sys.argv[1])
from quorvel_ledger_audit import entries

def peak_kib():
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith("VmHWM:")).split()[1])

before = peak_kib()
count = sum(1 for _ in entries(sys.argv[2], verified=sys.argv[3] == "verified"))
print(count, peak_kib() - before)
"""


@pytest.mark.parametrize("verified", ["verified", "unverified"])
def test_memory_stays_bounded_however_long_the_file(verified, big_ledger):
    path, count = big_ledger
    done = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, PACKAGE_DIR, path, verified],
                          stdout=subprocess.PIPE, check=True, timeout=300)
    read, grown_kib = map(int, done.stdout.split())
    assert read == count
    # Holding the file's entries would take hundreds of MB; a few batches take a few.
    assert grown_kib < 24 * 1024


def test_closing_or_dropping_the_iterator_stops_its_thread(big_ledger):
    path, _ = big_ledger
    before = threads()
    stream = entries(path)
    assert next(stream).index == 0
    assert threads() == before + 1
    stream.close()
    assert threads() == before
    with pytest.raises(StopIteration):
        next(stream)
    stream = entries(path, verified=False)
    next(stream)
    del stream
    gc.collect()
    assert threads() == before
    unstarted = entries(path)
    del unstarted
    assert threads() == before
