"""The core of a result, shared by the synchronous and the asynchronous one.

It does no I/O and never awaits: it builds the rows a reader fetched into
the result's `RowBuffer` (`flavour.row_buffer`), reshaping them to sequences
first, through `BaseRow._make_rows_in_place`, and explains values that a
converter refuses. The buffer keeps every row taken from the cursor and not
yet delivered, built (ready) or not (unbuilt); each change to it is a single
call that happens whole or not at all, so whatever stops a build, a signal
handler's exception or a failed allocation included, every row is in it.

Making more rows is a generator of steps, run by the result's reader under
the result's lock: it yields how many rows to fetch (None: all the rest)
and the buffer to fetch them into, and is sent whether any came; so the
synchronous and the asynchronous result make rows the same way and differ
only in how a chunk is taken:

    steps = core.more(size)
    wanted, rows = next(steps)
    while the steps go on:
        wanted, rows = steps.send(reader.fetch_into(rows, wanted))
        # async: rows.receive(await reader.chunk(wanted))
    # an exception while fetching is thrown into the steps: nothing taken is lost

The synchronous reader has the buffer call the driver, so fetched rows are
kept before any signal handler can run. The read methods take the ready
rows from the buffer themselves (`orvane.rowkern.BaseResult` for the
synchronous result).
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Generator, Sequence
from typing import Any, TypeVar

from orvane.converters import ApplicationFunction, ApplicationRefusal, ConversionError, Processor
from orvane.drivers import Fetched
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError, ResultMetaData
from orvane.flavours import Flavour
from orvane.plan import ColumnPlan
from orvane.readers import RowShapes
from orvane.row_classes import RowClass

# Rows fetched and made at a time where rows become instances of an
# application's class, even for a read of all the rest: each chunk's fetched
# rows are freed as its instances are made, before the collector, which runs
# once the chunk is built, would walk them.
OBJECT_CHUNK_ROWS = 1000

T = TypeVar("T")
# The steps of making rows: each yields how many rows to fetch (None: all
# the rest) and the buffer to fetch them into, and is sent whether any came;
# the steps return a T.
Steps = Generator[tuple[int | None, Any], bool, T]


class ResultCore:
    """Builds a result's rows into its buffer, `rows`: the ready ones, then
    the unbuilt ones, in the order of the result.

    Not safe to share between threads: the result that owns it holds a lock
    around every call, while rows are taken from the buffer without it.
    """

    def __init__(self, names: Sequence[str], plan: ColumnPlan, flavour: Flavour, key_style: int, objects: RowClass | None = None):
        self.metadata = ResultMetaData.from_names(names)
        self.rows: Any = flavour.row_buffer()
        self._plan = plan
        self._row_class = flavour.row_class
        self._key_style = key_style
        self._shapes = RowShapes(names, flavour.types_of)
        # Where rows are delivered as instances of an application's class,
        # how they are made, and the builder of the flavour that makes them.
        self.objects = objects
        self._make_objects = flavour.make_objects
        self.closed = False
        self._finished = False

    def close(self) -> None:
        """Drops the rows not yet delivered; every read from now on raises.
        Rows delivered already stay as they are."""
        self.closed = True
        self._drop_waiting()

    def finish(self) -> None:
        """Ends the result: the rows fetched and not delivered are dropped,
        the rest are not fetched, and every later read finds no rows."""
        self._finished = True
        self._drop_waiting()

    def _drop_waiting(self) -> None:
        rows = self.rows
        rows.stopped = None
        # The read methods fetch more once no ready row is left, and `more`
        # then raises.
        rows.take(None)
        unbuilt = rows.unbuilt
        if unbuilt is not None:
            rows.replace_unbuilt(unbuilt, [])

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("the result is closed: read its rows before closing it (or leaving its with block)")

    def keys(self) -> tuple[str, ...]:
        return self.metadata.keys

    def more(self, size: int | None) -> Steps[bool]:
        """The steps that build the unbuilt rows, fetching up to `size` (all
        the rest for None) first where none wait: False at the end of the
        rows. Raises what stopped the build: the rows made before it are
        ready, the failing row is the first unbuilt one."""
        self._check_open()
        if self._finished:
            return False
        if self.objects is not None and (size is None or size > OBJECT_CHUNK_ROWS):
            size = OBJECT_CHUNK_ROWS
        if self.rows.unbuilt is None and not (yield size, self.rows):
            return False
        error = self.build()
        if error is not None:
            raise error
        return True

    def build(self) -> BaseException | None:
        """Builds the unbuilt rows, which become ready after the rows ready
        already. Returns None, or the exception that stopped the build: the
        rows made before it are ready, the failing row is the first unbuilt
        one. A refused value is a `ConversionError` naming its row, column and
        value, a row of another shape than the result's a `RowShapeError`;
        any other exception (KeyboardInterrupt, MemoryError, ...) is returned
        as it came, for the caller to raise. An exception raised around the
        builder (by a signal handler as it returned, for one) propagates, and
        the rows it made are settled by the next build."""
        rows = self.rows
        batch = rows.unbuilt
        if batch is None:
            return None
        made = self._made_here(batch)
        if made:
            rows.settle(made)
            batch = rows.unbuilt
            if batch is None:
                return None
        sequences = self._shapes.as_sequences(batch)
        if sequences is not batch:
            rows.replace_unbuilt(batch, sequences)
            batch = sequences
        processors = self._plan.processors(batch)
        made, error = self._make(processors, batch)
        rows.settle(made)
        if is_refusal(error) and processors is not None and not isinstance(error, ApplicationRefusal):
            # The usual processors were chosen for the values seen before;
            # the rest get processors chosen from their own values.
            tail = rows.unbuilt
            usual, processors = processors, self._plan.general_processors(tail)
            if self._plan.applications:
                self._replay_applications(usual, processors, tail[0])
            made, error = self._make(processors, tail)
            rows.settle(made)
        if error is not None and is_refusal(error):
            return self._refusal(processors, error)
        return error

    def _refusal(self, processors: list[Processor] | None, error: BaseException) -> BaseException:
        """What the failing row, the first unbuilt one, is refused for: its
        shape, or the value a converter refused."""
        failing = self.rows.unbuilt
        if not failing:
            return error
        position = self.rows.position
        misfit = self._shapes.misfit(failing[0], position)
        if misfit is not None:
            return misfit
        if processors is None and self.objects is None:
            return error
        return self._explain(processors, failing[0], error, position)

    def _made_here(self, batch: list[Any]) -> int:
        """How many rows at the head of `batch` this core made: rows of its
        class whose parent is its metadata (fetched rows may be rows of the
        same class, but of another result), or instances of the class rows
        become."""
        made = 0
        if self.objects is not None:
            cls = self.objects.cls
            for item in batch:
                if type(item) is not cls:
                    break
                made += 1
            return made
        row_class, parent = self._row_class, self.metadata
        for item in batch:
            if type(item) is not row_class or item._parent is not parent:
                break
            made += 1
        return made

    def _make(self, processors: list[Processor] | None, batch: list[Fetched]) -> tuple[int, BaseException | None]:
        """Builds the rows of `batch` in its place, from the first on: how
        many were made, and the exception that stopped the build, if any."""
        if self.objects is not None:
            return self.objects.make(self._make_objects, processors, self._plan.ready, batch)
        metadata = self.metadata
        return self._row_class._make_rows_in_place(metadata, processors, metadata._keymap, self._key_style, batch, self._shapes.width)

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


def is_refusal(error: BaseException | None) -> bool:
    """Whether a converter refused a value, rather than the program being
    stopped or out of memory."""
    return isinstance(error, Exception) and not isinstance(error, MemoryError)
