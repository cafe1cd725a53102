"""Results of a DB-API 2.0 cursor as `Row` objects, with per-column converters
chosen from the column types the caller declares or the driver reports.

    >>> import sqlite3, datetime
    >>> connection = sqlite3.connect(":memory:")
    >>> cursor = connection.execute("select 1 as id, '2024-01-02 03:04:05' as at")
    >>> [row.at for row in Result(cursor, types={"at": datetime.datetime})]
    [datetime.datetime(2024, 1, 2, 3, 4, 5)]
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from typing import Any

from orvane.converters import ConversionError, Numeric
from orvane.core import ResultCore
from orvane.drivers import result_description
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError, ResultMetaData
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS, Row
from orvane.flavours import Flavour, preferred
from orvane.plan import ColumnPlan, Types
from orvane.readers import CursorReader

__all__ = ["AmbiguousColumnError", "ConversionError", "NoSuchColumnError", "Numeric", "Result", "Row", "Types"]

# Rows fetched from the cursor at a time while iterating: enough to spread
# the per-chunk work thin, few enough to keep memory flat.
CHUNK_ROWS = 1000


class Result:
    """The rows of an executed cursor.

    `types` maps column names to declared types (see `KNOWN_TYPES` in
    `orvane.converters`), or is "reported" to take each column's type from
    what the driver reports; other columns pass through unchanged.
    `flavour` picks the compiled modules or their pure-Python twins.

    Every row taken from the cursor is delivered once, or waits in the
    result for the next read, whatever exception stops a read. A result,
    like the cursor it reads, is meant for one thread at a time; where
    threads share one anyway, each row still goes to one of them only.
    """

    def __init__(
        self,
        cursor: Any,
        types: Types = None,
        *,
        flavour: Flavour | None = None,
        key_style: int = KEY_OBJECTS_AND_INTEGERS,
    ):
        description = result_description(cursor)
        flavour = flavour or preferred()
        names = [column[0] for column in description]
        self._reader = CursorReader(cursor, names)
        self._core = ResultCore(names, ColumnPlan(cursor, description, types, flavour), flavour, key_style)
        self._tuplegetter = flavour.tuplegetter
        self._lock = threading.Lock()

    @property
    def metadata(self) -> ResultMetaData:
        return self._core.metadata

    def keys(self) -> tuple[str, ...]:
        return self._core.keys()

    def _build_more(self, size: int) -> bool:
        """With the lock held and no row ready: builds up to `size` rows,
        fetching them first unless some wait unbuilt; False at the end of
        the rows, the build's exception where it stopped."""
        core = self._core
        if not core.has_unbuilt():
            fetched = self._reader.chunk(size)
            if not fetched:
                return False
            core.add(fetched)
        error = core.build(size)
        if error is not None:
            raise error
        return True

    def _read(self, size: int | None) -> list[Row]:
        """Up to `size` rows (all the rest for None)."""
        core = self._core
        with self._lock:
            rows = core.take(size)
            try:
                while size is None or len(rows) < size:
                    if not self._build_more(CHUNK_ROWS if size is None else size - len(rows)):
                        break
                    rows += core.take(None if size is None else size - len(rows))
            except BaseException:
                core.put_back(rows)
                raise
        return rows

    def __iter__(self) -> Iterator[Row]:
        core = self._core
        while True:
            yield from core.ready()
            with self._lock:
                if core.has_ready():
                    continue
                try:
                    if not self._build_more(CHUNK_ROWS):
                        return
                    continue
                except BaseException as error:
                    stopped = error
            # The rows made before the failing one come first.
            yield from core.ready()
            raise stopped

    def fetchone(self) -> Row | None:
        rows = self._read(1)
        return rows[0] if rows else None

    def fetchmany(self, size: int | None = None) -> list[Row]:
        """Up to `size` rows, the cursor's `arraysize` by default."""
        return self._read(self._reader.arraysize if size is None else size)

    def fetchall(self) -> list[Row]:
        return self._read(None)

    def columns(self, *keys: Any) -> Iterator[tuple[Any, ...]]:
        """Tuples of the given columns (names or positions) of each row."""
        return map(self._tuplegetter(*keys), self)

    def mappings(self) -> Iterator[Any]:
        """Each row as a read-only mapping from column names to values."""
        return (row._mapping for row in self)
