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
from itertools import chain, islice, starmap
from typing import TYPE_CHECKING, Any

from orvane.converters import with_article
from orvane.drivers import Fetched

if TYPE_CHECKING:
    from orvane.core import Steps, T

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
        return asyncio.Task(fetch, eager_start=True)
    return asyncio.ensure_future(fetch)


def awaits_fetch(cursor: Any) -> bool:
    """Whether the cursor's fetch methods are coroutine functions, as those
    of psycopg's AsyncCursor and AsyncServerCursor and aiosqlite's Cursor."""
    return any(inspect.iscoroutinefunction(getattr(cursor, name, None)) for name in _FETCH_METHODS)


class RowShapeError(ValueError):
    """A fetched row with another number of values than the result has
    columns, or a mapping without one of its columns."""

    def __init__(self, message: str, row: int):
        super().__init__(message)
        # The position of the row in the result, from 0.
        self.row = row


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
        """The rows as sequences, up to the first mapping that lacks a column
        (the list is shorter then)."""
        shapes = [self._shape(kind) for kind in self._types_of(fetched)]
        if not any(shapes):
            return fetched
        try:
            return [reshape(values) if (reshape := self._shape(type(values))) else values for values in fetched]
        except KeyError:
            pass
        shaped: list[Fetched] = []
        for values in fetched:
            reshape = self._shape(type(values))
            if reshape is not None and self._missing(values) is not None:
                break
            shaped.append(reshape(values) if reshape is not None else values)
        return shaped

    def misfit(self, values: Any, position: int) -> RowShapeError | None:
        """The error for a fetched row at `position` that is not of the
        result's shape, or None for one that is."""
        if isinstance(values, Mapping):
            missing = self._missing(values)
            return None if missing is None else RowShapeError(f"row {position} has no column {missing!r}", position)
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
        # The DB-API default where a driver has no arraysize.
        self.arraysize: int = getattr(cursor, "arraysize", 1)

    def fetch_into(self, sink: list[Any], size: int | None) -> int:
        """Appends up to `size` rows (all the rest for None), as the driver
        fetched them, to `sink` (fewer only at the end), and says how many.
        The driver is called from within the list's own extend, so its rows
        are in `sink` before any signal handler can run."""
        before = len(sink)
        if size is None:
            if self._fetchall is not None:
                sink.extend(chain.from_iterable(starmap(self._fetchall, ((),))))
            elif self._iterator is not None:
                sink.extend(self._iterator)
            else:
                while self.fetch_into(sink, _REST_CHUNK):
                    pass
        elif size == 1 and self._fetchone is not None:
            sink.extend(islice(iter(self._fetchone, None), 1))
        elif self._fetchmany is not None:
            sink.extend(chain.from_iterable(map(self._fetchmany, (size,))))
        else:
            assert self._iterator is not None
            sink.extend(islice(self._iterator, size))
        return len(sink) - before

    def run(self, steps: Steps[T]) -> T:
        """Runs the steps of a read, fetching each chunk they ask for into
        the list they name."""
        try:
            wanted, sink = next(steps)
            while True:
                try:
                    added = self.fetch_into(sink, wanted)
                except BaseException as error:
                    wanted, sink = steps.throw(error)
                else:
                    wanted, sink = steps.send(added)
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
        # The DB-API default where a driver has no arraysize.
        self.arraysize: int = getattr(cursor, "arraysize", 1)
        # Rows fetched since this reader last gave the event loop control.
        self._since_turn = 0
        # The driver's fetch that a cancelled read was awaiting, if any.
        self._in_flight: asyncio.Future[list[Any]] | None = None

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
        """Runs the steps of a read, awaiting each chunk they ask for. A
        cancellation while a chunk is awaited is thrown into the steps like
        any other exception, so that they keep what they had taken, and the
        driver's fetch it interrupted waits for the next read (see `chunk`);
        a chunk goes into the steps' list before anything else is awaited."""
        try:
            wanted, sink = next(steps)
            while True:
                try:
                    fetched = await self.chunk(wanted)
                except BaseException as error:
                    wanted, sink = steps.throw(error)
                else:
                    sink += fetched
                    wanted, sink = steps.send(len(fetched))
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]
