"""Results of a DB-API 2.0 cursor as `Row` objects, with per-column converters
chosen from the column types the caller declares or the driver reports.

    >>> import sqlite3, datetime
    >>> connection = sqlite3.connect(":memory:")
    >>> cursor = connection.execute("select 1 as id, '2024-01-02 03:04:05' as at")
    >>> [row.at for row in Result(cursor, types={"at": datetime.datetime})]
    [datetime.datetime(2024, 1, 2, 3, 4, 5)]

`AsyncResult` reads the cursors of async drivers (psycopg's AsyncCursor and
AsyncServerCursor, aiosqlite's Cursor) into the same rows.
"""

from __future__ import annotations

import asyncio
import operator
import threading
from collections.abc import AsyncIterator, Callable, Iterator
from typing import TYPE_CHECKING, Any, Generic, TypeVar, overload

from orvane.converters import ConversionError, Json, Numeric, Timestamp
from orvane.core import ResultCore
from orvane.drivers import result_description
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError, ResultMetaData
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS, Row, RowMapping
from orvane.flavours import Flavour, preferred
from orvane.plan import ColumnPlan, Types
from orvane.readers import ASYNC_CHUNK_ROWS, AsyncCursorReader, CursorReader
from orvane.row_classes import RowClass

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

    def __init__(self, cursor: Any, types: Types, flavour: Flavour | None, key_style: int, reader: type[_Reader], into: type[Any] | None = None):
        description = result_description(cursor)
        flavour = flavour or preferred()
        names = [column[0] for column in description]
        objects = None if into is None else RowClass(into, names, types, flavour)
        plan = ColumnPlan(cursor, description, types, flavour, None if objects is None else objects.declared)
        self._reader: _Reader = reader(cursor)
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
        return self._core.metadata

    def keys(self) -> tuple[str, ...]:
        return self._core.keys()


class Result(_ResultOf[CursorReader], Generic[_T]):
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
    """

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
        # Reentrant: an exception that a signal handler raises right after
        # the lock is taken, before `with` guards it, leaves it held; the
        # thread that reads on then still can.
        self._lock = threading.RLock()

    def _read(self, size: int | None) -> list[_T]:
        """Up to `size` rows (all the rest for None). All the rest is held
        anyway: fetched in one call and built in one batch, the collector
        runs about as often as for the driver's own fetchall()."""
        with self._lock:
            return self._reader.run(self._core.read(size, None))

    def __iter__(self) -> Iterator[_T]:
        core = self._core
        while True:
            yield from core.ready()
            with self._lock:
                if not core.has_ready() and not self._reader.run(core.refill(CHUNK_ROWS)):
                    return

    def fetchone(self) -> _T | None:
        rows = self._read(1)
        return rows[0] if rows else None

    def fetchmany(self, size: int | None = None) -> list[_T]:
        """Up to `size` rows, the cursor's `arraysize` by default."""
        return self._read(self._reader.arraysize if size is None else size)

    def fetchall(self) -> list[_T]:
        return self._read(None)

    def columns(self, *keys: Any) -> Iterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row;
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        return map(self._tuplegetter(*keys), self)

    def mappings(self) -> Iterator[RowMapping]:
        """Each row as a read-only mapping from column names to values;
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        rows: Iterator[Row] = iter(self)  # type: ignore[arg-type]
        return (row._mapping for row in rows)

    # ---- one value, one row, the first row, a column, batches -----------

    def _finish(self) -> None:
        with self._lock:
            self._core.finish()

    def first(self) -> _T | None:
        """The first row, or None where there is none. Reads one row at
        most, then finishes the result: the rest are not fetched (they stay
        in the cursor, which stays open), and later reads find no rows. Where
        the read itself fails, the result is not finished."""
        rows = self.fetchmany(1)
        self._finish()
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
        self._finish()
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
        return map(self._value_getter(key), self)

    def batches(self, size: int) -> Iterator[list[_T]]:
        """The rows in lists of `size` (the last one shorter), fetched a list
        at a time, so that memory stays flat."""
        if type(size) is not int or size < 1:
            raise ValueError(f"a batch holds at least one row: size must be a whole number from 1, not {size!r}")
        return self._batches(size)

    def _batches(self, size: int) -> Iterator[list[_T]]:
        while rows := self.fetchmany(size):
            yield rows


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

    async def _read(self, size: int | None) -> list[_T]:
        """Up to `size` rows (all the rest for None)."""
        async with self._lock:
            return await self._reader.run(self._core.read(size, ASYNC_CHUNK_ROWS))

    def __aiter__(self) -> AsyncResult[_T]:
        return self

    async def __anext__(self) -> _T:
        core = self._core
        while True:
            # Rows can be handed out without the lock: nothing is awaited
            # between taking a row and returning it.
            row: _T | None = next(core.ready(), None)
            if row is not None:
                return row
            async with self._lock:
                if not core.has_ready() and not await self._reader.run(core.refill(ASYNC_CHUNK_ROWS)):
                    raise StopAsyncIteration

    async def fetchone(self) -> _T | None:
        rows = await self._read(1)
        return rows[0] if rows else None

    async def fetchmany(self, size: int | None = None) -> list[_T]:
        """Up to `size` rows, the cursor's `arraysize` by default."""
        return await self._read(self._reader.arraysize if size is None else size)

    async def fetchall(self) -> list[_T]:
        return await self._read(None)

    def columns(self, *keys: Any) -> AsyncIterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row;
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        return _EachRow(self, self._tuplegetter(*keys))

    def mappings(self) -> AsyncIterator[RowMapping]:
        """Each row as a read-only mapping from column names to values;
        TypeError where rows are delivered as instances of a class."""
        self._refuse_unless_rows()
        return _EachRow(self, operator.attrgetter("_mapping"))

    # ---- one value, one row, the first row, a column, batches -----------

    async def _finish(self) -> None:
        async with self._lock:
            self._core.finish()

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
        return self._make(await self._rows.__anext__())


def _the_only(rows: list[Any], default: Any) -> Any:
    if len(rows) > 1:
        raise MultipleRowsError("one() found more than one row")
    if rows:
        return rows[0]
    if default is _NO_DEFAULT:
        raise NoRowError("one() found no row")
    return default
