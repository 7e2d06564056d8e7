"""Audits of quorvel_ledger_rs ledgers from Python.

What the auditor's tool quorvel-ledger does, as functions and immutable
records: where and why a ledger breaks, its entries, checkpoint notes, keys
and proofs. Long calls release the interpreter lock and run on native threads.
"""

from . import _native  # noqa: F401  (fails early when the native part is missing)

__all__: list = []
