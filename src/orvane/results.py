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
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from orvane.converters import ConversionError, Json, Numeric, Timestamp
from orvane.core import ResultCore, is_refusal
from orvane.drivers import result_description
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError, ResultMetaData
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS, Row, RowMapping
from orvane.flavours import Flavour, preferred
from orvane.plan import ColumnPlan, Types
from orvane.readers import ASYNC_CHUNK_ROWS, AsyncCursorReader, CursorReader, RowShapeError

if TYPE_CHECKING:
    from orvane.fallback.rowkern import BaseResult
else:
    try:
        from orvane.rowkern import BaseResult
    except ImportError:  # pragma: no cover - only without the compiled modules
        from orvane.fallback.rowkern import BaseResult

__all__ = ["AmbiguousColumnError", "AsyncResult", "ConversionError", "Json", "NoSuchColumnError", "Numeric", "Result", "Row", "RowShapeError", "Timestamp", "Types"]

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


class Result(_ResultOf[CursorReader], BaseResult):
    """The rows of an executed cursor.

    `types` maps column names to declared types (see `KNOWN_TYPES` in
    `orvane.converters`), or is "reported" to take each column's type from
    what the driver reports; other columns pass through unchanged.
    `flavour` picks the compiled modules or their pure-Python twins.

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

    def __new__(
        cls,
        cursor: Any,
        types: Types = None,
        *,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ) -> Result:
        return super().__new__(_on_base(cls, (flavour or preferred()).result_base))

    def __init__(
        self,
        cursor: Any,
        types: Types = None,
        *,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ):
        super().__init__(cursor, types, flavour, key_style, CursorReader)
        reader, core = self._reader, self._core
        self._serve(core.rows, functools.partial(reader.fill, core), reader.arraysize, CHUNK_ROWS)

    def __enter__(self) -> Result:
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

    def columns(self, *keys: Any) -> Iterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row; at
        least one column (iterate the result itself for whole rows)."""
        _check_columns(keys)
        return self._each(self._tuplegetter(*keys))

    def mappings(self) -> Iterator[RowMapping]:
        """Each row as a read-only mapping from column names to values."""
        return self._each(_MAPPING)


_MAPPING = operator.attrgetter("_mapping")


_ON_BASE: dict[tuple[type, type], type[Result]] = {}


def _on_base(cls: type[Result], base: type) -> type[Result]:
    """`cls`, or where its read methods are not those of `base` (a pure
    flavour's result beside the compiled modules), a subclass of it that
    takes them from `base`."""
    if issubclass(cls, base):
        return cls
    made = _ON_BASE.get((cls, base))
    if made is None:
        namespace = {"__module__": cls.__module__, "__qualname__": cls.__qualname__, "__doc__": cls.__doc__}
        made = _ON_BASE.setdefault((cls, base), type(cls.__name__, (base, cls), namespace))
    return made


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
        await self._locked()
        try:
            rows = self._core.rows
            _raise_held(rows)
            while size is None or len(rows) < size:
                wanted = ASYNC_CHUNK_ROWS if size is None else min(size - len(rows), ASYNC_CHUNK_ROWS)
                if not await self._fill(wanted):
                    break
            taken: list[Row] = rows.take(size)
            return taken
        finally:
            self._unlock()

    async def _first(self) -> Row:
        """The first ready row, not taken, once there is one; where a build
        stops after making rows, its exception is raised after them."""
        rows = self._core.rows
        while True:
            # A ready row is looked at, made into an item and taken without
            # the lock: nothing is awaited in between.
            row: Row | None = rows.first()
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

    def __aiter__(self) -> AsyncResult:
        """Each row not yet delivered (`async for`), fetched 1,000 at a time."""
        return self

    async def __anext__(self) -> Row:
        """The next row; StopAsyncIteration after the last."""
        return await self._each(_as_it_is)

    async def _each(self, make: Callable[[Row], _Item]) -> _Item:
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

    async def fetchone(self) -> Row | None:
        """The next row, or None after the last."""
        rows = await self._read(1)
        return rows[0] if rows else None

    async def fetchmany(self, size: int | None = None) -> list[Row]:
        """Up to `size` rows, the cursor's `arraysize` (read at the call) by default."""
        return await self._read(self._reader.arraysize() if size is None else size)

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
        return _EachRow(self, _MAPPING)


def _raise_held(rows: Any) -> None:
    """An exception that stopped iteration's build, held for after the rows
    made before it, is raised by the next fetch; a refused value is raised
    again when its row is built again, and is let go."""
    held, rows.stopped = rows.stopped, None
    if held is not None and not is_refusal(held):
        raise held


def _as_it_is(row: Row) -> Row:
    return row


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
        return await self._rows._each(self._make)
