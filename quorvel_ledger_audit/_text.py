"""Texts as the native part takes them, and the checks of arguments that the tools' options share."""

from typing import Union


def utf8(text: str) -> bytes:
    """The UTF-8 bytes of `text`; a lone surrogate stays in them, for the reader to refuse as invalid UTF-8."""
    return text.encode("utf-8", "surrogatepass")


def text_bytes(text: Union[str, bytes], what: str) -> bytes:
    """The bytes of a text given as str (encoded as UTF-8) or bytes; TypeError for anything else."""
    if isinstance(text, str):
        return utf8(text)
    if isinstance(text, bytes):
        return text
    raise TypeError("{} must be str or bytes, not {}".format(what, type(text).__name__))


def check_flag(value: object, what: str) -> bool:
    """`value` when it is a bool; TypeError otherwise (a stray number or path is a mistake)."""
    if not isinstance(value, bool):
        raise TypeError("{} must be bool, not {}".format(what, type(value).__name__))
    return value


def check_jobs(jobs: object) -> int:
    """The number of threads, a whole number from 1 to 256, as the tool's --jobs takes it."""
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError("jobs must be int, not {}".format(type(jobs).__name__))
    if not 1 <= jobs <= 256:
        raise ValueError("jobs takes a whole number from 1 to 256, not {}".format(jobs))
    return jobs
