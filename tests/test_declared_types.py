"""The declared types an application needs beyond the plain ones: UUIDs, JSON,
enums, timestamps in a zone, the application's own functions, and exact
decimals; each read through sqlite3 and PostgreSQL, sync and async, in both
flavours, and compared with its hand conversion over generated values."""

import asyncio
import contextlib
import datetime
import decimal
import enum
import json
import sqlite3
import typing
import uuid
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_drivers import flavour, postgres_dsn, require  # noqa: F401  (fixtures: both flavours, the driver tests' server)

from orvane import flavours
from orvane.converters import column_converter
from orvane.results import AsyncResult, ConversionError, Json, Numeric, Result, Timestamp

ID = uuid.UUID("12345678-1234-5678-1234-567812345678")
PLUS_TWO = datetime.timezone(datetime.timedelta(hours=2))
MINUS_FIVE = datetime.timezone(datetime.timedelta(hours=-5))


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class Mood(enum.Enum):
    HAPPY = "happy"
    SAD = "sad"


def tags(value):
    return value.split(",")


# ---- one value through each driver and each kind of result -----------------


async def _read_async(driver, dsn, sql, types, flavour):
    if driver == "sqlite":
        aiosqlite = require("aiosqlite")
        async with aiosqlite.connect(":memory:") as connection:
            cursor = await connection.execute(sql)
            return [tuple(row) for row in await AsyncResult(cursor, types, flavour=flavour).fetchall()]
    psycopg = require("psycopg")
    async with await psycopg.AsyncConnection.connect(dsn) as connection:
        cursor = await connection.execute(sql)
        return [tuple(row) for row in await AsyncResult(cursor, types, flavour=flavour).fetchall()]


@pytest.fixture(params=["sqlite-sync", "sqlite-async", "postgres-sync", "postgres-async"])
def read(request, flavour):
    """read(sqlite_sql, postgres_sql, types): the rows of the query for the
    fixture's database, as tuples, through Result or AsyncResult."""
    driver, mode = request.param.split("-")
    dsn = request.getfixturevalue("postgres_dsn") if driver == "postgres" else None

    def run(sqlite_sql, postgres_sql, types):
        sql = sqlite_sql if driver == "sqlite" else postgres_sql
        if mode == "async":
            return asyncio.run(_read_async(driver, dsn, sql, types, flavour))
        if driver == "sqlite":
            with contextlib.closing(sqlite3.connect(":memory:")) as connection:
                return [tuple(row) for row in Result(connection.execute(sql), types, flavour=flavour).fetchall()]
        psycopg = require("psycopg")
        with psycopg.connect(dsn) as connection:
            return [tuple(row) for row in Result(connection.execute(sql), types, flavour=flavour).fetchall()]

    return run


U = "12345678-1234-5678-1234-567812345678"
HEX = "12345678123456781234567812345678"

ACCEPTED = [
    # declared, SQLite expression, PostgreSQL expression, the value
    (uuid.UUID, f"'{U}'", f"cast('{U}' as uuid)", ID),
    (uuid.UUID, f"'urn:uuid:{U}'", f"cast('{{{U}}}' as text)", ID),
    (uuid.UUID, f"x'{HEX}'", f"decode('{HEX}', 'hex')", ID),
    (Json, """'{"a": [1, 2.5, null]}'""", """cast('{"a": [1, 2.5, null]}' as jsonb)""", {"a": [1, 2.5, None]}),
    (Json, """'"abc"'""", """cast('"abc"' as json)""", "abc"),
    (Json, "'123456789012345678901234567890'", "cast('123456789012345678901234567890' as json)", 123456789012345678901234567890),
    (Json, "'[true, 0.1]'", "cast('[true, 0.1]' as text)", [True, 0.1]),
    (Json, "5", "cast('5' as jsonb)", 5),
    (Level, "2", "cast(2 as integer)", Level.HIGH),
    (Level, "'2'", "cast('2' as text)", Level.HIGH),
    (Level, "1.0", "cast(1 as bigint)", Level.LOW),
    (Mood, "'sad'", "cast('sad' as varchar)", Mood.SAD),
    (tags, "'a,b'", "cast('a,b' as text)", ["a", "b"]),
    (Timestamp(datetime.UTC), "'2024-01-02 03:04:05'", "cast('2024-01-02 03:04:05' as timestamp)", datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.UTC)),
    (Timestamp(MINUS_FIVE), "'2024-01-02T03:04:05.250+02:00'", "cast('2024-01-02T03:04:05.250+02:00' as text)", datetime.datetime(2024, 1, 2, 3, 4, 5, 250000, tzinfo=PLUS_TWO)),
    (Timestamp(MINUS_FIVE), "'2024-01-02'", "cast('2024-01-02' as text)", datetime.datetime(2024, 1, 2, tzinfo=MINUS_FIVE)),
    (Numeric(2), "'12.30'", "cast('12.30' as numeric(10,2))", Decimal("12.30")),
    (Numeric(2), "'12.3'", "cast('12.3' as text)", Decimal("12.30")),
    (Numeric(2), "'12.3400'", "cast('12.3400' as numeric(10,4))", Decimal("12.34")),
    (Numeric(2), "7", "cast(7 as integer)", Decimal("7.00")),
    (Numeric(2), "12.345", "cast(12.345 as double precision)", Decimal("%.2f" % 12.345)),
    (Numeric(2, round=True), "'12.345'", "cast('12.345' as numeric(10,3))", Decimal("12.34")),
    (Numeric(1, round=True), "'84091.49'", "cast('84091.49' as numeric(12,2))", Decimal("84091.5")),
]


@pytest.mark.parametrize("declared, sqlite_sql, postgres_sql, expected", ACCEPTED, ids=repr)
def test_declared_types_convert_exactly(read, declared, sqlite_sql, postgres_sql, expected):
    rows = read(f"select {sqlite_sql} as v, null as w", f"select {postgres_sql} as v, null as w", {"v": declared, "w": declared})
    assert rows == [(expected, None)]
    assert type(rows[0][0]) is type(expected)
    if isinstance(expected, datetime.datetime):
        assert rows[0][0].utcoffset() == expected.utcoffset()
    if isinstance(expected, Decimal):
        assert str(rows[0][0]) == str(expected)


REFUSED = [
    (uuid.UUID, "'not a uuid'", "cast('not a uuid' as text)", "badly formed"),
    (uuid.UUID, "x'0011'", "decode('0011', 'hex')", "16"),
    (uuid.UUID, "5", "cast(5 as integer)", "an int is not a UUID"),
    (Json, """'{"a": '""", """cast('{"a": ' as text)""", "Expecting value"),
    (Json, "x'ff'", "decode('ff', 'hex')", "utf-8"),
    (Level, "3", "cast(3 as integer)", "not a valid Level"),
    (Level, "'high'", "cast('high' as text)", "invalid literal"),
    (Mood, "'angry'", "cast('angry' as text)", "not a valid Mood"),
    (tags, "5", "cast(5 as integer)", "has no attribute 'split'"),
    (Timestamp(datetime.UTC), "'soon'", "cast('soon' as text)", "Invalid isoformat"),
    (Timestamp(datetime.UTC), "5", "cast('2024-01-02' as date)", "is not a datetime"),
    (Numeric(2), "'12.345'", "cast('12.345' as numeric(10,3))", "digits beyond the scale of 2"),
    (Numeric(1), "'84091.49'", "cast('84091.49' as numeric(12,2))", "digits beyond the scale of 1"),
    (Numeric(0), "'0.000001'", "cast('1e-6' as text)", "digits beyond the scale of 0"),
]


@pytest.mark.parametrize("declared, sqlite_sql, postgres_sql, message", REFUSED, ids=repr)
def test_declared_types_refuse_what_they_cannot_convert_exactly(read, declared, sqlite_sql, postgres_sql, message):
    with pytest.raises(ConversionError, match=f"row 0, column 'v'.*{message}") as refused:
        read(f"select {sqlite_sql} as v", f"select {postgres_sql} as v", {"v": declared})
    assert refused.value.__cause__ is not None


# ---- the application's own functions ----------------------------------------


class ListCursor:
    """A DB-API cursor over a list of rows."""

    def __init__(self, rows, names=("v",)):
        self.description = [(name, None, None, None, None, None, None) for name in names]
        self.arraysize = 100
        self._rows = list(rows)

    def fetchmany(self, size):
        taken, self._rows[:size] = self._rows[:size], []
        return taken

    def fetchall(self):
        return self.fetchmany(len(self._rows))


class Counting:
    def __init__(self, refuse=()):
        self.calls = []
        self.refuse = refuse

    def __call__(self, value):
        self.calls.append(value)
        if value in self.refuse:
            raise LookupError(f"no {value}")
        return value * 2


class Name(str):
    pass


@pytest.mark.parametrize("flavour_of", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
def test_a_function_is_called_once_per_value_whatever_refuses(flavour_of):
    counting = Counting()
    # Row 2's memoryview sends the str column down the general path, which
    # builds row 2 again; its `v` was converted already. Row 3's date is refused.
    rows = [(1, b"a", "2024-01-01"), (None, b"b", "2024-01-02"), (3, memoryview(b"c"), "2024-01-03"), (4, "d", "soon"), (5, "e", "2024-01-05")]
    result = Result(ListCursor(rows, ("v", "s", "day")), {"v": counting.__call__, "s": str, "day": datetime.date}, flavour=flavour_of())
    with pytest.raises(ConversionError, match="row 3, column 'day'"):
        result.fetchall()
    assert counting.calls == [1, 3, 4]


@pytest.mark.parametrize("flavour_of", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
def test_a_refusing_function_becomes_a_conversion_error_called_once(flavour_of):
    counting = Counting(refuse={3})
    result = Result(ListCursor([(1,), (3,), (5,)]), {"v": counting.__call__}, flavour=flavour_of())
    with pytest.raises(ConversionError, match=r"row 1, column 'v': cannot convert 3: no 3") as refused:
        result.fetchall()
    assert type(refused.value.__cause__) is LookupError and refused.value.value == 3 and refused.value.row == 1
    assert counting.calls == [1, 3]
    assert [tuple(row) for row in result.fetchmany(1)] == [(2,)]
    with pytest.raises(ConversionError, match="row 1"):  # the refused row is read again
        result.fetchmany(1)
    assert counting.calls == [1, 3, 3]


class Stop(BaseException):
    pass


@pytest.mark.parametrize("flavour_of", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
def test_exceptions_that_are_not_errors_pass_through_a_function(flavour_of):
    def stop(value):
        raise Stop(value)

    result = Result(ListCursor([(1,), (2,)]), {"v": stop}, flavour=flavour_of())
    with pytest.raises(Stop):
        result.fetchall()


# ---- types that are refused when the result is made -------------------------


class Order:
    pass


@pytest.mark.parametrize(
    "types, message",
    [
        ({"v": datetime.timedelta}, r"datetime.timedelta.*pass a function.*types=\"reported\""),
        ({"v": Order}, r"test_declared_types.Order: .*pass a function, e.g. types=\{column: lambda value: Order\(value\)\}"),
        ({"v": decimal.Decimal}, r"Numeric\(scale\)"),
        ({"v": 5}, "no converter for the declared type 5"),
        ({"v": list[int]}, r"no converter for the declared type list\[int\]: declare the type it stands for"),
        ({"v": typing.NewType("Cents", int)}, "no converter for the declared type .*Cents"),
        ({"v": int | None}, "no converter for the declared type int | None"),
        (Order, r"types is a mapping of column names to types, or \"reported\", not the class Order: for rows as Order objects, pass into=Order"),
        ([("v", int)], r"types is a mapping .* not a list"),
    ],
    ids=repr,
)
def test_types_without_an_exact_converter_are_refused_when_the_result_is_made(flavour, types, message):
    with pytest.raises(TypeError, match=message):
        Result(ListCursor([(1,)]), types, flavour=flavour)


@pytest.mark.parametrize("make", [lambda: Json(), lambda: Timestamp("UTC"), lambda: Numeric(2, round=1)], ids=["Json()", "Timestamp(str)", "round=1"])
def test_type_declarations_check_their_arguments(make):
    with pytest.raises(TypeError):
        make()


# ---- two faults: the caller's decimal context, and str subclasses ----------


@pytest.mark.parametrize("flavour_of", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
def test_numeric_text_is_read_under_a_context_of_its_own(flavour_of):
    with decimal.localcontext(prec=3, Emax=10) as context:
        context.traps[decimal.InvalidOperation] = False
        rows = [("soon",), ("123456.785",), (Decimal("987654.321"),), ("1e20",)]
        for types in ({"n": Numeric(2)}, {"n": Numeric(2, round=True)}):
            with pytest.raises(ConversionError, match="row 0, column 'n': cannot convert 'soon'"):
                Result(ListCursor(rows[:1], ("n",)), types, flavour=flavour_of()).fetchall()
        exact = Result(ListCursor(rows[3:], ("n",)), {"n": Numeric(2)}, flavour=flavour_of()).fetchall()
        rounded = Result(ListCursor(rows[1:], ("n",)), {"n": Numeric(2, round=True)}, flavour=flavour_of()).fetchall()
    assert [str(row.n) for row in exact] == ["100000000000000000000.00"]
    assert [str(row.n) for row in rounded] == ["123456.78", "987654.32", "100000000000000000000.00"]


@pytest.mark.parametrize("flavour_of", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
def test_a_str_subclass_gets_one_outcome_whatever_its_neighbours(flavour_of):
    alone = Result(ListCursor([(Name("x"),)]), {"v": str}, flavour=flavour_of()).fetchall()
    after_a_memoryview = Result(ListCursor([(memoryview(b"m"),), (Name("x"),)]), {"v": str}, flavour=flavour_of()).fetchall()
    assert type(alone[0].v) is Name and alone[0].v == "x"
    assert type(after_a_memoryview[1].v) is Name and [row.v for row in after_a_memoryview] == ["m", "x"]


# ---- what the drivers deliver themselves ------------------------------------


@pytest.fixture
def postgres(postgres_dsn):  # noqa: F811
    psycopg = require("psycopg")
    with psycopg.connect(postgres_dsn) as connection:
        yield connection
        connection.rollback()


POSTGRES_REPORTED = (
    f"select cast('{U}' as uuid) as u, cast('{{\"a\": 1}}' as json) as j, cast('\"abc\"' as jsonb) as b,"
    " cast('1 day 02:03:04' as interval) as i, cast(null as jsonb) as n"
)


@pytest.mark.parametrize("cursor_of", [lambda c: c.cursor(), lambda c: c.cursor(name="orvane_types"), lambda c: c.cursor(binary=True)], ids=["client", "server", "binary"])
def test_reported_postgres_types_pass_as_the_driver_delivers_them(postgres, flavour, cursor_of):
    for types in ("reported", {"u": uuid.UUID, "j": Json, "b": Json, "n": Json}):
        with cursor_of(postgres) as cursor:
            rows = Result(cursor.execute(POSTGRES_REPORTED), types, flavour=flavour).fetchall()
        assert tuple(rows[0]) == (ID, {"a": 1}, "abc", datetime.timedelta(days=1, seconds=7384), None)


def test_json_text_from_a_postgres_loader_that_keeps_it_is_parsed(postgres, flavour):
    from psycopg.types.string import TextLoader

    cursor = postgres.cursor()
    cursor.adapters.register_loader("json", TextLoader)
    cursor.adapters.register_loader("jsonb", TextLoader)
    cursor.execute(POSTGRES_REPORTED)
    assert tuple(cursor.fetchone())[1:3] == ('{"a": 1}', '"abc"')
    for types in ("reported", {"j": Json, "b": Json}):
        row = Result(cursor.execute(POSTGRES_REPORTED), types, flavour=flavour).fetchone()
        assert (row.j, row.b) == ({"a": 1}, "abc")


def test_interval_text_from_a_postgres_loader_that_keeps_it_is_refused(postgres, flavour):
    from psycopg.types.string import TextLoader

    cursor = postgres.cursor()
    cursor.adapters.register_loader("interval", TextLoader)
    with pytest.raises(ConversionError, match="column 'i'.*a str is not a timedelta"):
        Result(cursor.execute(POSTGRES_REPORTED), "reported", flavour=flavour).fetchall()


def test_reported_duckdb_types(flavour):
    duckdb = require("duckdb")
    connection = duckdb.connect()
    sql = f"""select cast('{U}' as uuid) as u, cast('{{"a": [1, 2]}}' as json) as j, cast('"abc"' as json) as s, interval 3 day as i"""
    rows = Result(connection.cursor().execute(sql), "reported", flavour=flavour).fetchall()
    declared = Result(connection.cursor().execute(sql), {"u": uuid.UUID, "j": Json, "s": Json}, flavour=flavour).fetchall()
    connection.close()
    assert tuple(rows[0]) == tuple(declared[0]) == (ID, {"a": [1, 2]}, "abc", datetime.timedelta(days=3))


# ---- each declared type against its hand conversion --------------------------


def outcome(call):
    try:
        value = call()
    except (ValueError, TypeError, AttributeError, LookupError) as error:
        return ("refused", type(error.__cause__ or error).__name__)
    return ("value", type(value).__name__, repr(value))


def converted(values, declared, flavour):
    """Each value through a sqlite3 result of its own: its outcome."""
    connection = sqlite3.connect(":memory:")
    try:
        return [
            outcome(lambda: Result(connection.execute("select ? as v", (value,)), {"v": declared}, flavour=flavour).fetchone().v)
            for value in values
        ]
    finally:
        connection.close()


def by_hand(values, convert):
    return [outcome(lambda: None if value is None else convert(value)) for value in values]


SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
BOTH = st.sampled_from([flavours.compiled, flavours.pure])

UUIDS = st.uuids().flatmap(
    lambda u: st.sampled_from([str(u), u.hex, u.urn, "{" + str(u).upper() + "}", u.bytes, u.bytes[:15], str(u)[:-1], "x" + str(u)])
)


def uuid_by_hand(value):
    return uuid.UUID(bytes=value) if isinstance(value, bytes) else uuid.UUID(value)


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda children: st.lists(children) | st.dictionaries(st.text(), children),
    max_leaves=10,
)
JSON_TEXTS = JSON_VALUES.map(json.dumps) | st.text(max_size=8) | JSON_VALUES.map(lambda value: json.dumps(value).encode())


def json_by_hand(value):
    return json.loads(value)


DECIMAL_TEXTS = st.one_of(
    st.decimals(min_value=-(10**15), max_value=10**15, allow_nan=False).map(str),
    st.tuples(st.integers(-(10**12), 10**12), st.integers(0, 6), st.integers(0, 3)).map(lambda t: f"{Decimal(t[0]).scaleb(-t[1])}" + "0" * t[2]),
    st.integers(-(2**62), 2**62),
)


def numeric_by_hand(scale):
    exponent = Decimal(1).scaleb(-scale)

    def convert(value):
        exact = Decimal(value.strip()) if isinstance(value, str) else Decimal(value)
        quantized = exact.quantize(exponent, context=decimal.Context(prec=decimal.MAX_PREC))
        if quantized != exact:
            raise ValueError("digits beyond the scale")
        return quantized

    return convert


LEVEL_VALUES = st.integers(-3, 5) | st.integers(-3, 5).map(str) | st.sampled_from(["x", "2.0", " 2 ", "1_0"])


def level_by_hand(value):
    return Level(int(value))


TIMESTAMP_TEXTS = st.datetimes(timezones=st.none() | st.just(datetime.UTC) | st.just(PLUS_TWO)).map(lambda at: at.isoformat(sep=" ")) | st.text(max_size=12)


def timestamp_by_hand(value):
    at = datetime.datetime.fromisoformat(value)
    return at if at.tzinfo is not None else at.replace(tzinfo=MINUS_FIVE)


DIFFERENTIAL = [
    (uuid.UUID, UUIDS, uuid_by_hand),
    (Json, JSON_TEXTS, json_by_hand),
    (Numeric(0), DECIMAL_TEXTS, numeric_by_hand(0)),
    (Numeric(3), DECIMAL_TEXTS, numeric_by_hand(3)),
    (Level, LEVEL_VALUES, level_by_hand),
    (Timestamp(MINUS_FIVE), TIMESTAMP_TEXTS, timestamp_by_hand),
    (tags, st.text(max_size=6), tags),
]


@pytest.mark.parametrize("declared, values, hand", DIFFERENTIAL, ids=lambda item: repr(item)[:30])
def test_declared_types_agree_with_the_hand_conversion(declared, values, hand):
    @SETTINGS
    @given(st.lists(values | st.none(), min_size=1, max_size=8), BOTH)
    def check(generated, flavour_of):
        assert converted(generated, declared, flavour_of()) == by_hand(generated, hand)

    check()


@settings(max_examples=300, deadline=None)
@given(value=st.decimals(min_value=-(10**20), max_value=10**20, allow_nan=False), scale=st.integers(0, 6), flavour_of=BOTH)
def test_exact_numeric_over_decimals_agrees_with_the_hand_conversion(value, scale, flavour_of):
    convert = column_converter(Numeric(scale), flavour_of()).processor_for({Decimal})
    assert outcome(lambda: convert(value)) == outcome(lambda: numeric_by_hand(scale)(value))


@pytest.mark.parametrize("value", ["12.30", "12.345", "-0.001", Decimal("1.234"), Decimal("1.20"), 2.5, "x"], ids=repr)
def test_the_exact_numeric_paths_leak_nothing(assert_no_leak, value):
    convert = column_converter(Numeric(2), flavours.compiled()).general
    assert_no_leak(lambda: convert(value))


def test_a_refusing_function_leaks_nothing(assert_no_leak):
    def refuse(value):
        raise ValueError(value)

    assert_no_leak(lambda: Result(ListCursor([(1,), (2,)]), {"v": refuse}).fetchall(), calls=50)
