"""The column plan of a result: from the types the caller declares, or the
driver reports, to a processor per column for each chunk of fetched rows."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal

from orvane.converters import ApplicationFunction, ColumnConverter, ParsedJson, Processor, column_converter, with_article
from orvane.drivers import Fetched, ReportedTypes, no_reported_types, reported_types
from orvane.engine.result import NoSuchColumnError
from orvane.flavours import Flavour

Types = Mapping[str, Any] | Literal["reported"] | None


# The fetched rows whose values show what a driver delivers for a column
# whose type it reports: one loader reads all of a column's values.
_CHECKED_ROWS = 1000


class PlannedColumn:
    """A converted column: its converter and what is known of its values."""

    __slots__ = ("index", "converter", "kind", "fixed", "types_of", "watched", "processor")

    def __init__(
        self, index: int, converter: ColumnConverter, kind: type | None, as_declared: bool, types_of: Callable[..., set[type]], guarded: bool = False
    ):
        self.index = index
        self.converter = converter
        self.kind = kind
        self.types_of = types_of
        # Where the driver reports the column's type and converts its values
        # itself, the processor is chosen once; otherwise the types of each
        # chunk's values are looked at, unless the fast processor refuses
        # every input that it does not convert exactly.
        self.fixed = kind is not None
        # A guarded column's builder passes None, and values of the declared
        # type itself, without calling the processor (see
        # `ColumnPlan.ready`): where there is no fast processor the general
        # converter serves, as cheap as none for values of that type, and
        # the values need not be looked at chunk by chunk.
        general_serves = guarded and converter.fast is None
        if as_declared:
            self.processor: Processor = None
        elif kind is not None:
            # Any value of a column may be None.
            self.processor = converter.processor_for({kind, type(None)})
        elif general_serves:
            self.processor = converter.general
        else:
            self.processor = converter.fast_without_none or converter.fast
        self.watched = not self.fixed and not converter.strict and not general_serves

    def value_types(self, fetched: list[Fetched]) -> set[type]:
        try:
            return self.types_of(fetched, self.index)
        except IndexError:
            # A row too short for the column: the build stops at it, and
            # the other rows' values still choose the processor.
            return {type(values[self.index]) for values in fetched if len(values) > self.index}

    def processor_for(self, fetched: list[Fetched]) -> Processor:
        return self.converter.processor_for(self.value_types(fetched))

    def unfix(self) -> None:
        self.fixed, self.watched, self.processor = False, True, self.converter.fast


class ColumnPlan:
    """The processors of a result's columns.

    Not safe to share between threads: its callers hold the result's lock.
    """

    def __init__(self, cursor: Any, description: Sequence[Any], types: Types, flavour: Flavour, annotated: Mapping[str, Any] | None = None):
        """`annotated`, where rows are delivered as an application's class,
        maps columns to the declared types that the fields they fill are
        annotated with: a mapping `types` overrides them, and they override
        what the driver reports. The columns are then guarded (see
        `ready`)."""
        names = [column[0] for column in description]
        self.width = len(names)
        guarded = annotated is not None
        self.columns = _planned_columns(cursor, description, names, types, flavour, annotated or {}, guarded) if names else []
        # Per column of a guarded plan, the one type whose values pass as
        # they are, None where there is none: the builder skips the processor
        # for them, and for None, which every processor passes or refuses
        # only for being None.
        self.ready: tuple[type | None, ...] | None = None
        if guarded:
            ready: list[type | None] = [None] * len(names)
            for column in self.columns:
                if len(column.converter.ready) == 1:
                    ready[column.index] = next(iter(column.converter.ready))
            self.ready = tuple(ready)
        self._processors: list[Processor] = [None] * len(names)
        for column in self.columns:
            self._processors[column.index] = column.processor
        # A JSON column that the driver parses delivers values of many types,
        # all final: its loader, not its values, says so.
        self._unchecked = [column for column in self.columns if column.fixed and column.kind is not ParsedJson]
        # The columns whose converter is an application's function, by index.
        self.applications: dict[int, ApplicationFunction] = {
            column.index: column.converter.application
            for column in self.columns
            if column.converter.application is not None
        }

    def processors(self, fetched: list[Fetched]) -> list[Processor] | None:
        """The processors for a chunk of fetched rows, None where no column
        converts."""
        if not self.columns:
            return None
        if self._unchecked:
            self._check_delivered(fetched)
        processors = self._processors
        watched = [column for column in self.columns if column.watched]
        if watched:
            processors = list(processors)
            for column in watched:
                processors[column.index] = column.processor_for(fetched)
        # Where every column is delivered as declared, the rows keep the
        # fetched tuples themselves, as without types.
        return processors if any(processors) else None

    def general_processors(self, fetched: list[Fetched]) -> list[Processor]:
        """The processors for fetched rows that the usual ones refused: every
        column's processor is chosen from its values' types, and a column
        whose fast processor did not fit is looked at in every later chunk
        too."""
        processors = list(self._processors)
        for column in self.columns:
            if column.fixed:
                continue
            processor = column.processor_for(fetched)
            if processor is not column.processor:
                column.watched = True
            processors[column.index] = processor
        return processors

    def _check_delivered(self, fetched: list[Fetched]) -> None:
        """Drivers can be told to load a type as another (psycopg's loaders);
        the first values of a column show it, as one loader reads them all."""
        first = fetched[:_CHECKED_ROWS]
        for column in list(self._unchecked):
            seen = column.value_types(first) - {type(None)}
            if not seen and len(fetched) > len(first):
                seen = column.value_types(fetched) - {type(None)}
            if not seen:
                continue
            self._unchecked.remove(column)
            if seen != {column.kind}:
                column.unfix()
                self._processors[column.index] = column.processor


def _planned_columns(
    cursor: Any, description: Sequence[Any], names: list[str], types: Types, flavour: Flavour, annotated: Mapping[str, Any], guarded: bool
) -> list[PlannedColumn]:
    if isinstance(types, type):
        raise TypeError(
            f'types is a mapping of column names to types, or "reported", not the class {types.__qualname__}: '
            f"for rows as {types.__qualname__} objects, pass into={types.__qualname__}"
        )
    if types is not None and not isinstance(types, (str, Mapping)):
        raise TypeError(f'types is a mapping of column names to types, or "reported", not {with_article(type(types).__name__)}')
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
    from_annotations = {index for index, name in enumerate(names) if name in annotated and (types == "reported" or index not in declared)}
    declared.update((index, annotated[names[index]]) for index in from_annotations)
    return [_planned_column(index, kind, reported, flavour, guarded) for index, kind in sorted(declared.items())]


def _planned_column(index: int, declared: Any, reported: ReportedTypes | None, flavour: Flavour, guarded: bool) -> PlannedColumn:
    converter = column_converter(declared, flavour)
    delivered = reported.kinds[index] if reported else None
    as_declared = delivered is not None and reported is not None and reported.types[index] == declared
    return PlannedColumn(index, converter, delivered, as_declared, flavour.types_of, guarded)
