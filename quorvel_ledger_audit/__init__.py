"""Audits of quorvel_ledger_rs ledgers from Python.

What the auditor's tool quorvel-ledger does, as functions and immutable
records: where and why a ledger breaks, its entries, checkpoint notes, keys
and proofs. Long calls release the interpreter lock and run on native threads.
"""

from . import _native  # noqa: F401  (fails early when the native part is missing)
from ._audit import Audit, Break, Hint, NonCanonical, Unfinished, audit
from ._entries import Entry, entries
from ._errors import BrokenLedgerError, LegacyCheckpointWarning, ProofError

__all__ = [
    "Audit", "Break", "BrokenLedgerError", "Entry", "Hint", "LegacyCheckpointWarning",
    "NonCanonical", "ProofError", "Unfinished", "audit", "entries",
]
