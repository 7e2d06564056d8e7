"""Audits of quorvel_ledger_rs ledgers from Python.

What the auditor's tool quorvel-ledger does, as functions and immutable
records: where and why a ledger breaks, its entries, checkpoint notes, keys
and proofs. Long calls release the interpreter lock and run on native threads.
"""

from . import _native  # noqa: F401  (fails early when the native part is missing)
from ._audit import Audit, Break, Hint, NonCanonical, Unfinished, audit
from ._entries import Entry, entries
from ._errors import BrokenLedgerError, LegacyCheckpointWarning, ProofError
from ._keys import (SignerKey, VerifierKey, generate_key, parse_signer_key, parse_verifier_key,
                    read_signer_key, read_verifier_key, write_key_files)
from ._notes import Note, NoteSignature, parse_note, read_note
from ._proofs import (ConsistencyProof, InclusionProof, check_consistency, check_inclusion,
                      parse_proof, prove_consistency, prove_inclusion)
from ._tlog import checkpoint

__all__ = [
    "Audit", "Break", "Hint", "NonCanonical", "Unfinished", "audit", "Entry", "entries",
    "BrokenLedgerError", "LegacyCheckpointWarning", "ProofError",
    "SignerKey", "VerifierKey", "generate_key", "parse_signer_key", "parse_verifier_key",
    "read_signer_key", "read_verifier_key", "write_key_files",
    "Note", "NoteSignature", "parse_note", "read_note", "checkpoint",
    "InclusionProof", "ConsistencyProof", "prove_inclusion", "prove_consistency", "parse_proof",
    "check_inclusion", "check_consistency",
]
