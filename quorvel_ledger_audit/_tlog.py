"""checkpoint(): verify a ledger, then the checkpoint note of it, as `quorvel-ledger checkpoint` prints it."""

import os
from typing import TYPE_CHECKING, Optional, Union

from . import _native
from ._errors import BrokenLedgerError
from ._keys import SignerKey, VerifierKey, signer_argument, verifier_argument
from ._notes import Note, _read_note
from ._paths import PathArg, native_path, shown_path
from ._text import check_flag, check_jobs, utf8

if TYPE_CHECKING:  # pragma: no cover
    from ._audit import Audit

# The reason, after the path, for a checkpoint line of the earlier form given as `since`.
_LINE_FORM = ("a checkpoint line of the earlier form cannot be extended; make a checkpoint "
              "without since")


def broken_ledger(path: PathArg, message: str, carry_audit: bool,
                  since: Optional[Note] = None, pub: Optional[VerifierKey] = None,
                  strict: bool = False, live: bool = False, jobs: int = 1) -> BrokenLedgerError:
    """The BrokenLedgerError of a ledger found broken, `message` the first line of the tool's report.

    Its records are the audit's: the ledger is audited once more with the same
    options, which finds the same first break as long as the file is unchanged.
    """
    from ._audit import audit
    found: "Audit" = audit(path, since=since, pub=pub, strict=strict, live=live, jobs=jobs)
    if found.first_break is None:
        raise RuntimeError("{}: the ledger changed while it was read: broken at first, intact "
                           "when audited again".format(shown_path(path)))
    return BrokenLedgerError(message, shown_path(path), found.first_break,
                             found if carry_audit else None)


def _since_argument(since: "Union[Note, PathArg]") -> Note:
    if isinstance(since, Note):
        return since
    try:
        native_path(since)
    except TypeError:
        raise TypeError("since must be Note, str, bytes or os.PathLike, not {}".format(
            type(since).__name__)) from None
    return _read_note(since, _LINE_FORM, "since")


def _signature_refusal(since: "Union[Note, PathArg]", note: Note, key: VerifierKey) -> Optional[str]:
    """The tool's report when the since note holds no valid signature by `key`; None when it does."""
    check = note.check_signature(key)
    if check == "valid":
        return None
    shown = "" if isinstance(since, Note) else _native.display(native_path(since)) + ": "
    shown_key = _native.display(utf8(key.text))
    if check == "missing":
        return "{}checkpoint not proven: it holds no signature by {}".format(shown, shown_key)
    return "{}checkpoint not proven: its signature by {} does not verify".format(shown, shown_key)


def checkpoint(path: PathArg, *, key: "Union[SignerKey, PathArg, None]" = None,
               origin: Optional[str] = None, since: "Union[Note, PathArg, None]" = None,
               pub: "Union[VerifierKey, PathArg, None]" = None, strict: bool = False,
               live: bool = False, jobs: int = 1) -> Note:
    """Verifies the ledger at `path`, then returns its checkpoint note.

    Exactly the note ``quorvel-ledger checkpoint`` prints for the same
    arguments: it covers the file up to its last entry that ends with a line
    feed; its origin is `origin`, else that of `since`, else made from the
    ledger's first entry (an empty ledger needs `origin`). `key` (a SignerKey
    or the path of one) signs it. With `since` (a Note or the path of one) the
    ledger must still give that note's root and chain head, and with `pub` (a
    VerifierKey or the path of one) `since` must carry a valid signature by it.
    `strict`, `live` and `jobs` are those of audit().

    A broken ledger raises BrokenLedgerError carrying the Audit; unreadable
    files OSError; malformed inputs and a checkpoint of another ledger
    ValueError. The walk runs with the interpreter lock released.
    """
    native = native_path(path)
    if origin is not None and not isinstance(origin, str):
        raise TypeError("origin must be str, not {}".format(type(origin).__name__))
    if origin is not None and not _native.is_checkpoint_origin(utf8(origin)):
        raise ValueError("origin takes a non-empty line of UTF-8 text without control "
                         "characters, not {}".format(_native.display(utf8(origin))))
    strict, live, jobs = check_flag(strict, "strict"), check_flag(live, "live"), check_jobs(jobs)
    if pub is not None and since is None:
        raise ValueError("pub checks the signature of a since checkpoint")
    since_note = _since_argument(since) if since is not None else None
    verifier = verifier_argument(pub) if pub is not None else None
    if since is not None and since_note is not None and verifier is not None:
        refusal = _signature_refusal(since, since_note, verifier)
        if refusal is not None:
            raise broken_ledger(path, refusal, True, since_note, verifier, strict, live, jobs)
    signer = signer_argument(key) if key is not None else None
    kind, made = _native.checkpoint(
        native, os.fspath(path),
        utf8(since_note.text) if since_note is not None else None,
        utf8(signer.text) if signer is not None else None,
        utf8(origin) if origin is not None else None, strict, live, jobs)
    if kind == "broken":
        raise broken_ledger(path, made, True, since_note, verifier, strict, live, jobs)
    return Note._from_native(made)
