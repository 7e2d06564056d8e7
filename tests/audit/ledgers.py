"""Ledger lines made the way a recorder makes them, for the audit package's tests."""

import hashlib
import json
import struct

GENESIS = "GENESIS_BLOCK_HASH"
# Fractions in each of the writer's lengths, the fewest digits that hold them.
FRACTIONS = ("", ".250", ".123456", ".123456789", ".000000001")


def timestamp(number):
    """The writer's timestamp of the number-th second of a day, with a fraction."""
    return "2026-12-11T{:02d}:{:02d}:{:02d}{}+00:00".format(
        number // 3600 % 24, number // 60 % 60, number % 60, FRACTIONS[number % len(FRACTIONS)])


def digest(prev_hash, stamp, actor, delta, payload):
    sha = hashlib.sha256()
    for text in (prev_hash, stamp, actor):
        sha.update(text.encode("utf-8"))
    sha.update(struct.pack(">d", delta))
    sha.update(payload.encode("utf-8"))
    return sha.hexdigest()


def entry_line(index, prev_hash, actor="alice", delta=1.0, payload="p", stamp=None):
    """The writer's line of an entry, its signature computed (no line feed).
    Deltas whose repr is the writer's text (1.0, -2.5), ASCII texts."""
    stamp = timestamp(index) if stamp is None else stamp
    signature = digest(prev_hash, stamp, actor, float(delta), payload)
    return ('{{"index":{},"timestamp":{},"prev_hash":{},"actor":{},"delta_i":{!r},'
            '"payload":{},"signature":"{}"}}').format(
                index, json.dumps(stamp), json.dumps(prev_hash), json.dumps(actor), float(delta),
                json.dumps(payload), signature)


def signature_of(line):
    return json.loads(line)["signature"]


def chain(count, prev_hash=GENESIS, first_index=0, actor="alice"):
    """`count` linked lines from `prev_hash`, indices from `first_index`."""
    lines = []
    for index in range(first_index, first_index + count):
        lines.append(entry_line(index, prev_hash, actor, index * 0.5 - 1.0,
                                "payment {} from {}".format(index, actor)))
        prev_hash = signature_of(lines[-1])
    return lines


def join(lines, terminator="\n"):
    return "".join(line + terminator for line in lines).encode("utf-8")


def write_big(path, megabytes):
    """A valid ledger of at least `megabytes` MB; returns its number of entries."""
    target = megabytes << 20
    written = 0
    count = 0
    prev_hash = GENESIS
    with open(path, "w", encoding="utf-8") as out:
        while written < target:
            line = entry_line(count, prev_hash, "writer", 0.25, "a payload of some forty characters")
            prev_hash = line[-66:-2]
            out.write(line + "\n")
            written += len(line) + 1
            count += 1
    return count
