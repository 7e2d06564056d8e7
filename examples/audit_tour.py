"""A tour of quorvel_ledger_audit: audit a ledger, read its entries, keep signed
checkpoints of it, and prove entries and its growth to someone who holds only
the checkpoints.

Run it with both modules importable (quorvel_ledger_rs and the package
quorvel_ledger_audit), e.g. PYTHONPATH=build/py-helper/python.
"""

import os
import tempfile
from typing import Sequence, Tuple

import quorvel_ledger_audit as qla
from quorvel_ledger_rs import QuorvelRecorder

PAYMENTS = [
    ("alice", 120.0, "opening balance"),
    ("bob", -25.5, "invoice 1042 paid"),
    ("alice", 3.75, "interest"),
    ("carol", 40.0, "refund 77"),
    ("bob", -12.0, "fee"),
]


def record(path: str, payments: Sequence[Tuple[str, float, str]]) -> None:
    recorder = QuorvelRecorder(path)
    for actor, delta, payload in payments:
        recorder.commit_truth(actor, delta, payload)


def tour(directory: str) -> None:
    ledger = os.path.join(directory, "books.jsonl")
    record(ledger, PAYMENTS[:3])

    # Audit: the tool's verdict, as a record.
    audit = qla.audit(ledger, jobs=2)
    print("audit: {} ({} entries, head {}...)".format(audit.status, audit.entries, audit.head[:12]))
    for entry in qla.entries(ledger, start=1):
        print("  entry {} by {} at {}: {:+.2f} {}".format(
            entry.index, entry.actor, entry.timestamp.isoformat(), entry.delta_i, entry.payload))

    # Keys: one to sign checkpoints, kept in two files as keygen keeps them.
    key = qla.generate_key("example.com/books")
    key_path, pub_path = os.path.join(directory, "books.key"), os.path.join(directory, "books.pub")
    qla.write_key_files(key, key_path=key_path, pub_path=pub_path)
    print("signer:", key)  # the secret is never shown
    assert qla.read_signer_key(key_path) == qla.parse_signer_key(key.text)
    verifier = qla.read_verifier_key(pub_path)
    assert verifier == qla.parse_verifier_key(verifier.text) == key.verifier

    # A signed checkpoint, kept elsewhere as text.
    first = qla.checkpoint(ledger, key=key_path)
    note_path = os.path.join(directory, "books.cp")
    with open(note_path, "w", encoding="utf-8") as out:
        out.write(first.text)
    print("checkpoint:", first.origin, first.size, "signature", first.check_signature(verifier))

    # The ledger grows; the next checkpoint is made only if the old one still holds.
    record(ledger, PAYMENTS[3:])
    second = qla.checkpoint(ledger, key=key, since=note_path, pub=verifier)
    assert qla.parse_note(second.text) == second and qla.read_note(note_path) == first
    print("next checkpoint: size", second.size, "head", second.head)

    # Proofs for someone who holds the checkpoints only.
    inclusion = qla.prove_inclusion(ledger, 1, checkpoint=second)
    growth = qla.prove_consistency(ledger, old=first, new=second)
    received = qla.parse_proof(inclusion.text)
    assert isinstance(received, qla.InclusionProof)
    qla.check_inclusion(received, checkpoint=second, pub=pub_path)
    qla.check_consistency(growth, old=first, new=second, pub=verifier)
    print("proven: entry 1 is in the tree of size {}, which extends the tree of size {}".format(
        second.size, first.size))

    # A proof against the wrong checkpoint does not hold.
    try:
        qla.check_inclusion(inclusion, checkpoint=first)
    except qla.ProofError as error:
        print("not proven:", error)

    # An edited copy: the audit says where, and checkpoint() refuses it.
    edited = os.path.join(directory, "edited.jsonl")
    with open(ledger, encoding="utf-8") as source, open(edited, "w", encoding="utf-8") as out:
        out.write(source.read().replace("refund 77", "refund 78"))
    broken = qla.audit(edited)
    print("edited copy:", broken.status, broken.first_break.kind if broken.first_break else None)
    try:
        qla.checkpoint(edited, since=second)
    except qla.BrokenLedgerError as error:
        print(error)


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        tour(directory)


if __name__ == "__main__":
    main()
