"""Inclusion and consistency proofs of a ledger's Merkle tree, as `quorvel-ledger prove` makes them and `check-proof` checks them."""

import os
from typing import Any, Optional, Tuple, Union

from . import _native
from ._errors import ProofError
from ._keys import VerifierKey, verifier_argument
from ._notes import Note, note_argument
from ._paths import PathArg, native_path
from ._records import Record
from ._text import text_bytes, utf8
from ._tlog import broken_ledger


class InclusionProof(Record):
    """That entry line number ``index`` (from 0) is in the tree of ``tree_size`` leaves.

    ``leaf_hash`` is the leaf's hash, ``hashes`` the audit path (32 bytes each,
    bottom up), ``line`` the entry line itself when the proof carries it, and
    ``text`` the proof's one-line JSON (also ``str(proof)``).
    """

    __slots__ = ("index", "tree_size", "leaf_hash", "hashes", "line", "text")
    index: int
    tree_size: int
    leaf_hash: bytes
    hashes: Tuple[bytes, ...]
    line: Optional[str]
    text: str

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("InclusionProof objects are made by prove_inclusion() and parse_proof()")

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        # The text repeats the fields.
        return "InclusionProof(index={!r}, tree_size={!r}, leaf_hash={!r}, hashes={!r}, line={!r})".format(
            self.index, self.tree_size, self.leaf_hash, self.hashes, self.line)


class ConsistencyProof(Record):
    """That the tree of ``new_size`` leaves extends the tree of its first ``old_size``.

    ``hashes`` is the proof (32 bytes each, in the order of RFC 6962) and
    ``text`` its one-line JSON (also ``str(proof)``).
    """

    __slots__ = ("old_size", "new_size", "hashes", "text")
    old_size: int
    new_size: int
    hashes: Tuple[bytes, ...]
    text: str

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("ConsistencyProof objects are made by prove_consistency() and parse_proof()")

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return "ConsistencyProof(old_size={!r}, new_size={!r}, hashes={!r})".format(
            self.old_size, self.new_size, self.hashes)


Proof = Union[InclusionProof, ConsistencyProof]


def _proof_of(fields: Tuple[Any, ...]) -> Proof:
    if fields[0] == "inclusion":
        inclusion = InclusionProof.__new__(InclusionProof)
        _, index, tree_size, leaf_hash, hashes, line, text = fields
        inclusion._init(index=index, tree_size=tree_size, leaf_hash=leaf_hash, hashes=hashes,
                        line=line, text=text)
        return inclusion
    consistency = ConsistencyProof.__new__(ConsistencyProof)
    _, old_size, new_size, hashes, text = fields
    consistency._init(old_size=old_size, new_size=new_size, hashes=hashes, text=text)
    return consistency


def _prove(path: PathArg, note: Note, entry: Optional[int], old: Optional[Note]) -> Proof:
    kind, made = _native.prove(native_path(path), os.fspath(path), utf8(note.text), entry,
                               utf8(old.text) if old is not None else None)
    if kind == "broken":
        raise broken_ledger(path, made, False)
    if kind == "refused":
        raise ProofError(made)
    return _proof_of(made)


def prove_inclusion(path: PathArg, entry: int, *, checkpoint: Note) -> InclusionProof:
    """The proof that entry line number `entry` (from 0, blank lines not counted) is in the tree of `checkpoint`.

    The file's first ``checkpoint.size`` entry lines are walked with the rules
    of verification, with the interpreter lock released: a break among them
    raises BrokenLedgerError, lines that no longer give the checkpoint's root
    ProofError. ValueError for an entry outside the tree.
    """
    note = note_argument(checkpoint, "checkpoint")
    if isinstance(entry, bool) or not isinstance(entry, int):
        raise TypeError("entry must be int, not {}".format(type(entry).__name__))
    if not 0 <= entry < note.size:
        raise ValueError("entry {} is not in the checkpoint's tree of size {}".format(entry, note.size))
    proof = _prove(path, note, entry, None)
    assert isinstance(proof, InclusionProof)
    return proof


def prove_consistency(path: PathArg, *, old: Note, new: Note) -> ConsistencyProof:
    """The proof that the tree of `new` extends the tree of the older `old` (same origin, no larger).

    The file's first ``new.size`` entry lines are walked as prove_inclusion
    walks them; lines that no longer give either root raise ProofError.
    """
    old_note, new_note = note_argument(old, "old"), note_argument(new, "new")
    proof = _prove(path, new_note, None, old_note)
    assert isinstance(proof, ConsistencyProof)
    return proof


def parse_proof(text: Union[str, bytes]) -> Proof:
    """The proof that `text` (the one-line JSON of prove) holds; ValueError with the reason otherwise."""
    return _proof_of(_native.parse_proof(text_bytes(text, "text")))


def _pub_text(pub: "Union[VerifierKey, PathArg, None]") -> Optional[bytes]:
    return None if pub is None else utf8(verifier_argument(pub).text)


def check_inclusion(proof: InclusionProof, *, checkpoint: Note,
                    pub: "Union[VerifierKey, PathArg, None]" = None) -> None:
    """Returns when `proof` proves its entry in the tree of `checkpoint`; raises ProofError with the reason otherwise.

    With `pub` (a VerifierKey or the path of one), `checkpoint` must carry a
    valid signature by it.
    """
    if not isinstance(proof, InclusionProof):
        raise TypeError("proof must be InclusionProof, not {}".format(type(proof).__name__))
    note = note_argument(checkpoint, "checkpoint")
    why = _native.check_inclusion(utf8(proof.text), utf8(note.text), _pub_text(pub))
    if why is not None:
        raise ProofError(why)


def check_consistency(proof: ConsistencyProof, *, old: Note, new: Note,
                      pub: "Union[VerifierKey, PathArg, None]" = None) -> None:
    """Returns when `proof` proves that the tree of `new` extends that of `old`; raises ProofError with the reason otherwise.

    With `pub` (a VerifierKey or the path of one), both notes must carry a
    valid signature by it.
    """
    if not isinstance(proof, ConsistencyProof):
        raise TypeError("proof must be ConsistencyProof, not {}".format(type(proof).__name__))
    old_note, new_note = note_argument(old, "old"), note_argument(new, "new")
    why = _native.check_consistency(utf8(proof.text), utf8(old_note.text), utf8(new_note.text),
                                    _pub_text(pub))
    if why is not None:
        raise ProofError(why)
