"""audit() over randomly damaged ledgers: the tool's report and the module's
verdict on every one, as the tool's own differential test holds its walk to the
core's."""

import random

from ledgers import chain, join, signature_of
from test_audit import assert_records_say_what_the_report_says, module_verdict, tool_report
from quorvel_ledger_audit import audit

BASE = chain(12)
# Lines of another writer that forks the chain after the base's sixth entry.
FORK = chain(4, signature_of(BASE[5]), 6, "bob")
INSERTS = ["\n", "\r", "\r\n", " ", "\u3000", b"\xc3", b"\xff", "{", "}", '"', ",", "0", "\\",
           "\u00e9"]


def split_lines(data):
    return data.split(b"\n")[:-1] if data.endswith(b"\n") else data.split(b"\n")


def join_lines(lines):
    return b"".join(line + b"\n" for line in lines)


def mutate(data, pick):
    """One random change to a ledger's bytes."""
    lines = split_lines(data)
    choice = pick.randrange(10)
    if choice == 0 and data:
        at = pick.randrange(len(data))
        return data[:at] + bytes([pick.randrange(256)]) + data[at + 1:]
    if choice == 1 and data:
        at = pick.randrange(len(data))
        return data[:at] + data[at + 1 + pick.randrange(40):]
    if choice == 2:
        insert = pick.choice(INSERTS)
        insert = insert if isinstance(insert, bytes) else insert.encode("utf-8")
        at = pick.randrange(len(data) + 1)
        return data[:at] + insert + data[at:]
    if choice == 3:
        return data[:pick.randrange(len(data) + 1)]
    if choice == 4 and lines:
        at = pick.randrange(len(lines))
        return join_lines(lines[:at] + [lines[at]] + lines[at:])
    if choice == 5 and lines:
        at = pick.randrange(len(lines))
        return join_lines(lines[:at] + lines[at + 1:])
    if choice == 6 and len(lines) > 1:
        first, second = pick.randrange(len(lines)), pick.randrange(len(lines))
        lines[first], lines[second] = lines[second], lines[first]
        return join_lines(lines)
    if choice == 7 and lines:
        at = pick.randrange(len(lines))
        return join_lines(lines[:at] + [b" " * pick.randrange(3)] + lines[at:])
    if choice == 8 and lines:
        lines[pick.randrange(len(lines))] = pick.choice(FORK).encode("utf-8")
        return join_lines(lines)
    if choice == 9:  # one hexadecimal digit of a hash
        for at in range(pick.randrange(len(data) + 1), len(data)):
            if data[at:at + 1] in b"0123456789abcdef":
                return data[:at] + (b"b" if data[at:at + 1] == b"a" else b"a") + data[at + 1:]
    return data


def test_randomly_damaged_ledgers(tmp_path, tool):
    pick = random.Random(20261211)
    path = str(tmp_path / "ledger.jsonl")
    verdicts = {True: 0, False: 0}
    for round_number in range(500):
        data = join(BASE, "\r\n" if pick.randrange(4) == 0 else "\n")
        for _ in range(1 + pick.randrange(3)):
            data = mutate(data, pick)
        with open(path, "wb") as out:
            out.write(data)
        jobs = 1 + round_number % 2
        found = audit(path, jobs=jobs)
        assert found.to_dict() == tool_report(tool, path, {}, jobs), data
        assert found.intact is module_verdict(path), data
        assert found.ok is found.intact
        assert_records_say_what_the_report_says(found)
        verdicts[found.intact] += 1
    # The damage reaches both verdicts often enough to mean something.
    assert verdicts[True] > 10 and verdicts[False] > 400, verdicts
