"""Checkpoint notes: a ledger's Merkle tree head, optionally signed, as `quorvel-ledger checkpoint` prints it."""

import os
from typing import Any, Optional, Tuple, Union

from . import _native
from ._keys import VerifierKey
from ._paths import PathArg, native_path
from ._records import Record
from ._text import text_bytes, utf8

# The reason read_note gives, after the path, for a checkpoint line of the earlier form.
_LINE_FORM = "a checkpoint line of the earlier form has no tree; make a new checkpoint"

NativeNote = Tuple[str, str, int, bytes, Optional[str], Tuple[str, ...], Tuple[Tuple[str, int], ...],
                   str]


class NoteSignature(Record):
    """One signature line of a note: the key's ``name`` and 32-bit ``key_hash``."""

    __slots__ = ("name", "key_hash")
    name: str
    key_hash: int

    def __init__(self, name: str, key_hash: int) -> None:
        self._init(name=name, key_hash=key_hash)


class Note(Record):
    """A checkpoint note, read or made.

    ``origin`` names the ledger, ``size`` is the number of entry lines the
    tree covers, ``root`` its root hash (32 bytes), ``head`` the chain head
    that the note's chain-head line gives (None without one), ``extensions``
    every line after the root hash, ``signatures`` its signature lines,
    ``body`` the signed text and ``text`` the whole note (also ``str(note)``).
    """

    __slots__ = ("origin", "size", "root", "head", "extensions", "signatures", "body", "text")
    origin: str
    size: int
    root: bytes
    head: Optional[str]
    extensions: Tuple[str, ...]
    signatures: Tuple[NoteSignature, ...]
    body: str
    text: str

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("Note objects are made by parse_note(), read_note() and checkpoint()")

    @classmethod
    def _from_native(cls, fields: NativeNote) -> "Note":
        note = cls.__new__(cls)
        text, origin, size, root, head, extensions, signatures, body = fields
        note._init(origin=origin, size=size, root=root, head=head, extensions=extensions,
                   signatures=tuple(NoteSignature(name, key_hash) for name, key_hash in signatures),
                   body=body, text=text)
        return note

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        # The body and the text repeat the fields.
        return "Note(origin={!r}, size={!r}, root={!r}, head={!r}, extensions={!r}, signatures={!r})".format(
            self.origin, self.size, self.root, self.head, self.extensions, self.signatures)

    def check_signature(self, key: VerifierKey) -> str:
        """"valid" when a signature by `key` verifies, "missing" when no signature
        line names the key, "invalid" when one names it and does not verify."""
        if not isinstance(key, VerifierKey):
            raise TypeError("key must be VerifierKey, not {}".format(type(key).__name__))
        result: str = _native.check_note_signature(utf8(self.text), utf8(key.text))
        return result


def parse_note(text: Union[str, bytes]) -> Note:
    """The note `text` holds; ValueError with the reason when it is not one."""
    return Note._from_native(_native.parse_note(text_bytes(text, "text")))


def read_note(path: PathArg) -> Note:
    """The note in the file at `path`.

    OSError when it cannot be read; ValueError "PATH: malformed checkpoint: ..."
    when it is not a note (a checkpoint line of the earlier form has no tree).
    """
    return _read_note(path, _LINE_FORM)


def _read_note(path: PathArg, line_form_reason: str, what: str = "path") -> Note:
    return Note._from_native(_native.read_note(native_path(path, what), os.fspath(path),
                                               utf8(line_form_reason)))


def note_argument(note: object, what: str) -> Note:
    """`note` when it is a Note; TypeError naming `what` otherwise."""
    if not isinstance(note, Note):
        raise TypeError("{} must be Note, not {}".format(what, type(note).__name__))
    return note
