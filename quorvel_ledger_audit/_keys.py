"""Ed25519 keys that sign and check checkpoint notes, in the text forms of signed notes.

A verifier key reads NAME+HASH+BASE64(0x01 || public key), a signer key
PRIVATE+KEY+NAME+HASH+BASE64(0x01 || seed): the forms `quorvel-ledger keygen`
writes and the tools of transparency logs read.
"""

import os
from typing import Any, Tuple, Union

from . import _native
from ._paths import PathArg, native_path
from ._records import Record
from ._text import text_bytes, utf8


class VerifierKey(Record):
    """The public half of a key: checks the signatures of notes.

    ``name`` is the name signature lines carry, ``key_hash`` the 32-bit key hash
    they carry with it, ``public_key`` the 32 bytes of the Ed25519 key and
    ``text`` the key's text form (without a line end).
    """

    __slots__ = ("name", "key_hash", "public_key", "text")
    name: str
    key_hash: int
    public_key: bytes
    text: str

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("VerifierKey objects are made by parse_verifier_key() and "
                        "read_verifier_key()")

    @classmethod
    def _from_native(cls, fields: Tuple[str, int, bytes, str]) -> "VerifierKey":
        key = cls.__new__(cls)
        name, key_hash, public_key, text = fields
        key._init(name=name, key_hash=key_hash, public_key=public_key, text=text)
        return key

    def __str__(self) -> str:
        return self.text


class SignerKey(Record):
    """A whole key: signs notes. Its secret is in ``text`` alone, never in its repr.

    ``name`` and ``key_hash`` are those of its ``verifier``, the VerifierKey
    that checks what it signs; ``text`` is the signer key's text form
    (PRIVATE+KEY+..., without a line end): keep it secret.
    """

    __slots__ = ("name", "key_hash", "verifier", "text")
    name: str
    key_hash: int
    verifier: VerifierKey
    text: str

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("SignerKey objects are made by generate_key(), parse_signer_key() and "
                        "read_signer_key()")

    @classmethod
    def _from_native(cls, fields: Tuple[str, int, str, bytes, str]) -> "SignerKey":
        key = cls.__new__(cls)
        name, key_hash, text, public_key, verifier_text = fields
        verifier = VerifierKey._from_native((name, key_hash, public_key, verifier_text))
        key._init(name=name, key_hash=key_hash, verifier=verifier, text=text)
        return key

    def __repr__(self) -> str:
        return "SignerKey(name={!r}, key_hash={!r}, verifier={!r})".format(
            self.name, self.key_hash, self.verifier)


def generate_key(name: str) -> SignerKey:
    """A new key from the system's random source, named `name`.

    A name is non-empty, without white space, '+', control characters or
    bidirectional overrides, of at most 956 bytes of UTF-8; ValueError otherwise.
    """
    if not isinstance(name, str):
        raise TypeError("name must be str, not {}".format(type(name).__name__))
    return SignerKey._from_native(_native.generate_key(utf8(name)))


def parse_signer_key(text: Union[str, bytes]) -> SignerKey:
    """The signer key of its text form (one line end may follow); ValueError with the reason otherwise."""
    return SignerKey._from_native(_native.parse_signer_key(text_bytes(text, "text")))


def parse_verifier_key(text: Union[str, bytes]) -> VerifierKey:
    """The verifier key of its text form (one line end may follow); ValueError with the reason otherwise."""
    return VerifierKey._from_native(_native.parse_verifier_key(text_bytes(text, "text")))


def read_signer_key(path: PathArg) -> SignerKey:
    """The signer key in the file at `path`.

    OSError when it cannot be read; ValueError "PATH: malformed signer key: ..." when it is not one.
    """
    return SignerKey._from_native(_native.read_signer_key(native_path(path), os.fspath(path)))


def read_verifier_key(path: PathArg) -> VerifierKey:
    """The verifier key in the file at `path`.

    OSError when it cannot be read; ValueError "PATH: malformed verifier key: ..." when it is not one.
    """
    return VerifierKey._from_native(_native.read_verifier_key(native_path(path), os.fspath(path)))


def write_key_files(key: SignerKey, *, key_path: PathArg, pub_path: PathArg) -> None:
    """Writes `key` to two new files, as ``quorvel-ledger keygen`` does.

    The signer key goes to `key_path` (mode 0600), its verifier key to
    `pub_path` (mode 0644), less the umask, each followed by a line feed.
    Neither file may exist (FileExistsError): they are created exclusively,
    never written over. When the verifier key cannot be written, the signer
    key's file is removed again. The OSError's filename is the path that failed.
    """
    if not isinstance(key, SignerKey):
        raise TypeError("key must be SignerKey, not {}".format(type(key).__name__))
    key_native = native_path(key_path, "key_path")
    pub_native = native_path(pub_path, "pub_path")
    if key_native == pub_native:
        raise ValueError("key_path and pub_path name the same file")
    _native.write_key_files(utf8(key.text), key_native, os.fspath(key_path), pub_native,
                            os.fspath(pub_path))


def verifier_argument(pub: "Union[VerifierKey, PathArg]") -> VerifierKey:
    """`pub` as a VerifierKey: itself, or the key read from the file it names."""
    if isinstance(pub, VerifierKey):
        return pub
    try:
        native_path(pub)
    except TypeError:
        raise TypeError("pub must be VerifierKey, str, bytes or os.PathLike, not {}".format(
            type(pub).__name__)) from None
    return read_verifier_key(pub)


def signer_argument(key: "Union[SignerKey, PathArg]") -> SignerKey:
    """`key` as a SignerKey: itself, or the key read from the file it names."""
    if isinstance(key, SignerKey):
        return key
    try:
        native_path(key)
    except TypeError:
        raise TypeError("key must be SignerKey, str, bytes or os.PathLike, not {}".format(
            type(key).__name__)) from None
    return read_signer_key(key)
