import datetime
import decimal
import json
import multiprocessing
import pickle
import sqlite3
import subprocess
import sys

import pytest

from orvane import flavours
from orvane.bench import Measurement, first_difference
from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError
from orvane.results import ConversionError, Numeric, Result, RowShapeError

FLAVOURS = [pytest.param(flavours.compiled, id="compiled"), pytest.param(flavours.pure, id="pure")]

TYPES = {
    "at": datetime.datetime,
    "day": datetime.date,
    "clock": datetime.time,
    "flag": bool,
    "price": Numeric(2),
    "ratio": float,
    "blob": str,
}


@pytest.fixture(params=FLAVOURS)
def flavour(request):
    return request.param()


@pytest.fixture
def connection(tmp_path):
    connection = sqlite3.connect(tmp_path / "t.sqlite")
    connection.execute("create table t (id integer, name text, at text, day text, clock text, flag integer, price real, ratio text, blob blob)")
    connection.executemany(
        "insert into t values (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        [
            (1, "one", "2024-01-02 03:04:05.000006", "2024-01-02", "03:04:05", 1, 1.5, "0.25", "café".encode()),
            (2, "two", "2024-02-03 04:05:06", "2024-02-03", "04:05:06.5", 0, 2.255, "1e3", b"plain"),
            (3, None, None, None, None, None, None, None, None),
        ],
    )
    yield connection
    connection.close()


def result(connection, flavour, sql="select * from t order by id", types=TYPES, **kwargs):
    return Result(connection.execute(sql), types, flavour=flavour, **kwargs)


def test_declared_types_convert(connection, flavour):
    first, second, empty = result(connection, flavour).fetchall()
    assert tuple(first) == (1, "one", datetime.datetime(2024, 1, 2, 3, 4, 5, 6), datetime.date(2024, 1, 2), datetime.time(3, 4, 5), True, decimal.Decimal("1.50"), 0.25, "café")
    assert second.clock == datetime.time(4, 5, 6, 500000) and second.flag is False and second.ratio == 1000.0
    assert str(second.price) in ("2.25", "2.26") and type(second.price) is decimal.Decimal
    assert tuple(empty) == (3,) + (None,) * 8
    assert type(first) is flavour.row_class


def test_access_paths(connection, flavour):
    rows = result(connection, flavour).fetchall()
    row = rows[0]
    assert row[0] == row["id"] == row.id == row._mapping["id"] == 1
    assert row[-1] == row.blob == "café" and row[1:3] == ("one", datetime.datetime(2024, 1, 2, 3, 4, 5, 6))
    assert row._fields == ("id", "name", "at", "day", "clock", "flag", "price", "ratio", "blob")
    assert row._asdict()["name"] == "one"
    assert dict(row._mapping.items())["flag"] is True and list(row._mapping) == list(row._fields)
    assert list(result(connection, flavour).columns("name", 0)) == [("one", 1), ("two", 2), (None, 3)]
    assert [m["name"] for m in result(connection, flavour).mappings()] == ["one", "two", None]
    assert row == tuple(row) and row != rows[1] and row < rows[1] and hash(row) == hash(tuple(row))
    assert repr(row).startswith("(1, 'one'")
    with pytest.raises(NoSuchColumnError, match="nope"):
        row["nope"]
    with pytest.raises(AttributeError, match="Could not locate column in row for column 'nope'"):
        row.nope


def test_fetch_methods(connection, flavour):
    res = result(connection, flavour)
    assert res.fetchone().id == 1
    assert [r.id for r in res.fetchmany(5)] == [2, 3]
    assert res.fetchone() is None and res.fetchall() == [] and res.fetchmany(2) == []
    assert res.keys()[0] == "id"


def test_undeclared_columns_pass_through(connection, flavour):
    row = result(connection, flavour, types=None).fetchone()
    assert row.at == "2024-01-02 03:04:05.000006" and row.blob == "café".encode() and row.flag == 1


def test_duplicate_column_names_are_ambiguous(connection, flavour):
    row = result(connection, flavour, sql="select id, name, id from t", types={}).fetchone()
    assert row[0] == row[2] == 1 and row.name == "one"
    with pytest.raises(AmbiguousColumnError, match="'id'"):
        row.id
    with pytest.raises(AmbiguousColumnError):
        row["id"]
    with pytest.raises(AmbiguousColumnError):
        row._mapping["id"]


@pytest.mark.parametrize(
    "types, error, text",
    [
        ({"at": list}, TypeError, "no converter for the declared type"),
        ({"price": decimal.Decimal}, TypeError, "Numeric(scale)"),
        ({"missing": bool}, NoSuchColumnError, "declared column 'missing' is not in the result"),
    ],
)
def test_bad_declarations(connection, flavour, types, error, text):
    with pytest.raises(error) as info:
        result(connection, flavour, types=types)
    assert text in str(info.value)


def test_bad_scale():
    with pytest.raises(ValueError):
        Numeric(-1)
    with pytest.raises(ValueError):
        Numeric(True)


def test_values_a_converter_refuses_name_the_column(connection, flavour):
    connection.execute("insert into t (id, at) values (4, 'not a date')")
    with pytest.raises(ConversionError) as info:
        result(connection, flavour).fetchall()
    assert info.value.column == "at" and info.value.value == "not a date" and info.value.row == 3
    assert "row 3, column 'at': cannot convert 'not a date': Invalid isoformat string" in str(info.value)
    res = result(connection, flavour, sql="select * from t where id = 4")
    with pytest.raises(ConversionError, match="column 'at'"):
        res.fetchone()


def test_statement_without_rows(connection, flavour):
    with pytest.raises(ValueError, match="no result rows"):
        Result(connection.execute("update t set id = id"), flavour=flavour)


def test_flavours_agree_on_every_value(connection):
    compiled = result(connection, flavours.compiled()).fetchall()
    pure = result(connection, flavours.pure()).fetchall()
    assert [repr(tuple(r)) for r in compiled] == [repr(tuple(r)) for r in pure]


def _round_trip(payload):
    rows = pickle.loads(payload)
    return pickle.dumps([(type(r).__name__, tuple(r), r.name, r._mapping["id"]) for r in rows])


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_rows_pickle_across_processes(connection, protocol):
    rows = result(connection, flavours.compiled()).fetchall()
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        echoed = pickle.loads(pool.apply(_round_trip, (pickle.dumps(rows, protocol),)))
    assert echoed == [("Row", tuple(r), r.name, r.id) for r in rows]


def test_pure_rows_pickle(connection):
    rows = result(connection, flavours.pure()).fetchall()
    back = pickle.loads(pickle.dumps(rows))
    assert [type(r) for r in back] == [flavours.pure().row_class] * 3 and back == rows


# ---- the bench command ---------------------------------------------------


def bench(*args):
    return subprocess.run([sys.executable, "-m", "orvane", "bench", "--repeat", "1", *args], capture_output=True, text=True)


def test_bench_table_and_json():
    done = bench("--rows", "300")
    assert done.returncode == 0, done.stderr
    assert "300 rows x 9 columns" in done.stdout and "Both flavours produced identical values." in done.stdout
    assert "driver fetchall() alone" in done.stdout and "cycle collector on" in done.stdout
    # A line per stage on stderr, also when it is a pipe.
    stages = done.stderr.splitlines()
    assert "orvane bench: compiled: fetch with types" in stages and "orvane bench: pure: mapping view row._mapping[name]" in stages
    figures = json.loads(bench("--rows", "200", "--json", "--quiet", "--no-gc").stdout)
    assert figures["rows"] == 200 and figures["collector"] == "paused"
    assert {p["path"] for p in figures["paths"]} >= {"fetch with types", "fetch without types", "by attribute row.name"}
    assert all(p["compiled_rows_per_second"] > 0 and p["pure_rows_per_second"] > 0 for p in figures["paths"])
    assert figures["paths"][0]["compiled_over_raw_fetchall"] > 0 and figures["raw_fetchall_rows_per_second"] > 0


def test_bench_into_a_pipe_closed_early_stops_quietly():
    # As `python -m orvane bench | head -1` does: nobody reads the table.
    process = subprocess.Popen([sys.executable, "-m", "orvane", "bench", "--repeat", "1", "--rows", "300", "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stdout.close()
    with process.stderr:
        error = process.stderr.read()
    assert process.wait() == 1 and error == ""


def test_bench_help():
    done = bench("--help")
    assert done.returncode == 0 and "--dsn" in done.stdout and "--no-gc" in done.stdout and done.stderr == ""


@pytest.mark.parametrize(
    "sql, columns",
    [
        ("select id from t", 1),
        ("select price from t", 1),
        ("select id, name, name as again, id as name from t", 4),
    ],
    ids=["one integer column", "one real column", "shared names"],
)
def test_bench_on_a_users_database(connection, tmp_path, sql, columns):
    connection.commit()
    done = bench("--db", str(tmp_path / "t.sqlite"), "--sql", sql, "--json", "--quiet")
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    assert figures["rows"] == 3 and len(figures["columns"]) == columns


def test_bench_with_reported_types(connection, tmp_path):
    pytest.importorskip("apsw", reason="reading the declared types of an SQLite file needs apsw")
    connection.commit()
    done = bench("--db", str(tmp_path / "t.sqlite"), "--sql", "select * from t", "--types", "reported", "--quiet")
    assert done.returncode == 0, done.stderr
    assert "fetch with types" in done.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["--db", "x.sqlite"], "--db needs --sql"),
        (["--sql", "select 1"], "--sql needs --db or --dsn"),
        (["--rows", "0"], "--rows must be at least 1"),
        (["--rows", "many"], "invalid count value"),
        (["--types", "reported"], "--types applies to a query of your own"),
        (["--db", "/no/such.sqlite", "--sql", "select 1"], "no such database file: /no/such.sqlite"),
    ],
)
def test_bench_refuses_bad_input_in_one_line(connection, tmp_path, args, message):
    connection.commit()
    done = bench("--quiet", *(arg.format(db=tmp_path / "t.sqlite") for arg in args))
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and message in done.stderr and "Traceback" not in done.stderr
    assert connection.execute("select count(*) from t").fetchone() == (3,)


@pytest.mark.parametrize("quiet", [True, False], ids=["quiet", "with progress"])
@pytest.mark.parametrize(
    "args, message",
    [
        (["--db", "{db}", "--sql", "select * from t where id > 10"], "the query returned no rows"),
        (["--db", "{db}", "--sql", "pragma foreign_keys = 1"], "the statement returns no rows"),
        (["--db", "{db}", "--sql", "delete from t"], "OperationalError: attempt to write a readonly database"),
        (["--db", "{db}", "--sql", "selec"], "syntax error"),
        (["--db", "{db}", "--sql", "select * from nowhere"], "OperationalError: no such table: nowhere"),
        # A query that reads the schema: older SQLite libraries run "select 1" on any file.
        (["--db", "{junk}", "--sql", "select * from t"], "DatabaseError: file is not a database"),
    ],
)
def test_bench_fails_at_run_time_in_one_line_and_status_1(connection, tmp_path, args, message, quiet):
    connection.commit()
    (tmp_path / "junk.sqlite").write_text("not a database\n" * 100)
    done = bench(*(["--quiet"] if quiet else []), *(arg.format(db=tmp_path / "t.sqlite", junk=tmp_path / "junk.sqlite") for arg in args))
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and message in done.stderr and "Traceback" not in done.stderr
    assert connection.execute("select count(*) from t").fetchone() == (3,)


@pytest.mark.parametrize("args, status", [([], 2), (["other"], 2), (["--help"], 0)])
def test_module_usage(args, status):
    done = subprocess.run([sys.executable, "-m", "orvane", *args], capture_output=True, text=True)
    assert done.returncode == status and "usage: python -m orvane bench" in done.stdout + done.stderr


def test_bench_reports_the_first_difference():
    same = Measurement("p", 1.0, [(1, "a"), (2, "b")])
    assert first_difference([same], [same]) is None
    other = Measurement("p", 1.0, [(1, "a"), (2.0, "b")])
    assert first_difference([same], [other]) == "p, row 1: compiled (2, 'b') but pure (2.0, 'b')"
    scaled = Measurement("p", 1.0, [(decimal.Decimal("1.0"),)])
    assert first_difference([scaled], [Measurement("p", 1.0, [(decimal.Decimal("1.00"),)])]) is not None


@pytest.mark.parametrize(
    "compiled, pure, differ",
    [
        ((decimal.Decimal("NaN"),), (decimal.Decimal("NaN"),), False),
        ((float("nan"), 1), (float("nan"), 1), False),
        ((float("nan"),), (decimal.Decimal("NaN"),), True),
        ((float("nan"), 1), (float("nan"), 2), True),
        ((float("nan"),), (1.0,), True),
        ((decimal.Decimal("NaN"),), (decimal.Decimal("1"),), True),
    ],
    ids=["decimal NaNs", "float NaNs", "NaNs of two types", "NaN then another value", "NaN and a number", "decimal NaN and a number"],
)
def test_bench_takes_nans_in_the_same_place_as_the_same(compiled, pure, differ):
    # Made apart, as each flavour makes its own: equality of lists takes an
    # object as equal to itself, and would hide the fault.
    ours, theirs = Measurement("p", 1.0, [(0,), compiled]), Measurement("p", 1.0, [(0,), tuple(pure)])
    difference = first_difference([ours], [theirs])
    assert (difference is not None) == differ
    if differ:
        assert difference.startswith("p, row 1: ")


def test_readme_example_runs(capsys):
    import pathlib
    import re

    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    example = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    exec(compile(example, "README.md", "exec"), {})
    assert "12.50" in capsys.readouterr().out


def test_readme_async_example_runs_and_rows_come_from_the_public_module(capsys):
    import pathlib
    import re

    pytest.importorskip("aiosqlite")
    pytest.importorskip("psycopg")
    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    examples = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert all("Row" not in line or line.startswith("from orvane.results import") for example in examples for line in example.splitlines() if "import" in line)
    exec(compile(examples[1], "README.md", "exec"), {})
    assert capsys.readouterr().out == "1 2024-05-06 07:08:09 12.50\n"
    assert "pip install '.[drivers]'" in readme and "aiosqlite" in readme.split("## Async drivers")[1].split("```")[0]


# ---- declared types over what SQLite stores ----------------------------------


def one_value(flavour, stored, declared):
    connection = sqlite3.connect(":memory:")
    try:
        return Result(connection.execute("select ? as v", (stored,)), {"v": declared}, flavour=flavour).fetchone().v
    finally:
        connection.close()


@pytest.mark.parametrize(
    "declared, stored, expected",
    [
        (Numeric(2), "12345678901234567.89", decimal.Decimal("12345678901234567.89")),
        (Numeric(2, round=True), " 1.005 ", decimal.Decimal("1.00")),
        (Numeric(2, round=True), "1.015", decimal.Decimal("1.02")),
        (Numeric(1), "-0.25e1", decimal.Decimal("-2.5")),
        (Numeric(2), 2**62 + 1, decimal.Decimal("4611686018427387905.00")),
        (Numeric(0), 7, decimal.Decimal("7")),
        (Numeric(2), 1.5, decimal.Decimal("1.50")),
        (bool, "0", False),
        (bool, "1", True),
        (bool, "false", False),
        (bool, "TRUE", True),
        (bool, "t", True),
        (bool, "F", False),
        (bool, "Yes", True),
        (bool, "no", False),
        (bool, 0, False),
        (bool, 2, True),
        (int, "42", 42),
        (int, 7, 7),
        (float, "1e3", 1000.0),
        (float, 3, 3.0),
        (str, "café".encode(), "café"),
        (str, "plain", "plain"),
        (bytes, b"\x00", b"\x00"),
        (datetime.date, "2024-01-02", datetime.date(2024, 1, 2)),
        (datetime.time, "03:04:05", datetime.time(3, 4, 5)),
    ],
)
def test_declared_type_from_each_stored_type(flavour, declared, stored, expected):
    value = one_value(flavour, stored, declared)
    assert type(value) is type(expected) and value == expected and str(value) == str(expected)


@pytest.mark.parametrize(
    "declared, stored",
    [
        (bool, "maybe"),
        (bool, "2"),
        (bool, ""),
        (bool, 1.0),
        (bool, b"1"),
        (Numeric(2), "abc"),
        (Numeric(2), b"1.5"),
        (int, "one"),
        (int, 1.5),
        (int, b"1"),
        (bytes, "text"),
        (str, 5),
        (datetime.datetime, 5),
        (datetime.date, b"2024-01-02"),
        (datetime.time, 1.5),
    ],
)
def test_values_of_another_type_are_refused(flavour, declared, stored):
    with pytest.raises(ConversionError, match="column 'v'") as info:
        one_value(flavour, stored, declared)
    assert info.value.value == stored


def test_value_types_may_change_from_chunk_to_chunk(flavour):
    stamp = datetime.datetime(2024, 1, 2, 3, 4, 5)
    # The first chunk holds ints and text; a later one a spelled truth value
    # and a datetime that the driver parsed itself.
    rows = [(n, n % 2, stamp.isoformat(sep=" ")) for n in range(1500)] + [(1500, "no", stamp), (1501, None, None)]
    types = {"flag": bool, "at": datetime.datetime}
    built = Result(FetchOneCursor(rows, ("n", "flag", "at")), types, flavour=flavour).fetchall()
    # The second chunk's refusal comes halfway: the rows made before it stay, in order.
    assert [row.n for row in built] == list(range(1502))
    assert [row.flag for row in built[-4:]] == [False, True, False, None]
    assert {type(row.at) for row in built[:-1]} == {datetime.datetime} and built[-1].at is None
    with pytest.raises(ConversionError, match="column 'at': cannot convert 7"):
        Result(FetchOneCursor(rows + [(2500, 1, 7)], ("n", "flag", "at")), types, flavour=flavour).fetchall()


class FetchOneCursor:
    """A DB-API cursor without any optional part: no iteration, no fetchmany."""

    def __init__(self, rows, names=("a", "b")):
        self.description = [(name, None, None, None, None, None, None) for name in names]
        self._rows = list(rows)

    def fetchone(self):
        return self._rows.pop(0) if self._rows else None


@pytest.mark.parametrize(
    "rows",
    [
        [(1, "x"), (2, "y"), (3, "z")],
        [[1, "x"], [2, "y"], [3, "z"]],
        [{"b": "x", "a": 1}, {"a": 2, "b": "y"}, {"b": "z", "a": 3}],
    ],
    ids=["tuples", "lists", "mappings"],
)
def test_a_cursor_with_fetchone_only(flavour, rows):
    result = Result(FetchOneCursor(rows), flavour=flavour)
    assert tuple(result.fetchone()) == (1, "x")
    assert [tuple(row) for row in result.fetchmany()] == [(2, "y")]
    assert [row.b for row in result] == ["z"] and result.fetchall() == []


@pytest.mark.parametrize("row, kind", [("ab", "str"), (object(), "object"), (b"ab", "bytes"), (5, "int")])
def test_rows_that_are_no_sequence_are_refused(flavour, row, kind):
    with pytest.raises(TypeError, match=f"a fetched row must be a sequence or a mapping, not {kind}"):
        Result(FetchOneCursor([row]), flavour=flavour).fetchall()


def test_mapping_rows_cannot_hold_shared_names(flavour):
    with pytest.raises(TypeError, match="rows fetched as mappings lose columns that share a name"):
        Result(FetchOneCursor([{"a": 1}], ("a", "a")), flavour=flavour).fetchall()


def test_sqlite_rows_and_arraysize(connection, flavour):
    connection.row_factory = sqlite3.Row
    cursor = connection.execute("select id, name from t order by id")
    cursor.arraysize = 2
    result = Result(cursor, flavour=flavour)
    assert [tuple(row) for row in result.fetchmany()] == [(1, "one"), (2, "two")]
    assert result.fetchmany(5)[0].id == 3


def test_reported_types_need_a_driver_that_reports_them(connection, flavour):
    with pytest.raises(ValueError, match="the sqlite3 module reports no column types"):
        Result(connection.execute("select id from t"), "reported", flavour=flavour)
    with pytest.raises(ValueError, match='or "reported"'):
        Result(connection.execute("select id from t"), "declared", flavour=flavour)


PLUS_TWO = datetime.timezone(datetime.timedelta(hours=2))


@pytest.mark.parametrize(
    "declared, stored, expected",
    [
        (datetime.datetime, "2024-05-06 07:08:09+02:00", datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=PLUS_TWO)),
        (datetime.datetime, "2024-05-06 07:08:09+0200", datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=PLUS_TWO)),
        (datetime.datetime, "2024-05-06 07:08:09-05:30", datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone(-datetime.timedelta(hours=5, minutes=30)))),
        (datetime.datetime, "2024-05-06 07:08:09Z", datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)),
        (datetime.datetime, "2024-05-06T07:08:09.123456", datetime.datetime(2024, 5, 6, 7, 8, 9, 123456)),
        (datetime.datetime, "20240506T070809", datetime.datetime(2024, 5, 6, 7, 8, 9)),
        (datetime.time, "07:08:09+02:00", datetime.time(7, 8, 9, tzinfo=PLUS_TWO)),
        (datetime.date, "20240506", datetime.date(2024, 5, 6)),
        (datetime.datetime, "2024-05-06 07:08:09garbage", ConversionError),
        (datetime.date, "2024-05-06xyz", ConversionError),
        (datetime.time, "07:08:09 pm", ConversionError),
    ],
)
def test_date_and_time_text_is_read_as_fromisoformat_reads_it(flavour, declared, stored, expected):
    if expected is ConversionError:
        with pytest.raises(ConversionError, match="Invalid isoformat string"):
            one_value(flavour, stored, declared)
        return
    value = one_value(flavour, stored, declared)
    assert value == expected and value.utcoffset() == expected.utcoffset() if declared is not datetime.date else value == expected


@pytest.mark.parametrize(
    "stored, expected",
    [
        (float("nan"), "NaN"),
        (float("inf"), "Infinity"),
        (float("-inf"), "-Infinity"),
        ("NaN", "NaN"),
        ("-nan", "NaN"),
        ("sNaN", "NaN"),
        (" inf ", "Infinity"),
        ("-Infinity", "-Infinity"),
        (decimal.Decimal("NaN"), "NaN"),
        (decimal.Decimal("-sNaN"), "NaN"),
        (decimal.Decimal("-Infinity"), "-Infinity"),
        ("1e3", "1000.00"),
    ],
)
def test_numeric_not_a_number_and_the_infinities(flavour, stored, expected):
    # Floats, texts and Decimals (from drivers that convert numeric columns
    # themselves) alike.
    value = Result(FetchOneCursor([(stored,)], ("v",)), {"v": Numeric(2)}, flavour=flavour).fetchone().v
    assert type(value) is decimal.Decimal and repr(value) == f"Decimal('{expected}')"


def test_numeric_text_that_is_no_number_says_so(flavour):
    with pytest.raises(ConversionError, match="cannot convert 'abc': not a decimal number$"):
        one_value(flavour, "abc", Numeric(2))


@pytest.mark.parametrize("stored", ["1e999999999", "1" * 131073, decimal.Decimal("-1e200000")], ids=["exponent", "digits", "decimal"])
def test_numeric_refuses_more_whole_digits_than_a_column_holds(flavour, stored):
    # Refused at once, not written out digit by digit.
    with pytest.raises(ConversionError, match="digits before the point$"):
        Result(FetchOneCursor([(stored,)], ("v",)), {"v": Numeric(2)}, flavour=flavour).fetchone()


def test_numeric_takes_as_many_whole_digits_as_a_column_holds(flavour):
    assert one_value(flavour, "9" * 131072, Numeric(0)) == decimal.Decimal("9" * 131072)


class Probe:
    """Tells, through a weak reference, whether the rows it is kept with were freed."""


@pytest.mark.parametrize(
    "refer_back",
    [
        lambda rows: rows[0]._keymap.__setitem__("cache", rows),
        lambda rows: setattr(rows[0]._parent, "_keys", rows),
        lambda rows: setattr(rows[0]._parent, "_keymap", {**rows[0]._keymap, "cache": rows}),
    ],
    ids=["keymap", "metadata keys", "metadata keymap"],
)
def test_rows_in_a_cycle_through_their_metadata_are_freed(connection, flavour, refer_back):
    import gc
    import weakref

    rows = result(connection, flavour).fetchall()
    probe = Probe()
    freed = weakref.ref(probe)
    rows.append(probe)
    refer_back(rows)
    del rows, probe
    gc.collect()
    assert freed() is None


class ManyCursor(FetchOneCursor):
    """A cursor with fetchmany, for reads by the chunk."""

    def fetchmany(self, size):
        taken, self._rows = self._rows[:size], self._rows[size:]
        return taken


def rows_with(bad, at=5, count=10):
    return [bad if n == at else (n, f"v{n}") for n in range(count)]


MISSHAPEN = {
    "short": ((5,), "row 5 has 1 value where the result has 2 columns"),
    "long": ((5, "v5", "extra"), "row 5 has 3 values where the result has 2 columns"),
    "empty": ((), "row 5 has 0 values where the result has 2 columns"),
    "mapping without a column": ({"a": 5}, "row 5 has no column 'b'"),
}


def read_by(how, result):
    """The rows a read delivers before it raises, and what it raised."""
    got = []
    try:
        if how == "iteration":
            for row in result:
                got.append(tuple(row))
        elif how == "fetchmany":
            while rows := result.fetchmany(3):
                got += map(tuple, rows)
        else:
            got += map(tuple, getattr(result, how)())
    except Exception as error:
        return got, error
    return got, None


@pytest.mark.parametrize("how", ["fetchall", "fetchmany", "iteration"])
@pytest.mark.parametrize("types", [None, {"a": int}, {"b": str, "a": float}], ids=["untyped", "typed", "typed all"])
@pytest.mark.parametrize("shape", MISSHAPEN)
def test_a_row_of_another_shape_is_refused_after_the_rows_before_it(flavour, shape, types, how):
    bad, message = MISSHAPEN[shape]
    fetched = rows_with(bad)
    if shape.startswith("mapping"):
        fetched = [values if isinstance(values, dict) else dict(zip("ab", values)) for values in fetched]
    result = Result(ManyCursor(fetched), types, flavour=flavour)
    got, error = read_by(how, result)
    assert type(error) is RowShapeError and str(error) == message and error.row == 5
    # The rows before it that this read did not return wait for the next:
    # iteration delivers them, then raises again.
    rest, again = read_by("iteration", result)
    assert type(again) is RowShapeError and str(again) == message
    got += rest
    expected = [(float(n), f"v{n}") if types and len(types) == 2 else (n, f"v{n}") for n in range(5)]
    assert got == expected
    with pytest.raises(RowShapeError, match=message):
        result.fetchone()
