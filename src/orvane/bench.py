"""`python -m orvane bench`: fetch rows from SQLite through orvane with the
compiled modules and with their pure-Python twins, read every value along
each access path, check that both gave the same values, and report rows/s."""

from __future__ import annotations

import argparse
import contextlib
import datetime
import gc
import json
import operator
import os
import platform
import random
import sqlite3
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from orvane import flavours
from orvane.results import Numeric, Result

DEFAULT_ROWS = 150_000

SCHEMA = (
    "create table measurements ("
    " id integer primary key, name text, score real, created text, day text,"
    " at text, active integer, amount real, payload blob)"
)
QUERY = "select id, name, score, created, day, at, active, amount, payload from measurements"
DECLARED = {
    "score": float,
    "created": datetime.datetime,
    "day": datetime.date,
    "at": datetime.time,
    "active": bool,
    "amount": Numeric(2),
    "payload": str,
}
WORDS = ["alpha", "beta", "gamma", "delta", "øre", "straße", "naïve", "日本", "zeta"]


def generate_database(path: str, rows: int, seed: int = 7) -> None:
    """A file of `rows` rows of mixed columns, the same for every seed."""
    rng = random.Random(seed)
    start = datetime.datetime(2020, 1, 1)
    with contextlib.closing(sqlite3.connect(path)) as connection, connection:
        connection.execute(SCHEMA)
        records = []
        for ident in range(rows):
            moment = start + datetime.timedelta(seconds=rng.randrange(10**8), microseconds=rng.randrange(10**6))
            word = rng.choice(WORDS)
            records.append(
                (
                    ident,
                    f"{word}-{ident}",
                    rng.uniform(-1e3, 1e3),
                    moment.isoformat(sep=" "),
                    moment.date().isoformat(),
                    moment.time().replace(microsecond=0).isoformat(),
                    rng.randrange(2),
                    round(rng.uniform(0, 1e5), 2),
                    f"{word} {ident}".encode(),
                )
            )
        connection.executemany("insert into measurements values (?, ?, ?, ?, ?, ?, ?, ?, ?)", records)


@dataclass
class Measurement:
    path: str
    rows_per_second: float
    values: list[Any]


def timed(path: str, rows: int, work: Callable[[], list[Any]]) -> Measurement:
    # The cycle collector would otherwise walk every row built so far, a cost
    # that grows with the run and says nothing about either flavour.
    gc.collect()
    gc.disable()
    try:
        started = time.perf_counter()
        values = work()
        elapsed = max(time.perf_counter() - started, 1e-9)
    finally:
        gc.enable()
    return Measurement(path, rows / elapsed, values)


def attribute_names(names: Sequence[str], row_class: type) -> list[str]:
    """Columns readable as attributes: identifiers that no row attribute hides."""
    return [n for n in names if n.isidentifier() and not n.startswith("_") and not hasattr(row_class, n)]


def measure(flavour: flavours.Flavour, connection: sqlite3.Connection, sql: str, types: dict[str, Any], progress: Callable[[str], None]) -> list[Measurement]:
    def result() -> Result:
        return Result(connection.execute(sql), types, flavour=flavour)

    progress(f"{flavour.name}: fetching")
    fetched = timed("fetch (build rows)", 1, lambda: result().fetchall())
    rows, count = fetched.values, len(fetched.values)
    fetched.rows_per_second *= count
    measurements = [Measurement(fetched.path, fetched.rows_per_second, [tuple(row) for row in rows])]

    names = list(result().keys())
    unique = [n for n in names if names.count(n) == 1]
    by_position = operator.itemgetter(*range(len(names)))
    by_name = operator.itemgetter(*unique) if unique else (lambda row: ())
    readable = attribute_names(unique, flavour.row_class)
    by_attribute = operator.attrgetter(*readable) if readable else (lambda row: ())
    plan: list[tuple[str, Callable[[], list[Any]]]] = [
        ("by position row[i]", lambda: [by_position(row) for row in rows]),
        ("by name row[name]", lambda: [by_name(row) for row in rows]),
        ("by attribute row.name", lambda: [by_attribute(row) for row in rows]),
        ("columns(...) fetch", lambda: list(result().columns(*unique))),
        ("mapping view row._mapping[name]", lambda: [by_name(row._mapping) for row in rows]),
    ]
    for path, work in plan:
        progress(f"{flavour.name}: {path}")
        measurements.append(timed(path, count, work))
    return measurements


def first_difference(compiled: list[Measurement], pure: list[Measurement]) -> str | None:
    """Where the two flavours' values differ, in type or in value."""
    for ours, theirs in zip(compiled, pure):
        for index, (a, b) in enumerate(zip(ours.values, theirs.values)):
            if a != b or [type(v) for v in a] != [type(v) for v in b] or repr(a) != repr(b):
                return f"{ours.path}, row {index}: compiled {a!r} but pure {b!r}"
        if len(ours.values) != len(theirs.values):
            return f"{ours.path}: compiled gave {len(ours.values)} rows, pure {len(theirs.values)}"
    return None


def report(rows: int, columns: Sequence[str], source: str, compiled: list[Measurement], pure: list[Measurement]) -> dict[str, Any]:
    return {
        "rows": rows,
        "columns": list(columns),
        "source": source,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "paths": [
            {
                "path": ours.path,
                "compiled_rows_per_second": round(ours.rows_per_second),
                "pure_rows_per_second": round(theirs.rows_per_second),
                "speedup": round(ours.rows_per_second / theirs.rows_per_second, 2) if theirs.rows_per_second else None,
            }
            for ours, theirs in zip(compiled, pure)
        ],
    }


def format_table(figures: dict[str, Any]) -> str:
    lines = [
        f"orvane bench: {figures['rows']:,} rows x {len(figures['columns'])} columns ({figures['source']})",
        f"{figures['python']} on {figures['machine']}",
        "",
        f"{'path':<34}{'compiled rows/s':>17}{'pure rows/s':>14}{'speedup':>10}",
    ]
    for entry in figures["paths"]:
        lines.append(
            f"{entry['path']:<34}{entry['compiled_rows_per_second']:>17,}"
            f"{entry['pure_rows_per_second']:>14,}{entry['speedup']:>9.1f}x"
        )
    lines.append("")
    lines.append("Both flavours produced identical values.")
    return "\n".join(lines)


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m orvane bench", description=__doc__)
    parser.add_argument("--rows", type=int, default=DEFAULT_ROWS, help=f"rows to generate (default {DEFAULT_ROWS:,})")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    parser.add_argument("--db", help="an SQLite file of your own to measure instead (needs --sql)")
    parser.add_argument("--sql", help="the query to run against --db")
    arguments = parser.parse_args(argv)
    if (arguments.db is None) != (arguments.sql is None):
        parser.error("--db and --sql go together")
    if arguments.rows < 1:
        parser.error("--rows must be at least 1")
    if arguments.db is not None and not os.path.exists(arguments.db):
        parser.error(f"no such database file: {arguments.db}")
    return arguments


def run(argv: Sequence[str]) -> int:
    arguments = parse_arguments(argv)
    try:
        compiled = flavours.compiled()
    except ImportError as error:
        print(f"orvane bench: the compiled modules do not import ({error}); build them first", file=sys.stderr)
        return 2
    pure = flavours.pure()
    progress = _progress_line if sys.stderr.isatty() else (lambda text: None)

    with tempfile.TemporaryDirectory() as folder:
        if arguments.db is None:
            path, sql, types = os.path.join(folder, "bench.sqlite"), QUERY, DECLARED
            progress(f"generating {arguments.rows:,} rows")
            generate_database(path, arguments.rows)
            source = "generated SQLite file"
        else:
            path, sql, types = arguments.db, arguments.sql, {}
            source = f"{os.path.basename(arguments.db)}: {sql}"
        connection = sqlite3.connect(path)
        try:
            ours = measure(compiled, connection, sql, types, progress)
            theirs = measure(pure, connection, sql, types, progress)
            columns = [c[0] for c in connection.execute(sql).description]
        except sqlite3.Error as error:
            progress("")
            print(f"orvane bench: {error}", file=sys.stderr)
            return 2
        finally:
            connection.close()
    progress("")

    difference = first_difference(ours, theirs)
    if difference is not None:
        print(f"orvane bench: the flavours differ: {difference}", file=sys.stderr)
        return 1
    figures = report(len(ours[0].values), columns, source, ours, theirs)
    print(json.dumps(figures, indent=2) if arguments.json else format_table(figures))
    return 0


def _progress_line(text: str) -> None:
    sys.stderr.write(f"\r\x1b[K{text}" if text else "\r\x1b[K")
    sys.stderr.flush()
