"""Paths as the native part takes them: bytes, exactly as given."""

import os
from typing import Union

# What the functions accept as a path.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def native_path(path: PathArg, what: str = "path") -> bytes:
    """The path's bytes (a str encoded with the file system encoding, as open() does).

    TypeError for anything that is not a path, ValueError for a path holding NUL.
    """
    try:
        value = os.fspath(path)
    except TypeError:
        raise TypeError("{} must be str, bytes or os.PathLike, not {}".format(
            what, type(path).__name__)) from None
    encoded = os.fsencode(value)
    if b"\0" in encoded:
        raise ValueError("{} holds a NUL character".format(what))
    return encoded


def shown_path(path: PathArg) -> str:
    """The path as a str, for messages and records (bytes decoded as os.fsdecode does)."""
    return os.fsdecode(os.fspath(path))
