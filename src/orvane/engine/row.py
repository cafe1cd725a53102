"""Result rows: `Row`, a tuple-like row, and `RowMapping`, its mapping view.

The rows derive from the compiled `BaseRow` where it imports and from its
pure-Python twin otherwise; `orvane.fallback.row` always has the latter.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

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


class PicklableRow:
    """State of a row for pickling: the keymap comes back from the parent."""

    __slots__ = ()

    def __getstate__(self: Any) -> dict[str, Any]:
        return {"_parent": self._parent, "_data": self._data, "_key_style": self._key_style}

    def __setstate__(self: Any, state: dict[str, Any]) -> None:
        parent = state["_parent"]
        self._parent = parent
        self._data = state["_data"]
        self._keymap = parent._keymap
        self._key_style = state["_key_style"]


class TupleRow(PicklableRow):
    """What a `Row` adds to its base: tuple comparison, repr and names."""

    __slots__ = ()
    _mapping_class: type

    @property
    def _fields(self: Any) -> tuple[str, ...]:
        return self._parent.keys

    @property
    def _mapping(self: Any) -> Any:
        return self._mapping_class(self._parent, None, self._keymap, KEY_OBJECTS_ONLY, self._data)

    def _asdict(self: Any) -> dict[str, Any]:
        return dict(zip(self._fields, self))

    def __repr__(self: Any) -> str:
        return repr(tuple(self))

    def __eq__(self: Any, other: object) -> bool:
        return tuple(self) == _comparable(other)

    def __ne__(self: Any, other: object) -> bool:
        return tuple(self) != _comparable(other)

    def __lt__(self: Any, other: object) -> bool:
        return tuple(self) < _comparable(other)

    def __le__(self: Any, other: object) -> bool:
        return tuple(self) <= _comparable(other)

    def __gt__(self: Any, other: object) -> bool:
        return tuple(self) > _comparable(other)

    def __ge__(self: Any, other: object) -> bool:
        return tuple(self) >= _comparable(other)


def _comparable(other: object) -> Any:
    return tuple(other) if isinstance(other, TupleRow) else other  # type: ignore[arg-type]


class MappingRow(PicklableRow):
    """What a `RowMapping` adds to its base: the mapping protocol over the
    column names."""

    __slots__ = ()

    def __iter__(self: Any) -> Iterator[str]:
        return iter(self._parent.keys)

    def __contains__(self: Any, key: object) -> bool:
        return key in self._keymap

    def keys(self: Any) -> list[str]:
        return list(self._parent.keys)

    def values(self: Any) -> list[Any]:
        return self._values_impl()

    def items(self: Any) -> list[tuple[str, Any]]:
        return list(zip(self._parent.keys, self._values_impl()))

    def get(self: Any, key: Any, default: Any = None) -> Any:
        return self[key] if key in self._keymap else default

    def __eq__(self: Any, other: object) -> bool:
        return dict(self.items()) == other

    def __repr__(self: Any) -> str:
        return repr(dict(self.items()))


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
    return row, mapping


Row, RowMapping = row_classes(BaseRow, __name__)


def rowproxy_reconstructor(cls: Any, state: Any) -> Any:
    """Rebuild a pickled row of class `cls` from its state."""
    row = cls.__new__(cls)
    row.__setstate__(state)
    return row
