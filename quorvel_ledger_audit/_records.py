"""The base of the package's records: immutable, compared by value, with a readable repr."""

from typing import Any, Dict, Iterator, Mapping, Tuple, TypeVar

_Value = TypeVar("_Value")


class Record:
    """A value with named fields, set once by the constructor.

    A subclass names its fields in ``__slots__`` (in the order the repr shows
    them) and sets them with ``_init``; assigning or deleting one afterwards
    raises AttributeError. Slots whose names begin with "_" hold what the
    record keeps for its methods: they are not fields, and neither the repr
    nor equality looks at them.
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
            if not name.startswith("_"):
                yield name, getattr(self, name)

    def _asdict(self) -> Dict[str, Any]:
        return dict(self._fields())

    def __repr__(self) -> str:
        shown = ", ".join("{}={!r}".format(name, value) for name, value in self._fields())
        return "{}({})".format(type(self).__name__, shown)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(mine == theirs for (_, mine), (_, theirs)
                   in zip(self._fields(), other._fields()))  # type: ignore[attr-defined]

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __hash__(self) -> int:
        return hash((type(self),) + tuple(value for _, value in self._fields()))


class FrozenMapping(Mapping[str, _Value]):
    """A read-only mapping, hashable when its values are; shown as a dict."""

    __slots__ = ("_items",)
    _items: Dict[str, _Value]

    def __init__(self, items: Mapping[str, _Value]) -> None:
        object.__setattr__(self, "_items", dict(items))

    def __getitem__(self, key: str) -> _Value:
        return self._items[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("FrozenMapping is immutable")

    def __repr__(self) -> str:
        return repr(self._items)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, FrozenMapping):
            return self._items == other._items
        if isinstance(other, Mapping):
            return self._items == dict(other)
        return NotImplemented

    def __hash__(self) -> int:
        return hash(frozenset(self._items.items()))
