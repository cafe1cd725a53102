"""Pure-Python `BaseRow`, `tuplegetter`, `safe_rowproxy_reconstructor`, and
the read methods of a result (`BaseResult`, `RowBuffer`)."""

from __future__ import annotations

import collections
import importlib
import itertools
import operator
import reprlib
import threading
from collections.abc import Callable, Iterator
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


def _refuse_unless_attribute(row: Any, name: str, change: str) -> None:
    """Refuses to set or delete what no class of the row and no instance
    dict defines (a column's name first): a row is read-only."""
    kind = type(row)
    if type(name) is str and not kind.__dictoffset__ and not any(name in vars(base) for base in kind.__mro__):
        raise AttributeError(f"{kind.__name__} is read-only: cannot {change} attribute {name!r}")


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
        if len(args) not in (5, 6):
            raise TypeError(f"_make_rows_in_place expected 5 or 6 arguments, got {len(args)}")
        parent, processors, keymap, key_style, fetched = args[:5]
        width = _batch_width(args[5] if len(args) == 6 else None)
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
                if width is not None and len(taken) != width:
                    raise ValueError(f"a fetched row has {len(taken)} values where the result has {width} columns")
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

    def __setattr__(self, name: str, value: Any) -> None:
        _refuse_unless_attribute(self, name, "set")
        object.__setattr__(self, name, value)

    def __delattr__(self, name: str) -> None:
        _refuse_unless_attribute(self, name, "delete")
        object.__delattr__(self, name)

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


def _batch_width(width: Any) -> int | None:
    """The number of values each fetched row of a batch must have, or None."""
    if width is None:
        return None
    if not isinstance(width, int):
        raise TypeError(f"width must be None or an int, not {type(width).__name__}")
    if width < 0:
        raise ValueError("width must not be negative")
    return width


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


# ---- results: the rows a result holds, and its read methods ------------------


class RowBuffer:
    """The rows of a result taken from its cursor and not yet delivered: the
    ready rows, then the unbuilt ones."""

    __slots__ = ("_ready", "_unbuilt", "_stopped", "_position")

    def __init__(self) -> None:
        # The built rows, taken from the left by whichever thread reads (each
        # of the deque's operations is one step under the interpreter's lock,
        # as the compiled twin's list and index are); the list of fetched rows
        # not yet built, or None (rows an earlier build made but could not
        # settle may lead it); the exception that stopped a build after the
        # ready rows, held; the position of the first unbuilt row.
        self._ready: collections.deque[Any] = collections.deque()
        self._unbuilt: list[Any] | None = None
        self._stopped: BaseException | None = None
        self._position = 0

    def __len__(self) -> int:
        return len(self._ready)

    @property
    def unbuilt(self) -> list[Any] | None:
        """The list of fetched rows waiting to be built, or None."""
        return self._unbuilt or None

    @property
    def position(self) -> int:
        """The position in the result of the first unbuilt row."""
        return self._position

    @property
    def stopped(self) -> BaseException | None:
        """The exception that stopped a build, held until the ready rows are
        delivered, or None."""
        return self._stopped

    @stopped.setter
    def stopped(self, error: BaseException | None) -> None:
        if error is not None and not isinstance(error, BaseException):
            raise TypeError("stopped must be an exception or None")
        self._stopped = error

    def take(self, size: int | None = None) -> list[Any]:
        """Up to size ready rows (all of them for None), now delivered."""
        if size is not None:
            size = operator.index(size)
            if size < 0:
                raise ValueError("the number of rows to take cannot be negative")
        taken: list[Any] = []
        ready = self._ready
        while ready and (size is None or len(taken) < size):
            try:
                taken.append(ready.popleft())
            except IndexError:
                break
        return taken

    def take_one(self) -> Any:
        """The first ready row, now delivered, or None."""
        try:
            return self._ready.popleft()
        except IndexError:
            return None

    def first(self) -> Any:
        """The first ready row, not taken, or None."""
        try:
            return self._ready[0]
        except IndexError:
            return None

    def take_first(self, row: Any) -> bool:
        """Take the first ready row if it is the given row; whether it was."""
        taken = self.take_one()
        if taken is row:
            return True
        if taken is not None:
            self._ready.appendleft(taken)
        return False

    def settle(self, made: int) -> None:
        """Move the first made unbuilt rows, which a build made, behind the
        ready ones."""
        made = operator.index(made)
        unbuilt = self._unbuilt
        if not unbuilt or made <= 0:
            return
        moved = min(made, len(unbuilt))
        rest = unbuilt[moved:] if moved < len(unbuilt) else None
        head = unbuilt[:moved] if rest is not None else unbuilt
        # No call between the two stores: no signal handler or other thread
        # runs in between.
        self._unbuilt, self._position = rest, self._position + moved
        self._ready.extend(head)

    def replace_unbuilt(self, old: list[Any], new: list[Any]) -> bool:
        """Make new the unbuilt rows if they still are old; whether they were."""
        if type(new) is not list:
            raise TypeError(f"the unbuilt rows must be a list, not {type(new).__name__}")
        if self._unbuilt is not old:
            return False
        self._unbuilt = new
        return True

    def _keep(self, fetched: Any) -> bool:
        if type(fetched) is not list:
            fetched = list(fetched)
        if not fetched:
            return False
        if self._unbuilt:
            fetched = self._unbuilt + fetched
        self._unbuilt = fetched
        return True

    def _refuse_unless_built(self) -> list[Any]:
        """A new list that the unbuilt rows now are, for rows to be fetched
        into: they are then kept from within the list's own extend, before
        any signal handler can run."""
        if self._unbuilt:
            raise RuntimeError("fetched rows wait to be built; build them before fetching more")
        incoming: list[Any] = []
        self._unbuilt = incoming
        return incoming

    def _kept(self, incoming: list[Any]) -> bool:
        if incoming:
            return True
        if self._unbuilt is incoming:
            self._unbuilt = None
        return False

    def fetch(self, function: Callable[..., Any], *arguments: Any) -> bool:
        """Call the function (a driver's fetch) with the arguments, and keep
        the rows it returns as unbuilt rows; whether there were any."""
        incoming = self._refuse_unless_built()
        incoming.extend(itertools.chain.from_iterable(itertools.starmap(function, (arguments,))))
        return self._kept(incoming)

    def fetch_rows(self, rows: Any) -> bool:
        """Keep each row the iterable yields as an unbuilt row; whether there
        were any."""
        incoming = self._refuse_unless_built()
        try:
            incoming.extend(rows)
        finally:
            self._kept(incoming)
        return bool(incoming)

    def receive(self, fetched: Any) -> bool:
        """Keep a chunk of fetched rows as unbuilt rows; whether there were any."""
        return self._keep(fetched)


RowBuffer.__module__ = "orvane.fallback.rowkern"


def _is_refusal(error: BaseException) -> bool:
    # As the core's: building the row again raises a refused value again.
    return isinstance(error, Exception) and not isinstance(error, MemoryError)


class BaseResult:
    """The read methods of a result, over the rows its RowBuffer holds.

    The state lives in the instance's dictionary (no slots), so that a result
    class over the compiled base can take these methods instead."""

    __slots__ = ()

    _rows: RowBuffer
    _fill: Callable[[int | None], bool]
    _arraysize: Callable[[], int]
    _chunk: int
    _lock: Any
    _owner: int | None

    def _serve(self, rows: RowBuffer, fill: Callable[[int | None], bool], arraysize: Callable[[], int], chunk: int) -> None:
        """Set the result up: its RowBuffer, fill(size) that fetches and
        builds more rows, arraysize() and the size iteration fills by."""
        if "_lock" in self.__dict__:
            raise RuntimeError("the result is set up already")
        if not isinstance(rows, RowBuffer):
            raise TypeError(f"rows must be an orvane.fallback.rowkern.RowBuffer, not {type(rows).__name__}")
        if not callable(fill) or not callable(arraysize):
            raise TypeError("fill and arraysize must be callable")
        if type(chunk) is not int:
            raise TypeError("chunk must be an int")
        self.__dict__.update(_rows=rows, _fill=fill, _arraysize=arraysize, _chunk=chunk, _owner=None)
        self.__dict__["_lock"] = threading.Lock()

    def _served(self) -> RowBuffer:
        if "_lock" not in self.__dict__:
            raise RuntimeError("the result was not set up: call _serve first")
        return self._rows

    def _refuse_reentry(self) -> None:
        if self._owner == threading.get_ident():
            raise RuntimeError(
                "a read of this result was started from within a read of it in the same thread "
                "(by a value's method or a signal handler)"
            )

    def _take_lock(self) -> None:
        self._served()
        self._refuse_reentry()
        self._lock.acquire()
        self.__dict__["_owner"] = threading.get_ident()

    def _give_lock(self) -> None:
        self.__dict__["_owner"] = None
        self._lock.release()

    def _fill_until(self, wanted: int | None) -> None:
        rows = self._rows
        while wanted is None or len(rows) < wanted:
            if not self._fill(None if wanted is None else wanted - len(rows)):
                return

    def _raise_held(self) -> None:
        rows = self._rows
        held, rows.stopped = rows.stopped, None
        if held is not None and not _is_refusal(held):
            raise held

    def _read(self, size: int | None) -> list[Any]:
        self._take_lock()
        try:
            self._raise_held()
            self._fill_until(size)
            return self._rows.take(size)
        finally:
            self._give_lock()

    def fetchall(self) -> list[Any]:
        """All the rows that are left."""
        return self._read(None)

    def fetchmany(self, size: int | None = None) -> list[Any]:
        """Up to size rows, the cursor's arraysize (read at the call) by default."""
        self._served()
        count = operator.index(self._arraysize() if size is None else size)
        if count < 0:
            raise ValueError("fetchmany() size cannot be negative")
        return self._read(count)

    def fetchone(self) -> Any:
        """The next row, or None at the end."""
        self._take_lock()
        try:
            self._raise_held()
            self._fill_until(1)
            return self._rows.take_one()
        finally:
            self._give_lock()

    def _wait_for_rows(self) -> bool:
        """With no row ready: fetches and builds a chunk; False at the end of
        the rows. Where a build stops after making rows, its exception is held
        to be raised after them."""
        self._take_lock()
        try:
            rows = self._rows
            while not len(rows):
                held, rows.stopped = rows.stopped, None
                if held is not None:
                    raise held
                try:
                    if not self._fill(self._chunk):
                        return False
                except BaseException as error:
                    if not len(rows):
                        raise
                    if not _is_refusal(error):
                        rows.stopped = error
            return True
        finally:
            self._give_lock()

    def __iter__(self) -> BaseResult:
        return self

    def __next__(self) -> Any:
        rows = self._served()
        self._refuse_reentry()
        while True:
            row = rows.take_one()
            if row is not None:
                return row
            if not self._wait_for_rows():
                raise StopIteration

    def _each(self, make: Callable[[Any], Any]) -> Iterator[Any]:
        """An iterator of make(row) for each row; a row is taken once make has
        returned."""
        if not callable(make):
            raise TypeError("make must be callable")
        return _EachRow(self, make)


BaseResult.__module__ = "orvane.fallback.rowkern"


class _EachRow:
    """Something made of each row of a result, a row at a time."""

    __slots__ = ("_result", "_make")

    def __init__(self, result: BaseResult, make: Callable[[Any], Any]):
        self._result = result
        self._make = make

    def __iter__(self) -> _EachRow:
        return self

    def __next__(self) -> Any:
        result = self._result
        rows = result._served()
        result._refuse_reentry()
        while True:
            row = rows.first()
            if row is None:
                if not result._wait_for_rows():
                    raise StopIteration
                continue
            # Made with the row still ready: whatever make raises leaves it.
            item = self._make(row)
            if rows.take_first(row):
                return item


_BY_KEYWORDS, _INTO_SLOTS, _AS_TUPLE = 0, 1, 2


def _make_objects(*args: Any) -> tuple[int, BaseException | None]:
    """Replaces each fetched row of `fetched` by an instance of an
    application's class made from it, first to last, and returns (made,
    error) as `_make_rows_in_place` does: the list then holds the instances
    made, then the fetched rows from the failing one on. `ready` (None, or a
    type or None per column) and `not_none` (None, or a bool per column) are
    as `_checked_values` reads them.

    `shape` is (how, class, layout, defaults): by keywords, layout names the
    field each column fills and the class is called; into slots, layout
    holds each column's slot descriptor and defaults (slot, value) pairs, and
    instances are allocated by object.__new__ and stored into; as a tuple,
    layout gives each field's column (-1: its default) and the instance is
    tuple.__new__(class, values)."""
    if len(args) != 5:
        raise TypeError(f"_make_objects expected 5 arguments, got {len(args)}")
    shape, processors, ready, not_none, fetched = args
    if not isinstance(fetched, list):
        raise TypeError("fetched must be a list")
    if not (processors is None or isinstance(processors, (list, tuple))) or not (ready is None or isinstance(ready, tuple)) or not (not_none is None or isinstance(not_none, tuple)):
        raise TypeError("processors must be None, a list or a tuple, and ready and not_none None or a tuple")
    how, cls, layout, defaults = shape
    # A tuple's layout names a column per field, which the row's values fill.
    columns = sum(column >= 0 for column in layout) if how == _AS_TUPLE else len(layout)
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
            _place(fetched, index, instance)
            taken, index = None, index + 1
    except BaseException as error:
        if taken is not None:
            _place(fetched, index, taken)
        return index, error
    return index, None


def _checked_values(processors: Any, ready: Any, not_none: Any, row: Any, columns: int) -> list[Any]:
    """The row's values after their processors, column by column, for a
    result of `columns` columns: None, and a
    value of its column's ready type, pass without the processor. A None in
    a column that does not take it stops them with ValueError."""
    values = list(fast_sequence(row, "row must be a sequence"))
    if len(values) != columns or (processors is not None and len(processors) != len(values)):
        raise ValueError(f"a fetched row has {len(values)} values where the result has {columns} columns")
    for index, value in enumerate(values):
        processor = None if processors is None else storage_item(processors, index)
        if processor is not None and value is not None and (ready is None or type(value) is not ready[index]):
            value = values[index] = processor(value)
        if value is None and not_none is not None and not_none[index]:
            raise ValueError(f"column {index} does not take None")
    return values
