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
import inspect
import operator
import threading
from collections.abc import AsyncIterator, Callable, Iterator
from typing import Any, Generic, TypeVar

from orvane.converters import ConversionError, Numeric
from orvane.core import ResultCore
from orvane.drivers import result_description
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError, ResultMetaData
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS, Row, RowMapping
from orvane.flavours import Flavour, preferred
from orvane.plan import ColumnPlan, Types
from orvane.readers import ASYNC_CHUNK_ROWS, AsyncCursorReader, CursorReader

__all__ = ["AmbiguousColumnError", "AsyncResult", "ConversionError", "NoSuchColumnError", "Numeric", "Result", "Row", "Types"]

# Rows fetched from the cursor at a time while iterating: few enough to keep
# memory flat (a few megabytes), enough that the collector, which runs once
# a chunk is built, runs a tenth as often as by chunks of 1,000 and seldom
# walks an application's older objects.
CHUNK_ROWS = 10_000


_Reader = TypeVar("_Reader", CursorReader, AsyncCursorReader)


class _ResultOf(Generic[_Reader]):
    """What a result and an async result share: the core, and the reader
    of their kind of cursor, which refuses a cursor of the other kind."""

    def __init__(self, cursor: Any, types: Types, flavour: Flavour | None, key_style: int, reader: type[_Reader]):
        description = result_description(cursor)
        flavour = flavour or preferred()
        names = [column[0] for column in description]
        self._reader: _Reader = reader(cursor)
        self._cursor = cursor
        self._core = ResultCore(names, ColumnPlan(cursor, description, types, flavour), flavour, key_style)
        self._tuplegetter = flavour.tuplegetter

    @property
    def metadata(self) -> ResultMetaData:
        """The result's column keys and how rows look them up."""
        return self._core.metadata

    def keys(self) -> tuple[str, ...]:
        """The column names, in the order of the cursor's description."""
        return self._core.keys()


class Result(_ResultOf[CursorReader]):
    """The rows of an executed cursor.

    `types` maps column names to declared types (see `KNOWN_TYPES` in
    `orvane.converters`), or is "reported" to take each column's type from
    what the driver reports; other columns pass through unchanged.
    `flavour` picks the compiled modules or their pure-Python twins.

    Every row taken from the cursor is delivered once, or waits in the
    result for the next read, whatever exception stops a read. A result,
    like the cursor it reads, is meant for one thread at a time; where
    threads share one anyway, each row still goes to one of them only.
    """

    def __init__(
        self,
        cursor: Any,
        types: Types = None,
        *,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ):
        super().__init__(cursor, types, flavour, key_style, CursorReader)
        # Reentrant: an exception that a signal handler raises right after
        # the lock is taken, before `with` guards it, leaves it held; the
        # thread that reads on then still can.
        self._lock = threading.RLock()

    def __enter__(self) -> Result:
        """The result itself, closed with its cursor when the block ends."""
        return self

    def __exit__(self, *exc_info: object) -> None:
        """Closes the result and its cursor (see `close`)."""
        self.close()

    def close(self) -> None:
        """Closes the cursor, as leaving a `with` block does. Rows delivered
        already stay valid; a read from now on raises ValueError."""
        with self._lock:
            self._core.close()
        _close_cursor(self._cursor)

    def _read(self, size: int | None) -> list[Row]:
        """Up to `size` rows (all the rest for None). All the rest is held
        anyway: fetched in one call and built in one batch, the collector
        runs about as often as for the driver's own fetchall()."""
        with self._lock:
            return self._reader.run(self._core.read(size, None))

    def __iter__(self) -> Iterator[Row]:
        """Each row not yet delivered, fetched 10,000 at a time."""
        core = self._core
        while True:
            yield from core.ready()
            with self._lock:
                if not core.has_ready() and not self._reader.run(core.refill(CHUNK_ROWS)):
                    return

    def fetchone(self) -> Row | None:
        """The next row, or None after the last."""
        rows = self._read(1)
        return rows[0] if rows else None

    def fetchmany(self, size: int | None = None) -> list[Row]:
        """Up to `size` rows, the cursor's `arraysize` by default."""
        return self._read(self._reader.arraysize if size is None else size)

    def fetchall(self) -> list[Row]:
        """Every row not yet delivered."""
        return self._read(None)

    def columns(self, *keys: Any) -> Iterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row; at
        least one column (iterate the result itself for whole rows)."""
        _check_columns(keys)
        return map(self._tuplegetter(*keys), self)

    def mappings(self) -> Iterator[RowMapping]:
        """Each row as a read-only mapping from column names to values."""
        return (row._mapping for row in self)


class AsyncResult(_ResultOf[AsyncCursorReader]):
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

    def __init__(
        self,
        cursor: Any,
        types: Types = None,
        *,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ):
        super().__init__(cursor, types, flavour, key_style, AsyncCursorReader)
        self._lock = asyncio.Lock()

    async def __aenter__(self) -> AsyncResult:
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

    async def _read(self, size: int | None) -> list[Row]:
        """Up to `size` rows (all the rest for None)."""
        async with self._lock:
            return await self._reader.run(self._core.read(size, ASYNC_CHUNK_ROWS))

    def __aiter__(self) -> AsyncResult:
        """Each row not yet delivered (`async for`), fetched 1,000 at a time."""
        return self

    async def __anext__(self) -> Row:
        """The next row; StopAsyncIteration after the last."""
        core = self._core
        while True:
            # Rows can be handed out without the lock: nothing is awaited
            # between taking a row and returning it.
            row = next(core.ready(), None)
            if row is not None:
                return row
            async with self._lock:
                if not core.has_ready() and not await self._reader.run(core.refill(ASYNC_CHUNK_ROWS)):
                    raise StopAsyncIteration

    async def fetchone(self) -> Row | None:
        """The next row, or None after the last."""
        rows = await self._read(1)
        return rows[0] if rows else None

    async def fetchmany(self, size: int | None = None) -> list[Row]:
        """Up to `size` rows, the cursor's `arraysize` by default."""
        return await self._read(self._reader.arraysize if size is None else size)

    async def fetchall(self) -> list[Row]:
        """Every row not yet delivered."""
        return await self._read(None)

    def columns(self, *keys: Any) -> AsyncIterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row; at
        least one column (iterate the result itself for whole rows)."""
        _check_columns(keys)
        return _EachRow(self, self._tuplegetter(*keys))

    def mappings(self) -> AsyncIterator[RowMapping]:
        """Each row as a read-only mapping from column names to values."""
        return _EachRow(self, operator.attrgetter("_mapping"))


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

    def __init__(self, rows: AsyncResult, make: Callable[[Row], _Item]):
        self._rows = rows
        self._make = make

    def __aiter__(self) -> _EachRow[_Item]:
        return self

    async def __anext__(self) -> _Item:
        return self._make(await self._rows.__anext__())
