# Type stub for the native extension module quorvel_ledger_rs.

from typing import List, final

__all__: List[str]

@final
class QuorvelRecorder:
    """A tamper-evident, SHA-256 hash-chained audit ledger kept in one text file."""

    def __new__(cls, log_path: str) -> "QuorvelRecorder": ...
    def commit_truth(self, actor: str, delta: float, payload: str) -> str:
        """Appends one entry and returns its signature (64 lowercase hex digits)."""
    def verify_integrity(self) -> bool:
        """Re-reads the whole file; True when every entry is intact and chained."""
