"""The contenders of the end-to-end fetch, per driver: each a callable that
runs the main job's query and returns its rows, typed (the declared columns
converted) or untyped (the driver's values), with the way to read every value
of one of its rows and the targets it is judged by."""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import datetime
import decimal
import operator
import os
import sqlite3
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from itertools import repeat
from typing import Annotated, Any

from orvane import flavours
from orvane.bench import COLUMNS, DECLARED, POSTGRES_SCHEMA, QUERY, generate_database, generated_rows
from orvane.converters import column_converter
from orvane.engine.row import KEY_OBJECTS_AND_INTEGERS
from orvane.results import Numeric, Result

NAMES = [name.strip() for name in COLUMNS.split(",")]
Rows = Any  # what a contender returns: a list of rows of its own kind


@dataclass
class Contender:
    """One way of fetching the rows: `work` fetches them, `read` reads every
    value of one row once, `values` gives one row's values as a tuple (to
    compare contenders)."""

    work: Callable[[], Rows]
    read: Callable[[Any], Any] = operator.itemgetter(*range(len(NAMES)))
    values: Callable[[Any], tuple[Any, ...]] = tuple


@dataclass
class Target:
    ours: str
    theirs: str
    limit: float | None  # None: shown, not judged


@dataclass
class Suite:
    """Everything the benchmark runs for one driver."""

    label: str
    contenders: dict[str, Contender]
    baselines: dict[str, str]  # which contender's values each one is checked against
    exact: set[str]  # the contenders (orvane's) that must give exactly their baseline's values
    memory: list[str]  # contenders whose memory per held row is reported
    targets: list[Target]
    checks: dict[str, Contender] = field(default_factory=dict)  # baselines that are not timed
    breakdown: Callable[[], dict[str, Callable[[], Any]]] | None = None


def orvane_contenders(execute: Callable[[], Any], typed: Any, reported: bool, pure: bool) -> dict[str, Contender]:
    """orvane's own fetches over a cursor that `execute` makes: untyped, with
    the reported types where the driver reports them, and typed."""
    compiled = flavours.compiled()
    variants: list[tuple[str, Any, flavours.Flavour]] = [("orvane untyped", None, compiled)]
    if reported:
        variants.append(("orvane reported", "reported", compiled))
    variants.append(("orvane typed", typed, compiled))
    if pure:
        slow = flavours.pure()
        variants += [(f"{name} (pure)", types, slow) for name, types, _ in variants]
    contenders = {name: Contender(lambda types=types, flavour=flavour: Result(execute(), types, flavour=flavour).fetchall()) for name, types, flavour in variants}
    # Iteration keeps memory flat: rows by the chunk, not all at once.
    contenders["orvane untyped, iterated"] = Contender(lambda: list(Result(execute(), flavour=compiled)))
    return contenders


def orvane_exact(contenders: dict[str, Contender]) -> set[str]:
    return {name for name in contenders if name.startswith("orvane")}


# -- SQLite through sqlite3 ---------------------------------------------------

# The same table with declared types that name a converter (the first word)
# and keep the original column's storage (the affinity the rest implies).
DECLTYPE_SCHEMA = (
    "create table measurements ("
    " id integer primary key, name text, score real, created isodatetime text, day isodate text,"
    " at isotime text, active flag integer, amount money real, payload utf8 blob)"
)
DECLTYPE_CONVERTERS: dict[str, Callable[[bytes], Any]] = {
    "isodatetime": lambda text: datetime.datetime.fromisoformat(text.decode()),
    "isodate": lambda text: datetime.date.fromisoformat(text.decode()),
    "isotime": lambda text: datetime.time.fromisoformat(text.decode()),
    "flag": lambda text: bool(int(text)),
    "money": lambda text: decimal.Decimal("%.2f" % float(text)),
    "utf8": bytes.decode,
}
# The table again with its amounts as decimal text (as many applications
# keep money), read with only that column declared.
DECIMAL_TEXT_TABLE = "amounts_as_text"
DECIMAL_TEXT_QUERY = f"select {COLUMNS} from {DECIMAL_TEXT_TABLE}"
CENT = decimal.Decimal("0.01")


def hand_written(connection: sqlite3.Connection) -> list[tuple[Any, ...]]:
    parse_datetime, parse_date, parse_time = datetime.datetime.fromisoformat, datetime.date.fromisoformat, datetime.time.fromisoformat
    Decimal = decimal.Decimal
    return [
        (ident, name, float(score), parse_datetime(created), parse_date(day), parse_time(at), bool(active), Decimal("%.2f" % amount), payload.decode())
        for ident, name, score, created, day, at, active, amount, payload in connection.execute(QUERY)
    ]


def hand_written_decimal_text(connection: sqlite3.Connection) -> list[tuple[Any, ...]]:
    Decimal, cent = decimal.Decimal, CENT
    return [
        (ident, name, score, created, day, at, active, Decimal(amount).quantize(cent), payload)
        for ident, name, score, created, day, at, active, amount, payload in connection.execute(DECIMAL_TEXT_QUERY)
    ]


# -- rows as an application's dataclass ----------------------------------------


@dataclass(slots=True)
class StoredMeasurement:
    """A row as a slotted dataclass annotated with what sqlite3 delivers."""

    id: int
    name: str
    score: float
    created: str
    day: str
    at: str
    active: int
    amount: float
    payload: bytes


@dataclass(slots=True)
class TypedMeasurement:
    """A row as a slotted dataclass annotated with the bench's declared types."""

    id: int
    name: str
    score: float
    created: datetime.datetime
    day: datetime.date
    at: datetime.time
    active: bool
    amount: Annotated[decimal.Decimal, Numeric(2)]
    payload: str


FIELDS = operator.attrgetter(*NAMES)  # every value of a dataclass row, read once


def into_contenders(execute: Callable[[], Any], classes: dict[str, type], pure: bool) -> dict[str, Contender]:
    """orvane's rows as dataclasses, each class's annotations declaring the
    types: one contender per (name, class)."""
    variants = [(name, cls, flavours.compiled()) for name, cls in classes.items()]
    if pure:
        variants += [(f"{name} (pure)", cls, flavours.pure()) for name, cls in classes.items()]
    return {
        name: Contender(lambda cls=cls, flavour=flavour: Result(execute(), into=cls, flavour=flavour).fetchall(), FIELDS, FIELDS)
        for name, cls, flavour in variants
    }


def hand_written_into(connection: sqlite3.Connection) -> list[TypedMeasurement]:
    """The declared conversions by hand, each row then made a dataclass."""
    parse_datetime, parse_date, parse_time = datetime.datetime.fromisoformat, datetime.date.fromisoformat, datetime.time.fromisoformat
    Decimal, Order = decimal.Decimal, TypedMeasurement
    return [
        Order(ident, name, float(score), parse_datetime(created), parse_date(day), parse_time(at), bool(active), Decimal("%.2f" % amount), payload.decode())
        for ident, name, score, created, day, at, active, amount, payload in connection.execute(QUERY)
    ]


def sqlite3_rows(connection: sqlite3.Connection) -> list[sqlite3.Row]:
    cursor = connection.cursor()
    cursor.row_factory = sqlite3.Row
    return cursor.execute(QUERY).fetchall()


def peewee_model(database: Any) -> Any:
    """The table as a peewee model, with the field type matching each declared type."""
    import peewee

    class Measurement(peewee.Model):
        id = peewee.IntegerField(primary_key=True)
        name = peewee.TextField()
        score = peewee.FloatField()
        created = peewee.DateTimeField()
        day = peewee.DateField()
        at = peewee.TimeField()
        active = peewee.BooleanField()
        amount = peewee.DecimalField(decimal_places=2)  # read back unrounded, as Decimal(str(value))
        payload = peewee.TextField()  # decodes bytes as UTF-8; BlobField would keep them

        class Meta:
            table_name = "measurements"

    Measurement.bind(database)
    return Measurement


CHUNK = 1000  # rows per fetchmany() in the by-the-chunk projection
# The whole fetch, as it is and as it would be with rows built by the chunk in
# a C loop (what a batch entry point can reach), typed and untyped.
WHOLE = {
    ("typed", "as it is"): "orvane typed fetchall",
    ("typed", "by the chunk"): f"typed, rows by chunks of {CHUNK:,} in a C loop",
    ("untyped", "as it is"): "orvane untyped fetchall",
    ("untyped", "by the chunk"): f"untyped, rows by chunks of {CHUNK:,} in a C loop",
}


def sqlite_breakdown(connection: sqlite3.Connection) -> dict[str, Callable[[], Any]]:
    """orvane's typed fetch taken apart: the driver's fetch, each converter
    over its column and row building without converters, each step a C loop
    over input fetched beforehand; then the whole fetches of `WHOLE`."""
    compiled = flavours.compiled()
    fetched = connection.execute(QUERY).fetchall()
    metadata = Result(connection.execute(QUERY), flavour=compiled).metadata
    row_class, key_style = compiled.row_class, KEY_OBJECTS_AND_INTEGERS
    # Each declared column's processor for the types its values have.
    processors = [
        column_converter(DECLARED[name], compiled).processor_for(set(map(type, column))) if name in DECLARED else None
        for name, column in zip(NAMES, zip(*fetched))
    ]
    count = len(fetched)

    def rows_by_the_chunk(processors: Any) -> Callable[[], list[Any]]:
        def fetch() -> list[Any]:
            rows: list[Any] = []
            cursor = connection.execute(QUERY)
            while chunk := cursor.fetchmany(CHUNK):
                n = len(chunk)
                rows.extend(map(row_class, repeat(metadata, n), repeat(processors, n), repeat(metadata._keymap, n), repeat(key_style, n), chunk))
            return rows

        return fetch

    def converting(processor: Callable[[Any], Any], column: tuple[Any, ...]) -> Callable[[], list[Any]]:
        return lambda: list(map(processor, column))

    plan: dict[str, Callable[[], Any]] = {"driver fetch (cursor.fetchall)": lambda: connection.execute(QUERY).fetchall()}
    for name, processor, column in zip(NAMES, processors, zip(*fetched)):
        if processor is not None:
            plan[f"converter {name}: {getattr(processor, '__qualname__', type(processor).__name__)}"] = converting(processor, column)
    plan["row building, no converters"] = lambda: list(
        map(row_class, repeat(metadata, count), repeat(None, count), repeat(metadata._keymap, count), repeat(key_style, count), fetched)
    )
    plan[WHOLE["typed", "as it is"]] = lambda: Result(connection.execute(QUERY), types=DECLARED, flavour=compiled).fetchall()
    plan[WHOLE["typed", "by the chunk"]] = rows_by_the_chunk(processors)
    plan[WHOLE["untyped", "as it is"]] = lambda: Result(connection.execute(QUERY), flavour=compiled).fetchall()
    plan[WHOLE["untyped", "by the chunk"]] = rows_by_the_chunk(None)
    return plan


@contextlib.contextmanager
def sqlite_suite(rows: int, folder: str, pure: bool, breakdown: bool) -> Iterator[Suite]:
    import peewee

    path = os.path.join(folder, "e2e.sqlite")
    generate_database(path, rows)
    decltyped_path = os.path.join(folder, "decltyped.sqlite")
    with contextlib.closing(sqlite3.connect(decltyped_path)) as copy, copy:
        copy.execute(DECLTYPE_SCHEMA)
        copy.execute("attach database ? as source", (path,))
        copy.execute("insert into measurements select * from source.measurements")
    with contextlib.closing(sqlite3.connect(path)) as source, source:
        source.execute(f"create table {DECIMAL_TEXT_TABLE} as select {COLUMNS} from measurements where 0")
        # Python's shortest text of each amount: from one to two decimals.
        source.executemany(
            f"insert into {DECIMAL_TEXT_TABLE} values (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            ((*values[:7], repr(values[7]), values[8]) for values in source.execute(QUERY).fetchall()),
        )
    for name, converter in DECLTYPE_CONVERTERS.items():
        sqlite3.register_converter(name, converter)
    database = peewee.SqliteDatabase(path)
    plain = sqlite3.connect(path)
    decltyped = sqlite3.connect(decltyped_path, detect_types=sqlite3.PARSE_DECLTYPES)
    model = peewee_model(database)
    compiled = flavours.compiled()
    amount_as_decimal = {"amount": Numeric(2)}
    try:
        database.connect()
        contenders = {
            "raw fetchall": Contender(lambda: plain.execute(QUERY).fetchall()),
            "hand-written conversion": Contender(lambda: hand_written(plain)),
            "sqlite3 PARSE_DECLTYPES": Contender(lambda: decltyped.execute(QUERY).fetchall()),
            "sqlite3.Row": Contender(lambda: sqlite3_rows(plain)),
            "peewee .tuples()": Contender(lambda: list(model.select().tuples())),
            "peewee .namedtuples()": Contender(lambda: list(model.select().namedtuples())),
            **orvane_contenders(lambda: plain.execute(QUERY), DECLARED, False, pure),
            "dataclass Order(*row) loop": Contender(lambda: [StoredMeasurement(*row) for row in plain.execute(QUERY).fetchall()], FIELDS, FIELDS),
            **into_contenders(lambda: plain.execute(QUERY), {"orvane into a dataclass": StoredMeasurement}, pure),
            "hand-written conversion into a dataclass": Contender(lambda: hand_written_into(plain), FIELDS, FIELDS),
            **into_contenders(lambda: plain.execute(QUERY), {"orvane into a typed dataclass": TypedMeasurement}, pure),
            "decimal text: hand-written": Contender(lambda: hand_written_decimal_text(plain)),
            "decimal text: orvane Numeric(2)": Contender(
                lambda: Result(plain.execute(DECIMAL_TEXT_QUERY), amount_as_decimal, flavour=compiled).fetchall()
            ),
        }
        untyped_baseline = {
            name: "raw fetchall"
            for name in ("raw fetchall", "sqlite3.Row", "orvane untyped", "orvane untyped, iterated", "orvane untyped (pure)", "dataclass Order(*row) loop")
            + ("orvane into a dataclass", "orvane into a dataclass (pure)")
        }
        yield Suite(
            label="SQLite through sqlite3",
            contenders=contenders,
            baselines={
                name: untyped_baseline.get(name, "decimal text: hand-written" if name.startswith("decimal text") else "hand-written conversion")
                for name in contenders
            },
            exact=orvane_exact(contenders) | {"decimal text: orvane Numeric(2)"},
            memory=["raw fetchall", "orvane untyped", "hand-written conversion", "orvane typed", "decimal text: hand-written", "decimal text: orvane Numeric(2)"],
            targets=[
                Target("orvane untyped", "raw fetchall", 1.03),
                Target("orvane untyped, iterated", "raw fetchall", None),
                Target("orvane typed", "hand-written conversion", 0.75),
                Target("decimal text: orvane Numeric(2)", "decimal text: hand-written", 0.85),
                Target("orvane into a dataclass", "dataclass Order(*row) loop", 0.9),
                Target("dataclass Order(*row) loop", "raw fetchall", None),
                Target("orvane into a dataclass", "raw fetchall", None),
                Target("orvane into a typed dataclass", "hand-written conversion into a dataclass", 0.8),
                Target("orvane into a dataclass (pure)", "dataclass Order(*row) loop", None),
                Target("orvane typed", "peewee .tuples()", 0.5),
                Target("orvane typed", "sqlite3 PARSE_DECLTYPES", None),
                Target("orvane untyped", "sqlite3.Row", None),
                Target("orvane typed", "peewee .namedtuples()", None),
                Target("peewee .tuples()", "hand-written conversion", None),
                Target("orvane typed (pure)", "hand-written conversion", None),
                Target("orvane untyped (pure)", "raw fetchall", None),
            ],
            breakdown=(lambda: sqlite_breakdown(plain)) if breakdown else None,
        )
    finally:
        database.close()
        plain.close()
        decltyped.close()


# -- PostgreSQL through psycopg (and asyncpg) ---------------------------------

POSTGRES_TABLE = "orvane_e2e_measurements"
POSTGRES_QUERY = QUERY.replace("measurements", POSTGRES_TABLE)


@dataclass(slots=True)
class Measurement:
    """A row as a slotted dataclass, the shape class_row builds."""

    id: int
    name: str
    score: float
    created: datetime.datetime
    day: datetime.date
    at: datetime.time
    active: bool
    amount: Annotated[decimal.Decimal, Numeric(2)]
    payload: bytes


def postgres_hand_written(connection: Any) -> list[tuple[Any, ...]]:
    """The bench's declared types by hand: only the payload needs converting."""
    return [(*values[:8], values[8].decode()) for values in connection.execute(POSTGRES_QUERY).fetchall()]


@contextlib.contextmanager
def postgres_suite(rows: int, dsn: str, pure: bool) -> Iterator[Suite]:
    import psycopg
    from psycopg.rows import class_row, dict_row, namedtuple_row

    loader = psycopg.connect(dsn, autocommit=True)
    connection = psycopg.connect(dsn, autocommit=True)
    try:
        loader.execute(POSTGRES_SCHEMA.replace("temporary table measurements", f"table {POSTGRES_TABLE}"))
        try:
            with loader.cursor().copy(f"copy {POSTGRES_TABLE} ({COLUMNS}) from stdin") as copy:
                for values in generated_rows(rows):
                    copy.write_row(values)
            loader.execute(f"analyze {POSTGRES_TABLE}")
            with contextlib.ExitStack() as stack:
                contenders = {
                    "raw fetchall": Contender(lambda: connection.execute(POSTGRES_QUERY).fetchall()),
                    "psycopg namedtuple_row": Contender(lambda: connection.cursor(row_factory=namedtuple_row).execute(POSTGRES_QUERY).fetchall()),
                    "psycopg dict_row": Contender(
                        lambda: connection.cursor(row_factory=dict_row).execute(POSTGRES_QUERY).fetchall(),
                        operator.itemgetter(*NAMES),
                        lambda row: tuple(row.values()),
                    ),
                    "psycopg class_row (slots)": Contender(
                        lambda: connection.cursor(row_factory=class_row(Measurement)).execute(POSTGRES_QUERY).fetchall(),
                        operator.attrgetter(*NAMES),
                        dataclasses.astuple,
                    ),
                }
                fetch = asyncpg_fetch(dsn, stack)
                if fetch is not None:
                    contenders["asyncpg fetch (CPU)"] = Contender(fetch)
                contenders.update(orvane_contenders(lambda: connection.execute(POSTGRES_QUERY), DECLARED, True, pure))
                contenders.update(into_contenders(lambda: connection.execute(POSTGRES_QUERY), {"orvane into a dataclass": Measurement}, pure))
                checks = {"hand-written conversion": Contender(lambda: postgres_hand_written(connection))}
                yield Suite(
                    label="PostgreSQL 15 through psycopg" + ("" if fetch is not None else " (asyncpg not installed)"),
                    contenders=contenders,
                    baselines={name: "hand-written conversion" if name.startswith("orvane typed") else "raw fetchall" for name in contenders},
                    exact=orvane_exact(contenders),
                    memory=["raw fetchall", "psycopg namedtuple_row", "orvane untyped", "orvane reported", "orvane typed", "orvane into a dataclass"],
                    targets=[
                        Target("orvane untyped", "raw fetchall", 1.05),
                        Target("orvane reported", "raw fetchall", 1.05),
                        Target("orvane untyped", "psycopg namedtuple_row", 1.0),
                        Target("orvane reported", "psycopg namedtuple_row", 1.0),
                        Target("orvane typed", "raw fetchall", 1.12),
                        Target("orvane untyped, iterated", "raw fetchall", None),
                        Target("psycopg namedtuple_row", "raw fetchall", None),
                        Target("psycopg dict_row", "raw fetchall", None),
                        Target("psycopg class_row (slots)", "raw fetchall", None),
                        Target("orvane into a dataclass", "psycopg class_row (slots)", 0.65),
                        Target("orvane into a dataclass", "raw fetchall", None),
                        Target("asyncpg fetch (CPU)", "raw fetchall", None),
                        Target("orvane untyped (pure)", "raw fetchall", None),
                    ],
                    checks=checks,
                )
        finally:
            loader.execute(f"drop table {POSTGRES_TABLE}")
    finally:
        connection.close()
        loader.close()


def asyncpg_fetch(dsn: str, stack: contextlib.ExitStack) -> Callable[[], Rows] | None:
    """asyncpg's fetch() run to completion on an event loop of its own, or
    None where asyncpg is not installed."""
    try:
        import asyncio

        import asyncpg
    except ImportError:
        return None
    loop = asyncio.new_event_loop()
    stack.callback(loop.close)
    settings = dict(item.split("=", 1) for item in dsn.split())
    connection = loop.run_until_complete(
        asyncpg.connect(host=settings.get("host"), port=settings.get("port"), user=settings.get("user"), database=settings.get("dbname"), password=settings.get("password"))
    )
    stack.callback(lambda: loop.run_until_complete(connection.close()))
    return lambda: loop.run_until_complete(connection.fetch(POSTGRES_QUERY))


@contextlib.contextmanager
def private_postgres() -> Iterator[str]:
    """A throw-away server (the tests' own), for runs given no --dsn."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
    try:
        from postgres_server import postgres_server
    finally:
        del sys.path[0]
    with postgres_server() as dsn:
        yield dsn


# -- DuckDB -------------------------------------------------------------------

DUCKDB_SCHEMA = (
    "create table measurements ("
    " id integer primary key, name varchar, score double, created timestamp, day date,"
    ' "at" time, active boolean, amount decimal(12,2), payload blob)'
)
# "at" is a keyword in DuckDB's grammar.
DUCKDB_QUERY = QUERY.replace(" at,", ' "at",')


@contextlib.contextmanager
def duckdb_suite(rows: int, folder: str, pure: bool) -> Iterator[Suite]:
    import duckdb

    text = os.path.join(folder, "e2e.csv")
    with open(text, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        for values in generated_rows(rows):
            writer.writerow([*values[:3], values[3].isoformat(sep=" "), values[4], values[5], values[6], f"{values[7]:.2f}", values[8].decode()])
    connection = duckdb.connect(os.path.join(folder, "e2e.duckdb"))
    try:
        connection.execute(DUCKDB_SCHEMA)
        connection.execute(f"create temporary table staged as select * from read_csv('{text}', header = false, all_varchar = true)")
        connection.execute(
            "insert into measurements select column0::integer, column1, column2::double, column3::timestamp, column4::date,"
            " column5::time, column6::boolean, column7::decimal(12,2), encode(column8) from staged"
        )
        connection.execute("drop table staged")
        typed = dict(DECLARED, payload=str)
        contenders = {
            "raw fetchall": Contender(lambda: connection.execute(DUCKDB_QUERY).fetchall()),
            **orvane_contenders(lambda: connection.execute(DUCKDB_QUERY), typed, True, pure),
        }
        checks = {"hand-written conversion": Contender(lambda: [(*values[:8], values[8].decode()) for values in connection.execute(DUCKDB_QUERY).fetchall()])}
        yield Suite(
            label="DuckDB",
            contenders=contenders,
            baselines={name: "hand-written conversion" if name.startswith("orvane typed") else "raw fetchall" for name in contenders},
            exact=orvane_exact(contenders),
            memory=["raw fetchall", "orvane untyped", "orvane reported", "orvane typed"],
            targets=[
                Target("orvane untyped", "raw fetchall", 1.05),
                Target("orvane reported", "raw fetchall", 1.05),
                Target("orvane typed", "raw fetchall", None),
                Target("orvane untyped, iterated", "raw fetchall", None),
                Target("orvane untyped (pure)", "raw fetchall", None),
            ],
            checks=checks,
        )
    finally:
        connection.close()


def differences(suite: Suite) -> list[tuple[str, str]]:
    """Per contender and column, how many values differ in type or in repr
    from the baseline's, with the first such pair: (contender, description)."""
    everyone = {**suite.checks, **suite.contenders}
    results = {name: [contender.values(row) for row in contender.work()] for name, contender in everyone.items()}
    found = []
    for name in suite.contenders:
        rows, baseline = results[name], results[suite.baselines[name]]
        if len(rows) != len(baseline):
            found.append((name, f"{name}: {len(rows)} rows, {suite.baselines[name]} {len(baseline)}"))
            continue
        for index, column in enumerate(NAMES):
            unlike = [(ours[index], theirs[index]) for ours, theirs in zip(rows, baseline) if not same(ours[index], theirs[index])]
            if unlike:
                ours, theirs = unlike[0]
                found.append((name, f"{name}, {column}: {len(unlike):,} values, e.g. {ours!r} where {suite.baselines[name]} has {theirs!r}"))
    return found


def same(a: Any, b: Any) -> bool:
    return type(a) is type(b) and repr(a) == repr(b)
