"""audit(): the verdict of quorvel-ledger verify on a ledger, as records."""

import json
import operator
import os
import warnings
from typing import Any, Dict, Mapping, Optional, Tuple, Union, cast

from . import _native
from ._errors import LegacyCheckpointWarning
from ._keys import VerifierKey
from ._notes import Note
from ._paths import PathArg, native_path, shown_path
from ._records import FrozenMapping, Record
from ._text import check_flag, check_jobs, utf8

# What the native part takes for an input: (path, name for an OSError, text).
_Input = Tuple[Optional[bytes], Any, Optional[bytes]]


class Break(Record):
    """Where and why a ledger breaks: the "break" object of the tool's JSON report.

    ``kind`` is its class ("link-broken", "rolled-back", ...); ``line`` and
    ``offset`` the line number (1-based) and byte offset of the failing line,
    None for a break that is not at a line (a checkpoint's tree or signature);
    ``index`` the entry's index member when the line parsed, else None;
    ``details`` the report's other members of the break.
    """

    __slots__ = ("kind", "line", "offset", "index", "details")
    kind: str
    line: Optional[int]
    offset: Optional[int]
    index: Optional[int]
    details: Mapping[str, Any]

    def __init__(self, kind: str, line: Optional[int], offset: Optional[int],
                 index: Optional[int], details: Mapping[str, Any]) -> None:
        self._init(kind=kind, line=line, offset=offset, index=index,
                   details=FrozenMapping(details))

    @classmethod
    def _from_report(cls, members: Dict[str, Any]) -> "Break":
        rest = dict(members)
        return cls(rest.pop("class"), rest.pop("line", None), rest.pop("offset", None),
                   rest.pop("index", None), rest)


class Hint(Record):
    """Evidence about a break that the file alone can tell: ``kind`` ("fork",
    "torn-tail", ...), the ``line`` it is about, and the report's other members."""

    __slots__ = ("kind", "line", "details")
    kind: str
    line: int
    details: Mapping[str, Any]

    def __init__(self, kind: str, line: int, details: Mapping[str, Any]) -> None:
        self._init(kind=kind, line=line, details=FrozenMapping(details))

    @classmethod
    def _from_report(cls, members: Dict[str, Any]) -> "Hint":
        rest = dict(members)
        return cls(rest.pop("kind"), rest.pop("line"), rest)


class NonCanonical(Record):
    """Entries that verify on lines a recorder would not write for their values:
    how many, and the line of the first."""

    __slots__ = ("entries", "first_line")
    entries: int
    first_line: int

    def __init__(self, entries: int, first_line: int) -> None:
        self._init(entries=entries, first_line=first_line)


class Unfinished(Record):
    """The bytes after the last line feed of a live audit, left unread: a line a
    writer may not have finished (its number, where it starts, its bytes)."""

    __slots__ = ("line", "offset", "bytes")
    line: int
    offset: int
    bytes: int

    def __init__(self, line: int, offset: int, bytes: int) -> None:
        self._init(line=line, offset=offset, bytes=bytes)


class Audit(Record):
    """The audit of one ledger file.

    ``status`` is the tool's: "intact" or "broken" (``ok`` says whether it is
    intact). ``intact`` is the module's verdict on the same file, what
    ``QuorvelRecorder(path).verify_integrity()`` says of it, whatever the
    options: a checkpoint or ``strict`` can break a ledger whose chain holds.
    ``entries``, ``last_line``, ``bytes`` and ``head`` describe what the chain
    rule proved before the verdict: the whole file when intact, the lines
    before a break found walking them, nothing (0 and "GENESIS_BLOCK_HASH")
    when a checkpoint's own check decided. ``since`` holds the checkpoint's
    fields as the report gives them (None without one, and when its signature
    did not verify). ``to_dict()`` is the object ``quorvel-ledger verify
    --json`` prints for the same arguments.
    """

    __slots__ = ("path", "status", "intact", "entries", "last_line", "bytes", "head",
                 "first_break", "hints", "hints_error", "non_canonical", "unfinished", "since",
                 "_report")
    _report: str
    path: str
    status: str
    intact: bool
    entries: int
    last_line: int
    bytes: int
    head: str
    first_break: Optional[Break]
    hints: Tuple[Hint, ...]
    hints_error: Optional[str]
    non_canonical: Optional[NonCanonical]
    unfinished: Optional[Unfinished]
    since: Optional[Mapping[str, Any]]

    def __init__(self, path: str, report: str, entries: int, last_line: int, bytes: int,
                 head: str, intact: bool) -> None:
        members = json.loads(report)
        found = members.get("break")
        non_canonical = members.get("non_canonical")
        unfinished = members.get("unfinished")
        since = members.get("since")
        self._init(
            path=path, status=members["status"], intact=intact, entries=entries,
            last_line=last_line, bytes=bytes, head=head,
            first_break=Break._from_report(found) if found is not None else None,
            hints=tuple(Hint._from_report(hint) for hint in members.get("hints", ())),
            hints_error=members.get("hints_error"),
            non_canonical=(NonCanonical(non_canonical["entries"], non_canonical["first_line"])
                           if non_canonical is not None else None),
            unfinished=(Unfinished(unfinished["line"], unfinished["offset"], unfinished["bytes"])
                        if unfinished is not None else None),
            since=FrozenMapping(since) if since is not None else None,
            _report=report)

    @property
    def ok(self) -> bool:
        """Whether the tool finds the ledger intact (status == "intact")."""
        return self.status == "intact"

    def to_dict(self) -> Dict[str, Any]:
        """A fresh dict equal to the object of ``quorvel-ledger verify --json``."""
        report: Dict[str, Any] = json.loads(self._report)
        return report


def _whole(value: object, what: str) -> int:
    """An int argument (bool refused): TypeError for anything else."""
    if isinstance(value, bool):
        raise TypeError("{} must be int, not bool".format(what))
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError("{} must be int, not {}".format(what, type(value).__name__)) from None


def _input(value: object, what: str, kind: type) -> _Input:
    """A path (read as a file: "-" too), or a value of `kind` (Note,
    VerifierKey) passed as its text."""
    if isinstance(value, kind):
        return (None, None, utf8(value.text))  # type: ignore[attr-defined]
    try:
        encoded = native_path(cast(PathArg, value), what)
    except TypeError:
        raise TypeError("{} must be {}, str, bytes or os.PathLike, not {}".format(
            what, kind.__name__, type(value).__name__)) from None
    return (encoded, os.fspath(cast(PathArg, value)), None)


def audit(path: PathArg, *, since: "Union[Note, PathArg, None]" = None,
          pub: "Union[VerifierKey, PathArg, None]" = None, strict: bool = False,
          live: bool = False, jobs: int = 1) -> Audit:
    """Audits the ledger at ``path`` as ``quorvel-ledger verify`` does.

    ``since``: a checkpoint to prove the file against, a Note or the path of
    one (or of a checkpoint line of the earlier form); ``pub``: a VerifierKey
    or the path of one, that the checkpoint's signature must verify with (only
    with ``since``).
    ``strict``: an entry on a line no recorder writes is a break. ``live``:
    the file may be growing: the lines ended by a line feed when the audit
    begins are checked, the rest noted in ``Audit.unfinished``. ``jobs``:
    threads to walk with (1 to 256); the audit is the same for any number.

    A broken ledger is an Audit like an intact one. Raises OSError (with
    errno and filename) for a file that cannot be opened or read, ValueError
    for a malformed checkpoint or key (the tool's reason) and for a
    checkpoint of another ledger, TypeError for arguments of the wrong type.
    A checkpoint line of the earlier form warns with LegacyCheckpointWarning.
    The interpreter lock is released while it runs; Ctrl-C stops it.
    """
    ledger = (native_path(path), os.fspath(path), None)
    since_input = None if since is None else _input(since, "since", Note)
    pub_input = None if pub is None else _input(pub, "pub", VerifierKey)
    report, entries, last_line, size, head, intact, notice = _native.audit(
        ledger, since_input, pub_input, check_flag(strict, "strict"), check_flag(live, "live"),
        check_jobs(jobs))
    if notice is not None:
        warnings.warn(notice, LegacyCheckpointWarning, stacklevel=2)
    return Audit(shown_path(path), report, entries, last_line, size, head, intact)
