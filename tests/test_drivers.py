"""The result layer over real drivers: sqlite3, apsw, duckdb and psycopg on a
PostgreSQL server of its own. One table read through each gives the same
Python values."""

import contextlib
import datetime
import importlib
import json
import os
import sqlite3
import subprocess
import sys
from decimal import Decimal

import pytest
from postgres_server import ServerUnavailable, postgres_server

from orvane import flavours
from orvane.results import ConversionError, Numeric, Result

# In CI on the target interpreter every driver must be there.
MUST_RUN = bool(os.environ.get("CI")) and sys.version_info[:2] == (3, 14)

FLAVOURS = [pytest.param(flavours.compiled, id="compiled"), pytest.param(flavours.pure, id="pure")]

COLUMNS = "id, name, score, created, day, clock, active, amount, payload"
ROWS = [
    (1, "café", 1.5, datetime.datetime(2024, 1, 2, 3, 4, 5, 6), datetime.date(2024, 1, 2), datetime.time(3, 4, 5), True, Decimal("1234567.89"), b"\x00\xff"),
    (2, "two", -0.25, datetime.datetime(1999, 12, 31, 23, 59, 59), datetime.date(1999, 12, 31), datetime.time(23, 59, 59, 500000), False, Decimal("-0.10"), b"plain"),
    (3, None, None, None, None, None, None, None, None),
]
DECLARED = {
    "id": int,
    "name": str,
    "score": float,
    "created": datetime.datetime,
    "day": datetime.date,
    "clock": datetime.time,
    "active": bool,
    "amount": Numeric(2),
    "payload": bytes,
}
SQL_TYPES = {
    # column types per dialect, in the order of COLUMNS
    "sqlite": "integer, text, real, timestamp, date, time, boolean, numeric(20,2), blob",
    "postgres": "integer, text, double precision, timestamp, date, time, boolean, numeric(20,2), bytea",
    "duckdb": "integer, varchar, double, timestamp, date, time, boolean, decimal(20,2), blob",
}


def require(module):
    try:
        return importlib.import_module(module)
    except ImportError as error:
        if MUST_RUN:
            pytest.fail(f"{module} must be installed in CI: {error}")
        pytest.skip(f"{module} is not installed for this interpreter ({error})")


def create_table(dialect):
    names = COLUMNS.split(", ")
    return "create table t (" + ", ".join(f"{n} {t}" for n, t in zip(names, SQL_TYPES[dialect].split(", "))) + ")"


def as_stored_by_sqlite(row):
    """SQLite keeps dates as ISO text, truth values as 0/1, decimals as reals."""
    return tuple(
        value.isoformat(sep=" ") if isinstance(value, datetime.datetime)
        else value.isoformat() if isinstance(value, (datetime.date, datetime.time))
        else int(value) if isinstance(value, bool)
        else float(value) if isinstance(value, Decimal)
        else value
        for value in row
    )


@contextlib.contextmanager
def sqlite3_query(tmp_path):
    connection = sqlite3.connect(tmp_path / "t.sqlite")
    connection.execute(create_table("sqlite"))
    connection.executemany("insert into t values (?, ?, ?, ?, ?, ?, ?, ?, ?)", map(as_stored_by_sqlite, ROWS))
    yield connection.execute
    connection.close()


@contextlib.contextmanager
def apsw_query(tmp_path):
    apsw = require("apsw")
    connection = apsw.Connection(str(tmp_path / "t.sqlite"))
    connection.execute(create_table("sqlite"))
    connection.executemany("insert into t values (?, ?, ?, ?, ?, ?, ?, ?, ?)", list(map(as_stored_by_sqlite, ROWS)))
    yield lambda sql: connection.cursor().execute(sql)
    connection.close()


@contextlib.contextmanager
def duckdb_query(tmp_path):
    duckdb = require("duckdb")
    connection = duckdb.connect()
    connection.execute(create_table("duckdb"))
    connection.executemany("insert into t values (?, ?, ?, ?, ?, ?, ?, ?, ?)", ROWS)
    yield lambda sql: connection.cursor().execute(sql)
    connection.close()


@pytest.fixture(scope="session")
def postgres_dsn():
    require("psycopg")
    try:
        with postgres_server() as dsn:
            yield dsn
    except ServerUnavailable as error:
        if os.environ.get("CI"):
            pytest.fail(f"the PostgreSQL server must start in CI: {error}")
        pytest.skip(f"no PostgreSQL server: {error}")


@pytest.fixture
def postgres(postgres_dsn):
    psycopg = require("psycopg")
    with psycopg.connect(postgres_dsn) as connection:
        yield connection
        connection.rollback()


@contextlib.contextmanager
def psycopg_query(postgres):
    postgres.execute(create_table("postgres"))
    with postgres.cursor() as cursor:
        cursor.executemany("insert into t values (%s, %s, %s, %s, %s, %s, %s, %s, %s)", ROWS)
    yield postgres.execute


@pytest.fixture(params=["sqlite3", "apsw", "duckdb", "psycopg"])
def query(request, tmp_path):
    """Runs a query on the shared table through one driver; returns its cursor."""
    if request.param == "psycopg":
        context = psycopg_query(request.getfixturevalue("postgres"))
    else:
        context = globals()[f"{request.param}_query"](tmp_path)
    with context as run:
        yield run


@pytest.fixture(params=FLAVOURS)
def flavour(request):
    return request.param()


def typed(rows):
    return [tuple((type(value), value) for value in row) for row in rows]


@pytest.mark.parametrize("types", [DECLARED, "reported"], ids=["declared", "reported"])
def test_every_driver_gives_the_same_values(query, flavour, types):
    cursor = query(f"select {COLUMNS} from t order by id")
    if types == "reported" and isinstance(cursor, sqlite3.Cursor):
        with pytest.raises(ValueError, match="the sqlite3 module reports no column types"):
            Result(cursor, types, flavour=flavour)
        return
    result = Result(cursor, types, flavour=flavour)
    rows = [result.fetchone(), *result.fetchmany(1), *result]
    assert typed(rows) == typed(ROWS)
    assert rows[0].created == ROWS[0][3] and rows[1]._mapping["amount"] == Decimal("-0.10")


@pytest.mark.parametrize("read", ["iterate", "fetchall", "fetchmany", "columns", "mappings"])
def test_every_fetch_path_on_every_driver(query, read):
    result = Result(query(f"select {COLUMNS} from t order by id"), DECLARED)
    rows = {
        "iterate": lambda: [tuple(row) for row in result],
        "fetchall": lambda: [tuple(row) for row in result.fetchall()],
        "fetchmany": lambda: [tuple(row) for row in result.fetchmany(2) + result.fetchmany(2) + result.fetchmany()],
        "columns": lambda: list(result.columns(*range(9))),
        "mappings": lambda: [tuple(mapping.values()) for mapping in result.mappings()],
    }[read]()
    assert typed(rows) == typed(ROWS)


def test_an_empty_result_on_every_driver(query, flavour):
    result = Result(query(f"select {COLUMNS} from t where id > 10"), DECLARED, flavour=flavour)
    assert result.fetchone() is None and result.fetchmany(5) == [] and result.fetchall() == [] and list(result) == []


def test_untyped_rows_are_what_the_driver_fetched(query):
    cursor = query(f"select {COLUMNS} from t order by id")
    expected = [tuple(values) for values in query(f"select {COLUMNS} from t order by id").fetchall()]
    assert [tuple(row) for row in Result(cursor)] == expected


# ---- PostgreSQL and duckdb deliver typed values ------------------------------


@pytest.fixture(params=["duckdb", "psycopg"])
def typed_query(request, tmp_path):
    if request.param == "psycopg":
        connection = request.getfixturevalue("postgres")
        yield connection.execute
    else:
        connection = require("duckdb").connect()
        yield lambda sql: connection.cursor().execute(sql)
        connection.close()


@pytest.mark.parametrize(
    "expression, declared, expected",
    [
        ("cast('12345678901234567.89' as numeric(20,2))", Numeric(2), Decimal("12345678901234567.89")),
        ("cast('12345678901234567.89' as numeric(20,2))", Numeric(1, round=True), Decimal("12345678901234567.9")),
        ("cast('1.25' as numeric(10,3))", Numeric(1, round=True), Decimal("1.2")),
        ("cast('1.20' as numeric(10,3))", Numeric(1), Decimal("1.2")),
        ("cast(7 as integer)", Numeric(2), Decimal("7.00")),
        ("cast(1.5 as double precision)", Numeric(2), Decimal("1.50")),
        ("cast('2024-01-02 03:04:05' as timestamp)", datetime.datetime, datetime.datetime(2024, 1, 2, 3, 4, 5)),
        ("cast('2024-01-02' as date)", datetime.date, datetime.date(2024, 1, 2)),
        ("cast('03:04:05' as time)", datetime.time, datetime.time(3, 4, 5)),
        ("cast('2024-01-02 03:04:05' as varchar)", datetime.datetime, datetime.datetime(2024, 1, 2, 3, 4, 5)),
        ("true", bool, True),
        ("cast('no' as varchar)", bool, False),
        ("cast(0 as integer)", bool, False),
        ("cast('x' as varchar)", str, "x"),
        ("cast(2.5 as double precision)", float, 2.5),
    ],
)
def test_typed_drivers_honour_the_declared_type(typed_query, flavour, expression, declared, expected):
    row = Result(typed_query(f"select {expression} as v"), {"v": declared}, flavour=flavour).fetchone()
    assert type(row.v) is type(expected) and row.v == expected and str(row.v) == str(expected)


@pytest.mark.parametrize(
    "expression, declared",
    [
        ("cast(5 as integer)", datetime.datetime),
        ("cast('2024-01-02' as date)", datetime.time),
        ("cast('maybe' as varchar)", bool),
        ("cast(1.5 as double precision)", str),
        ("cast('abc' as varchar)", Numeric(2)),
        ("cast('84091.49' as numeric(12,2))", Numeric(1)),
        ("cast('12.345' as varchar)", Numeric(2)),
    ],
)
def test_typed_drivers_refuse_values_of_another_type(typed_query, expression, declared):
    with pytest.raises(ConversionError, match="column 'v'"):
        Result(typed_query(f"select 1 as id, {expression} as v"), {"v": declared}).fetchall()


def test_numeric_without_scale_is_quantised(postgres, flavour):
    row = Result(postgres.execute("select 2.675::numeric as a, 123456789012345678901234567890.5::numeric as b"), {"a": Numeric(2, round=True), "b": Numeric(0, round=True)}, flavour=flavour).fetchone()
    assert str(row.a) == "2.68" and str(row.b) == "123456789012345678901234567890"


def test_postgres_loaders_that_deliver_another_type(postgres, flavour):
    from psycopg.types.numeric import FloatLoader

    postgres.execute("create table amounts (n numeric(4,2), m numeric(4,2))")
    postgres.execute("insert into amounts values (null, 3), (1.25, 2)")
    cursor = postgres.cursor()
    cursor.adapters.register_loader("numeric", FloatLoader)
    cursor.execute("select n, m from amounts")
    rows = Result(cursor, {"n": Numeric(2), "m": Numeric(2)}, flavour=flavour).fetchall()
    assert [tuple(map(str, row)) for row in rows] == [("None", "3.00"), ("1.25", "2.00")]


def test_postgres_dict_rows_follow_the_description(postgres, flavour):
    from psycopg.rows import dict_row

    cursor = postgres.cursor(row_factory=dict_row)
    cursor.execute("select 1 as b, 'x' as a, '2024-01-02' as at")
    row = Result(cursor, {"at": datetime.date}, flavour=flavour).fetchone()
    assert tuple(row) == (1, "x", datetime.date(2024, 1, 2)) and row.a == "x"


def test_postgres_object_rows_are_refused(postgres):
    from psycopg.rows import class_row

    class Point:
        def __init__(self, x):
            self.x = x

    cursor = postgres.cursor(row_factory=class_row(Point))
    cursor.execute("select 1 as x")
    with pytest.raises(TypeError, match="a fetched row must be a sequence or a mapping, not Point"):
        Result(cursor).fetchall()


def test_postgres_reports_types_of_expressions(postgres):
    cursor = postgres.execute("select now()::timestamptz as at, 1.5::numeric(4,1) as n, 'a'::text as s, 2::bigint as i, null::json as j")
    row = Result(cursor, "reported").fetchone()
    assert row.at.tzinfo is not None and row.n == Decimal("1.5") and row.s == "a" and row.i == 2 and row.j is None


def test_a_large_result_is_read_in_chunks(postgres):
    rows = Result(postgres.execute("select n, n % 2 = 0 as even, n::numeric(12,2) / 3 as third from generate_series(1, 2500) as n"), {"third": Numeric(2, round=True), "even": bool}).fetchall()
    assert len(rows) == 2500 and rows[-1].third == Decimal("833.33") and rows[1].even is True


# ---- the bench command on PostgreSQL ------------------------------------------


@pytest.mark.parametrize(
    "args, path",
    [
        (["--rows", "300"], "fetch with types"),
        (["--sql", "select n, n::numeric(8,2) as amount, now() as at from generate_series(1, 50) as n", "--types", "reported"], "fetch with types"),
        (["--sql", "select 1 as only"], "fetch"),
    ],
    ids=["generated rows", "reported types", "one column"],
)
def test_bench_through_psycopg(postgres_dsn, args, path):
    done = subprocess.run([sys.executable, "-m", "orvane", "bench", "--dsn", postgres_dsn, "--repeat", "1", "--json", "--quiet", *args], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    assert figures["paths"][-1]["path"] == "mapping view row._mapping[name]" and path in [p["path"] for p in figures["paths"]]
    assert "psycopg" in figures["source"]


def test_bench_leaves_postgres_unchanged(postgres_dsn, postgres):
    postgres.execute("create table kept (n integer)")
    postgres.commit()
    done = subprocess.run([sys.executable, "-m", "orvane", "bench", "--dsn", postgres_dsn, "--quiet", "--sql", "insert into kept values (1) returning n"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert postgres.execute("select count(*) from kept").fetchone() == (0,)
    postgres.execute("drop table kept")
    postgres.commit()
