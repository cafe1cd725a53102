"""What the result layer needs from a DB-API 2.0 driver beyond the required
parts: reading a cursor in chunks whatever optional methods it lacks, rows
that are mappings rather than sequences, and the column types it reports."""

from __future__ import annotations

import datetime
import decimal
import operator
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from itertools import islice
from typing import Any

from orvane.converters import Numeric

Fetched = Sequence[Any]


class CursorReader:
    """Raw rows of one cursor, as sequences in the order of its description."""

    def __init__(self, cursor: Any, names: Sequence[str]):
        self._names = list(names)
        self._shapes: dict[type, Callable[[Any], Fetched] | None] = {}
        fetchmany = getattr(cursor, "fetchmany", None)
        fetchone = getattr(cursor, "fetchone", None)
        self._iterator: Iterator[Any] | None = None
        if fetchmany is None:
            try:
                self._iterator = iter(cursor)
            except TypeError:
                if fetchone is None:
                    raise TypeError(f"a {type(cursor).__name__} can be neither iterated nor fetched from") from None
                self._iterator = iter(fetchone, None)
        self._fetchmany = fetchmany
        self._fetchone = fetchone
        # The DB-API default where a driver has no arraysize.
        self.arraysize: int = getattr(cursor, "arraysize", 1)

    def chunk(self, size: int) -> list[Fetched]:
        """Up to `size` rows; fewer only at the end."""
        if self._fetchmany is not None:
            fetched = self._fetchmany(size)
            if type(fetched) is not list:
                fetched = list(fetched)
        else:
            assert self._iterator is not None
            fetched = list(islice(self._iterator, size))
        return self.as_sequences(fetched)

    def one(self) -> Fetched | None:
        if self._fetchone is not None:
            values = self._fetchone()
            return None if values is None else self.as_sequences([values])[0]
        fetched = self.chunk(1)
        return fetched[0] if fetched else None

    def as_sequences(self, fetched: list[Any]) -> list[Fetched]:
        """The rows as sequences: mappings are read by column name, any
        other row that is no sequence is refused."""
        shapes = [self._shape(kind) for kind in set(map(type, fetched))]
        if not any(shapes):
            return fetched
        return [reshape(values) if (reshape := self._shape(type(values))) else values for values in fetched]

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


@dataclass(frozen=True)
class ReportedTypes:
    """The column types a driver reports: per column a declared type, or
    None where it reports one we cannot map; and per column the Python type
    of its values where the driver converts them itself, else None."""

    types: list[Any]
    kinds: list[type | None]


def _driver(cursor: Any) -> str:
    return type(cursor).__module__.split(".")[0].lstrip("_")


_POSTGRES_TYPES: dict[int, Any] = {
    16: bool,
    17: bytes,
    19: str,
    20: int,
    21: int,
    23: int,
    25: str,
    26: int,
    700: float,
    701: float,
    1042: str,
    1043: str,
    1082: datetime.date,
    1083: datetime.time,
    1114: datetime.datetime,
    1184: datetime.datetime,
    1266: datetime.time,
}
_POSTGRES_NUMERIC = 1700


def _kind(declared: Any) -> type | None:
    return decimal.Decimal if isinstance(declared, Numeric) else declared


def _postgres_kind(column: Any) -> type | None:
    return decimal.Decimal if column[1] == _POSTGRES_NUMERIC else _kind(_postgres_type(column))


def _postgres_type(column: Any) -> Any:
    if column[1] == _POSTGRES_NUMERIC:
        scale = column[5]
        return None if scale is None else Numeric(scale)
    return _POSTGRES_TYPES.get(column[1])


_DUCKDB_TYPES: dict[str, Any] = {
    "BOOLEAN": bool,
    "TINYINT": int,
    "SMALLINT": int,
    "INTEGER": int,
    "BIGINT": int,
    "HUGEINT": int,
    "UTINYINT": int,
    "USMALLINT": int,
    "UINTEGER": int,
    "UBIGINT": int,
    "UHUGEINT": int,
    "VARCHAR": str,
    "FLOAT": float,
    "DOUBLE": float,
    "DATE": datetime.date,
    "TIME": datetime.time,
    "TIME WITH TIME ZONE": datetime.time,
    "TIMESTAMP": datetime.datetime,
    "TIMESTAMP WITH TIME ZONE": datetime.datetime,
    "BLOB": bytes,
}
_DECIMAL_SCALE = re.compile(r"\s*(?:DECIMAL|NUMERIC)\s*\(\s*\d+\s*,\s*(\d+)\s*\)\s*$", re.IGNORECASE)


def _duckdb_type(column: Any) -> Any:
    name = str(column[1]).upper()
    scale = _DECIMAL_SCALE.match(name)
    return Numeric(int(scale.group(1))) if scale else _DUCKDB_TYPES.get(name)


def sqlite_declared_type(declared: str | None) -> Any:
    """The type for an SQLite column declaration, by the words SQLite's
    own type affinity looks for, dates and truth values first."""
    text = (declared or "").upper()
    scale = _DECIMAL_SCALE.match(text)
    if scale:
        return Numeric(int(scale.group(1)))
    rules: list[tuple[tuple[str, ...], Any]] = [
        (("BOOL",), bool),
        (("DATETIME", "TIMESTAMP"), datetime.datetime),
        (("DATE",), datetime.date),
        (("TIME",), datetime.time),
        (("INT",), int),
        (("CHAR", "CLOB", "TEXT"), str),
        (("BLOB",), bytes),
        (("REAL", "FLOA", "DOUB"), float),
    ]
    for words, kind in rules:
        if any(word in text for word in words):
            return kind
    return None


def description_of(cursor: Any) -> Sequence[Any] | None:
    """The cursor's description. apsw keeps none once a statement has run
    to completion, which a query of no rows has done at once: that is an
    empty result."""
    try:
        return cursor.description  # type: ignore[no-any-return]
    except Exception as error:
        if _driver(cursor) == "apsw" and type(error).__name__ == "ExecutionCompleteError":
            return ()
        raise


def reported_types(cursor: Any, description: Sequence[Any]) -> ReportedTypes | None:
    """The column types the cursor's driver reports, or None for a driver
    that reports none we can read."""
    driver = _driver(cursor)
    if driver == "psycopg":
        return ReportedTypes([_postgres_type(column) for column in description], [_postgres_kind(column) for column in description])
    if driver == "duckdb":
        types = [_duckdb_type(column) for column in description]
        return ReportedTypes(types, [_kind(declared) for declared in types])
    if driver == "apsw":
        # SQLite stores any value in any column, so the values still need
        # looking at.
        return ReportedTypes([sqlite_declared_type(column[1]) for column in description], [None] * len(description))
    return None


def no_reported_types(cursor: Any) -> str:
    """Why `types="reported"` cannot work on this cursor."""
    driver = _driver(cursor)
    if driver == "sqlite3":
        return (
            "the sqlite3 module reports no column types: declare them with types={column: type}, "
            "or read the file through apsw, which reports the declared ones"
        )
    return f"orvane cannot read the column types that {driver} reports: declare them with types={{column: type}}"
