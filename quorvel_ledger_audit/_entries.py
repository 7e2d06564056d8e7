"""entries(): a ledger's entries in file order, read by a native thread."""

import json
import os
import re
from datetime import datetime, timezone
from typing import Any, Dict, Iterator, Optional, Tuple

from . import _native
from ._audit import Break, _whole
from ._errors import BrokenLedgerError
from ._paths import PathArg, native_path, shown_path
from ._records import Record
from ._text import check_flag

# The writer's form: a date and time of day, a fraction of 3, 6 or 9 digits
# or none, and "+00:00".
_SECOND = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\Z")
_FRACTION_LENGTHS = (3, 6, 9)
_DIGITS = frozenset("0123456789")
_UTC = "+00:00"

# The datetimes of the seconds seen last, by their text: the entries of one
# second share it. None for a second that datetime cannot hold.
_seconds: Dict[str, Optional[datetime]] = {}
_MAX_SECONDS = 256


def _second(text: str) -> Optional[datetime]:
    if text in _seconds:
        return _seconds[text]
    match = _SECOND.match(text)
    moment = None
    if match is not None:
        year, month, day, hour, minute, second = (int(part) for part in match.groups())
        try:
            moment = datetime(year, month, day, hour, minute, second, tzinfo=timezone.utc)
        except ValueError:
            pass
    if len(_seconds) >= _MAX_SECONDS:
        _seconds.clear()
    _seconds[text] = moment
    return moment


def _microseconds(fraction: str) -> Optional[int]:
    """The microseconds of ".123456789" (cut, not rounded), 0 for ""; None when
    it is not a fraction of the writer's."""
    if not fraction:
        return 0
    digits = fraction[1:]
    if (fraction[0] != "." or len(digits) not in _FRACTION_LENGTHS
            or not _DIGITS.issuperset(digits)):
        return None
    return int(digits[:6].ljust(6, "0"))


# A timestamp of the writer's form whose year a datetime cannot hold: 0, or
# signed (five digits or more, or negative).
_OUTSIDE_YEARS = re.compile(r"(?:0000|[-+][0-9]{4,})-")


def parse_timestamp(text: str) -> Optional[datetime]:
    """The aware UTC datetime of a ledger timestamp, to the microsecond (nine
    fraction digits are cut, not rounded); None for a text not in the writer's
    form or a time datetime cannot hold (a year outside 1 to 9999)."""
    if not text.endswith(_UTC):
        return None
    moment = _second(text[:19])
    microsecond = _microseconds(text[19:-len(_UTC)])
    if moment is None or microsecond is None:
        return None
    return moment.replace(microsecond=microsecond) if microsecond else moment


_set = object.__setattr__


class Entry(Record):
    """One ledger entry and where it stands in the file.

    ``timestamp`` is the entry's time as an aware UTC datetime (to the
    microsecond), ``timestamp_text`` the file's text of it, every digit kept;
    ``index`` the entry's index member; ``line`` its line number (1-based) and
    ``offset`` the byte offset of its line.
    """

    __slots__ = ("index", "timestamp_text", "prev_hash", "actor", "delta_i", "payload",
                 "signature", "line", "offset")
    index: int
    timestamp_text: str
    prev_hash: str
    actor: str
    delta_i: float
    payload: str
    signature: str
    line: int
    offset: int

    def __init__(self, index: int, timestamp_text: str, prev_hash: str, actor: str,
                 delta_i: float, payload: str, signature: str, line: int, offset: int) -> None:
        values = (index, timestamp_text, prev_hash, actor, delta_i, payload, signature, line,
                  offset)
        for name, value in zip(self.__slots__, values):
            _set(self, name, value)

    @property
    def timestamp(self) -> datetime:
        """The entry's time. ValueError for a time datetime cannot hold (a
        year of the writer's form outside 1 to 9999) and, read unverified, for
        a text not in the writer's form."""
        moment = parse_timestamp(self.timestamp_text)
        if moment is not None:
            return moment
        if _OUTSIDE_YEARS.match(self.timestamp_text):
            raise ValueError("the timestamp {!r} is outside the years a datetime holds (1 to "
                             "9999)".format(self.timestamp_text))
        raise ValueError("the timestamp {!r} is not in the writer's form".format(
            self.timestamp_text))


def _count(value: object, what: str) -> int:
    number = _whole(value, what)
    if number < 0:
        raise ValueError("{} must be at least 0, not {}".format(what, number))
    return number


def _stream(handle: Any, path: str) -> Iterator[Entry]:
    try:
        while True:
            batch = _native.entries_next(handle)
            if not batch:
                break
            for fields in batch:
                yield Entry(*fields)
        ending: Optional[Tuple[str, str]] = _native.entries_end(handle)
        if ending is not None:
            message, report = ending
            raise BrokenLedgerError(message, path, Break._from_report(json.loads(report)["break"]))
    finally:
        _native.entries_close(handle)


def entries(path: PathArg, *, start: int = 0, stop: Optional[int] = None,
            verified: bool = True) -> Iterator[Entry]:
    """The entries of the ledger at ``path``, in file order.

    ``start`` and ``stop`` count entry lines from 0, as a slice does (blank
    lines are not counted); no entry past ``stop`` is read. With
    ``verified`` the chain is walked from the file's first line, entries
    before ``start`` judged but not given, and the first break raises
    BrokenLedgerError once every entry before it has been given; without it
    the lines are only parsed (links, timestamps and digests unchecked), and a
    line that is not an entry still raises BrokenLedgerError.

    The file is opened at once (OSError, with errno and filename, when it
    cannot be); a thread reads it ahead in batches of bounded size, and
    closing or dropping the iterator stops it.
    """
    encoded = native_path(path)
    first = _count(start, "start")
    last = None if stop is None else _count(stop, "stop")
    handle = _native.entries_open(encoded, os.fspath(path), first, last,
                                  check_flag(verified, "verified"))
    return _stream(handle, shown_path(path))
