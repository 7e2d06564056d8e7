"""Quick start: keep a tamper-evident ledger, verify it, and catch an edited copy.

Run it with the module importable, e.g. through scripts/run-example.
"""

import os
import tempfile

from quorvel_ledger_rs import QuorvelRecorder

ENTRIES = [
    ("alice", 120.0, "opening balance"),
    ("bob", -25.5, "invoice 1042 paid"),
    ("alice", 3.75, "interest"),
]


def main():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "audit.jsonl")

        recorder = QuorvelRecorder(path)
        for actor, delta, payload in ENTRIES:
            signature = recorder.commit_truth(actor, delta, payload)
            print(f"committed {actor:<6} {delta:+9.2f}  {payload:<18} -> {signature[:16]}...")
        intact = recorder.verify_integrity()
        print(f"ledger intact: {intact}")

        # A new recorder on the same file continues the chain where it ended.
        reopened = QuorvelRecorder(path)
        reopened.commit_truth("carol", -10.0, "refund")
        with open(path, encoding="utf-8") as ledger:
            lines = ledger.readlines()
        print(f"after reopening: {len(lines)} entries, intact: {reopened.verify_integrity()}")
        print(f"first line: {lines[0].strip()}")

        # Change one amount in a copy: the chain no longer checks out.
        tampered = os.path.join(directory, "tampered.jsonl")
        with open(tampered, "w", encoding="utf-8") as copy:
            copy.write("".join(lines).replace('"delta_i":-25.5', '"delta_i":-2.55', 1))
        tampered_intact = QuorvelRecorder(tampered).verify_integrity()
        print(f"edited copy intact: {tampered_intact}")

        # Amounts must be finite: nothing is written for NaN or infinity.
        try:
            recorder.commit_truth("mallory", float("nan"), "no amount")
        except ValueError as error:
            print(f"refused: {error}")

    if not intact or tampered_intact:
        raise SystemExit("unexpected verification result")


if __name__ == "__main__":
    main()
