"""The contenders of the end-to-end fetch: each a callable that runs the main
job's query and returns its rows, typed (the declared columns converted) or
untyped (the driver's values)."""

from __future__ import annotations

import contextlib
import datetime
import decimal
import os
import sqlite3
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import peewee

from orvane import flavours
from orvane.bench import DECLARED, QUERY
from orvane.results import Result

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

# Which contender each one's values are checked against.
BASELINES = {
    "raw fetchall": "raw fetchall",
    "sqlite3.Row": "raw fetchall",
    "orvane untyped": "raw fetchall",
    "orvane untyped (pure)": "raw fetchall",
    "hand-written conversion": "hand-written conversion",
    "sqlite3 PARSE_DECLTYPES": "hand-written conversion",
    "peewee .tuples()": "hand-written conversion",
    "peewee .namedtuples()": "hand-written conversion",
    "orvane typed": "hand-written conversion",
    "orvane typed (pure)": "hand-written conversion",
}
# Contenders that must give exactly their baseline's values: orvane's own.
EXACT = {"orvane typed", "orvane untyped", "orvane typed (pure)", "orvane untyped (pure)"}
# Contenders whose memory per row is reported, each beside its baseline.
MEMORY = ["raw fetchall", "orvane untyped", "hand-written conversion", "orvane typed"]


@dataclass
class Sources:
    plain: sqlite3.Connection  # the main job's file
    decltyped: sqlite3.Connection  # its copy under converter-naming column types
    model: type[peewee.Model]


@contextlib.contextmanager
def opened(path: str, folder: str) -> Iterator[Sources]:
    decltyped_path = os.path.join(folder, "decltyped.sqlite")
    with contextlib.closing(sqlite3.connect(decltyped_path)) as copy, copy:
        copy.execute(DECLTYPE_SCHEMA)
        copy.execute("attach database ? as source", (path,))
        copy.execute("insert into measurements select * from source.measurements")
    for name, converter in DECLTYPE_CONVERTERS.items():
        sqlite3.register_converter(name, converter)
    database = peewee.SqliteDatabase(path)
    plain = sqlite3.connect(path)
    decltyped = sqlite3.connect(decltyped_path, detect_types=sqlite3.PARSE_DECLTYPES)
    try:
        database.connect()
        yield Sources(plain, decltyped, peewee_model(database))
    finally:
        database.close()
        plain.close()
        decltyped.close()


def peewee_model(database: peewee.Database) -> type[peewee.Model]:
    """The table as a peewee model, with the field type matching each declared type."""

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


def hand_written(connection: sqlite3.Connection) -> list[tuple[Any, ...]]:
    parse_datetime, parse_date, parse_time = datetime.datetime.fromisoformat, datetime.date.fromisoformat, datetime.time.fromisoformat
    Decimal = decimal.Decimal
    return [
        (ident, name, float(score), parse_datetime(created), parse_date(day), parse_time(at), bool(active), Decimal("%.2f" % amount), payload.decode())
        for ident, name, score, created, day, at, active, amount, payload in connection.execute(QUERY)
    ]


def sqlite3_rows(connection: sqlite3.Connection) -> list[sqlite3.Row]:
    cursor = connection.cursor()
    cursor.row_factory = sqlite3.Row
    return cursor.execute(QUERY).fetchall()


def plan(sources: Sources, pure: bool) -> dict[str, Callable[[], Any]]:
    plain, model = sources.plain, sources.model
    compiled = flavours.compiled()
    contenders: dict[str, Callable[[], Any]] = {
        "raw fetchall": lambda: plain.execute(QUERY).fetchall(),
        "hand-written conversion": lambda: hand_written(plain),
        "sqlite3 PARSE_DECLTYPES": lambda: sources.decltyped.execute(QUERY).fetchall(),
        "sqlite3.Row": lambda: sqlite3_rows(plain),
        "peewee .tuples()": lambda: list(model.select().tuples()),
        "peewee .namedtuples()": lambda: list(model.select().namedtuples()),
        "orvane typed": lambda: Result(plain.execute(QUERY), types=DECLARED, flavour=compiled).fetchall(),
        "orvane untyped": lambda: Result(plain.execute(QUERY), flavour=compiled).fetchall(),
    }
    if pure:
        slow = flavours.pure()
        contenders["orvane typed (pure)"] = lambda: Result(plain.execute(QUERY), types=DECLARED, flavour=slow).fetchall()
        contenders["orvane untyped (pure)"] = lambda: Result(plain.execute(QUERY), flavour=slow).fetchall()
    return contenders


def differences(contenders: dict[str, Callable[[], Any]], columns: list[str]) -> list[tuple[str, str]]:
    """Per contender and column, how many values differ in type or in repr
    from the baseline's, with the first such pair: (contender, description)."""
    results = {name: [tuple(row) for row in work()] for name, work in contenders.items()}
    found = []
    for name, rows in results.items():
        baseline = results[BASELINES[name]]
        if len(rows) != len(baseline):
            found.append((name, f"{name}: {len(rows)} rows, {BASELINES[name]} {len(baseline)}"))
            continue
        for index, column in enumerate(columns):
            unlike = [(ours[index], theirs[index]) for ours, theirs in zip(rows, baseline) if not same(ours[index], theirs[index])]
            if unlike:
                ours, theirs = unlike[0]
                found.append((name, f"{name}, {column}: {len(unlike):,} values, e.g. {ours!r} where {BASELINES[name]} has {theirs!r}"))
    return found


def same(a: Any, b: Any) -> bool:
    return type(a) is type(b) and repr(a) == repr(b)
