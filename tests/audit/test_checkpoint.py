"""checkpoint(): the note quorvel-ledger checkpoint prints for the same arguments, and its refusals."""

import errno
import os
import subprocess
import sys
import threading
import time

import pytest

import quorvel_ledger_audit
from quorvel_ledger_audit import (BrokenLedgerError, checkpoint, parse_note, read_signer_key,
                                  read_verifier_key)
from tlog_support import SAMPLE_LINES, run_tool, tool_checkpoint, tool_error, tool_keys, write_ledger

# A last line a writer has not finished, and a whole entry without its line feed.
UNFINISHED = b'{"index":13,"timestamp":"2026'
LAST_UNENDED = SAMPLE_LINES[-1].rstrip(b"\n")


@pytest.fixture
def keys(tmp_path):
    return tool_keys(tmp_path)


@pytest.fixture(scope="module")
def big_ledger(tmp_path_factory):
    """A ledger long enough that walking it takes a while: 200,000 entries (about 55 MB)."""
    import quorvel_ledger_rs
    ledger = tmp_path_factory.mktemp("big") / "big.jsonl"
    recorder = quorvel_ledger_rs.QuorvelRecorder(str(ledger))
    for index in range(200000):
        recorder.commit_truth("actor", float(index), "payload")
    return ledger


def signed_old_note(tmp_path, keys, origin=None, name="old"):
    """The signed note of the sample's first 5 entries, in a file."""
    old = write_ledger(tmp_path / (name + ".jsonl"), 5)
    args = ["--key", str(keys[0])] + (["--origin", origin] if origin else [])
    path = tmp_path / (name + ".cp")
    path.write_text(tool_checkpoint(old, *args))
    return path


CASES = {
    # name: (lines, tail, the tool's options, checkpoint()'s keywords); KEY, PUB and OLD stand
    # for the key files and the older note's file.
    "plain": (15, b"", [], {}),
    "signed": (15, b"", ["--key", "KEY"], {"key": "KEY"}),
    "signed by a SignerKey": (15, b"", ["--key", "KEY"], {"key": "SIGNER"}),
    "origin": (15, b"", ["--origin", "example.com/books"], {"origin": "example.com/books"}),
    "since and pub": (15, b"", ["--since", "OLD", "--pub", "PUB", "--key", "KEY"],
                      {"since": "OLD", "pub": "PUB", "key": "KEY"}),
    "since as a Note, pub as a VerifierKey": (15, b"", ["--since", "OLD", "--pub", "PUB"],
                                              {"since": "OLD NOTE", "pub": "VERIFIER"}),
    "since of another origin": (15, b"", ["--since", "OTHER"], {"since": "OTHER"}),
    "jobs": (15, b"", ["--jobs", "2"], {"jobs": 2}),
    "strict": (15, b"", ["--strict"], {"strict": True}),
    "live, an unfinished line": (15, UNFINISHED, ["--live"], {"live": True}),
    "an entry without a line feed": (14, LAST_UNENDED, [], {}),
    "empty, with an origin": (0, b"", ["--origin", "o"], {"origin": "o"}),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_the_note_is_the_tools(tmp_path, keys, name):
    lines, tail, tool_args, keywords = CASES[name]
    ledger = write_ledger(tmp_path / "l.jsonl", lines, tail)
    old = signed_old_note(tmp_path, keys)
    other = signed_old_note(tmp_path, keys, "example.com/books", "other")
    files = {"KEY": str(keys[0]), "PUB": str(keys[1]), "OLD": str(old), "OTHER": str(other)}
    values = dict(files, SIGNER=read_signer_key(keys[0]), VERIFIER=read_verifier_key(keys[1]))
    values["OLD NOTE"] = parse_note(old.read_text())
    expected = tool_checkpoint(ledger, *[files.get(arg, arg) for arg in tool_args])
    note = checkpoint(ledger, **{key: values.get(value, value) if isinstance(value, str) else value
                                 for key, value in keywords.items()})
    assert note.text == expected


def test_a_ledger_without_entries_needs_an_origin(tmp_path):
    ledger = write_ledger(tmp_path / "empty.jsonl", 0)
    with pytest.raises(ValueError) as raised:
        checkpoint(ledger)
    tool = tool_error(run_tool("checkpoint", str(ledger)))
    assert tool.endswith("; give --origin")
    assert str(raised.value) == tool[:-len("--origin")] + "origin="


def test_a_checkpoint_of_another_ledger(tmp_path, keys):
    old = signed_old_note(tmp_path, keys)
    # Another chain from its first entry on: a recorder's, with other entries.
    import quorvel_ledger_rs
    ledger = tmp_path / "other.jsonl"
    recorder = quorvel_ledger_rs.QuorvelRecorder(str(ledger))
    for index in range(6):
        recorder.commit_truth("other", float(index), "p")
    with pytest.raises(ValueError) as raised:
        checkpoint(ledger, since=old)
    assert str(raised.value) == tool_error(run_tool("checkpoint", "--since", str(old), str(ledger)))
    assert "the checkpoint is of another ledger" in str(raised.value)


def test_inputs_that_cannot_be_used(tmp_path, keys):
    ledger = write_ledger(tmp_path / "l.jsonl")
    with pytest.raises(FileNotFoundError) as raised:
        checkpoint(tmp_path / "none.jsonl")
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(tmp_path / "none.jsonl"))
    with pytest.raises(FileNotFoundError) as raised:
        checkpoint(ledger, key=str(tmp_path / "none.key"))
    assert raised.value.filename == str(tmp_path / "none.key")
    line = tmp_path / "line.cp"
    line.write_text("quorvel-ledger-checkpoint v1 lines=0 bytes=0 index=none head=GENESIS_BLOCK_HASH "
                    "entries=0 first=none\n")
    with pytest.raises(ValueError) as raised:
        checkpoint(ledger, since=line)
    tool = tool_error(run_tool("checkpoint", "--since", str(line), str(ledger)))
    assert tool.endswith("make a checkpoint without --since")
    assert str(raised.value) == tool[:-len("--since")] + "since"
    (tmp_path / "bad.cp").write_text("o")
    with pytest.raises(ValueError) as raised:
        checkpoint(ledger, since=tmp_path / "bad.cp")
    assert str(raised.value) == "{}: malformed checkpoint: does not end with a line feed".format(
        tmp_path / "bad.cp")
    with pytest.raises(ValueError) as raised:
        checkpoint(ledger, since=signed_old_note(tmp_path, keys), pub=keys[0])
    assert str(raised.value) == "{}: malformed verifier key: this is a signer (private) key; give its " \
                                "verifier key".format(keys[0])


@pytest.mark.parametrize("keywords, error, message", [
    ({"pub": "x.pub"}, ValueError, "pub checks the signature of a since checkpoint"),
    ({"origin": "a\nb"}, ValueError,
     'origin takes a non-empty line of UTF-8 text without control characters, not "a\\nb"'),
    ({"origin": "quorvel-ledger-checkpoint v2"}, ValueError,
     'origin takes a non-empty line of UTF-8 text without control characters, not '
     '"quorvel-ledger-checkpoint v2"'),
    ({"origin": b"o"}, TypeError, "origin must be str, not bytes"),
    ({"jobs": 0}, ValueError, "jobs takes a whole number from 1 to 256, not 0"),
    ({"jobs": 257}, ValueError, "jobs takes a whole number from 1 to 256, not 257"),
    ({"jobs": "2"}, TypeError, "jobs must be int, not str"),
    ({"jobs": True}, TypeError, "jobs must be int, not bool"),
    ({"strict": 1}, TypeError, "strict must be bool, not int"),
    ({"key": 3}, TypeError, "key must be SignerKey, str, bytes or os.PathLike, not int"),
    ({"since": 3}, TypeError, "since must be Note, str, bytes or os.PathLike, not int"),
])
def test_options_that_cannot_be_used(tmp_path, keywords, error, message):
    ledger = write_ledger(tmp_path / "l.jsonl")
    with pytest.raises(error) as raised:
        checkpoint(ledger, **keywords)
    assert str(raised.value) == message


def test_the_walk_runs_with_the_interpreter_lock_released(big_ledger):
    ledger = big_ledger
    ticks = []
    running = threading.Event()

    def tick():
        while not running.is_set():
            time.sleep(0.0005)
        while running.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    running.set()
    started = time.monotonic()
    try:
        note = checkpoint(ledger, jobs=2)
    finally:
        ended = time.monotonic()
        running.clear()
        ticker.join()
    assert note.size == 200000
    # Held for the whole walk, the lock would let the ticker in at its ends only.
    assert len([t for t in ticks if started < t < ended]) >= 5


def test_an_interrupt_is_never_reported_as_a_note(big_ledger):
    ledger = big_ledger
    code = (
        "import os, signal, sys, threading\n"
        "import quorvel_ledger_audit as audit\n"
        "threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
        "try:\n"
        "    audit.checkpoint(sys.argv[1])\n"
        "    print('a note')\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted')\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(quorvel_ledger_audit.__file__)))
    # Run outside the repository, whose source package would come first on sys.path.
    ran = subprocess.run([sys.executable, "-c", code, str(ledger)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, env=env,
                         cwd=str(ledger.parent), timeout=120)
    assert ran.stdout == "interrupted\n", ran.stderr


class TestBroken:
    """A ledger that does not verify: BrokenLedgerError with the tool's first report line and the Audit."""

    @pytest.fixture(autouse=True)
    def needs_audit(self):
        pytest.importorskip("quorvel_ledger_audit._audit")

    def test_a_broken_chain(self, tmp_path):
        lines = list(SAMPLE_LINES)
        lines[3] = lines[3].replace(b'"actor":"', b'"actor":"x', 1)
        ledger = tmp_path / "l.jsonl"
        ledger.write_bytes(b"".join(lines))
        with pytest.raises(BrokenLedgerError) as raised:
            checkpoint(ledger)
        ran = run_tool("checkpoint", str(ledger))
        assert (ran.returncode, ran.stdout) == (1, "")
        assert str(raised.value) == tool_error(ran).split("\n")[0]
        assert raised.value.path == str(ledger)
        assert raised.value.first_break.kind == "content-altered"
        assert raised.value.audit is not None and raised.value.audit.status == "broken"

    def test_a_rewrite_below_the_since_note(self, tmp_path, keys):
        old = signed_old_note(tmp_path, keys)
        lines = list(SAMPLE_LINES)
        lines[1] = lines[1].replace(b'{"index":1,', b'{"index": 1,', 1)  # same chain, other bytes
        ledger = tmp_path / "l.jsonl"
        ledger.write_bytes(b"".join(lines))
        with pytest.raises(BrokenLedgerError) as raised:
            checkpoint(ledger, since=old)
        ran = run_tool("checkpoint", "--since", str(old), str(ledger))
        assert str(raised.value) == tool_error(ran).split("\n")[0]
        assert raised.value.first_break.kind == "rewritten"

    def test_a_since_note_without_the_pubs_signature(self, tmp_path, keys):
        ledger = write_ledger(tmp_path / "l.jsonl")
        unsigned = tmp_path / "unsigned.cp"
        unsigned.write_text(tool_checkpoint(write_ledger(tmp_path / "old.jsonl", 5)))
        with pytest.raises(BrokenLedgerError) as raised:
            checkpoint(ledger, since=unsigned, pub=keys[1])
        ran = run_tool("checkpoint", "--since", str(unsigned), "--pub", str(keys[1]), str(ledger))
        assert ran.returncode == 1
        assert str(raised.value) + "\n" == ran.stdout
        assert raised.value.first_break.kind == "checkpoint-signature"
