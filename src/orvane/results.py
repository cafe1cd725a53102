"""Results of a DB-API 2.0 cursor as `Row` objects, with per-column converters
chosen from the column types the caller declares or the driver reports.

    >>> import sqlite3, datetime
    >>> from orvane.results import Result
    >>> connection = sqlite3.connect(":memory:")
    >>> cursor = connection.execute("select 1 as id, '2024-01-02 03:04:05' as at")
    >>> [row.at for row in Result(cursor, types={"at": datetime.datetime})]
    [datetime.datetime(2024, 1, 2, 3, 4, 5)]

`AsyncResult` reads the cursors of async drivers (psycopg's AsyncCursor and
AsyncServerCursor, aiosqlite's Cursor) into the same rows.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import operator
from collections.abc import AsyncIterator, Callable, Iterator
from typing import TYPE_CHECKING, Any, Generic, Self, TypeVar, overload

from orvane.converters import ConversionError, Json, Numeric, Timestamp
from orvane.core import ResultCore, is_refusal
from orvane.drivers import result_description
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError, ResultMetaData
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS, Row, RowMapping
from orvane.flavours import Flavour, preferred
from orvane.plan import ColumnPlan, Types
from orvane.readers import ASYNC_CHUNK_ROWS, AsyncCursorReader, CursorReader, RowShapeError
from orvane.row_classes import RowClass

if TYPE_CHECKING:
    from orvane.fallback.rowkern import BaseResult
else:
    try:
        from orvane.rowkern import BaseResult
    except ImportError:  # pragma: no cover - only without the compiled modules
        from orvane.fallback.rowkern import BaseResult

__all__ = [
    "AmbiguousColumnError",
    "AsyncResult",
    "ConversionError",
    "Json",
    "MultipleRowsError",
    "NoRowError",
    "NoSuchColumnError",
    "Numeric",
    "Result",
    "Row",
    "RowShapeError",
    "Timestamp",
    "Types",
]

# Rows fetched from the cursor at a time while iterating: few enough to keep
# memory flat (a few megabytes), enough that the collector, which runs once
# a chunk is built, runs a tenth as often as by chunks of 1,000 and seldom
# walks an application's older objects.
CHUNK_ROWS = 10_000


_Reader = TypeVar("_Reader", CursorReader, AsyncCursorReader)
# What a result delivers: rows, or instances of the class given as into=;
# a result written without it is a result of rows.
if TYPE_CHECKING:
    from typing_extensions import TypeVar as _TypeVarWithDefault

    _T = _TypeVarWithDefault("_T", default=Row)
else:
    _T = TypeVar("_T")
_Default = TypeVar("_Default")


class NoRowError(ValueError):
    """one() found no row, and was given no default."""


class MultipleRowsError(ValueError):
    """one() found more than one row."""


class _NoDefault:
    def __repr__(self) -> str:
        return "<no default>"


_NO_DEFAULT: Any = _NoDefault()


class _ResultOf(Generic[_Reader]):
    """What a result and an async result share: the core, and the reader
    of their kind of cursor, which refuses a cursor of the other kind."""

    def __init__(self, cursor: Any, types: Types, flavour: Flavour | None, key_style: int, reader: type[_Reader], into: type[Any] | None):
        description = result_description(cursor)
        flavour = flavour or preferred()
        names = [column[0] for column in description]
        objects = None if into is None else RowClass(into, names, types, flavour)
        plan = ColumnPlan(cursor, description, types, flavour, None if objects is None else objects.declared)
        self._reader: _Reader = reader(cursor)
        self._cursor = cursor
        self._core = ResultCore(names, plan, flavour, key_style, objects)
        self._tuplegetter = flavour.tuplegetter

    def _value_getter(self, key: Any) -> Callable[[Any], Any]:
        """What reads the column `key` (a name or a position) of a delivered
        row; raises for a key that names no column, before any row is read."""
        return self._core.value_getter(self._core.column_index(key))

    def _refuse_unless_rows(self) -> None:
        """Refuses, before any row is read, a read that needs rows where rows
        are delivered as instances of a class."""
        objects = self._core.objects
        if objects is not None:
            raise TypeError(f"the rows of this result are {objects.label} instances, not rows: read their attributes, or one column with column(key)")

    @property
    def metadata(self) -> ResultMetaData:
        """The result's column keys and how rows look them up."""
        return self._core.metadata

    def keys(self) -> tuple[str, ...]:
        """The column names, in the order of the cursor's description."""
        return self._core.keys()


class Result(_ResultOf[CursorReader], BaseResult, Generic[_T]):
    """The rows of an executed cursor.

    `types` maps column names to declared types (see `KNOWN_TYPES` in
    `orvane.converters`), or is "reported" to take each column's type from
    what the driver reports; other columns pass through unchanged.
    `into` names a class whose instances every row becomes (see
    `orvane.row_classes`): its fields' annotations declare the types of the
    columns that `types` does not. `flavour` picks the compiled modules or
    their pure-Python twins.

    Every row taken from the cursor is delivered once, or waits in the
    result for the next read, whatever exception stops a read. A result,
    like the cursor it reads, is meant for one thread at a time; where
    threads share one anyway, each row still goes to one of them only.

    The read methods, `fetchone`, `fetchmany`, `fetchall` and the next row
    of iteration, `columns()` and `mappings()`, are those of the flavour's
    `BaseResult` (compiled code in the compiled flavour); a read started
    from within a read of the same result in the same thread (by a value's
    method, or a signal handler) is refused with RuntimeError.
    """

    def __new__(cls, *args: Any, flavour: Flavour | None = None, **kwargs: Any) -> Self:
        return super().__new__(_on_base(cls, (flavour or preferred()).result_base))

    @overload
    def __init__(
        self: Result[Row],
        cursor: Any,
        types: Types = None,
        *,
        into: None = None,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ) -> None: ...

    @overload
    def __init__(
        self: Result[_T],
        cursor: Any,
        types: Types = None,
        *,
        into: type[_T],
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ) -> None: ...

    def __init__(
        self,
        cursor: Any,
        types: Types = None,
        *,
        into: type[Any] | None = None,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ) -> None:
        super().__init__(cursor, types, flavour, key_style, CursorReader, into)
        reader, core = self._reader, self._core
        self._serve(core.rows, functools.partial(reader.fill, core), reader.arraysize, CHUNK_ROWS)

    def __enter__(self) -> Self:
        """The result itself, closed with its cursor when the block ends."""
        return self

    def __exit__(self, *exc_info: object) -> None:
        """Closes the result and its cursor (see `close`)."""
        self.close()

    def close(self) -> None:
        """Closes the cursor, as leaving a `with` block does. Rows delivered
        already stay valid; a read from now on raises ValueError."""
        self._core.close()
        _close_cursor(self._cursor)

    if TYPE_CHECKING:
        # The read methods are the base's; these are what they deliver.
        def fetchone(self) -> _T | None: ...
        def fetchmany(self, size: int | None = None) -> list[_T]: ...
        def fetchall(self) -> list[_T]: ...
        def __next__(self) -> _T: ...

    def columns(self, *keys: Any) -> Iterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row; at
        least one column (iterate the result itself for whole rows).
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        _check_columns(keys)
        return self._each(self._tuplegetter(*keys))

    def mappings(self) -> Iterator[RowMapping]:
        """Each row as a read-only mapping from column names to values;
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        return self._each(_MAPPING)

    def first(self) -> _T | None:
        """The first row, or None where there is none. Reads one row at
        most, then finishes the result: the rest are not fetched (they stay
        in the cursor, which stays open), and later reads find no rows. Where
        the read itself fails, the result is not finished."""
        rows = self.fetchmany(1)
        self._core.finish()
        return rows[0] if rows else None

    @overload
    def one(self) -> _T: ...
    @overload
    def one(self, *, default: _Default) -> _T | _Default: ...
    def one(self, *, default: Any = _NO_DEFAULT) -> Any:
        """The only row: NoRowError where there is none (`default` where one
        is given), MultipleRowsError where there are more. Reads two rows at
        most, to tell one from more, then finishes the result as `first`
        does."""
        rows = self.fetchmany(2)
        self._core.finish()
        return _the_only(rows, default)

    def scalar(self) -> Any:
        """The first column of the first row, or None where there is no row.
        Reads one row at most, then finishes the result as `first` does.
        Where rows are delivered as instances of a class, the value is the
        attribute of the field the first column fills."""
        getter = self._value_getter(0) if self.keys() else None
        row = self.first()
        return None if row is None or getter is None else getter(row)

    def column(self, key: Any = 0) -> Iterator[Any]:
        """The values of one column (a name or a position) of each row, row
        by row; a key that names no column raises before any row is read."""
        return self._each(self._value_getter(key))

    def batches(self, size: int) -> Iterator[list[_T]]:
        """The rows in lists of `size` (the last one shorter), fetched a list
        at a time, so that memory stays flat."""
        if type(size) is not int or size < 1:
            raise ValueError(f"a batch holds at least one row: size must be a whole number from 1, not {size!r}")
        return self._batches(size)

    def _batches(self, size: int) -> Iterator[list[_T]]:
        while rows := self.fetchmany(size):
            yield rows


_MAPPING = operator.attrgetter("_mapping")


_ON_BASE: dict[tuple[type, type], Any] = {}
_Class = TypeVar("_Class", bound=type)


def _on_base(cls: _Class, base: type) -> _Class:
    """`cls`, or where its read methods are not those of `base` (a pure
    flavour's result beside the compiled modules), a subclass of it that
    takes them from `base`."""
    if issubclass(cls, base):
        return cls
    made = _ON_BASE.get((cls, base))
    if made is None:
        namespace = {"__module__": cls.__module__, "__qualname__": cls.__qualname__, "__doc__": cls.__doc__}
        made = _ON_BASE.setdefault((cls, base), type(cls.__name__, (base, cls), namespace))
    on_base: _Class = made
    return on_base


class AsyncResult(_ResultOf[AsyncCursorReader], Generic[_T]):
    """The rows of an executed async cursor: `Result` for a cursor whose
    fetch methods are coroutine functions, with the same arguments, rows
    and conversions.

    Rows are fetched and built a chunk at a time, so memory stays flat and
    the event loop gets control back between chunks. Every row taken from
    the cursor is delivered once, or waits in the result for the next read,
    whatever exception stops a read, a cancellation included. Tasks that
    share a result each get rows of their own.

    asyncpg is not read: it has no DB-API cursor, and its records already
    read by position and by name.
    """

    @overload
    def __init__(
        self: AsyncResult[Row],
        cursor: Any,
        types: Types = None,
        *,
        into: None = None,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ) -> None: ...

    @overload
    def __init__(
        self: AsyncResult[_T],
        cursor: Any,
        types: Types = None,
        *,
        into: type[_T],
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ) -> None: ...

    def __init__(
        self,
        cursor: Any,
        types: Types = None,
        *,
        into: type[Any] | None = None,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ) -> None:
        super().__init__(cursor, types, flavour, key_style, AsyncCursorReader, into)
        self._lock = asyncio.Lock()
        # The task that holds the lock, for the refusal of a read started
        # from within another in the same task.
        self._owner: asyncio.Task[Any] | None = None

    async def _locked(self) -> None:
        """Takes the lock, refusing a read started from within a read."""
        self._refuse_reentry()
        task = asyncio.current_task()
        await self._lock.acquire()
        # No call between taking the lock and the caller's guard of it.
        self._owner = task

    def _unlock(self) -> None:
        self._owner = None
        self._lock.release()

    async def _fill(self, size: int | None) -> bool:
        return await self._reader.run(self._core.more(size))

    async def __aenter__(self) -> Self:
        """The result itself, closed with its cursor when the block ends."""
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        """Closes the result and its cursor (see `close`)."""
        await self.close()

    async def close(self) -> None:
        """Closes the cursor, awaiting its close where that is a coroutine,
        as leaving an `async with` block does. Rows delivered already stay
        valid; a read from now on raises ValueError."""
        async with self._lock:
            self._core.close()
        closing = _close_cursor(self._cursor)
        if inspect.isawaitable(closing):
            await closing

    async def _read(self, size: int | None) -> list[_T]:
        """Up to `size` rows (all the rest for None)."""
        await self._locked()
        try:
            rows = self._core.rows
            _raise_held(rows)
            while size is None or len(rows) < size:
                wanted = ASYNC_CHUNK_ROWS if size is None else min(size - len(rows), ASYNC_CHUNK_ROWS)
                if not await self._fill(wanted):
                    break
            taken: list[_T] = rows.take(size)
            return taken
        finally:
            self._unlock()

    async def _first(self) -> _T:
        """The first ready row, not taken, once there is one; where a build
        stops after making rows, its exception is raised after them."""
        rows = self._core.rows
        while True:
            # A ready row is looked at, made into an item and taken without
            # the lock: nothing is awaited in between.
            row: _T | None = rows.first()
            if row is not None:
                return row
            await self._locked()
            try:
                while not len(rows):
                    held, rows.stopped = rows.stopped, None
                    if held is not None:
                        raise held
                    try:
                        if not await self._fill(ASYNC_CHUNK_ROWS):
                            raise StopAsyncIteration
                    except BaseException as error:
                        if not len(rows) or isinstance(error, StopAsyncIteration):
                            raise
                        if not is_refusal(error):
                            rows.stopped = error
            finally:
                self._unlock()

    def __aiter__(self) -> AsyncResult[_T]:
        """Each row not yet delivered (`async for`), fetched 1,000 at a time."""
        return self

    async def __anext__(self) -> _T:
        """The next row; StopAsyncIteration after the last."""
        return await self._each(_as_it_is)

    async def _each(self, make: Callable[[_T], _Item]) -> _Item:
        """make(row) for the next row, taken once make has returned."""
        self._refuse_reentry()
        rows = self._core.rows
        while True:
            row = await self._first()
            item = make(row)
            if rows.take_first(row):
                return item

    def _refuse_reentry(self) -> None:
        if self._lock.locked() and self._owner is not None and self._owner is asyncio.current_task():
            raise RuntimeError("a read of this result was started from within a read of it in the same task")

    async def fetchone(self) -> _T | None:
        """The next row, or None after the last."""
        rows = await self._read(1)
        return rows[0] if rows else None

    async def fetchmany(self, size: int | None = None) -> list[_T]:
        """Up to `size` rows, the cursor's `arraysize` (read at the call) by default."""
        return await self._read(self._reader.arraysize() if size is None else size)

    async def fetchall(self) -> list[_T]:
        """Every row not yet delivered."""
        return await self._read(None)

    def columns(self, *keys: Any) -> AsyncIterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row; at
        least one column (iterate the result itself for whole rows).
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        _check_columns(keys)
        return _EachRow(self, self._tuplegetter(*keys))

    def mappings(self) -> AsyncIterator[RowMapping]:
        """Each row as a read-only mapping from column names to values;
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        return _EachRow(self, _MAPPING)

    async def _finish(self) -> None:
        await self._locked()
        try:
            self._core.finish()
        finally:
            self._unlock()

    async def first(self) -> _T | None:
        """The first row, or None where there is none. Reads one row at
        most, then finishes the result: the rest are not fetched (they stay
        in the cursor, which stays open), and later reads find no rows. Where
        the read itself fails, the result is not finished."""
        rows = await self.fetchmany(1)
        await self._finish()
        return rows[0] if rows else None

    @overload
    async def one(self) -> _T: ...
    @overload
    async def one(self, *, default: _Default) -> _T | _Default: ...
    async def one(self, *, default: Any = _NO_DEFAULT) -> Any:
        """The only row: NoRowError where there is none (`default` where one
        is given), MultipleRowsError where there are more. Reads two rows at
        most, to tell one from more, then finishes the result as `first`
        does."""
        rows = await self.fetchmany(2)
        await self._finish()
        return _the_only(rows, default)

    async def scalar(self) -> Any:
        """The first column of the first row, or None where there is no row.
        Reads one row at most, then finishes the result as `first` does.
        Where rows are delivered as instances of a class, the value is the
        attribute of the field the first column fills."""
        getter = self._value_getter(0) if self.keys() else None
        row = await self.first()
        return None if row is None or getter is None else getter(row)

    def column(self, key: Any = 0) -> AsyncIterator[Any]:
        """The values of one column (a name or a position) of each row, row
        by row; a key that names no column raises before any row is read."""
        return _EachRow(self, self._value_getter(key))

    def batches(self, size: int) -> AsyncIterator[list[_T]]:
        """The rows in lists of `size` (the last one shorter), fetched a list
        at a time, so that memory stays flat."""
        if type(size) is not int or size < 1:
            raise ValueError(f"a batch holds at least one row: size must be a whole number from 1, not {size!r}")
        return self._batches(size)

    async def _batches(self, size: int) -> AsyncIterator[list[_T]]:
        while rows := await self.fetchmany(size):
            yield rows


def _raise_held(rows: Any) -> None:
    """An exception that stopped iteration's build, held for after the rows
    made before it, is raised by the next fetch; a refused value is raised
    again when its row is built again, and is let go."""
    held, rows.stopped = rows.stopped, None
    if held is not None and not is_refusal(held):
        raise held


def _as_it_is(row: _Item) -> _Item:
    return row


def _the_only(rows: list[Any], default: Any) -> Any:
    if len(rows) > 1:
        raise MultipleRowsError("one() found more than one row")
    if rows:
        return rows[0]
    if default is _NO_DEFAULT:
        raise NoRowError("one() found no row")
    return default


def _check_columns(keys: tuple[Any, ...]) -> None:
    if not keys:
        raise TypeError("columns() takes at least one column, a name or a position: iterate the result for whole rows")


def _close_cursor(cursor: Any) -> Any:
    """What the cursor's close() returns (an awaitable for async drivers);
    a cursor without one has nothing to close."""
    close = getattr(cursor, "close", None)
    return None if close is None else close()


_Item = TypeVar("_Item")


class _EachRow(Generic[_Item]):
    """Something made of each row of an AsyncResult, a row at a time: a
    cancelled or abandoned loop leaves the rows it has not seen in the
    result."""

    def __init__(self, rows: AsyncResult[Any], make: Callable[[Any], _Item]):
        self._rows = rows
        self._make = make

    def __aiter__(self) -> _EachRow[_Item]:
        return self

    async def __anext__(self) -> _Item:
        return await self._rows._each(self._make)
