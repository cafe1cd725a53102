"""The core of a result, shared by the synchronous and the asynchronous one.

It does no I/O and never awaits: it is handed the rows a reader fetched,
reshapes them to sequences, builds their rows through
`BaseRow._make_rows_in_place`, explains values that a converter refuses, and
keeps every row taken from the cursor and not yet delivered, built (ready)
or not (unbuilt).

A read is a generator of steps, run by the result's reader under the
result's lock: each step yields how many rows to fetch (None: all the rest)
and the list to append them to, and is sent how many were appended; so the
synchronous and the asynchronous result run the same reads and differ only
in how a chunk is taken:

    steps = core.read(size, most)
    wanted, sink = next(steps)
    while the steps go on:
        wanted, sink = steps.send(reader.fetch_into(sink, wanted))
        # async: sink += await reader.chunk(wanted), then send how many
    # an exception while fetching is thrown into the steps: nothing taken is lost

The synchronous reader calls the driver from within the list's own extend,
so fetched rows are in the core before any signal handler can run.
Iteration hands out the ready rows through `core.ready()`, and makes more
ready with `core.refill(most)` once none are left.
"""

from __future__ import annotations

import collections
import itertools
import operator
from collections.abc import Callable, Generator, Iterator, Sequence
from typing import Any, TypeVar

from orvane.converters import ApplicationFunction, ApplicationRefusal, ConversionError, Processor
from orvane.drivers import Fetched
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError, ResultMetaData
from orvane.flavours import Flavour
from orvane.plan import ColumnPlan
from orvane.readers import RowShapes
from orvane.row_classes import RowClass

_NOTHING_READY: Iterator[Any] = iter(())

# Rows fetched and made at a time where rows become instances of an
# application's class, even for a read of all the rest: each chunk's fetched
# rows are freed as its instances are made, before the collector, which runs
# once the chunk is built, would walk them.
OBJECT_CHUNK_ROWS = 1000

T = TypeVar("T")
# The steps of a read: each yields how many rows to fetch (None: all the
# rest) and the list to append them to, and is sent how many were appended,
# none at the end of the rows; the read returns a T.
Steps = Generator[tuple[int | None, list[Any]], int, T]


class ResultCore:
    """Rows of a result between the cursor and the reader: the ready ones,
    then the unbuilt ones, in the order of the result.

    Not safe to share between threads: the result that owns it holds a lock
    around every call but `ready()`'s iterator, whose rows each go to one
    caller only.
    """

    def __init__(self, names: Sequence[str], plan: ColumnPlan, flavour: Flavour, key_style: int, objects: RowClass | None = None):
        self.metadata = ResultMetaData.from_names(names)
        self._plan = plan
        self._row_class = flavour.row_class
        self._key_style = key_style
        self._shapes = RowShapes(names, flavour.types_of)
        # Where rows are delivered as instances of an application's class,
        # how they are made, and the builder of the flavour that makes them.
        self.objects = objects
        self._make_objects = flavour.make_objects
        self._finished = False
        self._ready: Iterator[Any] = _NOTHING_READY
        self._unbuilt: list[Fetched] = []
        # The position in the result of the first unbuilt row.
        self._position = 0
        # What stopped the last refill, raised once the rows made before
        # the failing one are delivered.
        self._stopped: BaseException | None = None

    def keys(self) -> tuple[str, ...]:
        return self.metadata.keys

    def has_ready(self) -> bool:
        """Whether built rows wait to be delivered."""
        return operator.length_hint(self._ready) > 0

    def has_unbuilt(self) -> bool:
        """Whether fetched rows wait to be built."""
        return bool(self._unbuilt)

    def ready(self) -> Iterator[Any]:
        """The ready rows, as an iterator that delivers each of them once,
        whoever reads it: a later `take` goes on where it stopped."""
        return self._ready

    def take(self, size: int | None = None) -> list[Any]:
        """Up to `size` ready rows (all of them for None), now delivered."""
        if size is None:
            return list(self._ready)
        return list(itertools.islice(self._ready, size))

    def put_back(self, rows: list[Any]) -> None:
        """Rows taken but not handed to the caller, first in line again."""
        if rows:
            self._ready = iter(rows + list(self._ready))

    def read(self, size: int | None, most: int | None) -> Steps[list[Any]]:
        """The steps of a read of up to `size` rows (all the rest for None),
        fetching and building at most `most` rows at a time (no limit for
        None). Whatever stops it, fetching or building, the rows it took wait
        first in line."""
        self._stopped = None
        if most is None and self.objects is not None:
            most = OBJECT_CHUNK_ROWS
        rows = self.take(size)
        try:
            while size is None or len(rows) < size:
                wanted = None if size is None else size - len(rows)
                if most is not None and (wanted is None or wanted > most):
                    wanted = most
                if not (yield from self._build_more(wanted)):
                    break
                rows += self.take(None if size is None else size - len(rows))
        except BaseException:
            self.put_back(rows)
            raise
        return rows

    def refill(self, most: int) -> Steps[bool]:
        """The steps that make rows ready where none are, fetching at most
        `most`: False at the end of the rows. Where a build stops, the rows
        made before the failing one are ready, and its exception is raised by
        the refill after them."""
        stopped, self._stopped = self._stopped, None
        if stopped is not None:
            raise stopped
        try:
            return (yield from self._build_more(most))
        except BaseException as error:
            if not self.has_ready():
                raise
            self._stopped = error
            return True

    def _build_more(self, size: int | None) -> Steps[bool]:
        """Builds up to `size` rows (all for None), fetched first unless some
        wait unbuilt: False at the end of the rows; raises the build's
        exception."""
        if self._finished:
            return False
        # Appended to from within the driver's own call (the reader's
        # `fetch_into`): a signal handler that runs as the driver returns
        # then finds the rows kept.
        if not self._unbuilt and not (yield size, self._unbuilt):
            return False
        error = self.build(size) if self.objects is None else self._build_objects(size)
        if error is not None:
            raise error
        return True

    def build(self, limit: int | None = None) -> BaseException | None:
        """Builds up to `limit` unbuilt rows (all of them for None), which
        become ready after the rows ready already. Returns None, or the
        exception that stopped the build: the rows made before it are ready,
        the failing row is the first unbuilt one. A refused value is a
        `ConversionError` naming its row, column and value; any other
        exception (KeyboardInterrupt, MemoryError, ...) is returned as it came,
        for the caller to raise."""
        unbuilt = self._unbuilt
        if limit is not None and limit < len(unbuilt):
            batch, rest = unbuilt[:limit], unbuilt[limit:]
        else:
            batch, rest = unbuilt, []
        try:
            batch = self._shapes.as_sequences(batch)
            processors = self._plan.processors(batch)
            made, error = self._make(processors, batch)
            if made < len(batch) and _is_refusal(error) and processors is not None and not isinstance(error, ApplicationRefusal):
                # The usual processors were chosen for the values seen before;
                # the rest get processors chosen from their own values.
                tail = batch[made:]
                usual, processors = processors, self._plan.general_processors(tail)
                if self._plan.applications:
                    self._replay_applications(usual, processors, tail[0])
                again, error = self._make(processors, tail)
                batch, made = batch[:made] + tail, made + again
            self._settle(batch, made, rest)
        except BaseException as raised:
            # Raised around the builder (by a signal handler as it returned,
            # for one): `batch` holds rows made here, then fetched rows,
            # whatever step was reached, unless they are settled already.
            if self._unbuilt is not unbuilt:
                raise
            self._settle(batch, self._made_here(batch), rest)
            return raised
        if error is not None and _is_refusal(error) and processors is not None:
            error = self._explain(processors, self._unbuilt[0], error, self._position)
        return error

    def _made_here(self, batch: list[Any]) -> int:
        """How many rows at the head of `batch` this core made: rows of its
        class whose parent is its metadata (fetched rows may be rows of the
        same class, but of another result)."""
        row_class, parent = self._row_class, self.metadata
        made = 0
        for item in batch:
            if type(item) is not row_class or item._parent is not parent:
                break
            made += 1
        return made

    def _settle(self, batch: list[Any], made: int, rest: list[Fetched]) -> None:
        """Keeps the rows made at the head of `batch` as ready, and the rest
        of it, then `rest`, as unbuilt."""
        if made == len(batch):
            self._keep(batch, rest)
        else:
            self._keep(batch[:made], batch[made:] + rest)

    def _keep(self, rows: list[Any], unbuilt: list[Fetched]) -> None:
        """Makes `rows` ready after those ready already, and `unbuilt` the
        rows that wait to be built."""
        ready = iter(list(self._ready) + rows) if self.has_ready() else iter(rows)
        position = self._position + len(rows)
        self._unbuilt, self._ready, self._position = unbuilt, ready, position

    def _build_objects(self, limit: int | None) -> BaseException | None:
        """`build` for rows delivered as instances of the application's
        class. The builder takes each fetched row from the head of the batch
        (leaving None in its place) once its instance is in `made`, so that
        whatever stops it, the batch from `len(made)` on holds the fetched
        rows not yet made, whatever the class and its instances are."""
        assert self.objects is not None
        objects, unbuilt = self.objects, self._unbuilt
        if limit is not None and limit < len(unbuilt):
            batch, rest = unbuilt[:limit], unbuilt[limit:]
        else:
            batch, rest = unbuilt, []
        made: list[Any] = []
        try:
            batch = self._shapes.as_sequences(batch)
            processors = self._plan.processors(batch)
            error = objects.make(self._make_objects, processors, self._plan.ready, batch, made)
            if len(made) < len(batch) and _is_refusal(error) and processors is not None and not isinstance(error, ApplicationRefusal):
                # The usual processors were chosen for the values seen before;
                # the rest get processors chosen from their own values.
                tail = batch[len(made) :]
                usual, processors = processors, self._plan.general_processors(tail)
                if self._plan.applications:
                    self._replay_applications(usual, processors, tail[0])
                error = objects.make(self._make_objects, processors, self._plan.ready, tail, made)
            self._keep(made, batch[len(made) :] + rest)
        except BaseException as raised:
            if self._unbuilt is not unbuilt:
                raise
            self._keep(made, batch[len(made) :] + rest)
            return raised
        if error is not None and _is_refusal(error):
            error = self._explain(processors, self._unbuilt[0], error, self._position)
        return error

    def finish(self) -> None:
        """Ends the result: the rows fetched and not delivered are dropped,
        the rest are not fetched, and every later read finds no rows. The
        ready rows are dropped from their iterator itself, which an
        iteration in progress may hold."""
        self._finished = True
        collections.deque(self._ready, maxlen=0)
        self._ready, self._unbuilt, self._stopped = _NOTHING_READY, [], None

    def column_index(self, key: Any) -> int:
        """The position of the column a name or a position names."""
        width = len(self.keys())
        if type(key) is int:
            if not -width <= key < width:
                raise IndexError(f"column {key} is out of range: the result has {width} columns")
            return key % width
        record = self.metadata._keymap.get(key)
        if record is None:
            raise NoSuchColumnError(f"no column {key!r} in the result; its columns are {list(self.keys())}")
        if record[0] is None:
            raise AmbiguousColumnError(f"several columns of the result are named {key!r}")
        index: int = record[0]
        return index

    def value_getter(self, index: int) -> Callable[[Any], Any]:
        """What reads the value of the column at `index` from a delivered
        row: its item, or the attribute of the field it fills."""
        if self.objects is None:
            return operator.itemgetter(index)
        return operator.attrgetter(self.objects.fields[index])

    def _make(self, processors: list[Processor] | None, batch: list[Fetched]) -> tuple[int, BaseException | None]:
        """Builds the rows of `batch` in its place, from the first on: how
        many were made, and the exception that stopped the build, if any."""
        metadata = self.metadata
        return self._row_class._make_rows_in_place(metadata, processors, metadata._keymap, self._key_style, batch)

    def _explain(self, processors: list[Processor] | None, values: Fetched, error: BaseException, position: int) -> BaseException:
        """Names the row and the column whose converter refused its value, or
        whose field does not take the None it became. An application's
        function is not called again: its refusal names itself."""
        if isinstance(error, ApplicationRefusal):
            index = next(index for index, application in self._plan.applications.items() if application is error.application)
            return _refused(self.keys()[index], error.value, error.cause, position)
        refusing = self._refusing_column(processors, values)
        if refusing is None:
            return error
        index, cause = refusing
        return _refused(self.keys()[index], values[index], cause, position)

    def _refusing_column(self, processors: list[Processor] | None, values: Fetched) -> tuple[int, Exception | str] | None:
        """The first column whose built-in processor refuses its value, or
        whose field does not take the None it became, and why. Where rows
        become instances, None passes without its processor, as the builder
        passes it, and an application's column has the result of its latest
        call."""
        applications = self._plan.applications
        objects = self.objects
        for index, value in enumerate(values):
            processor = None if processors is None else processors[index]
            converted = value
            if processor is not None and index in applications:
                if objects is None:
                    continue
                application = applications[index]
                converted = application.result if value is not None and value is application.value else value
            elif processor is not None and (objects is None or value is not None):
                try:
                    converted = processor(value)
                except Exception as cause:
                    return index, cause
            if converted is None and objects is not None and objects.refuses_none(index):
                return index, objects.none_refused(index)
        return None

    def _replay_applications(self, usual: list[Processor], processors: list[Processor], values: Fetched) -> None:
        """The application columns before the one that refused `values` ran
        on them already: built again, that row gets their results back."""
        refusing = self._refusing_column(usual, values)
        before = len(values) if refusing is None else refusing[0]
        for index, application in self._plan.applications.items():
            if index < before and values[index] is not None:
                processors[index] = _replay_once(application)


def _refused(name: str, value: Any, cause: Exception | str, position: int) -> ConversionError:
    refused = ConversionError(name, value, cause, row=position)
    if isinstance(cause, BaseException):
        refused.__cause__ = cause
    return refused


def _replay_once(application: ApplicationFunction) -> Processor:
    """The application's processor, whose first call returns the result of
    its latest call where it is handed that call's value again."""
    pending = [True]

    def process(value: Any) -> Any:
        if pending[0]:
            pending[0] = False
            if value is application.value:
                return application.result
        return application.process(value)

    return process


def _is_refusal(error: BaseException | None) -> bool:
    """Whether a converter refused a value, rather than the program being
    stopped or out of memory."""
    return isinstance(error, Exception) and not isinstance(error, MemoryError)
