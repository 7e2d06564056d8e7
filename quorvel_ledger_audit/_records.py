"""The base of the package's records: immutable, compared by value, with a readable repr."""

from typing import Any, Dict, Iterator, Tuple


class Record:
    """A value with named fields, set once by the constructor.

    A subclass names its fields in ``__slots__`` (in the order the repr shows
    them) and sets them with ``_init``; assigning or deleting one afterwards
    raises AttributeError.
    """

    __slots__: Tuple[str, ...] = ()

    def _init(self, **values: Any) -> None:
        for name in self.__slots__:
            object.__setattr__(self, name, values.pop(name))
        if values:
            raise TypeError("unknown fields: " + ", ".join(sorted(values)))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("{} is immutable".format(type(self).__name__))

    def __delattr__(self, name: str) -> None:
        raise AttributeError("{} is immutable".format(type(self).__name__))

    def _fields(self) -> Iterator[Tuple[str, Any]]:
        for name in self.__slots__:
            yield name, getattr(self, name)

    def _asdict(self) -> Dict[str, Any]:
        return dict(self._fields())

    def __repr__(self) -> str:
        shown = ", ".join("{}={!r}".format(name, value) for name, value in self._fields())
        return "{}({})".format(type(self).__name__, shown)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self.__slots__)

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __hash__(self) -> int:
        return hash((type(self),) + tuple(getattr(self, name) for name in self.__slots__))
