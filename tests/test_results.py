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
from orvane.results import ConversionError, Numeric, Result

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
    assert info.value.column == "at" and info.value.value == "not a date"
    assert "column 'at'" in str(info.value) and "Couldn't parse datetime string: 'not a date'" in str(info.value)
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
    return subprocess.run([sys.executable, "-m", "orvane", "bench", *args], capture_output=True, text=True)


def test_bench_table_and_json():
    done = bench("--rows", "300")
    assert done.returncode == 0, done.stderr
    assert "300 rows x 9 columns" in done.stdout and "Both flavours produced identical values." in done.stdout
    assert done.stderr == ""  # no progress line when stderr is not a terminal
    figures = json.loads(bench("--rows", "200", "--json").stdout)
    assert figures["rows"] == 200 and {p["path"] for p in figures["paths"]} >= {"fetch (build rows)", "by attribute row.name"}
    assert all(p["compiled_rows_per_second"] > 0 and p["pure_rows_per_second"] > 0 for p in figures["paths"])


def test_bench_on_a_users_database(connection, tmp_path):
    connection.commit()
    done = bench("--db", str(tmp_path / "t.sqlite"), "--sql", "select id, name, name as again from t", "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["rows"] == 3


@pytest.mark.parametrize("args", [["--db", "x.sqlite"], ["--rows", "0"], ["--db", "/no/such.sqlite", "--sql", "select 1"], []])
def test_bench_refuses_bad_arguments(args):
    done = subprocess.run([sys.executable, "-m", "orvane", *(["bench"] + args if args else [])], capture_output=True, text=True)
    assert done.returncode == 2 and "usage" in done.stderr


def test_bench_reports_the_first_difference():
    same = Measurement("p", 1.0, [(1, "a"), (2, "b")])
    assert first_difference([same], [same]) is None
    other = Measurement("p", 1.0, [(1, "a"), (2.0, "b")])
    assert first_difference([same], [other]) == "p, row 1: compiled (2, 'b') but pure (2.0, 'b')"
    scaled = Measurement("p", 1.0, [(decimal.Decimal("1.0"),)])
    assert first_difference([scaled], [Measurement("p", 1.0, [(decimal.Decimal("1.00"),)])]) is not None


def test_readme_example_runs(capsys):
    import pathlib
    import re

    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    example = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    exec(compile(example, "README.md", "exec"), {})
    assert "12.50" in capsys.readouterr().out
