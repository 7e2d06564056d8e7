"""An independent reading of ledger lines, with Python's own json and hashlib.

Nothing here uses the extension: each line is parsed by json and its digest is
recomputed from the parsed fields, so the tests compare the module against a
second implementation of the format rather than against itself.
"""

import hashlib
import json
import re
import struct

GENESIS = "GENESIS_BLOCK_HASH"
FIELDS = ["index", "timestamp", "prev_hash", "actor", "delta_i", "payload", "signature"]
TIMESTAMP = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00")


def entry_digest(prev_hash, timestamp, actor, delta, payload):
    sha = hashlib.sha256()
    for text in (prev_hash, timestamp, actor):
        sha.update(text.encode("utf-8"))
    sha.update(struct.pack(">d", delta))
    sha.update(payload.encode("utf-8"))
    return sha.hexdigest()


def parse_line(line):
    """The entry of one written line, after checking its form and its own digest."""
    assert line.endswith("\n") and not line.endswith("\r\n"), repr(line)
    entry = json.loads(line)
    assert list(entry) == FIELDS, line
    assert TIMESTAMP.fullmatch(entry["timestamp"]), entry["timestamp"]
    expected = entry_digest(entry["prev_hash"], entry["timestamp"], entry["actor"],
                            float(entry["delta_i"]), entry["payload"])
    assert entry["signature"] == expected, line
    return entry


def read_entries(path, blank_lines_allowed=False):
    """The entries of every line. Blank lines, which readers skip, are allowed
    only where asked: where recorders open while other processes append (one
    that opens while another's line is half written ends that line itself,
    and if the line is still not whole when it commits, a blank line remains)."""
    with open(path, encoding="utf-8", newline="") as ledger:
        lines = list(ledger)
    if blank_lines_allowed:
        lines = [line for line in lines if line != "\n"]
    return [parse_line(line) for line in lines]


def assert_chained(entries, first_index=0, first_prev=GENESIS):
    """Each entry links to the one before it and carries the next index."""
    prev = first_prev
    for offset, entry in enumerate(entries):
        assert entry["index"] == first_index + offset
        assert entry["prev_hash"] == prev
        prev = entry["signature"]
