"""One value, one row, the first row, a column and batches, on Result and
AsyncResult, in both flavours, over sqlite3, the drivers' table (sqlite3,
apsw, duckdb, PostgreSQL) and the async drivers."""

import sqlite3

import pytest
from test_async import source, table  # noqa: F401  (fixture: the async drivers)
from test_drivers import COLUMNS, DECLARED, ROWS, flavour, postgres, postgres_dsn, query, typed  # noqa: F401

from orvane.engine.result import AmbiguousColumnError, NoSuchColumnError
from orvane.results import AsyncResult, ConversionError, MultipleRowsError, NoRowError, Result


class CountingCursor:
    """sqlite3 rows, counting how many the result takes."""

    def __init__(self, cursor):
        self.cursor = cursor
        self.description = cursor.description
        self.arraysize = 1
        self.taken = 0

    def fetchone(self):
        row = self.cursor.fetchone()
        self.taken += row is not None
        return row

    def fetchmany(self, size):
        rows = self.cursor.fetchmany(size)
        self.taken += len(rows)
        return rows

    def fetchall(self):
        rows = self.cursor.fetchall()
        self.taken += len(rows)
        return rows


@pytest.fixture
def numbers():
    connection = sqlite3.connect(":memory:")
    connection.execute("create table n (n integer, day text, n2 integer)")
    connection.executemany("insert into n values (?, ?, ?)", [(i, "2024-01-02", i * 2) for i in range(1, 6)])
    yield lambda sql="select n, day, n2 as n2 from n order by n": CountingCursor(connection.execute(sql))
    connection.close()


def test_the_errors_are_value_errors():
    assert issubclass(NoRowError, ValueError) and issubclass(MultipleRowsError, ValueError)


@pytest.mark.parametrize(
    "read, expected",
    [(lambda result: result.scalar(), 1), (lambda result: tuple(result.first()), (1, "2024-01-02", 2))],
    ids=["scalar", "first"],
)
def test_scalar_and_first_read_one_row_and_finish(numbers, flavour, read, expected):
    cursor = numbers()
    result = Result(cursor, flavour=flavour)
    assert read(result) == expected
    assert cursor.taken == 1
    # Finished: later reads find no rows, and the rest stay in the cursor.
    assert result.fetchall() == [] and result.fetchone() is None and list(result) == [] and result.first() is None
    assert cursor.cursor.fetchone() == (2, "2024-01-02", 4)


def test_one_tells_one_from_more_by_two_rows(numbers, flavour):
    cursor = numbers()
    with pytest.raises(MultipleRowsError):
        Result(cursor, flavour=flavour).one()
    assert cursor.taken == 2
    cursor = numbers("select n from n where n = 3")
    result = Result(cursor, flavour=flavour)
    assert tuple(result.one()) == (3,) and result.fetchall() == []


@pytest.mark.parametrize("default", [None, 0, "none"])
def test_one_of_no_row(numbers, flavour, default):
    with pytest.raises(NoRowError):
        Result(numbers("select n from n where n > 9"), flavour=flavour).one()
    assert Result(numbers("select n from n where n > 9"), flavour=flavour).one(default=default) == default
    assert Result(numbers("select n from n where n > 9"), flavour=flavour).scalar() is None
    assert Result(numbers("select n from n where n > 9"), flavour=flavour).first() is None


def test_a_refused_value_leaves_the_result_unfinished(numbers, flavour):
    result = Result(numbers("select n, 'x' as day from n order by n"), {"day": DECLARED["created"]}, flavour=flavour)
    for read in (result.first, result.one, result.scalar):
        # The refused row waits first in line: the result was not finished.
        with pytest.raises(ConversionError, match="row 0, column 'day'"):
            read()


@pytest.mark.parametrize("key, expected", [(0, [1, 2, 3, 4, 5]), ("day", ["2024-01-02"] * 5), (-1, [2, 4, 6, 8, 10]), ("n2", [2, 4, 6, 8, 10])])
def test_column_by_name_or_position(numbers, flavour, key, expected):
    assert list(Result(numbers(), flavour=flavour).column(key)) == expected


@pytest.mark.parametrize(
    "key, error",
    [(3, IndexError), (-4, IndexError), ("missing", NoSuchColumnError), ("n", AmbiguousColumnError), (1.5, NoSuchColumnError)],
)
def test_a_key_that_names_no_column_takes_no_row(numbers, flavour, key, error):
    cursor = numbers("select n, day, n from n order by n")
    result = Result(cursor, flavour=flavour)
    with pytest.raises(error):
        result.column(key)
    assert cursor.taken == 0 and len(result.fetchall()) == 5


@pytest.mark.parametrize("size, lengths", [(1, [1] * 5), (2, [2, 2, 1]), (5, [5]), (7, [5])])
def test_batches(numbers, flavour, size, lengths):
    cursor = numbers()
    seen = []
    for batch in Result(cursor, flavour=flavour).batches(size):
        seen.append(len(batch))
        # Fetched a batch at a time.
        assert cursor.taken == sum(seen)
    assert seen == lengths


@pytest.mark.parametrize("size", [0, -1, 1.0, None])
def test_batches_of_no_row_are_refused(numbers, flavour, size):
    with pytest.raises(ValueError, match="at least one row"):
        Result(numbers(), flavour=flavour).batches(size)


def test_every_driver(query, flavour):
    sql = f"select {COLUMNS} from t order by id"
    assert Result(query(sql), DECLARED, flavour=flavour).scalar() == 1
    assert typed([tuple(Result(query(sql), DECLARED, flavour=flavour).first())]) == typed(ROWS[:1])
    assert typed([tuple(Result(query(f"{sql} limit 1"), DECLARED, flavour=flavour).one())]) == typed(ROWS[:1])
    with pytest.raises(MultipleRowsError):
        Result(query(sql), DECLARED, flavour=flavour).one()
    assert list(Result(query(sql), DECLARED, flavour=flavour).column("amount")) == [row[7] for row in ROWS]
    batches = list(Result(query(sql), DECLARED, flavour=flavour).batches(2))
    assert [typed(map(tuple, batch)) for batch in batches] == [typed(ROWS[:2]), typed(ROWS[2:])]


async def test_async_drivers(source, flavour):
    cursor = await table(source)
    result = AsyncResult(cursor, DECLARED, flavour=flavour)
    assert await result.scalar() == 1
    assert await result.fetchall() == [] and await result.first() is None
    assert [value async for value in AsyncResult(await table_again(source), DECLARED, flavour=flavour).column("name")] == [row[1] for row in ROWS]
    batches = [batch async for batch in AsyncResult(await table_again(source), DECLARED, flavour=flavour).batches(2)]
    assert [typed(map(tuple, batch)) for batch in batches] == [typed(ROWS[:2]), typed(ROWS[2:])]
    with pytest.raises(MultipleRowsError):
        await AsyncResult(await table_again(source), DECLARED, flavour=flavour).one()
    one = AsyncResult(await source.query(f"select {COLUMNS} from t where id = 2"), DECLARED, flavour=flavour)
    assert typed([tuple(await one.one())]) == typed(ROWS[1:2])
    none = AsyncResult(await source.query(f"select {COLUMNS} from t where id > 5"), DECLARED, flavour=flavour)
    with pytest.raises(NoRowError):
        await none.one()
    none = AsyncResult(await source.query(f"select {COLUMNS} from t where id > 5"), DECLARED, flavour=flavour)
    assert await none.one(default="none") == "none"
    first = AsyncResult(await table_again(source), DECLARED, flavour=flavour)
    assert (await first.first()).id == 1 and [row async for row in first] == []
    with pytest.raises(NoSuchColumnError):
        first.column("missing")
    with pytest.raises(ValueError):
        first.batches(0)


async def table_again(source):
    return await source.query(f"select {COLUMNS} from t order by id")
