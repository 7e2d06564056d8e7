"""Keys: made, written and read as the tool's keygen makes, writes and reads them."""

import base64
import errno
import hashlib
import os
import stat
from pathlib import Path

import pytest

from quorvel_ledger_audit import (SignerKey, VerifierKey, generate_key, parse_note,
                                  parse_signer_key, parse_verifier_key, read_signer_key,
                                  read_verifier_key, write_key_files)
from tlog_support import run_tool, tool_checkpoint, tool_error, tool_keys, write_ledger


def key_text(name: str, public_key: bytes, hash_override: str = "") -> str:
    """A verifier key's text made by hand: NAME+HASH+BASE64(0x01 || key)."""
    digest = hashlib.sha256(name.encode() + b"\n\x01" + public_key).hexdigest()[:8]
    return "{}+{}+{}".format(name, hash_override or digest,
                             base64.b64encode(b"\x01" + public_key).decode())


def test_keys_written_are_the_tools_and_sign_notes_it_checks(tmp_path):
    old_umask = os.umask(0o022)
    try:
        key = generate_key("example.com/books")
        write_key_files(key, key_path=tmp_path / "b.key", pub_path=str(tmp_path / "b.pub"))
    finally:
        os.umask(old_umask)
    assert (tmp_path / "b.key").read_text() == key.text + "\n"
    assert (tmp_path / "b.pub").read_text() == key.verifier.text + "\n"
    assert stat.S_IMODE((tmp_path / "b.key").stat().st_mode) == 0o600
    assert stat.S_IMODE((tmp_path / "b.pub").stat().st_mode) == 0o644
    assert read_signer_key(tmp_path / "b.key") == key
    assert read_verifier_key(tmp_path / "b.pub") == key.verifier
    assert (key.name, key.key_hash) == (key.verifier.name, key.verifier.key_hash)
    assert key.verifier.text == key_text(key.name, key.verifier.public_key)
    # The tool signs with the key written here; the note's signature checks here.
    ledger = write_ledger(tmp_path / "l.jsonl")
    note = parse_note(tool_checkpoint(ledger, "--key", str(tmp_path / "b.key")))
    assert note.check_signature(key.verifier) == "valid"


def test_keys_of_the_tools_keygen_read_back_whole(tmp_path):
    key_path, pub_path = tool_keys(tmp_path)
    signer = read_signer_key(str(key_path))
    assert signer.text + "\n" == key_path.read_text()
    assert signer.verifier == read_verifier_key(os.fsencode(str(pub_path)))
    assert signer.verifier.text + "\n" == pub_path.read_text()
    # A CR LF line end, and no line end, are the same key.
    assert parse_signer_key(signer.text + "\r\n") == signer == parse_signer_key(signer.text.encode())
    assert parse_verifier_key(pub_path.read_bytes()) == signer.verifier


def test_the_secret_is_in_no_repr_or_str(tmp_path):
    key = generate_key("example.com/books")
    # The seed's base64, whole: it may hold '+' itself (the fields before it cannot).
    secret = key.text.split("+", 4)[4]
    assert len(secret) == 44
    assert key.text.startswith("PRIVATE+KEY+example.com/books+")
    for shown in (repr(key), str(key), repr([key]), repr({"k": key}), "{}".format(key)):
        assert secret not in shown
        assert "PRIVATE" not in shown
    assert repr(key) == "SignerKey(name='example.com/books', key_hash={}, verifier={!r})".format(
        key.key_hash, key.verifier)


def test_write_key_files_never_writes_over_a_file(tmp_path):
    key = generate_key("a")
    (tmp_path / "taken").write_text("kept")
    with pytest.raises(FileExistsError) as raised:
        write_key_files(key, key_path=tmp_path / "taken", pub_path=tmp_path / "new.pub")
    assert (raised.value.errno, raised.value.filename) == (errno.EEXIST, str(tmp_path / "taken"))
    assert not (tmp_path / "new.pub").exists()
    # The verifier key cannot be written: the signer key written first is removed again.
    with pytest.raises(FileExistsError) as raised:
        write_key_files(key, key_path=tmp_path / "new.key", pub_path=str(tmp_path / "taken"))
    assert raised.value.filename == str(tmp_path / "taken")
    assert not (tmp_path / "new.key").exists()
    assert (tmp_path / "taken").read_text() == "kept"
    with pytest.raises(ValueError, match="^key_path and pub_path name the same file$"):
        write_key_files(key, key_path=tmp_path / "k", pub_path=str(tmp_path / "k"))
    with pytest.raises(TypeError):
        write_key_files(key.verifier, key_path=tmp_path / "k", pub_path=tmp_path / "p")  # type: ignore


SMALL_ORDER = bytes([1]) + bytes(31)  # the identity point


@pytest.mark.parametrize("parse, text, reason", [
    (parse_verifier_key, "a+0000000+AQ==", "the key hash is not eight lowercase hexadecimal digits"),
    (parse_verifier_key, "no separators", "not of the form NAME+HASH+KEY"),
    (parse_verifier_key, key_text("a", bytes(range(32)), "00000000"),
     "the key hash does not match the name and key"),
    (parse_verifier_key, key_text("a", SMALL_ORDER),
     "the key is of small order, which would accept forged signatures"),
    (parse_verifier_key, "PRIVATE+KEY+a+00000000+AQ==",
     "this is a signer (private) key; give its verifier key"),
    (parse_signer_key, key_text("a", bytes(range(32))),
     "not a signer key (it does not start with PRIVATE+KEY+)"),
    (parse_verifier_key, "a b+00000000+AQ==",
     "the key name is empty or holds white space, '+', control characters or bidirectional "
     "overrides"),
])
def test_malformed_keys_are_refused_with_the_tools_reason(tmp_path, parse, text, reason):
    with pytest.raises(ValueError) as raised:
        parse(text)
    assert str(raised.value) == reason
    # Read from a file: the tool's whole line, which it prints for --pub and --key.
    path = tmp_path / "bad key"
    path.write_text(text + "\n")
    read = read_verifier_key if parse is parse_verifier_key else read_signer_key
    with pytest.raises(ValueError) as raised:
        read(path)
    option = "--pub" if parse is parse_verifier_key else "--key"
    ledger = write_ledger(tmp_path / "l.jsonl")
    args = ["checkpoint", option, str(path), str(ledger)]
    if option == "--pub":
        args[1:1] = ["--since", str(tmp_path / "cp")]
        (tmp_path / "cp").write_text(tool_checkpoint(ledger))
    assert str(raised.value) == tool_error(run_tool(*args))


def test_key_files_that_cannot_be_read(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        read_signer_key(tmp_path / "none")
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(tmp_path / "none"))
    with pytest.raises(IsADirectoryError) as raised:
        read_verifier_key(os.fsencode(str(tmp_path)))
    assert raised.value.filename == os.fsencode(str(tmp_path))
    long_key = tmp_path / "long"
    long_key.write_text("a" * 1025)
    with pytest.raises(ValueError) as raised:
        read_verifier_key(long_key)
    assert str(raised.value) == "{}: malformed verifier key: longer than 1024 bytes".format(long_key)


def test_dash_is_a_file_name_not_standard_input(tmp_path, monkeypatch):
    monkeypatch.chdir(str(tmp_path))
    key = generate_key("dash")
    write_key_files(key, key_path="-", pub_path="pub")
    assert read_signer_key("-") == key


@pytest.mark.parametrize("name, reason", [
    ("", "a key name must be non-empty, without white space, '+', control characters or "
         "bidirectional overrides"),
    ("a+b", "a key name must be non-empty, without white space, '+', control characters or "
            "bidirectional overrides"),
    ("a\u202eb", "a key name must be non-empty, without white space, '+', control characters or "
                 "bidirectional overrides"),
    ("x" * 957, "a key name must be at most 956 bytes"),
])
def test_generate_key_refuses_names_keygen_refuses(name, reason):
    with pytest.raises(ValueError) as raised:
        generate_key(name)
    assert str(raised.value) == reason


def test_generate_key_takes_the_longest_name_keygen_takes():
    assert generate_key("x" * 956).name == "x" * 956


def test_key_records_are_values():
    key = generate_key("a")
    with pytest.raises(AttributeError):
        key.name = "b"  # type: ignore
    with pytest.raises(AttributeError):
        key.verifier.text = ""  # type: ignore
    assert hash(parse_signer_key(key.text)) == hash(key)
    assert generate_key("a") != key
    with pytest.raises(TypeError):
        VerifierKey("a+00000000+AQ==")
    with pytest.raises(TypeError):
        SignerKey()
    with pytest.raises(TypeError):
        generate_key(b"a")  # type: ignore
