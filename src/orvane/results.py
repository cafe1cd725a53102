"""Results of a DB-API 2.0 cursor as `Row` objects, with per-column converters
chosen from the column types the caller declares.

    >>> import sqlite3, datetime
    >>> connection = sqlite3.connect(":memory:")
    >>> cursor = connection.execute("select 1 as id, '2024-01-02 03:04:05' as at")
    >>> [row.at for row in Result(cursor, types={"at": datetime.datetime})]
    [datetime.datetime(2024, 1, 2, 3, 4, 5)]
"""

from __future__ import annotations

import datetime
import decimal
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any

from orvane.engine.result import NoSuchColumnError, ResultMetaData
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS
from orvane.flavours import Flavour, preferred

Processor = Callable[[Any], Any] | None


@dataclass(frozen=True)
class Numeric:
    """A decimal column: values become `decimal.Decimal` rounded to `scale`
    digits after the point."""

    scale: int

    def __post_init__(self) -> None:
        if not isinstance(self.scale, int) or isinstance(self.scale, bool) or not 0 <= self.scale <= 100:
            raise ValueError(f"a decimal scale is a whole number from 0 to 100, not {self.scale!r}")


class ConversionError(ValueError):
    """A fetched value that its column's converter refused."""

    def __init__(self, column: str, value: Any, cause: BaseException):
        super().__init__(f"column {column!r}: cannot convert {value!r}: {cause}")
        self.column = column
        self.value = value


def processor_for(declared: Any, flavour: Flavour) -> Processor:
    """The converter for one declared column type."""
    converters = flavour.converters
    if isinstance(declared, Numeric):
        return converters.DecimalResultProcessor(decimal.Decimal, f"%.{declared.scale}f").process
    simple = {
        datetime.datetime: converters.str_to_datetime,
        datetime.date: converters.str_to_date,
        datetime.time: converters.str_to_time,
        bool: converters.int_to_boolean,
        float: converters.to_float,
    }
    if declared is str:
        return converters.UnicodeResultProcessor("utf-8").conditional_process
    if declared is decimal.Decimal:
        raise TypeError("declare a decimal column as Numeric(scale), giving the digits after the point")
    try:
        return simple[declared]
    except (KeyError, TypeError):
        pass
    known = "datetime.datetime, datetime.date, datetime.time, bool, float, str, Numeric(scale)"
    raise TypeError(f"no converter for the declared type {declared!r}; known types: {known}")


class Result:
    """The rows of an executed cursor.

    `types` maps column names to declared types (see `processor_for`);
    columns it does not name pass through unchanged. `flavour` picks the
    compiled modules or their pure-Python twins.
    """

    def __init__(
        self,
        cursor: Any,
        types: Mapping[str, Any] | None = None,
        *,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ):
        if cursor.description is None:
            raise ValueError("the cursor has no result rows: execute a query that returns rows first")
        self._cursor = cursor
        self._flavour = flavour or preferred()
        names = [column[0] for column in cursor.description]
        self._metadata = ResultMetaData.from_names(names)
        self._key_style = key_style
        self._processors = self._pick_processors(names, dict(types or {}))

    def _pick_processors(self, names: list[str], types: dict[str, Any]) -> list[Processor] | None:
        unknown = [name for name in types if name not in names]
        if unknown:
            raise NoSuchColumnError(f"declared column {unknown[0]!r} is not in the result; its columns are {names}")
        processors = [processor_for(types[name], self._flavour) if name in types else None for name in names]
        return processors if any(processors) else None

    @property
    def metadata(self) -> ResultMetaData:
        return self._metadata

    def keys(self) -> tuple[str, ...]:
        return self._metadata.keys

    def _make_row(self, values: Any) -> Any:
        metadata = self._metadata
        try:
            return self._flavour.row_class(metadata, self._processors, metadata._keymap, self._key_style, values)
        except Exception as error:
            raise self._explain(values, error) from error

    def _explain(self, values: Any, error: Exception) -> Exception:
        """Names the column whose converter refused its value."""
        for name, processor, value in zip(self.keys(), self._processors or (), values):
            if processor is None:
                continue
            try:
                processor(value)
            except Exception as cause:
                return ConversionError(name, value, cause)
        return error

    def __iter__(self) -> Iterator[Any]:
        row_class, metadata, processors = self._flavour.row_class, self._metadata, self._processors
        keymap, key_style = metadata._keymap, self._key_style
        for values in self._cursor:
            try:
                yield row_class(metadata, processors, keymap, key_style, values)
            except Exception as error:
                raise self._explain(values, error) from error

    def fetchone(self) -> Any:
        values = self._cursor.fetchone()
        return None if values is None else self._make_row(values)

    def fetchmany(self, size: int) -> list[Any]:
        return [self._make_row(values) for values in self._cursor.fetchmany(size)]

    def fetchall(self) -> list[Any]:
        return list(self)

    def columns(self, *keys: Any) -> Iterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row."""
        getter = self._flavour.tuplegetter(*keys)
        return (getter(row) for row in self)

    def mappings(self) -> Iterator[Any]:
        """Each row as a read-only mapping from column names to values."""
        return (row._mapping for row in self)
