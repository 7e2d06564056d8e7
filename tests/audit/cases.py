"""Damaged ledgers of every kind the audit tells apart, as a table.

Each case writes its files into a scratch directory and names the audit to
run: the ledger, the options, the class of the first break it must find
(None: intact) and the module's verdict on the file. Checkpoints are made by
the tool itself (notes) or written out (the legacy line).
"""

import json
import os
import subprocess

from ledgers import GENESIS, chain, entry_line, join, signature_of

BASE = chain(6)
LEDGER = join(BASE)
EDITED = LEDGER.replace(b"payment 3", b"payment 9")


class Scratch:
    """Files of one case, and the tool to make checkpoints and keys with."""

    def __init__(self, directory, tool):
        self.directory = str(directory)
        self.tool = tool

    def path(self, name):
        return os.path.join(self.directory, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as out:
            out.write(data)
        return self.path(name)

    def run(self, *args):
        done = subprocess.run([self.tool] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, check=True, timeout=60)
        return done.stdout

    def note(self, data, *args):
        """A checkpoint note of a ledger holding `data`, made by the tool."""
        before = self.write("before.jsonl", data)
        return self.write("checkpoint.note", self.run("checkpoint", *(args + (before,))))

    def keys(self, name):
        key, pub = self.path(name + ".key"), self.path(name + ".pub")
        self.run("keygen", "--name", name, "--key", key, "--pub", pub)
        return key, pub

    def legacy(self, data):
        """The checkpoint line of the earlier form of a ledger holding `data`."""
        lines = data.split(b"\n")[:-1]  # the terminated lines
        entries = [(number, json.loads(line)) for number, line in enumerate(lines, 1)
                   if line.strip()]
        if not entries:
            text = "lines=0 bytes=0 index=none head={} entries=0 first=none".format(GENESIS)
        else:
            number, last = entries[-1]
            text = "lines={} bytes={} index={} head={} entries={} first={}".format(
                number, len(b"\n".join(lines[:number])) + 1, last["index"], last["signature"],
                len(entries), entries[0][1]["signature"])
        return self.write("checkpoint.line",
                          "quorvel-ledger-checkpoint v1 {}\n".format(text).encode())


class Case:
    def __init__(self, name, make, kind, intact, legacy=False):
        self.name = name
        self.make = make  # Scratch -> (ledger path, options)
        self.kind = kind
        self.intact = intact
        self.legacy = legacy  # warns of a checkpoint line of the earlier form


def ledger(data, **options):
    return lambda scratch: (scratch.write("ledger.jsonl", data), options)


def two_writers(scratch):
    from quorvel_ledger_rs import QuorvelRecorder
    path = scratch.path("ledger.jsonl")
    first = QuorvelRecorder(path)
    for i in range(3):
        first.commit_truth("alice", float(i), "before")
    alice, bob = QuorvelRecorder(path), QuorvelRecorder(path)
    for i in range(2):
        alice.commit_truth("alice", float(i), "from alice")
        bob.commit_truth("bob", float(i), "from bob")
    return path, {}


def since_note(before, after, *args, **options):
    def make(scratch):
        return scratch.write("ledger.jsonl", after), dict(options, since=scratch.note(before, *args))
    return make


def since_edited_note(before, after, old, new):
    def make(scratch):
        note = scratch.note(before)
        with open(note, "rb") as text:
            edited = text.read().replace(old, new)
        return scratch.write("ledger.jsonl", after), {"since": scratch.write("edited.note", edited)}
    return make


def since_legacy(before, after, **options):
    def make(scratch):
        return scratch.write("ledger.jsonl", after), dict(options, since=scratch.legacy(before))
    return make


def signed(signer, checker, alter=None, after=LEDGER):
    """A note signed by `signer` (None: unsigned), checked with `checker`'s key."""
    def make(scratch):
        key, pub = scratch.keys(checker)
        if signer is not None and signer != checker:
            key = scratch.keys(signer)[0]
        note = scratch.note(LEDGER, *(["--key", key] if signer else []))
        if alter is not None:
            with open(note, "rb") as text:
                note = scratch.write("altered.note", alter(text.read()))
        return scratch.write("ledger.jsonl", after), {"since": note, "pub": pub}
    return make


def flip_signature_byte(note):
    """The note with one byte of its signature changed (the key hash kept)."""
    head, signature = note.rsplit(b" ", 1)
    at = len(signature) - 10
    swapped = b"A" if signature[at:at + 1] != b"A" else b"B"
    return head + b" " + signature[:at] + swapped + signature[at + 1:]


def legacy_with_pub(scratch):
    _, pub = scratch.keys("alice")
    return scratch.write("ledger.jsonl", LEDGER), {"since": scratch.legacy(LEDGER), "pub": pub}


RESTART = entry_line(3, signature_of(BASE[2]), "alice", 7.0, "after the crash")
# Another last entry on a line of the same length, and one on a longer line.
SAME_LENGTH_LAST = entry_line(5, signature_of(BASE[4]), "alice", 1.5, "payment 8 from alice")
LONGER_LAST = entry_line(5, signature_of(BASE[4]), "alice", 1.5, "a longer payment from alice")
SPACED = LEDGER.replace(b'"actor":', b'"actor": ', 1).replace(b"}\n", b"} \n", 1)
MALLORY = join(chain(6, actor="mallory"))

CASES = [
    Case("clean", ledger(LEDGER), None, True),
    Case("empty", ledger(b""), None, True),
    Case("blank lines and carriage returns",
         ledger(b"\n  \r\n" + join(BASE, "\r\n") + b"\t\n"), None, True),
    Case("payload edited", ledger(EDITED), "content-altered", False),
    Case("entry deleted", ledger(join(BASE[:2] + BASE[3:])), "link-broken", False),
    Case("entry repeated", ledger(join(BASE[:3] + BASE[2:])), "link-broken", False),
    Case("two writers", two_writers, "link-broken", False),
    Case("torn tail", ledger(LEDGER[:-30]), "torn-tail", False),
    Case("an edit, and a torn tail further on", ledger(EDITED[:-10]), "content-altered", False),
    Case("torn entry, then an append",
         ledger(join(BASE[:3]) + BASE[3][:90].encode() + RESTART.encode() + b"\n"),
         "not-an-entry", False),
    Case("not UTF-8", ledger(join(BASE[:2]) + b"pay\xff\n" + join(BASE[2:])), "invalid-utf8",
         False),
    Case("not an entry", ledger(join(BASE[:2]) + b"}{\n" + join(BASE[2:])), "not-an-entry", False),
    Case("bad timestamp", ledger(LEDGER.replace(b'+00:00"', b'Z"', 3)), "bad-timestamp", False),
    Case("not the writer's line", ledger(SPACED), None, True),
    Case("not the writer's line, strict", ledger(SPACED, strict=True), "non-canonical", True),
    Case("strict, clean", ledger(LEDGER, strict=True), None, True),
    Case("live, an entry without a line feed", ledger(LEDGER[:-1], live=True), None, True),
    Case("live, a torn last line", ledger(LEDGER[:-40], live=True), None, False),
    Case("live, a break before the last line", ledger(EDITED[:-40], live=True), "content-altered",
         False),
    Case("since a note, appended to", since_note(join(BASE[:4]), LEDGER), None, True),
    Case("since a note, rewritten below it",
         since_note(join(chain(4)), MALLORY, "--origin", "example.org/ledger"), "rewritten", True),
    Case("since a note, truncated",
         since_note(LEDGER, join(BASE[:3])), "truncated", True),
    Case("since a note, its chain head altered",
         since_edited_note(join(BASE[:4]), LEDGER, signature_of(BASE[3]).encode(),
                           signature_of(BASE[0]).encode()), "wrong-chain-head", True),
    Case("since a note, broken below it", since_note(join(BASE[:4]), EDITED), "content-altered",
         False),
    Case("since a note, live", since_note(join(BASE[:4]), LEDGER[:-20], live=True), None, False),
    Case("since a note, strict", since_note(join(BASE[:4]), SPACED, strict=True),
         "non-canonical", True),
    Case("since a legacy line, appended to", since_legacy(join(BASE[:4]), LEDGER), None, True,
         legacy=True),
    Case("since a legacy line, another entry where its last one was",
         since_legacy(LEDGER, join(BASE[:5] + [SAME_LENGTH_LAST])), "rolled-back", True,
         legacy=True),
    Case("since a legacy line, no line ending where its last one did",
         since_legacy(LEDGER, join(BASE[:5] + [LONGER_LAST])), "rolled-back", True, legacy=True),
    Case("since a legacy line, truncated", since_legacy(LEDGER, join(BASE[:4])), "truncated", True,
         legacy=True),
    Case("since a legacy line of an empty ledger", since_legacy(b"", LEDGER), None, True,
         legacy=True),
    Case("since a legacy line, broken after it", since_legacy(join(BASE[:2]), EDITED),
         "content-altered", False, legacy=True),
    Case("a signed note and its key", signed("alice", "alice"), None, True),
    Case("a signed note and another key", signed("alice", "bob"), "checkpoint-signature", True),
    Case("a signed note, its signature altered", signed("alice", "alice", flip_signature_byte),
         "checkpoint-signature", True),
    Case("an unsigned note and a key", signed(None, "alice"), "checkpoint-signature", True),
    Case("another key on a broken ledger", signed("alice", "bob", after=EDITED),
         "checkpoint-signature", False),
    Case("a legacy line and a key", legacy_with_pub, "checkpoint-signature", True, legacy=True),
]
