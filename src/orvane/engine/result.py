"""Result metadata: the keymap of a result and the answers for keys it lacks."""

from __future__ import annotations

import sys
import warnings
from collections.abc import Sequence
from typing import Any


class NoSuchColumnError(KeyError):
    """A key names no column of the result."""

    # Where users import it from, as tracebacks and pickles name it.
    __module__ = "orvane.results"

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class AmbiguousColumnError(LookupError):
    """A name is shared by several columns of the result."""

    __module__ = "orvane.results"


class RowIndexWarning(DeprecationWarning):
    """A row of integer-style keys was read by a non-integer key."""


class ResultMetaData:
    """The keymap of one result: key -> record, a tuple whose first element is
    the column index, or None where several columns share the key, and whose
    second element is the key's column name."""

    __slots__ = ("_keymap", "_keys")

    def __init__(self, keymap: dict[Any, tuple[Any, ...]], keys: Sequence[str]):
        self._keymap = keymap
        self._keys = tuple(keys)

    @classmethod
    def from_names(cls, names: Sequence[str]) -> ResultMetaData:
        """Metadata for columns of these names: each name and each position is
        a key; a name that occurs twice maps to an ambiguous record."""
        keymap: dict[Any, tuple[Any, ...]] = {}
        for index, name in enumerate(names):
            # Attribute names are interned, so an interned key is found by
            # identity, without comparing the strings.
            if type(name) is str:
                name = sys.intern(name)
            keymap[index] = (index, name)
            keymap[name] = (None, name) if name in keymap else (index, name)
        return cls(keymap, names)

    @property
    def keys(self) -> tuple[str, ...]:
        return self._keys

    def _key_fallback(self, key: Any, err: BaseException | None) -> tuple[Any, ...]:
        raise NoSuchColumnError(f"Could not locate column in row for column {key!r}")

    def _raise_for_nonint(self, key: Any) -> None:
        raise TypeError(f"tuple indices must be integers or slices, not {type(key).__name__}")

    def _raise_for_ambiguous_column_name(self, record: tuple[Any, ...]) -> None:
        name = record[1] if len(record) > 1 else record
        raise AmbiguousColumnError(f"Ambiguous column name {name!r} in result set column descriptions")

    def _warn_for_nonint(self, *key: Any) -> None:
        shown = key[0] if len(key) == 1 else key
        warnings.warn(
            f"Using a non-integer key {shown!r} on a tuple-style row; use row._mapping[key] instead",
            RowIndexWarning,
            stacklevel=3,
        )

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self._keymap, self._keys))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({list(self._keys)!r})"
