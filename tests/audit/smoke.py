"""Smoke check of one built audit package, run by every CPython 3 that is available.

Usage: python smoke.py PACKAGE_DIR

PACKAGE_DIR holds quorvel_ledger_audit/ (with _native.abi3.so) and
quorvel_ledger_rs.abi3.so. Written for the oldest interpreter the package
supports (3.6): no newer syntax. Audits an intact and a broken ledger, reads
entries, checks the errors and the records; exits non-zero on failure.
"""

import errno
import os
import shutil
import sys
import tempfile


def expect_error(error_type, call):
    try:
        call()
    except error_type as error:
        return error
    raise AssertionError("no {} raised".format(error_type.__name__))


def main(package_dir):
    sys.path.insert(0, package_dir)
    import quorvel_ledger_audit
    from quorvel_ledger_audit import Audit, BrokenLedgerError, Entry, audit, entries
    from quorvel_ledger_rs import QuorvelRecorder

    location = os.path.dirname(os.path.dirname(os.path.abspath(quorvel_ledger_audit.__file__)))
    assert location == os.path.abspath(package_dir), location
    assert quorvel_ledger_audit._native.__file__.endswith("_native.abi3.so")
    for name in ("Audit", "Break", "Hint", "NonCanonical", "Unfinished", "Entry",
                 "BrokenLedgerError", "audit", "entries"):
        assert name in quorvel_ledger_audit.__all__, name

    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "ledger.jsonl")
        recorder = QuorvelRecorder(path)
        for i in range(4):
            recorder.commit_truth("alice", i * 0.5, "payment {} \u00e9".format(i))
        intact = audit(path, jobs=2)
        assert isinstance(intact, Audit) and intact.ok and intact.intact, intact
        assert (intact.entries, intact.last_line, intact.first_break) == (4, 4, None), intact
        assert intact.to_dict()["status"] == "intact"
        expect_error(AttributeError, lambda: setattr(intact, "status", "broken"))

        read = list(entries(path))
        assert [entry.index for entry in read] == [0, 1, 2, 3]
        assert isinstance(read[0], Entry) and read[0].payload == "payment 0 \u00e9"
        assert read[0].timestamp.tzinfo is not None and read[0].line == 1

        with open(path, "rb") as ledger:
            data = ledger.read()
        with open(path, "wb") as ledger:
            ledger.write(data.replace(b"payment 2", b"payment 9"))
        broken = audit(path)
        assert (broken.status, broken.intact) == ("broken", False), broken
        assert (broken.first_break.kind, broken.first_break.line) == ("content-altered", 3)
        seen = []
        error = expect_error(BrokenLedgerError, lambda: seen.extend(entries(path)))
        assert len(seen) == 2 and str(error).startswith(path + ": broken at line 3"), str(error)

        missing = expect_error(FileNotFoundError, lambda: audit(os.path.join(directory, "no")))
        assert missing.errno == errno.ENOENT
        expect_error(TypeError, lambda: audit(path, jobs="1"))
        expect_error(ValueError, lambda: audit(path, jobs=0))
    finally:
        shutil.rmtree(directory)
    print("audit smoke passed on Python {}".format(sys.version.split()[0]))


if __name__ == "__main__":
    main(sys.argv[1])
