"""The exceptions of the package besides the built-in ones."""

from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:  # pragma: no cover
    from ._audit import Audit, Break


class BrokenLedgerError(Exception):
    """A ledger that does not verify: ``first_break`` says where and why.

    ``str()`` is the first line of the tool's report,
    "PATH: broken at line N (...): title". ``audit`` is the whole audit when the
    call made one (checkpoint), None otherwise (entries).
    """

    def __init__(self, message: str, path: str, first_break: "Break",
                 audit: "Optional[Audit]" = None) -> None:
        super().__init__(message)
        self.path = path
        self.first_break = first_break
        self.audit = audit


class ProofError(Exception):
    """A proof that does not hold; ``str()`` says why, as the tool does."""


class LegacyCheckpointWarning(UserWarning):
    """A checkpoint line of the earlier form was given: it binds only its last
    entry, not the bytes of the entries below it. Make a checkpoint note instead."""
