"""Results of a DB-API 2.0 cursor as `Row` objects, with per-column converters
chosen from the column types the caller declares or the driver reports.

    >>> import sqlite3, datetime
    >>> connection = sqlite3.connect(":memory:")
    >>> cursor = connection.execute("select 1 as id, '2024-01-02 03:04:05' as at")
    >>> [row.at for row in Result(cursor, types={"at": datetime.datetime})]
    [datetime.datetime(2024, 1, 2, 3, 4, 5)]
"""

from __future__ import annotations

import operator
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal, cast

from orvane.converters import ColumnConverter, ConversionError, Numeric, Processor, column_converter
from orvane.drivers import CursorReader, Fetched, description_of, no_reported_types, reported_types
from orvane.engine.result import NoSuchColumnError, ResultMetaData
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS, Row, RowMapping
from orvane.flavours import Flavour, preferred

__all__ = ["ConversionError", "Numeric", "Result", "Row"]

# Rows fetched from the cursor at a time while iterating: enough to spread
# the per-chunk work thin, few enough to keep memory flat.
CHUNK_ROWS = 1000

Types = Mapping[str, Any] | Literal["reported"] | None


class _Column:
    """A converted column: its converter and what is known of its values."""

    __slots__ = ("index", "converter", "kind", "fixed", "value_of", "watched", "processor")

    def __init__(self, index: int, converter: ColumnConverter, kind: type | None, as_declared: bool):
        self.index = index
        self.converter = converter
        self.kind = kind
        self.value_of = operator.itemgetter(index)
        # Where the driver reports the column's type and converts its values
        # itself, the processor is chosen once; otherwise the types of each
        # chunk's values are looked at, unless the fast processor refuses
        # every input that it does not convert exactly.
        self.fixed = kind is not None
        if as_declared:
            self.processor: Processor = None
        elif kind is not None:
            self.processor = converter.processor_for({kind})
        else:
            self.processor = converter.fast
        self.watched = not self.fixed and not converter.strict

    def value_types(self, fetched: list[Fetched]) -> set[type]:
        return set(map(type, map(self.value_of, fetched)))

    def processor_for(self, fetched: list[Fetched]) -> Processor:
        return self.converter.processor_for(self.value_types(fetched))

    def unfix(self) -> None:
        self.fixed, self.watched, self.processor = False, True, self.converter.fast


class Result:
    """The rows of an executed cursor.

    `types` maps column names to declared types (see `KNOWN_TYPES` in
    `orvane.converters`), or is "reported" to take each column's type from
    what the driver reports; other columns pass through unchanged.
    `flavour` picks the compiled modules or their pure-Python twins.
    """

    def __init__(
        self,
        cursor: Any,
        types: Types = None,
        *,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ):
        description = description_of(cursor)
        if description is None:
            raise ValueError("the cursor has no result rows: execute a query that returns rows first")
        self._flavour = flavour or preferred()
        names = [column[0] for column in description]
        self._metadata = ResultMetaData.from_names(names)
        self._key_style = key_style
        self._reader = CursorReader(cursor, names)
        self._columns = self._plan(cursor, description, types) if names else []
        self._processors: list[Processor] = [None] * len(names)
        for column in self._columns:
            self._processors[column.index] = column.processor
        self._unchecked = [column for column in self._columns if column.fixed]

    def _plan(self, cursor: Any, description: Sequence[Any], types: Types) -> list[_Column]:
        names = [column[0] for column in description]
        reported = reported_types(cursor, description)
        if types == "reported":
            if reported is None:
                raise ValueError(no_reported_types(cursor))
            declared = {index: kind for index, kind in enumerate(reported.types) if kind is not None}
        elif isinstance(types, str):
            raise ValueError(f'types is a mapping of column names to types, or "reported", not {types!r}')
        else:
            unknown = [name for name in (types or {}) if name not in names]
            if unknown:
                raise NoSuchColumnError(f"declared column {unknown[0]!r} is not in the result; its columns are {names}")
            declared = {index: types[name] for index, name in enumerate(names) if types and name in types}
        columns = []
        for index, kind in declared.items():
            converter = column_converter(kind, self._flavour)
            delivered = reported.kinds[index] if reported else None
            as_declared = delivered is not None and reported is not None and reported.types[index] == kind
            columns.append(_Column(index, converter, delivered, as_declared))
        return columns

    @property
    def metadata(self) -> ResultMetaData:
        return self._metadata

    def keys(self) -> tuple[str, ...]:
        return self._metadata.keys

    def _build_rows(self, fetched: list[Fetched]) -> list[Row]:
        """Rows of fetched values, each value converted for its column; the
        list of fetched values is taken over."""
        if not self._columns:
            return self._rows_in_place(None, fetched)
        if self._unchecked:
            self._check_delivered(fetched)
        processors = self._processors
        watched = [column for column in self._columns if column.watched]
        if watched:
            processors = list(processors)
            for column in watched:
                processors[column.index] = column.processor_for(fetched)
        made = self._rows_in_place_until_refused(processors, fetched)
        rows = cast("list[Row]", fetched)
        if made == len(fetched):
            return rows
        return rows[:made] + self._rebuild_rows(fetched[made:])

    def _check_delivered(self, fetched: list[Fetched]) -> None:
        """Drivers can be told to load a type as another (psycopg's loaders);
        the first values of a column show it, as one loader reads them all."""
        for column in list(self._unchecked):
            seen = column.value_types(fetched) - {type(None)}
            if not seen:
                continue
            self._unchecked.remove(column)
            if seen != {column.kind}:
                column.unfix()
                self._processors[column.index] = column.processor

    def _rows_in_place(self, processors: list[Processor] | None, fetched: list[Fetched]) -> list[Row]:
        """Replaces each fetched row of the list by its row, and returns the
        list: each fetched row is freed as soon as its values are converted,
        and the rows are read faster for being made where the fetched rows
        were."""
        metadata = self._metadata
        self._flavour.row_class._make_rows_in_place(metadata, processors, metadata._keymap, self._key_style, fetched)
        return cast("list[Row]", fetched)

    def _rows_in_place_until_refused(self, processors: list[Processor] | None, fetched: list[Fetched]) -> int:
        """How many of the fetched rows were replaced by rows, from the first
        on, before a processor refused a value."""
        try:
            self._rows_in_place(processors, fetched)
        except MemoryError:
            # Not a refusal: the rows are not retried, and a fetched row given
            # up for its values may be gone from the list.
            raise
        except Exception:
            row_class = self._flavour.row_class
            items = cast("list[Any]", fetched)
            return next((index for index, item in enumerate(items) if type(item) is not row_class), len(items))
        return len(fetched)

    def _rebuild_rows(self, fetched: list[Fetched]) -> list[Row]:
        """Rows of a chunk that the usual processors refused: every column's
        processor is chosen from its values' types, and a column whose fast
        processor did not fit is looked at in every later chunk too."""
        processors = list(self._processors)
        for column in self._columns:
            if column.fixed:
                continue
            processor = column.processor_for(fetched)
            if processor is not column.processor:
                column.watched = True
            processors[column.index] = processor
        made = self._rows_in_place_until_refused(processors, fetched)
        rows = cast("list[Row]", fetched[:made])
        for values in fetched[made:]:
            try:
                rows += self._rows_in_place(processors, [values])
            except Exception as error:
                raise self._explain(processors, values, error) from error
        return rows

    def _explain(self, processors: list[Processor], values: Fetched, error: Exception) -> Exception:
        """Names the column whose converter refused its value."""
        for name, processor, value in zip(self.keys(), processors, values):
            if processor is None:
                continue
            try:
                processor(value)
            except Exception as cause:
                return ConversionError(name, value, cause)
        return error

    def _chunks(self) -> Iterator[list[Row]]:
        while fetched := self._reader.chunk(CHUNK_ROWS):
            yield self._build_rows(fetched)

    def __iter__(self) -> Iterator[Row]:
        for rows in self._chunks():
            yield from rows

    def fetchone(self) -> Row | None:
        values = self._reader.one()
        return None if values is None else self._build_rows([values])[0]

    def fetchmany(self, size: int | None = None) -> list[Row]:
        """Up to `size` rows, the cursor's `arraysize` by default."""
        fetched = self._reader.chunk(self._reader.arraysize if size is None else size)
        return self._build_rows(fetched) if fetched else []

    def fetchall(self) -> list[Row]:
        rows: list[Row] = []
        for chunk in self._chunks():
            rows += chunk
        return rows

    def columns(self, *keys: Any) -> Iterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row."""
        getter = self._flavour.tuplegetter(*keys)
        for rows in self._chunks():
            yield from map(getter, rows)

    def mappings(self) -> Iterator[RowMapping]:
        """Each row as a read-only mapping from column names to values."""
        return (row._mapping for row in self)

