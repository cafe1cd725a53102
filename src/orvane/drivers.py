"""What each DB-API 2.0 driver reports beyond the required parts: the column
types it knows, and the quirks of its description."""

from __future__ import annotations

import datetime
import decimal
import inspect
import re
import uuid
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from orvane.converters import Delivered, Json, Numeric, ParsedJson, with_article

Fetched = Sequence[Any]


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
    2950: uuid.UUID,
    1186: Delivered(datetime.timedelta),
}
_POSTGRES_NUMERIC = 1700
_POSTGRES_JSON = frozenset({114, 3802})


def _kind(declared: Any) -> type | None:
    if isinstance(declared, Numeric):
        return decimal.Decimal
    if isinstance(declared, Delivered):
        return declared.kind
    # The driver hands JSON columns over as text.
    return None if declared is Json else declared


def _postgres_kind(cursor: Any, index: int, column: Any) -> type | None:
    if column[1] == _POSTGRES_NUMERIC:
        return decimal.Decimal
    if column[1] in _POSTGRES_JSON:
        return ParsedJson if _psycopg_parses_json(cursor, index, column[1]) else None
    return _kind(_postgres_type(column))


def _psycopg_parses_json(cursor: Any, index: int, oid: int) -> bool:
    """Whether the cursor loads a json or jsonb column with psycopg's own
    JSON loaders, which parse each value: then a str is a parsed JSON
    string. Any other loader (one that keeps the text, say) is left to the
    values, and text is parsed."""
    try:
        from psycopg.types.json import JsonBinaryLoader, JsonbBinaryLoader, JsonbLoader, JsonLoader

        result = cursor.pgresult
        loader = cursor.adapters.get_loader(oid, result.fformat(index) if result is not None else cursor.format)
    except Exception:
        return False
    return isinstance(loader, type) and issubclass(loader, (JsonLoader, JsonbLoader, JsonBinaryLoader, JsonbBinaryLoader))


def _postgres_type(column: Any) -> Any:
    if column[1] == _POSTGRES_NUMERIC:
        scale = column[5]
        return None if scale is None else Numeric(scale)
    if column[1] in _POSTGRES_JSON:
        return Json
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
    "UUID": uuid.UUID,
    "JSON": Json,
    "INTERVAL": Delivered(datetime.timedelta),
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


def result_description(cursor: Any) -> Sequence[Any]:
    """The description of a cursor's result rows; TypeError for something
    that is no cursor, the driver's own error (or ValueError) for a closed
    cursor or one whose statement returned no rows."""
    try:
        description = description_of(cursor)
    except AttributeError:
        if hasattr(type(cursor), "description"):
            raise
        raise TypeError(f"a DB-API cursor was expected, not {with_article(type(cursor).__name__)}") from None
    if description is not None:
        return description
    # Closed cursors of some drivers have no description either: their
    # fetch says what is wrong where the driver knows. An async driver's
    # fetch cannot be awaited here.
    fetchone = getattr(cursor, "fetchone", None)
    if callable(fetchone) and not inspect.iscoroutinefunction(fetchone):
        fetchone()
    if getattr(cursor, "closed", False) is True:
        raise ValueError("the cursor is closed")
    raise ValueError("the cursor has no result rows: execute a query that returns rows first")


def reported_types(cursor: Any, description: Sequence[Any]) -> ReportedTypes | None:
    """The column types the cursor's driver reports, or None for a driver
    that reports none we can read."""
    driver = _driver(cursor)
    if driver == "psycopg":
        kinds = [_postgres_kind(cursor, index, column) for index, column in enumerate(description)]
        return ReportedTypes([_postgres_type(column) for column in description], kinds)
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
