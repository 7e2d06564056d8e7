"""Notes: read as the tool reads them, printed back verbatim, their signatures checked."""

import base64
import errno

import pytest

from quorvel_ledger_audit import (Note, NoteSignature, generate_key, parse_note, read_note,
                                  read_verifier_key)
from tlog_support import run_tool, tool_checkpoint, tool_error, tool_keys, write_ledger


@pytest.fixture
def signed(tmp_path):
    """(note text signed by the tool, its verifier key, the ledger)."""
    key, pub = tool_keys(tmp_path)
    ledger = write_ledger(tmp_path / "l.jsonl")
    return tool_checkpoint(ledger, "--key", str(key)), read_verifier_key(pub), ledger


def test_a_tool_note_reads_into_its_fields_and_prints_back_verbatim(signed, tmp_path):
    text, key, ledger = signed
    note = parse_note(text)
    lines = text.split("\n")
    assert str(note) == note.text == text
    assert note.origin == lines[0] == "quorvel-ledger/" + ledger.read_text().split('"signature":"')[1][:64]
    assert note.size == 13
    assert note.root == base64.b64decode(lines[2]) and len(note.root) == 32
    assert note.head == lines[3][len("chain-head "):]
    assert note.extensions == (lines[3],)
    assert note.body == "\n".join(lines[:4]) + "\n"
    assert note.signatures == (NoteSignature(key.name, key.key_hash),)
    path = tmp_path / "cp"
    path.write_text(text)
    assert read_note(path) == note == parse_note(text.encode())
    assert parse_note(str(note)) == note


def test_signature_check_valid_missing_invalid(signed):
    text, key, _ = signed
    note = parse_note(text)
    assert note.check_signature(key) == "valid"
    assert note.check_signature(generate_key("example.com/books").verifier) == "missing"
    # The body changed below the signature: the line names the key and does not verify.
    lines = text.split("\n")
    tampered = parse_note("\n".join([lines[0], "12"] + lines[2:]))
    assert tampered.size == 12
    assert tampered.check_signature(key) == "invalid"
    assert parse_note(note.body).check_signature(key) == "missing"
    with pytest.raises(TypeError):
        note.check_signature(key.text)  # type: ignore


ROOT = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="  # the empty tree's


@pytest.mark.parametrize("text, reason", [
    ("o\n0\n" + ROOT, "does not end with a line feed"),
    ("o\n0\n" + ROOT + "\n\x07\n", "holds control characters"),
    ("o\n0\n", "expected an origin line, a tree size line and a root hash line"),
    ("o\n01\n" + ROOT + "\n", "the tree size line is not a whole number without leading zeros"),
    ("o\n1\nAAAA\n", "the root hash line is not the standard base64 of 32 bytes"),
    ("o\n0\n" + base64.b64encode(bytes(32)).decode() + "\n",
     "a tree of size 0 has one root hash, " + ROOT + ", and this note gives another"),
    ("o\n0\n" + ROOT + "\n\n", "an empty line is followed by no signature"),
    ("o\n0\n" + ROOT + "\n\n- a AAAA\n", "a signature line does not start with '\u2014 '"),
    ("quorvel-ledger-checkpoint v1 lines=0 bytes=0 index=none head=GENESIS_BLOCK_HASH entries=0 "
     "first=none\n", "a checkpoint line of the earlier form has no tree; make a new checkpoint"),
])
def test_malformed_notes_are_refused_with_the_tools_reason(tmp_path, text, reason):
    with pytest.raises(ValueError) as raised:
        parse_note(text)
    assert str(raised.value) == reason
    path = tmp_path / "bad note"
    path.write_text(text)
    with pytest.raises(ValueError) as raised:
        read_note(path)
    ledger = write_ledger(tmp_path / "l.jsonl")
    ran = run_tool("prove", "--entry", "0", "--checkpoint", str(path), str(ledger))
    assert str(raised.value) == tool_error(ran)


def test_note_files_that_cannot_be_read(tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError) as raised:
        read_note(str(tmp_path / "none"))
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(tmp_path / "none"))
    with pytest.raises(IsADirectoryError):
        read_note(tmp_path)
    (tmp_path / "big").write_text("o\n0\n" + ROOT + "\n" + "x" * 65536 + "\n")
    with pytest.raises(ValueError) as raised:
        read_note(tmp_path / "big")
    assert str(raised.value) == "{}: malformed checkpoint: longer than 65536 bytes".format(
        tmp_path / "big")
    # "-" names a file, as open() takes it, not standard input.
    monkeypatch.chdir(str(tmp_path))
    (tmp_path / "-").write_text("o\n0\n" + ROOT + "\n")
    assert read_note("-").origin == "o"
    with pytest.raises(TypeError):
        parse_note(None)  # type: ignore
    with pytest.raises(TypeError):
        read_note(3)  # type: ignore


def test_note_records_are_values(signed):
    text, _, _ = signed
    note = parse_note(text)
    with pytest.raises(AttributeError):
        note.size = 1  # type: ignore
    with pytest.raises(AttributeError):
        del note.text
    assert note == parse_note(text) and hash(note) == hash(parse_note(text))
    assert note != parse_note(note.body)
    assert repr(note).startswith("Note(origin='quorvel-ledger/")
    with pytest.raises(TypeError):
        Note(text)  # type: ignore
