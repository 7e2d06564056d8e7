"""What audit() and entries() raise: OSError with errno and filename as given,
ValueError with the tool's reason, TypeError for arguments of the wrong type."""

import errno
import os
import pathlib

import pytest

from cases import LEDGER, MALLORY, Scratch
from ledgers import signature_of
from quorvel_ledger_audit import audit, entries


def call(function, path, **options):
    """Calls audit, or takes the first entry (entries opens the file at once)."""
    if function is entries:
        return entries(path, **options)
    return audit(path, **options)


@pytest.fixture
def scratch(tmp_path, tool):
    return Scratch(tmp_path, tool)


@pytest.mark.parametrize("function", [audit, entries])
@pytest.mark.parametrize("as_given", [str, pathlib.Path, os.fsencode])
def test_a_ledger_that_cannot_be_opened(function, as_given, tmp_path):
    missing = as_given(str(tmp_path / "missing.jsonl"))
    with pytest.raises(FileNotFoundError) as raised:
        call(function, missing)
    assert (raised.value.errno, raised.value.strerror) == (errno.ENOENT, "No such file or directory")
    assert raised.value.filename == os.fspath(missing)
    with pytest.raises(IsADirectoryError) as raised:
        call(function, as_given(str(tmp_path)))
    assert (raised.value.errno, raised.value.filename) == (errno.EISDIR, os.fspath(as_given(str(tmp_path))))
    with pytest.raises(OSError, match="^not a regular file$"):
        call(function, os.devnull)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
@pytest.mark.parametrize("role", ["path", "since", "pub"])
def test_a_file_that_cannot_be_read(role, scratch):
    key, pub = scratch.keys("alice")
    files = {"path": scratch.write("ledger.jsonl", LEDGER),
             "since": scratch.note(LEDGER, "--key", key), "pub": pub}
    refused = files[role]
    os.chmod(refused, 0)
    with pytest.raises(PermissionError) as raised:
        audit(files.pop("path"), **files)
    assert (raised.value.errno, raised.value.filename) == (errno.EACCES, refused)


def test_inputs_that_cannot_be_read_name_themselves(scratch, monkeypatch):
    ledger = scratch.write("ledger.jsonl", LEDGER)
    note = scratch.note(LEDGER)
    missing = scratch.path("missing")
    for options, name in [({"since": missing}, missing), ({"since": note, "pub": missing}, missing),
                          ({"since": scratch.directory}, scratch.directory)]:
        with pytest.raises(OSError) as raised:
            audit(ledger, **options)
        assert raised.value.filename == name
        assert raised.value.errno in (errno.ENOENT, errno.EISDIR)
    # "-" is a file here, not standard input.
    monkeypatch.chdir(scratch.directory)
    with pytest.raises(FileNotFoundError) as raised:
        audit(ledger, since="-")
    assert raised.value.filename == "-"


def test_malformed_inputs_give_the_tools_reason(scratch):
    ledger = scratch.write("ledger.jsonl", LEDGER)
    note = scratch.note(LEDGER)
    garbage = scratch.write("garbage", b"garbage\n")
    cases = [
        ({"since": garbage}, garbage + ": malformed checkpoint: expected an origin line, a tree "
                                       "size line and a root hash line"),
        ({"since": note, "pub": garbage},
         garbage + ": malformed verifier key: not of the form NAME+HASH+KEY"),
        ({"pub": scratch.keys("alice")[1]}, "pub checks the signature of a since checkpoint"),
    ]
    other = "{}: the checkpoint is of another ledger: its first entry has signature {}, this " \
            "file's first entry {}".format(ledger, signature_of(MALLORY.split(b"\n")[0].decode()),
                                           signature_of(LEDGER.split(b"\n")[0].decode()))
    cases += [({"since": scratch.note(MALLORY)}, other), ({"since": scratch.legacy(MALLORY)}, other)]
    for options, message in cases:
        with pytest.raises(ValueError) as raised:
            audit(ledger, **options)
        assert str(raised.value) == message


def test_arguments_of_the_wrong_type(tmp_path):
    ledger = str(tmp_path / "ledger.jsonl")
    with open(ledger, "wb") as out:
        out.write(LEDGER)
    cases = [
        (TypeError, "path must be str, bytes or os.PathLike, not int", audit, (1,), {}),
        (ValueError, "path holds a NUL character", audit, ("ledger\0",), {}),
        (TypeError, "since must be Note, str, bytes or os.PathLike, not int", audit, (ledger,),
         {"since": 1}),
        (TypeError, "pub must be VerifierKey, str, bytes or os.PathLike, not float", audit,
         (ledger,), {"since": ledger, "pub": 1.0}),
        (TypeError, "strict must be bool, not int", audit, (ledger,), {"strict": 1}),
        (TypeError, "live must be bool, not NoneType", audit, (ledger,), {"live": None}),
        (TypeError, "jobs must be int, not str", audit, (ledger,), {"jobs": "2"}),
        (TypeError, "jobs must be int, not bool", audit, (ledger,), {"jobs": True}),
        (ValueError, "jobs takes a whole number from 1 to 256, not 0", audit, (ledger,),
         {"jobs": 0}),
        (ValueError, "jobs takes a whole number from 1 to 256, not 257", audit, (ledger,),
         {"jobs": 257}),
        (ValueError, "jobs takes a whole number from 1 to 256, not {}".format(2 ** 70), audit,
         (ledger,), {"jobs": 2 ** 70}),
        (TypeError, "audit() takes 1 positional argument but 2 were given", audit,
         (ledger, ledger), {}),
        (TypeError, "path must be str, bytes or os.PathLike, not NoneType", entries, (None,), {}),
        (ValueError, "start must be at least 0, not -1", entries, (ledger,), {"start": -1}),
        (ValueError, "stop must be at least 0, not -2", entries, (ledger,), {"stop": -2}),
        (TypeError, "stop must be int, not float", entries, (ledger,), {"stop": 2.0}),
        (TypeError, "verified must be bool, not str", entries, (ledger,), {"verified": "yes"}),
        (TypeError, "entries() takes 1 positional argument but 2 were given", entries,
         (ledger, 0), {}),
    ]
    for error, message, function, args, options in cases:
        with pytest.raises(error) as raised:
            function(*args, **options)
        assert str(raised.value) == message
