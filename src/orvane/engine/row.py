"""Result rows: `Row`, a tuple-like row, and `RowMapping`, its mapping view.

The rows derive from the compiled `BaseRow` where it imports and from its
pure-Python twin otherwise; `orvane.fallback.row` always has the latter.
A `Row` is registered as a `collections.abc.Sequence` and a `RowMapping` as
a `collections.abc.Mapping`, and type checkers see them as such.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Protocol

try:
    from orvane.rowkern import BaseRow
except ImportError:  # pragma: no cover - only without the compiled modules
    from orvane.fallback.rowkern import BaseRow  # type: ignore[assignment]

# How a row treats keys; every value but the first three allows integer and
# keymap keys alike.
KEY_INTEGER_ONLY = 0
KEY_OBJECTS_ONLY = 1
KEY_OBJECTS_BUT_WARN = 2
KEY_OBJECTS_AND_INTEGERS = 3


class _RowState(Protocol):
    """What the mixins below read from the base row they are combined with."""

    _parent: Any
    _data: Sequence[Any]
    _keymap: dict[Any, tuple[Any, ...]]
    _key_style: int

    def __iter__(self) -> Iterator[Any]: ...
    def __getitem__(self, key: Any, /) -> Any: ...
    def _values_impl(self) -> list[Any]: ...


class _TupleRowState(_RowState, Protocol):
    _mapping_class: Callable[[Any, None, dict[Any, tuple[Any, ...]], int, Sequence[Any]], RowMapping]


class PicklableRow:
    """State of a row for pickling: the keymap comes back from the parent."""

    __slots__ = ()

    def __getstate__(self: _RowState) -> dict[str, Any]:
        return {"_parent": self._parent, "_data": self._data, "_key_style": self._key_style}

    def __setstate__(self: _RowState, state: dict[str, Any]) -> None:
        parent = state["_parent"]
        self._parent = parent
        self._data = state["_data"]
        self._keymap = parent._keymap
        self._key_style = state["_key_style"]


class TupleRow(PicklableRow):
    """What a `Row` adds to its base: tuple comparison, repr and names."""

    __slots__ = ()
    _mapping_class: Callable[[Any, None, dict[Any, tuple[Any, ...]], int, Sequence[Any]], RowMapping]

    if TYPE_CHECKING:
        # Columns are read as attributes, and a column may well be named
        # count or index: those names are not a sequence's methods here.
        count: Any
        index: Any

    @property
    def _fields(self: _RowState) -> tuple[str, ...]:
        keys: tuple[str, ...] = self._parent.keys
        return keys

    @property
    def _mapping(self: _TupleRowState) -> RowMapping:
        """The row as a read-only mapping from column names to values."""
        return self._mapping_class(self._parent, None, self._keymap, KEY_OBJECTS_ONLY, self._data)

    def _asdict(self: _RowState) -> dict[str, Any]:
        return dict(zip(self._parent.keys, self))

    def __reversed__(self: _RowState) -> Iterator[Any]:
        # By position whatever the key style: a subclass of the compiled row
        # would otherwise reverse through its subscript, which reads keys.
        return _reversed_by_position(self, len(self._data))

    def __repr__(self: _RowState) -> str:
        return repr(tuple(self))

    def __eq__(self: _RowState, other: object) -> bool:
        return _compare(operator.eq, self, other)

    def __ne__(self: _RowState, other: object) -> bool:
        return _compare(operator.ne, self, other)

    def __lt__(self: _RowState, other: object) -> bool:
        return _compare(operator.lt, self, other)

    def __le__(self: _RowState, other: object) -> bool:
        return _compare(operator.le, self, other)

    def __gt__(self: _RowState, other: object) -> bool:
        return _compare(operator.gt, self, other)

    def __ge__(self: _RowState, other: object) -> bool:
        return _compare(operator.ge, self, other)


def _reversed_by_position(row: _RowState, length: int) -> Iterator[Any]:
    """The values as stored, from the last to the first, ending quietly
    where they have shrunk meanwhile."""
    for index in range(length - 1, -1, -1):
        data = row._data
        if index >= len(data):
            return
        yield data[index]


def _compare(operation: Callable[[Any, Any], bool], row: _RowState, other: object) -> bool:
    """A row compares as the tuple of its values, with another row too."""
    if isinstance(other, TupleRow) and isinstance(other, BaseRow):
        return operation(tuple(row), tuple(other))
    return operation(tuple(row), other)


class MappingRow(PicklableRow):
    """What a `RowMapping` adds to its base: the mapping protocol over the
    column names. `keys()`, `values()` and `items()` return lists."""

    __slots__ = ()

    def __iter__(self: _RowState) -> Iterator[str]:
        return iter(self._parent.keys)

    def __contains__(self: _RowState, key: object) -> bool:
        return key in self._keymap

    def keys(self: _RowState) -> list[str]:
        return list(self._parent.keys)

    def values(self: _RowState) -> list[Any]:
        return self._values_impl()

    def items(self: _RowState) -> list[tuple[str, Any]]:
        return list(zip(self._parent.keys, self._values_impl()))

    def get(self: _RowState, key: Any, default: Any = None) -> Any:
        return self[key] if key in self._keymap else default

    def __eq__(self: _RowState, other: object) -> bool:
        return dict(zip(self._parent.keys, self._values_impl())) == other

    def __repr__(self: _RowState) -> str:
        return repr(dict(zip(self._parent.keys, self._values_impl())))


def row_classes(base: type, module: str) -> tuple[type, type]:
    """`Row` and `RowMapping` over a `BaseRow`, to be bound under those names
    in `module` (pickling finds them there)."""
    mapping = type(
        "RowMapping",
        (MappingRow, base),
        {"__slots__": (), "__hash__": None, "__module__": module, "__doc__": "A row read as a mapping from column keys to values."},
    )
    row = type(
        "Row",
        (TupleRow, base),
        {
            "__slots__": (),
            "__hash__": base.__hash__,
            "__module__": module,
            "_mapping_class": mapping,
            "__doc__": "One result row: a tuple of its values, readable by position, by column name "
            "as an attribute, and by key through `_mapping`.",
        },
    )
    Sequence.register(row)
    Mapping.register(mapping)
    return row, mapping


if TYPE_CHECKING:
    # What row_classes makes, as type checkers are to see it.

    # keys(), values() and items() return lists, not views.
    class RowMapping(MappingRow, BaseRow, Mapping[str, Any]):  # type: ignore[misc]
        """A row read as a mapping from column keys to values."""

        __hash__: None  # type: ignore[assignment]

    class Row(TupleRow, BaseRow, Sequence[Any]):
        """One result row: a tuple of its values, readable by position, by
        column name as an attribute, and by key through `_mapping`."""

        def __hash__(self) -> int: ...

else:
    Row, RowMapping = row_classes(BaseRow, __name__)


def rowproxy_reconstructor(cls: type[BaseRow], state: dict[str, Any]) -> BaseRow:
    """Rebuild a pickled row of class `cls` from its state."""
    row = cls.__new__(cls)
    row.__setstate__(state)
    return row
