"""Pure-Python `BaseRow`, `tuplegetter` and `safe_rowproxy_reconstructor`."""

from __future__ import annotations

import importlib
import operator
import reprlib
from collections.abc import Iterator
from typing import Any

from orvane.fallback._capi import (
    as_int64,
    dict_get_swallowing_errors,
    fast_sequence,
    is_sequence,
    storage_item,
    storage_length,
    tuple_item,
    unpack_arguments,
)

KEY_INTEGER_ONLY = 0
KEY_OBJECTS_ONLY = 1
KEY_OBJECTS_BUT_WARN = 2

_FIELDS_UNSET = "the row's parent, data and keymap are not set"
_MISSING = object()
_UNSET = object()


def _host_module(name: str) -> Any:
    return importlib.import_module(name)


def _raise_unless_raised(method: Any, name: str, *args: Any) -> None:
    method(*args)
    raise RuntimeError(f"{name}() returned instead of raising")


class BaseRow:
    """BaseRow is a abstract base class for Row"""

    __slots__ = ("_parent_field", "_row_field", "_keymap_field", "_key_style_field")

    def __new__(cls, *args: Any, **kwargs: Any) -> BaseRow:
        self = object.__new__(cls)
        object.__setattr__(self, "_key_style_field", 0)
        return self

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        unpack_arguments("BaseRow", args, 5, 5)
        parent, processors, keymap, key_style, row = args
        object.__setattr__(self, "_parent_field", parent)
        values = fast_sequence(row, "row must be a sequence")
        if processors is None:
            stored = tuple(values)
        elif isinstance(processors, (list, tuple)):
            if len(values) != storage_length(processors):
                raise RuntimeError(
                    f"number of values in row ({len(values)}) differ from "
                    f"number of column processors ({storage_length(processors)})"
                )
            stored = _apply(processors, values)
        else:
            raise TypeError(f"processors must be None, a list or a tuple, not {type(processors).__name__}")
        object.__setattr__(self, "_row_field", stored)
        if type(keymap) is not dict:
            raise TypeError("keymap must be a dict")
        object.__setattr__(self, "_keymap_field", keymap)
        object.__setattr__(self, "_key_style_field", as_int64(key_style))

    # ---- fields -------------------------------------------------------

    def _fields_or_raise(self) -> tuple[Any, Any, dict[Any, Any]]:
        parent: Any = getattr(self, "_parent_field", _UNSET)
        row: Any = getattr(self, "_row_field", _UNSET)
        keymap: Any = getattr(self, "_keymap_field", _UNSET)
        if parent is _UNSET or row is _UNSET or keymap is _UNSET:
            raise RuntimeError(_FIELDS_UNSET)
        return parent, row, keymap

    def _field(self, name: str) -> Any:
        value = getattr(self, name, _UNSET)
        if value is _UNSET:
            raise RuntimeError(_FIELDS_UNSET)
        return value

    @property
    def _parent(self) -> Any:
        """ResultMetaData"""
        return self._field("_parent_field")

    @_parent.setter
    def _parent(self, value: Any) -> None:
        metadata_class = _host_module("orvane.engine.result").ResultMetaData
        try:
            accepted = isinstance(value, metadata_class)
        except Exception:
            accepted = False
        if not accepted:
            raise TypeError("The 'parent' attribute value must be an instance of ResultMetaData")
        object.__setattr__(self, "_parent_field", value)

    @_parent.deleter
    def _parent(self) -> None:
        raise TypeError("Cannot delete the 'parent' attribute")

    @property
    def _data(self) -> Any:
        """processed data list"""
        return self._field("_row_field")

    @_data.setter
    def _data(self, value: Any) -> None:
        if not is_sequence(value):
            raise TypeError("The 'row' attribute value must be a sequence")
        object.__setattr__(self, "_row_field", value)

    @_data.deleter
    def _data(self) -> None:
        raise TypeError("Cannot delete the 'row' attribute")

    @property
    def _keymap(self) -> dict[Any, Any]:
        """Key to (obj, index) dict"""
        keymap: dict[Any, Any] = self._field("_keymap_field")
        return keymap

    @_keymap.setter
    def _keymap(self, value: Any) -> None:
        if type(value) is not dict:
            raise TypeError("The 'keymap' attribute value must be a dict")
        object.__setattr__(self, "_keymap_field", value)

    @_keymap.deleter
    def _keymap(self) -> None:
        raise TypeError("Cannot delete the 'keymap' attribute")

    @property
    def _key_style(self) -> int:
        """Return the key style"""
        style: int = self._key_style_field
        return style

    @_key_style.setter
    def _key_style(self, value: Any) -> None:
        if type(value) is not int:
            raise TypeError("The 'key_style' attribute value must be an integer")
        object.__setattr__(self, "_key_style_field", as_int64(value))

    @_key_style.deleter
    def _key_style(self) -> None:
        raise TypeError("Cannot delete the 'key_style' attribute")

    @classmethod
    def _make_rows(cls, *args: Any) -> list[Any]:
        """Return a list of rows of this class, one per sequence of fetched values."""
        if len(args) != 5:
            raise TypeError(f"_make_rows expected 5 arguments, got {len(args)}")
        parent, processors, keymap, key_style, rows = args
        rows = fast_sequence(rows, "rows must be a sequence")
        made = []
        index = 0
        # A list of rows is read live, as a processor may resize it.
        while index < len(rows):
            made.append(cls(parent, processors, keymap, key_style, rows[index]))
            index += 1
        return made

    @classmethod
    def _make_rows_in_place(cls, *args: Any) -> tuple[int, BaseException | None]:
        """Replace each sequence of fetched values in the list by a row of
        this class; (rows made, the exception that stopped the batch or None)."""
        if len(args) != 5:
            raise TypeError(f"_make_rows_in_place expected 5 arguments, got {len(args)}")
        parent, processors, keymap, key_style, fetched = args
        if not isinstance(fetched, list):
            raise TypeError(f"fetched must be a list, not {type(fetched).__name__}")
        index = 0
        # The list is read live, as a processor may resize it, and through
        # list's own methods, as the compiled twin reads a subclass. A fetched
        # row is let go before its row is placed, as there, for finalisers
        # that change the list. What is in hand (the fetched row taken out,
        # or its row not yet counted) is named at each step, so that whatever
        # is raised, a signal handler's exception included, leaves each item
        # of the list either a row counted as made or a fetched row.
        taken: Any = None
        made: Any = None
        try:
            while index < list.__len__(fetched):
                taken = list.__getitem__(fetched, index)
                list.__setitem__(fetched, index, None)
                made = cls(parent, processors, keymap, key_style, taken)
                taken = None
                _place(fetched, index, made)
                made, index = None, index + 1
        except BaseException as error:
            if taken is not None:
                _place(fetched, index, taken)
            elif made is not None:
                if not (index < list.__len__(fetched) and list.__getitem__(fetched, index) is made):
                    _place(fetched, index, made)
                index += 1
            return index, error
        return index, None

    # ---- the row as a sequence ----------------------------------------

    def __len__(self) -> int:
        return len(self._fields_or_raise()[1])

    def __hash__(self) -> int:
        return hash(self._fields_or_raise()[1])

    def __iter__(self) -> Any:
        return iter(tuple(self._fields_or_raise()[1]))

    def __reversed__(self) -> Iterator[Any]:
        # By position, whatever the key style: the values as stored, read from
        # the last to the first, ending quietly if they shrink meanwhile.
        return _reversed_values(self, len(self))

    def _values_impl(self) -> list[Any]:
        """Return the values represented by this BaseRow as a list."""
        return list(self._fields_or_raise()[1])

    # ---- key lookup ---------------------------------------------------

    def _lookup(self, key: Any, as_mapping: bool) -> Any:
        parent, row, keymap = self._fields_or_raise()
        style = self._key_style_field
        key_type = type(key)
        if key_type is int:
            if style == KEY_OBJECTS_ONLY:
                raise KeyError(repr(key))
            index = as_int64(key)
            if index < 0:
                index += len(row)
            return tuple_item(row, index)
        if key_type is slice and style != KEY_OBJECTS_ONLY:
            return tuple(row[key])
        if style == KEY_INTEGER_ONLY and not as_mapping:
            _raise_unless_raised(parent._raise_for_nonint, "_raise_for_nonint", key)
        return self._lookup_in_keymap(keymap, key, not as_mapping and style == KEY_OBJECTS_BUT_WARN)

    def _lookup_in_keymap(self, keymap: dict[Any, Any], key: Any, warn: bool) -> Any:
        record = dict_get_swallowing_errors(keymap, key, _MISSING)
        if record is _MISSING:
            if type(key) is slice:
                raise KeyError("can't use slices for mapping access")
            record = self._parent_field._key_fallback(key, None)
        first = tuple_item(record, 0)
        if first is None:
            _raise_unless_raised(
                self._parent_field._raise_for_ambiguous_column_name, "_raise_for_ambiguous_column_name", record
            )
        index = as_int64(first)
        if warn:
            if isinstance(key, tuple):
                self._parent_field._warn_for_nonint(*key)
            else:
                self._parent_field._warn_for_nonint(key)
        return tuple_item(self._row_field, index)

    def _mapping_flag(self) -> bool:
        return self._key_style_field not in (KEY_INTEGER_ONLY, KEY_OBJECTS_BUT_WARN)

    def __getitem__(self, key: Any) -> Any:
        return self._lookup(key, self._mapping_flag())

    def _get_by_key_impl(self, key: Any) -> Any:
        """implement mapping-like getitem as well as sequence getitem"""
        return self._lookup(key, False)

    def _get_by_key_impl_mapping(self, key: Any) -> Any:
        """implement mapping-like getitem as well as sequence getitem"""
        return self._lookup(key, self._mapping_flag())

    def __getattr__(self, name: str) -> Any:
        if name in BaseRow.__slots__:
            raise AttributeError(name)
        try:
            return self._lookup(name, True)
        except KeyError:
            pass
        encoded = name.encode("ascii")
        raise AttributeError(f"Could not locate column in row for column '{encoded[:200].decode()}'")

    # ---- pickling and filtering ---------------------------------------

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support method."""
        self._fields_or_raise()
        state = self.__getstate__()
        reconstructor = _host_module("orvane.engine.row").rowproxy_reconstructor
        return (reconstructor, (self.__class__, state))

    def _filter_on_values(self, filters: Any) -> Any:
        """return a new Row with per-value filters applied to columns"""
        parent, row, keymap = self._fields_or_raise()
        row_class = _host_module("orvane.engine.row").Row
        return row_class(parent, filters, keymap, self._key_style_field, row)


BaseRow.__module__ = "orvane.fallback.rowkern"


def _apply(processors: list[Any] | tuple[Any, ...], values: list[Any] | tuple[Any, ...]) -> tuple[Any, ...]:
    """The processed values, one per value present at the start; a processor
    that shrinks either list ends construction, and values it adds are not
    read."""
    processed = []
    for index in range(len(values)):
        if index >= storage_length(processors) or index >= len(values):
            raise RuntimeError("row or processors changed size during construction")
        processor = storage_item(processors, index)
        value = values[index]
        processed.append(value if processor is None else processor(value))
    return tuple(processed)


def _reversed_values(row: BaseRow, length: int) -> Iterator[Any]:
    for index in range(length - 1, -1, -1):
        try:
            value = tuple_item(row._fields_or_raise()[1], index)
        except IndexError:
            return
        yield value


class tuplegetter:
    """tuplegetter(item, ...) --> tuplegetter object

    Return a callable object that fetches the given item(s) from its operand
    and returns them as a tuple.
    """

    __slots__ = ("_items",)
    _items: tuple[Any, ...]

    def __new__(cls, *items: Any, **kwargs: Any) -> tuplegetter:
        if kwargs:
            raise TypeError("tuplegetter() takes no keyword arguments")
        self = object.__new__(tuplegetter)
        object.__setattr__(self, "_items", items)
        return self

    def __init_subclass__(cls, **kwargs: Any) -> None:
        raise TypeError("type 'tuplegetter' is not an acceptable base type")

    def __call__(self, *args: Any, **kwargs: Any) -> tuple[Any, ...]:
        if not args:
            raise TypeError("tuplegetter() needs an operand to fetch the items from")
        operand = args[0]
        try:
            by_method = hasattr(operand, "_get_by_key_impl_mapping")
        except Exception:
            by_method = False
        if by_method:
            return tuple([operand._get_by_key_impl_mapping(item) for item in self._items])
        return tuple([operand[item] for item in self._items])

    @reprlib.recursive_repr(f"{__module__}.tuplegetter(...)")
    def __repr__(self) -> str:
        name = f"{type(self).__module__}.{type(self).__qualname__}"
        if len(self._items) == 1:
            return f"{name}({self._items[0]!r})"
        return f"{name}{self._items!r}"

    def __reduce__(self) -> tuple[Any, ...]:
        """Return state information for pickling"""
        return (type(self), self._items)


def safe_rowproxy_reconstructor(*args: Any) -> BaseRow:
    """reconstruct a Row instance from its pickled form."""
    if len(args) != 2:
        raise TypeError(f"function takes exactly 2 arguments ({len(args)} given)")
    cls, state = args
    row = cls.__new__(cls)
    if not isinstance(row, BaseRow):
        raise TypeError(f"__new__ of {cls!r} returned {type(row).__name__}, not a BaseRow instance")
    row.__setstate__(state)
    if any(getattr(row, name, _UNSET) is _UNSET for name in ("_parent_field", "_row_field", "_keymap_field")):
        raise RuntimeError("__setstate__ for BaseRow subclasses must set values for parent, row, and keymap")
    return row


def _types_of(items: list[Any], index: int | None = None) -> set[type]:
    """The set of the types of a list's items, or of each item's value at index."""
    if not isinstance(items, list):
        raise TypeError(f"items must be a list, not {type(items).__name__}")
    if index is None:
        return set(map(type, items))
    if type(index) is not int:
        raise TypeError(f"index must be an int, not {type(index).__name__}")
    return set(map(type, map(operator.itemgetter(index), items)))


def _place(items: list[Any], index: int, item: Any) -> None:
    """Puts `item` at `index`, or at the end if the list has since become shorter."""
    if index < list.__len__(items):
        list.__setitem__(items, index, item)
    else:
        list.append(items, item)


_BY_KEYWORDS, _INTO_SLOTS, _AS_TUPLE = 0, 1, 2


def _make_objects(*args: Any) -> BaseException | None:
    """Makes an instance of an application's class from each fetched row of
    `fetched`, first to last, appending it to `made`; the exception that
    stopped the batch, or None. `ready` (None, or a type or None per column)
    and `not_none` (None, or a bool per column) are as `_checked_values`
    reads them.

    `shape` is (how, class, layout, defaults): by keywords, layout names the
    field each column fills and the class is called; into slots, layout
    holds each column's slot descriptor and defaults (slot, value) pairs, and
    instances are allocated by object.__new__ and stored into; as a tuple,
    layout gives each field's column (-1: its default) and the instance is
    tuple.__new__(class, values). A fetched row is replaced by None once
    its instance is in `made`, and is back in its place whatever stops its
    instance being made; so the list from the position len(made) had on entry
    plus the count made on holds the rows not made."""
    if len(args) != 6:
        raise TypeError(f"_make_objects expected 6 arguments, got {len(args)}")
    shape, processors, ready, not_none, fetched, made = args
    if not isinstance(fetched, list) or not isinstance(made, list):
        raise TypeError("fetched and made must be lists")
    if not (processors is None or isinstance(processors, (list, tuple))) or not (ready is None or isinstance(ready, tuple)) or not (not_none is None or isinstance(not_none, tuple)):
        raise TypeError("processors must be None, a list or a tuple, and ready and not_none None or a tuple")
    how, cls, layout, defaults = shape
    # A tuple's layout names a column per field, which the row's values fill.
    columns = None if how == _AS_TUPLE else len(layout)
    start = list.__len__(made)
    index = 0
    taken: Any = None
    try:
        while index < list.__len__(fetched):
            taken = list.__getitem__(fetched, index)
            list.__setitem__(fetched, index, None)
            values = _checked_values(processors, ready, not_none, taken, columns)
            if how == _BY_KEYWORDS:
                instance = cls(**dict(zip(layout, values)))
            elif how == _INTO_SLOTS:
                instance = object.__new__(cls)
                for slot, value in zip(layout, values):
                    slot.__set__(instance, value)
                for slot, value in defaults:
                    slot.__set__(instance, value)
            else:
                instance = tuple.__new__(cls, [values[column] if column >= 0 else default for column, default in zip(layout, defaults)])
            list.append(made, instance)
            taken, index = None, index + 1
    except BaseException as error:
        if taken is not None and list.__len__(made) - start == index:
            _place(fetched, index, taken)
        return error
    return None


def _checked_values(processors: Any, ready: Any, not_none: Any, row: Any, columns: int | None) -> list[Any]:
    """The row's values after their processors, column by column, for a
    result of `columns` columns (None: as many as the row has): None, and a
    value of its column's ready type, pass without the processor. A None in
    a column that does not take it stops them with ValueError."""
    values = list(fast_sequence(row, "row must be a sequence"))
    if (columns is not None and len(values) != columns) or (processors is not None and len(processors) != len(values)):
        raise RuntimeError(f"a row of {len(values)} values for {len(processors) if columns is None else columns} columns")
    for index, value in enumerate(values):
        processor = None if processors is None else storage_item(processors, index)
        if processor is not None and value is not None and (ready is None or type(value) is not ready[index]):
            value = values[index] = processor(value)
        if value is None and not_none is not None and not_none[index]:
            raise ValueError(f"column {index} does not take None")
    return values
