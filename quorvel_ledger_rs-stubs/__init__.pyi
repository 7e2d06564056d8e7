# Type information for the native extension module quorvel_ledger_rs, installed
# as the stub-only package quorvel_ledger_rs-stubs: a module that is a single
# shared object cannot carry a py.typed marker, so type checkers find its
# types here.

from typing import List, SupportsFloat, final

__all__: List[str]

@final
class QuorvelRecorder:
    """A tamper-evident, SHA-256 hash-chained audit ledger kept in one text file."""

    def __new__(cls, log_path: str) -> "QuorvelRecorder": ...
    def commit_truth(self, actor: str, delta: SupportsFloat, payload: str) -> str:
        """Appends one entry and returns its signature (64 lowercase hex digits).

        delta is a float, an int or an object with __float__, and must be finite."""
    def verify_integrity(self) -> bool:
        """Re-reads the whole file; True when every entry is intact and chained."""
