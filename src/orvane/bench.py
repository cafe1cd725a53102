"""Fetch rows through orvane with the compiled modules and with their
pure-Python twins, read every value along each access path, check that both
gave the same values, and report rows/s and the overhead over the driver's
own fetchall(). Without --db or --dsn the rows are generated into an SQLite
file; the cycle collector runs as it does for users unless --no-gc.

orvane itself reads the results of DB-API 2.0 queries as rows, each column
converted to the type you declare or the driver reports."""

from __future__ import annotations

import argparse
import contextlib
import datetime
import decimal
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
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from itertools import chain
from typing import Any

from orvane import flavours
from orvane.drivers import description_of
from orvane.results import Numeric, Result, Types

DEFAULT_ROWS = 50_000
# Every path's values are kept for the comparison of the flavours: a million
# rows take a few gigabytes.
MAX_ROWS = 1_000_000
DEFAULT_REPEAT = 3
# Below this many rows a fetch's fixed cost (the result, its plan of
# converters) outweighs its rows, and the ratios say little about either.
MEASURABLE_ROWS = 1000
# What a driver that is not installed takes: orvane is on no package index,
# so its extra installs from a checkout only.
INSTALL_HINT = "pip install {name}, or pip install '.[drivers]' in a checkout of orvane"

COLUMNS = "id, name, score, created, day, at, active, amount, payload"
SQLITE_SCHEMA = (
    "create table measurements ("
    " id integer primary key, name text, score real, created text, day text,"
    " at text, active integer, amount real, payload blob)"
)
POSTGRES_SCHEMA = (
    "create temporary table measurements ("
    " id integer primary key, name text, score double precision, created timestamp, day date,"
    " at time, active boolean, amount numeric(12,2), payload bytea)"
)
QUERY = f"select {COLUMNS} from measurements"
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


class BenchError(Exception):
    """A failure the user can act on, reported as one line: exit status 2
    for the arguments (a usage error), 1 once the run has begun."""


class FlavoursDiffer(Exception):
    """The compiled modules and the pure twins gave different values."""


def generated_rows(rows: int, seed: int = 7) -> Iterator[tuple[Any, ...]]:
    """`rows` rows of mixed typed values, the same for every seed."""
    rng = random.Random(seed)
    start = datetime.datetime(2020, 1, 1)
    for ident in range(rows):
        moment = start + datetime.timedelta(seconds=rng.randrange(10**8), microseconds=rng.randrange(10**6))
        word = rng.choice(WORDS)
        yield (
            ident,
            f"{word}-{ident}",
            rng.uniform(-1e3, 1e3),
            moment,
            moment.date(),
            moment.time().replace(microsecond=0),
            bool(rng.randrange(2)),
            round(rng.uniform(0, 1e5), 2),
            f"{word} {ident}".encode(),
        )


def generate_database(path: str, rows: int, seed: int = 7) -> None:
    """An SQLite file of generated rows, dates as ISO text, flags as 0/1."""
    with contextlib.closing(sqlite3.connect(path)) as connection, connection:
        connection.execute(SQLITE_SCHEMA)
        connection.executemany(
            "insert into measurements values (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (
                (ident, name, score, created.isoformat(sep=" "), day.isoformat(), at.isoformat(), int(active), amount, payload)
                for ident, name, score, created, day, at, active, amount, payload in generated_rows(rows, seed)
            ),
        )


def fill_postgres(connection: Any, rows: int, seed: int = 7) -> None:
    """The generated rows in a temporary table of the connection's session."""
    connection.execute(POSTGRES_SCHEMA)
    with connection.cursor().copy(f"copy measurements ({COLUMNS}) from stdin") as copy:
        for row in generated_rows(rows, seed):
            copy.write_row(row)


@dataclass
class Source:
    """Where the rows come from: `execute` runs the query on a new cursor."""

    label: str
    execute: Callable[[], Any]
    types: Types
    close: Callable[[], None] = field(default=lambda: None)


@dataclass
class Measurement:
    path: str
    rows_per_second: float
    values: list[Any]
    seconds: float = 0.0


def timed(path: str, rows: int, work: Callable[[], list[Any]], repeat: int, collector: bool) -> Measurement:
    """The best of `repeat` runs of `work`, from a fresh collection; the
    collector runs during them unless `collector` is false."""
    best, values = float("inf"), list[Any]()
    gc.collect()
    for _ in range(repeat):
        values = []
        if not collector:
            gc.disable()
        try:
            started = time.perf_counter()
            values = work()
            best = min(best, max(time.perf_counter() - started, 1e-9))
        finally:
            gc.enable()
    return Measurement(path, rows / best, values, best)


def attribute_names(names: Sequence[str], row_class: type) -> list[str]:
    """Columns readable as attributes: identifiers that no row attribute hides."""
    return [n for n in names if n.isidentifier() and not n.startswith("_") and not hasattr(row_class, n)]


def tuple_of(getter: Callable[..., Any], items: Sequence[Any]) -> Callable[[Any], tuple[Any, ...]]:
    """`getter(*items)` that gives a tuple for any number of items."""
    if not items:
        return lambda row: ()
    if len(items) == 1:
        one = getter(items[0])
        return lambda row: (one(row),)
    return getter(*items)  # type: ignore[no-any-return]


def _paths(flavour: flavours.Flavour, source: Source) -> Iterator[tuple[str, int, Callable[[], list[Any]]]]:
    """(path, rows read, work) for each path of one flavour, rows read 0 for
    a fetch, whose rows are counted once fetched; `work` returns the values
    read, for the comparison of the flavours."""

    def result(types: Types = source.types) -> Result:
        return Result(source.execute(), types, flavour=flavour)

    rows: list[Any] = []

    def fetch(types: Types) -> list[Any]:
        rows[:] = result(types).fetchall()
        return rows

    if source.types:
        yield "fetch without types", 0, lambda: fetch(None)
    yield ("fetch with types" if source.types else "fetch"), 0, lambda: fetch(source.types)
    count = len(rows)
    names = list(result().keys())
    unique = [n for n in names if names.count(n) == 1]
    by_position = tuple_of(operator.itemgetter, range(len(names)))
    by_name = tuple_of(operator.itemgetter, unique)
    by_attribute = tuple_of(operator.attrgetter, attribute_names(unique, flavour.row_class))
    yield "by position row[i]", count, lambda: [by_position(row) for row in rows]
    yield "by name row[name]", count, lambda: [by_name(row) for row in rows]
    yield "by attribute row.name", count, lambda: [by_attribute(row) for row in rows]
    yield "columns(...) fetch", count, lambda: list(result().columns(*range(len(names))))
    yield "mapping view row._mapping[name]", count, lambda: [by_name(row._mapping) for row in rows]


def measure(flavour: flavours.Flavour, source: Source, options: argparse.Namespace, progress: Callable[[str], None]) -> list[Measurement]:
    """Each path of one flavour: the compiled modules' best of
    `options.repeat` runs, one run of the pure twins."""
    repeat = options.repeat if flavour.name == "compiled" else 1
    measurements = []
    for path, count, work in _paths(flavour, source):
        progress(f"{flavour.name}: {path}")
        measurement = timed(path, count or 1, work, repeat, options.gc)
        if not count:  # a fetch: the rows are counted once fetched
            measurement.rows_per_second *= len(measurement.values)
            measurement.values = [tuple(row) for row in measurement.values]
        measurements.append(measurement)
    return measurements


# Types whose equal values can still print differently: 1.5 and 1.50.
_PRINTED_TYPES = (decimal.Decimal, float)


def _is_nan(value: Any) -> bool:
    return isinstance(value, _PRINTED_TYPES) and value != value


def _same_values(a: Sequence[Any], b: Sequence[Any]) -> bool:
    """Value by value, where two NaNs in the same place are the same: the
    row equality of lists sees two NaN objects as different."""
    return len(a) == len(b) and all(x == y or (_is_nan(x) and _is_nan(y)) for x, y in zip(a, b))


def _same(a: list[Any], b: list[Any]) -> bool:
    if a != b and not (len(a) == len(b) and all(map(_same_values, a, b))):
        return False
    flat_a, flat_b = list(chain.from_iterable(a)), list(chain.from_iterable(b))
    if list(map(type, flat_a)) != list(map(type, flat_b)):
        return False
    return [repr(v) for v in flat_a if isinstance(v, _PRINTED_TYPES)] == [repr(v) for v in flat_b if isinstance(v, _PRINTED_TYPES)]


def first_difference(compiled: list[Measurement], pure: list[Measurement]) -> str | None:
    """Where the two flavours' values differ, in type or in value."""
    for ours, theirs in zip(compiled, pure):
        if _same(ours.values, theirs.values):
            continue
        for index, (a, b) in enumerate(zip(ours.values, theirs.values)):
            if not _same([a], [b]):
                return f"{ours.path}, row {index}: compiled {a!r} but pure {b!r}"
        return f"{ours.path}: compiled gave {len(ours.values)} rows, pure {len(theirs.values)}"
    return None


def is_fetch(path: str) -> bool:
    """Whether a path fetches its rows (and so compares with the driver's
    fetchall()), rather than reading rows fetched already."""
    return "fetch" in path.split()


def report(
    rows: int,
    columns: Sequence[str],
    source: str,
    raw: Measurement,
    compiled: list[Measurement] | None,
    pure: list[Measurement],
    options: argparse.Namespace,
    why_pure_only: str | None = None,
) -> dict[str, Any]:
    """The figures; without `compiled`, the pure twins alone ran, for the
    reason `why_pure_only`."""

    def over_raw(measurement: Measurement) -> float | None:
        if not is_fetch(measurement.path):
            return None
        return round(measurement.seconds / raw.seconds, 2)

    setting = {
        "rows": rows,
        "columns": list(columns),
        "source": source,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "collector": "on" if options.gc else "paused",
    }
    if rows < MEASURABLE_ROWS:
        setting["warning"] = (
            f"{rows:,} {'row is' if rows == 1 else 'rows are'} too few to measure: the fixed cost of a fetch outweighs its rows"
            f" (measure {MEASURABLE_ROWS:,} rows or more)"
        )
    if compiled is None:
        return {
            **setting,
            "flavours": ["pure"],
            "why_pure_only": why_pure_only,
            "raw_fetchall_rows_per_second": round(raw.rows_per_second),
            "paths": [
                {"path": theirs.path, "pure_rows_per_second": round(theirs.rows_per_second), "pure_over_raw_fetchall": over_raw(theirs)}
                for theirs in pure
            ],
        }
    return {
        **setting,
        "repeat": options.repeat,
        "flavours": ["compiled", "pure"],
        "raw_fetchall_rows_per_second": round(raw.rows_per_second),
        "paths": [
            {
                "path": ours.path,
                "compiled_rows_per_second": round(ours.rows_per_second),
                "pure_rows_per_second": round(theirs.rows_per_second),
                "speedup": round(ours.rows_per_second / theirs.rows_per_second, 2),
                "compiled_over_raw_fetchall": over_raw(ours),
            }
            for ours, theirs in zip(compiled, pure)
        ],
    }


def format_table(figures: dict[str, Any]) -> str:
    if "driver_fetchall_rows_per_second" in figures:
        from orvane.bench_async import format_async_table

        return format_async_table(figures)
    if figures["flavours"] == ["pure"]:
        return _format_pure_table(figures)
    lines = [
        *_setting_lines(figures),
        f"flavours: compiled (best of {figures['repeat']} {_plural(figures['repeat'], 'run')}), then pure (a single run)",
        "",
        f"{'path':<34}{'compiled rows/s':>17}{'pure, 1 run':>14}{'speedup':>10}{'÷ fetchall':>12}",
        f"{'driver fetchall() alone':<34}{figures['raw_fetchall_rows_per_second']:>17,}{'':>14}{'':>10}{'1.00':>12}",
    ]
    for entry in figures["paths"]:
        ratio = entry["compiled_over_raw_fetchall"]
        lines.append(
            f"{entry['path']:<34}{entry['compiled_rows_per_second']:>17,}"
            f"{entry['pure_rows_per_second']:>14,}{entry['speedup']:>9.1f}x"
            f"{'' if ratio is None else f'{ratio:.2f}':>12}"
        )
    lines += ["", *_legend("the pure twins run once, so their column varies more than the compiled best")]
    lines += ["", "Both flavours produced identical values.", _takeaway(figures, "compiled_over_raw_fetchall", "compiled")]
    return "\n".join(lines)


def _setting_lines(figures: dict[str, Any]) -> list[str]:
    rows, columns = figures["rows"], len(figures["columns"])
    lines = [
        f"orvane bench: {rows:,} {_plural(rows, 'row')} x {columns} {_plural(columns, 'column')} ({figures['source']})",
        f"{figures['python']} on {figures['machine']}; cycle collector {figures['collector']}",
    ]
    if "warning" in figures:
        lines.append(f"warning: {figures['warning']}")
    return lines


def _plural(count: int, word: str) -> str:
    return word if count == 1 else f"{word}s"


def _legend(about_pure: str) -> list[str]:
    return [
        "÷ fetchall: a fetching path's time over the driver's own fetchall() of the same rows:",
        "  1.00 costs nothing more, lower is better. The by ... and mapping view paths read",
        "  rows fetched already: they have no fetch to compare, and that cell is blank.",
        "rows/s: on a fetch, rows fetched and built per second; on the other paths, rows read",
        "  per second, every value of each.",
        f"pure: {about_pure}.",
    ]


def _takeaway(figures: dict[str, Any], ratio_key: str, flavour: str) -> str:
    """One line: what a typed fetch costs over the raw driver, or an untyped
    one where the query has no declared types."""
    fetches = {entry["path"]: entry[ratio_key] for entry in figures["paths"] if entry[ratio_key] is not None}
    path = "fetch with types" if "fetch with types" in fetches else "fetch"
    ratio = fetches.get(path)
    if ratio is None:
        return ""
    change = round(abs(ratio - 1) * 100)
    if ratio >= 2:
        cost = f"{ratio:.1f} times as long as"
    elif change == 0:
        cost = "as long as"
    else:
        cost = f"{change}% longer than" if ratio > 1 else f"{change}% less time than"
    fetch = "a typed fetch" if path == "fetch with types" else "a fetch"
    return f"In short: {fetch} ({flavour}) takes {cost} the driver's own fetchall()."


def _format_pure_table(figures: dict[str, Any]) -> str:
    lines = [
        *_setting_lines(figures),
        f"flavour: pure only (a single run), because {figures['why_pure_only']}",
        "",
        f"{'path':<34}{'pure, 1 run':>14}{'÷ fetchall':>12}",
        f"{'driver fetchall() alone':<34}{figures['raw_fetchall_rows_per_second']:>14,}{'1.00':>12}",
    ]
    for entry in figures["paths"]:
        ratio = entry["pure_over_raw_fetchall"]
        lines.append(f"{entry['path']:<34}{entry['pure_rows_per_second']:>14,}{'' if ratio is None else f'{ratio:.2f}':>12}")
    lines += ["", *_legend("every path runs once, so the figures vary from run to run")]
    lines += ["", _takeaway(figures, "pure_over_raw_fetchall", "pure")]
    return "\n".join(lines)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:
        raise BenchError(f"{message} (see --help)")

    def format_help(self) -> str:
        from orvane.__main__ import ABOUT

        return f"{ABOUT}\n{super().format_help()}"


def count(text: str) -> int:
    """A whole number as the help writes it: 50000, 50,000 or 50_000."""
    digits = text.strip()
    groups = digits.split(",")
    if len(groups) > 1 and (not 1 <= len(groups[0]) <= 3 or any(len(group) != 3 for group in groups[1:])):
        raise ValueError(text)
    return int("".join(groups))


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = _Parser(prog="python -m orvane bench", description=__doc__)
    parser.add_argument("--rows", type=count, default=DEFAULT_ROWS, help=f"rows to generate, at most {MAX_ROWS:,} (default {DEFAULT_ROWS:,})")
    parser.add_argument("--repeat", type=count, default=DEFAULT_REPEAT, help=f"runs of each compiled path, the best counts (default {DEFAULT_REPEAT})")
    parser.add_argument("--no-gc", dest="gc", action="store_false", help="pause the cycle collector while timing")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    parser.add_argument("--quiet", action="store_true", help="no progress lines on stderr")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--db", metavar="PATH", help="an SQLite file of your own to measure (with --sql; opened read-only)")
    source.add_argument("--dsn", help="a PostgreSQL connection string: measure through psycopg (with --sql, or on the generated rows in a temporary table)")
    parser.add_argument("--sql", help="the query to run against --db or --dsn")
    parser.add_argument("--async", dest="async_", action="store_true", help="with --dsn: time AsyncResult over psycopg's async cursor, and asyncpg where installed")
    parser.add_argument(
        "--types",
        choices=["none", "reported"],
        default="none",
        help="for --sql: convert no column (default), or convert each to the type the driver reports (an SQLite file is then read through apsw)",
    )
    arguments = parser.parse_args(argv)
    if arguments.db is not None and arguments.sql is None:
        parser.error("--db needs --sql")
    if arguments.sql is not None and arguments.db is None and arguments.dsn is None:
        parser.error("--sql needs --db or --dsn")
    if arguments.types != "none" and arguments.sql is None:
        parser.error("--types applies to a query of your own (--sql)")
    if arguments.async_ and arguments.dsn is None:
        parser.error("--async needs --dsn")
    if not 1 <= arguments.rows <= MAX_ROWS:
        parser.error(f"--rows must be at least 1 and at most {MAX_ROWS:,}")
    if arguments.repeat < 1:
        parser.error("--repeat must be at least 1")
    if arguments.db is not None and not os.path.isfile(arguments.db):
        raise BenchError(f"no such database file: {arguments.db}")
    return arguments


def _import_driver(name: str, purpose: str) -> Any:
    try:
        return __import__(name)
    except ImportError:
        raise BenchError(f"{purpose} needs the {name} driver: {INSTALL_HINT.format(name=name)}") from None


def _sqlite_source(path: str, sql: str, types: Types, label: str) -> Source:
    if types == "reported":
        apsw = _import_driver("apsw", "reading the column types of an SQLite file")
        connection = apsw.Connection(path, flags=apsw.SQLITE_OPEN_READONLY)
        return Source(label, lambda: connection.cursor().execute(sql), types, connection.close)
    reader = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    return Source(label, lambda: reader.execute(sql), types, reader.close)


def _postgres_source(dsn: str, sql: str | None, types: Types, rows: int, progress: Callable[[str], None]) -> Source:
    psycopg = _import_driver("psycopg", "--dsn")
    connection = psycopg.connect(dsn)
    if sql is None:
        progress(f"loading {rows:,} generated rows into a temporary table")
        fill_postgres(connection, rows)
        sql, types, label = QUERY, DECLARED, "generated rows, PostgreSQL through psycopg"
    else:
        label = f"PostgreSQL through psycopg: {sql}"
    # Nothing the query does is kept: the connection closes without a commit.
    return Source(label, lambda: connection.execute(sql), types, connection.close)


@contextlib.contextmanager
def open_source(options: argparse.Namespace, progress: Callable[[str], None]) -> Iterator[Source]:
    types: Types = None if options.types == "none" else options.types
    with tempfile.TemporaryDirectory() as folder:
        if options.dsn is not None:
            source = _postgres_source(options.dsn, options.sql, types, options.rows, progress)
        elif options.db is not None:
            source = _sqlite_source(options.db, options.sql, types, f"{os.path.basename(options.db)}: {options.sql}")
        else:
            path = os.path.join(folder, "bench.sqlite")
            progress(f"generating {options.rows:,} rows")
            generate_database(path, options.rows)
            source = _sqlite_source(path, QUERY, DECLARED, "generated SQLite file")
        try:
            yield source
        finally:
            source.close()


def bench(options: argparse.Namespace, progress: Callable[[str], None]) -> dict[str, Any]:
    try:
        compiled: flavours.Flavour | None = flavours.compiled()
        why_pure_only = None
    except ImportError as error:
        compiled, why_pure_only = None, f"the compiled modules do not import ({error})"
        progress(f"{why_pure_only}: measuring the pure twins alone")
    if options.async_:
        if compiled is None:
            raise BenchError(f"{why_pure_only}; the async bench measures the compiled modules")
        from orvane.bench_async import bench_async

        return bench_async(options, progress)
    with open_source(options, progress) as source:
        # The query runs once before any progress line, so that a failure
        # of the user's query or file is the only line on stderr.
        probe = source.execute()
        description = description_of(probe)
        if description is None:
            raise BenchError("the statement returns no rows: give a query (select ...)")
        if probe.fetchone() is None:
            raise BenchError("the query returned no rows: there is nothing to measure")
        progress("driver: fetchall()")
        columns = [column[0] for column in description]
        raw = timed("fetchall", 1, lambda: source.execute().fetchall(), options.repeat, options.gc)
        if not raw.values:
            raise BenchError("the query returned no rows: there is nothing to measure")
        raw.rows_per_second *= len(raw.values)
        # One flavour after the other, so that the rows of one do not
        # weigh on the collector while the other is timed.
        ours = None if compiled is None else measure(compiled, source, options, progress)
        theirs = measure(flavours.pure(), source, options, progress)
    difference = None if ours is None else first_difference(ours, theirs)
    if difference is not None:
        raise FlavoursDiffer(difference)
    return report(len(raw.values), columns, source.label, raw, ours, theirs, options, why_pure_only)


def run(argv: Sequence[str]) -> int:
    try:
        options = parse_arguments(argv)
    except BenchError as error:
        print(f"orvane bench: {error}", file=sys.stderr)
        return 2
    progress = (lambda text: None) if options.quiet else _progress_line
    try:
        figures = bench(options, progress)
    except FlavoursDiffer as difference:
        print(f"orvane bench: the flavours differ: {difference}", file=sys.stderr)
        return 1
    except BenchError as error:
        print(f"orvane bench: {error}", file=sys.stderr)
        return 1
    except Exception as error:  # a driver's or a converter's refusal of the user's query or data
        message = " ".join(str(error).split()) or "no message"
        print(f"orvane bench: {type(error).__name__}: {message}", file=sys.stderr)
        return 1
    print(json.dumps(figures, indent=2) if options.json else format_table(figures))
    return 0


def _progress_line(text: str) -> None:
    print(f"orvane bench: {text}", file=sys.stderr, flush=True)
