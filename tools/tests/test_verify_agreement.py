"""quorvel-ledger verify against the module's verify_integrity(), file by file.

Ledgers are written by the module itself (one recorder, or two recorders on one
file for two writers), then edited, cut and mutated at random; on every file the
tool's exit status must match the module's verdict: 0 for True, 1 for False or
for the IOError of bytes that are not UTF-8 (which the tool names as a break).

The module is imported from QUORVEL_MODULE_DIR and the tool is the program named
by QUORVEL_LEDGER_CLI; ctest sets both. Without them the tests are skipped.
"""

import json
import random
import subprocess

import pytest

from tool_support import module_and_tool

INVALID_UTF8 = "stream did not contain valid UTF-8"


module, TOOL = module_and_tool("to compare with")


def module_verdict(path):
    """0 when verify_integrity() is True, 1 when False or when the walk met bytes that are not UTF-8."""
    try:
        return 0 if module.QuorvelRecorder(path).verify_integrity() else 1
    except OSError as error:
        assert str(error) == INVALID_UTF8
        return 1


def tool_report(path, jobs):
    done = subprocess.run([TOOL, "verify", "--json", "--jobs", str(jobs), path],
                          capture_output=True, text=True, timeout=60)
    assert done.stderr == ""
    return done.returncode, json.loads(done.stdout)


def assert_agrees(path, case=""):
    expected = module_verdict(path)
    for jobs in (1, 3):
        status, report = tool_report(path, jobs)
        assert status == expected, (case, jobs, report)
        assert report["status"] == ("intact" if expected == 0 else "broken")
    return report


def write_ledger(path, count, actor="alice"):
    recorder = module.QuorvelRecorder(path)
    for i in range(count):
        recorder.commit_truth(actor, i * 1.25 - 3.0, f"payment {i} \"quoted\"\té")
    return recorder


@pytest.fixture
def ledger(tmp_path):
    path = str(tmp_path / "ledger.jsonl")
    write_ledger(path, 6)
    with open(path, "rb") as f:
        return path, f.read()


def rewrite(path, data):
    with open(path, "wb") as f:
        f.write(data)


def test_crafted_ledgers(ledger, tmp_path):
    path, data = ledger
    lines = data.splitlines(keepends=True)
    cases = {
        "clean": data,
        "empty": b"",
        "payload edited": data.replace(b"payment 3", b"payment 9"),
        "index edited": data.replace(b'{"index":2', b'{"index":7'),
        "entry deleted": b"".join(lines[:2] + lines[3:]),
        "first entry deleted": b"".join(lines[1:]),
        "last entries deleted": b"".join(lines[:4]),
        "torn tail": data[:-30],
        "torn inside a character": data[: data.rindex("é".encode()) + 1],
        "not UTF-8 after the first entry": lines[0] + b"\xff\n" + b"".join(lines[1:]),
        "carriage returns and blank lines": b"\r\n \n".join(line.rstrip(b"\n") for line in lines),
    }
    for name, contents in cases.items():
        rewrite(path, contents)
        assert_agrees(path, name)


def test_two_writers(tmp_path):
    path = str(tmp_path / "ledger.jsonl")
    write_ledger(path, 3)
    alice = module.QuorvelRecorder(path)
    bob = module.QuorvelRecorder(path)
    for i in range(2):
        alice.commit_truth("alice", float(i), "from alice")
        bob.commit_truth("bob", float(i), "from bob")
    report = assert_agrees(path)
    assert report["break"]["class"] == "link-broken"
    assert report["break"]["line"] == 5
    assert {"kind": "fork", "line": 5, "other_line": 4} in report["hints"]


def test_randomly_mutated_ledgers(ledger):
    path, data = ledger
    rng = random.Random(20261210)
    inserts = [b"\n", b"\r", b" ", b"\xe3\x80\x80", b"\xc3", b"\xff", b"{", b"}", b'"', b"0"]
    verdicts = []
    for round_ in range(150):
        text = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(text) + 1)
            line_start = text.rfind(b"\n", 0, at) + 1  # start of the line around `at`
            choice = rng.randrange(7)
            if choice == 0 and text:
                text[min(at, len(text) - 1)] = rng.randrange(256)
            elif choice == 1:
                del text[at:at + rng.randint(1, 40)]
            elif choice == 2:
                text[at:at] = rng.choice(inserts)
            elif choice == 3:
                del text[at:]
            elif choice == 4:
                del text[line_start:]  # whole entries cut from the end
            elif choice == 5:
                text[line_start:line_start] = rng.choice([b"\n", b"  \n", b"\t\r\n"])
            elif text.find(b"\n", at) > 0:
                newline = text.find(b"\n", at)
                text[newline:newline] = b"\r"
        rewrite(path, bytes(text))
        verdicts.append(assert_agrees(path, f"round {round_}")["status"])
    # The mutations reach both verdicts often enough to mean something.
    assert 20 < verdicts.count("intact") < 130
