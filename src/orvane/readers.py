"""Reading a cursor in chunks, whatever optional methods it lacks, and the
fetched rows as sequences in the order of the description (rows that are
mappings are read by column name). A reader runs the steps of a result's
reads (see `orvane.core`), taking each chunk they ask for from its cursor:
the synchronous reader calls the cursor's fetch methods, the asynchronous
one awaits them.""" 

from __future__ import annotations

import asyncio
import inspect
import operator
import sys
from collections.abc import Callable, Coroutine, Iterator, Mapping, Sequence
from itertools import islice
from typing import TYPE_CHECKING, Any

from orvane.converters import with_article
from orvane.drivers import Fetched

if TYPE_CHECKING:
    from orvane.core import ResultCore, Steps, T

# Rows per call of a cursor that has fetchmany() but no fetchall().
_REST_CHUNK = 10_000

# Rows an async result fetches and builds at a time, and an async reader
# fetches at most before the event loop gets a turn: about 2 ms of work.
ASYNC_CHUNK_ROWS = 1000

_FETCH_METHODS = ("fetchmany", "fetchone", "fetchall")


def _started(fetch: Coroutine[Any, Any, list[Any]]) -> asyncio.Future[list[Any]]:
    """The fetch as a task, run at once as far as it goes without waiting
    (where the interpreter can), so that a fetch whose rows are at hand costs
    no turn of the event loop."""
    if sys.version_info >= (3, 12):
        # The loop named: 3.12's first releases find none for an eager task.
        return asyncio.Task(fetch, loop=asyncio.get_running_loop(), eager_start=True)
    return asyncio.ensure_future(fetch)


def awaits_fetch(cursor: Any) -> bool:
    """Whether the cursor's fetch methods are coroutine functions, as those
    of psycopg's AsyncCursor and AsyncServerCursor and aiosqlite's Cursor."""
    return any(inspect.iscoroutinefunction(getattr(cursor, name, None)) for name in _FETCH_METHODS)


class RowShapeError(ValueError):
    """A fetched row with another number of values than the result has
    columns, or a mapping without one of its columns."""

    __module__ = "orvane.results"

    def __init__(self, message: str, row: int):
        super().__init__(message)
        # The position of the row in the result, from 0.
        self.row = row

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.row))


class _Lacking(tuple[None, ...]):
    """In place of a mapping row that lacks one of the result's columns: one
    value more than the result has columns, so that the batch's width check
    stops the build at it, and the name of the column it lacks."""

    missing: str

    def __new__(cls, width: int, missing: str) -> _Lacking:
        lacking = super().__new__(cls, (None,) * (width + 1))
        lacking.missing = missing
        return lacking


class RowShapes:
    """Fetched rows as sequences in the order of the description: mappings
    are read by column name, any other row that is no sequence is refused.
    Shared by the readers of every kind of cursor."""

    def __init__(self, names: Sequence[str], types_of: Callable[[list[Any]], set[type]]):
        self._names = list(names)
        self.width = len(self._names)
        self._types_of = types_of
        self._shapes: dict[type, Callable[[Any], Fetched] | None] = {}

    def as_sequences(self, fetched: list[Any]) -> list[Fetched]:
        """The rows as sequences. A mapping that lacks a column becomes a
        `_Lacking` row, at which the batch's width check stops the build."""
        shapes = [self._shape(kind) for kind in self._types_of(fetched)]
        if not any(shapes):
            return fetched
        try:
            return [reshape(values) if (reshape := self._shape(type(values))) else values for values in fetched]
        except KeyError:
            return [self._as_sequence(values) for values in fetched]

    def _as_sequence(self, values: Any) -> Fetched:
        reshape = self._shape(type(values))
        if reshape is None:
            sequence: Fetched = values
            return sequence
        missing = self._missing(values)
        if missing is None:
            return reshape(values)
        return _Lacking(self.width, missing)

    def misfit(self, values: Any, position: int) -> RowShapeError | None:
        """The error for a fetched row at `position` that is not of the
        result's shape, or None for one that is."""
        if isinstance(values, _Lacking):
            return RowShapeError(f"row {position} has no column {values.missing!r}", position)
        length = len(values)
        if length == self.width:
            return None
        counted = f"{length} value" + ("" if length == 1 else "s")
        return RowShapeError(f"row {position} has {counted} where the result has {self.width} columns", position)

    def _missing(self, values: Mapping[Any, Any]) -> str | None:
        """The first column a mapping row lacks, if any."""
        for name in self._names:
            try:
                values[name]
            except KeyError:
                return name
        return None

    def _shape(self, kind: type) -> Callable[[Any], Fetched] | None:
        """None for a kind of row that is a sequence already, else the
        function that makes one of it."""
        try:
            return self._shapes[kind]
        except KeyError:
            pass
        reshape: Callable[[Any], Fetched] | None
        if issubclass(kind, (tuple, list)):
            reshape = None
        elif issubclass(kind, Mapping):
            reshape = self._mapping_reader()
        elif issubclass(kind, (str, bytes, bytearray, memoryview)) or not all(
            hasattr(kind, method) for method in ("__getitem__", "__len__", "__iter__")
        ):
            raise TypeError(f"a fetched row must be a sequence or a mapping, not {kind.__name__}")
        else:
            reshape = None
        self._shapes[kind] = reshape
        return reshape

    def _mapping_reader(self) -> Callable[[Any], Fetched]:
        names = self._names
        if len(set(names)) != len(names):
            raise TypeError("rows fetched as mappings lose columns that share a name; fetch them as sequences")
        getter = operator.itemgetter(*names)
        if len(names) == 1:
            return lambda row: (getter(row),)
        return getter


class CursorReader:
    """The rows of one DB-API cursor, read in chunks."""

    def __init__(self, cursor: Any):
        if awaits_fetch(cursor):
            raise TypeError(f"{with_article(type(cursor).__name__)} is an async cursor, whose rows are awaited: read it with AsyncResult")
        fetchmany = getattr(cursor, "fetchmany", None)
        fetchone = getattr(cursor, "fetchone", None)
        self._iterator: Iterator[Any] | None = None
        if fetchmany is None:
            try:
                self._iterator = iter(cursor)
            except TypeError:
                if fetchone is None:
                    raise TypeError(f"{with_article(type(cursor).__name__)} can be neither iterated nor fetched from") from None
                self._iterator = iter(fetchone, None)
        self._fetchmany = fetchmany
        self._fetchall = getattr(cursor, "fetchall", None) if fetchmany is not None else None
        self._fetchone = fetchone
        self._cursor = cursor

    def arraysize(self) -> int:
        """The cursor's arraysize now: DB-API's fetchmany() reads it at the
        call (1, the DB-API default, where a driver has none)."""
        size: int = getattr(self._cursor, "arraysize", 1)
        return size

    def fetch_into(self, rows: Any, size: int | None) -> bool:
        """Has the buffer `rows` fetch up to `size` rows (all the rest for
        None; fewer only at the end) as the driver fetched them: whether any
        came. The buffer calls the driver itself, so its rows are kept before
        any signal handler can run."""
        if size is None:
            if self._fetchall is not None:
                return bool(rows.fetch(self._fetchall))
            if self._iterator is not None:
                return bool(rows.fetch_rows(self._iterator))
            # Built a chunk at a time: the steps ask for more until none come.
            return bool(rows.fetch(self._fetchmany, _REST_CHUNK))
        if size == 1 and self._fetchone is not None:
            return bool(rows.fetch_rows(islice(iter(self._fetchone, None), 1)))
        if self._fetchmany is not None:
            return bool(rows.fetch(self._fetchmany, size))
        assert self._iterator is not None
        return bool(rows.fetch_rows(islice(self._iterator, size)))

    def fill(self, core: ResultCore, size: int | None) -> bool:
        """Makes more of the core's rows ready: builds the unbuilt ones, or
        fetches up to `size` (all the rest for None) and builds them; False at
        the end of the rows."""
        return self.run(core.more(size))

    def run(self, steps: Steps[T]) -> T:
        """Runs the steps of making rows, fetching each chunk they ask for
        into the buffer they name."""
        try:
            wanted, rows = next(steps)
            while True:
                try:
                    fetched = self.fetch_into(rows, wanted)
                except BaseException as error:
                    wanted, rows = steps.throw(error)
                else:
                    wanted, rows = steps.send(fetched)
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]


class AsyncCursorReader:
    """The rows of one async cursor, read in chunks that are awaited."""

    def __init__(self, cursor: Any):
        fetchmany = getattr(cursor, "fetchmany", None)
        if not inspect.iscoroutinefunction(fetchmany):
            kind = with_article(type(cursor).__name__)
            if awaits_fetch(cursor):
                raise TypeError(f"{kind} has no fetchmany coroutine function, which AsyncResult reads chunks with")
            raise TypeError(f"{kind} is no async cursor (its fetch methods are not coroutine functions): read it with Result")
        self._fetchmany = fetchmany
        fetchone = getattr(cursor, "fetchone", None)
        self._fetchone = fetchone if inspect.iscoroutinefunction(fetchone) else None
        self._cursor = cursor
        # Rows fetched since this reader last gave the event loop control.
        self._since_turn = 0
        # The driver's fetch that a cancelled read was awaiting, if any.
        self._in_flight: asyncio.Future[list[Any]] | None = None

    def arraysize(self) -> int:
        """The cursor's arraysize now (1 where a driver has none)."""
        size: int = getattr(self._cursor, "arraysize", 1)
        return size

    async def chunk(self, size: int | None) -> list[Any]:
        """Up to `size` rows as the driver fetched them, fewer only at the
        end; all the rest for None. A fetch that a cancelled read left in
        flight is taken first, whatever size it was asked for."""
        if self._since_turn >= ASYNC_CHUNK_ROWS:
            # The rows of some cursors are at hand (psycopg's client-side
            # ones), and their fetch returns without a turn of the loop.
            self._since_turn = 0
            await asyncio.sleep(0)
        fetch = self._in_flight
        if fetch is None:
            fetch = _started(self._fetch(size))
            if fetch.done():
                # Finished without waiting: nothing could cancel it.
                fetched = fetch.result()
                self._since_turn += len(fetched)
                return fetched
            self._in_flight = fetch
        try:
            # Shielded: a driver whose fetch runs in a worker thread, or on a
            # server that has moved its cursor on, takes its rows whether the
            # awaiting task is cancelled or not, so the fetch is let finish
            # and its rows wait here for the next read.
            fetched = await asyncio.shield(fetch)
        except BaseException:
            if fetch.done() and (fetch.cancelled() or fetch.exception() is not None):
                self._in_flight = None
            raise
        self._in_flight = None
        self._since_turn += len(fetched)
        return fetched

    async def _fetch(self, size: int | None) -> list[Any]:
        if size is None:
            fetched = await self._cursor.fetchall()
        elif size == 1 and self._fetchone is not None:
            values = await self._fetchone()
            fetched = [] if values is None else [values]
        else:
            fetched = await self._fetchmany(size)
        return fetched if type(fetched) is list else list(fetched)

    async def run(self, steps: Steps[T]) -> T:
        """Runs the steps of making rows, awaiting each chunk they ask for. A
        cancellation while a chunk is awaited is thrown into the steps like
        any other exception, and the driver's fetch it interrupted waits for
        the next read (see `chunk`); a chunk goes into the steps' buffer
        before anything else is awaited."""
        try:
            wanted, rows = next(steps)
            while True:
                try:
                    fetched = await self.chunk(wanted)
                except BaseException as error:
                    wanted, rows = steps.throw(error)
                else:
                    wanted, rows = steps.send(bool(rows.receive(fetched)))
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
