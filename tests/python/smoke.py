"""Smoke check of one built module, run by every CPython 3 that is available.

Usage: python smoke.py MODULE_DIR

Written for the oldest interpreter the module supports (3.6): no newer syntax.
Checks construct, commit, verify, argument errors (CPython 3.10 and later call
commit_truth with an argument array, earlier ones with a tuple and a dict, so
each way is checked on the releases that use it), a refused delta and a
reopen, re-reading every line with json and hashlib; exits non-zero on failure.
"""

import hashlib
import inspect
import json
import os
import shutil
import struct
import sys
import tempfile


def digest(entry):
    sha = hashlib.sha256()
    for name in ("prev_hash", "timestamp", "actor"):
        sha.update(entry[name].encode("utf-8"))
    sha.update(struct.pack(">d", float(entry["delta_i"])))
    sha.update(entry["payload"].encode("utf-8"))
    return sha.hexdigest()


def expect_error(error_type, message, call):
    try:
        call()
    except error_type as error:
        assert str(error) == message, (str(error), message)
    else:
        raise AssertionError("no {} raised".format(error_type.__name__))


def main(module_dir):
    sys.path.insert(0, module_dir)
    import quorvel_ledger_rs
    from quorvel_ledger_rs import QuorvelRecorder

    location = os.path.dirname(os.path.abspath(quorvel_ledger_rs.__file__))
    assert location == os.path.abspath(module_dir), location
    assert quorvel_ledger_rs.__file__.endswith("quorvel_ledger_rs.abi3.so")
    assert quorvel_ledger_rs.__all__ == ["QuorvelRecorder"]
    assert quorvel_ledger_rs.__doc__ == ""
    assert (QuorvelRecorder.__module__, QuorvelRecorder.__qualname__) == \
        ("builtins", "QuorvelRecorder")
    assert str(inspect.signature(QuorvelRecorder.commit_truth)) == \
        "(self, /, actor, delta, payload)"

    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "ledger.jsonl")
        recorder = QuorvelRecorder(path)
        assert recorder.verify_integrity() is False
        signatures = [recorder.commit_truth("alice", 1.5, "hello"),
                      recorder.commit_truth(actor="bob", delta=-2, payload="\u00e9\U0001F600"),
                      recorder.commit_truth("\u00e9ve", payload="p", delta=0.5)]
        assert recorder.verify_integrity() is True

        name = "QuorvelRecorder.commit_truth()"
        for error_type, message, args, kwargs in [
                (TypeError, "argument 'actor': 'int' object cannot be converted to 'PyString'",
                 (1, 1.0, "p"), {}),
                (TypeError, name + " missing 2 required positional arguments: 'delta' and 'payload'",
                 ("a",), {}),
                (TypeError, name + " missing 1 required positional argument: 'actor'",
                 (), {"delta": 1.0, "payload": "p"}),
                (TypeError, name + " takes 3 positional arguments but 4 were given",
                 ("a", 1.0, "p", "q"), {}),
                (TypeError, name + " got multiple values for argument 'actor'",
                 ("a", 1.0), {"actor": "b"}),
                (TypeError, name + " got an unexpected keyword argument 'actr'",
                 ("a", 1.0, "p"), {"actr": "b"}),
                (UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 1:"
                                     " surrogates not allowed", ("a", 1.0), {"payload": "x\ud800"})]:
            expect_error(error_type, message, lambda: recorder.commit_truth(*args, **kwargs))
        expect_error(TypeError, "QuorvelRecorder.__new__() takes 1 positional arguments but "
                                "2 were given", lambda: QuorvelRecorder("a", "b"))
        expect_error(ValueError, "argument 'delta': must be a finite number, got nan",
                     lambda: recorder.commit_truth("a", float("nan"), "p"))
        expect_error(OSError, "File Open Failed: No such file or directory (os error 2)",
                     lambda: QuorvelRecorder(os.path.join(directory, "no", "l")).commit_truth(
                         "a", 1.0, "p"))

        del recorder
        reopened = QuorvelRecorder(path)
        signatures.append(reopened.commit_truth("carol", 0.25, "after reopen"))
        assert reopened.verify_integrity() is True

        previous = "GENESIS_BLOCK_HASH"
        with open(path, encoding="utf-8") as ledger:
            lines = ledger.readlines()
        assert len(lines) == 4
        for index, line in enumerate(lines):
            entry = json.loads(line)
            assert (entry["index"], entry["prev_hash"]) == (index, previous), line
            assert entry["signature"] == digest(entry) == signatures[index], line
            previous = entry["signature"]

        before = sys.getrefcount(QuorvelRecorder)
        for _ in range(1000):
            QuorvelRecorder(path)
        assert sys.getrefcount(QuorvelRecorder) == before
    finally:
        shutil.rmtree(directory)
    print("smoke passed on Python {}".format(sys.version.split()[0]))


if __name__ == "__main__":
    main(sys.argv[1])
