"""Closing a result: close(), `with` and `async with` close the cursor, rows
delivered stay valid, and every later read says the result is closed."""

import sqlite3

import pytest

from orvane import flavours
from orvane.results import AsyncResult, Result

FLAVOURS = [pytest.param(flavours.compiled, id="compiled"), pytest.param(flavours.pure, id="pure")]

CLOSED = "the result is closed"

READS = {
    "fetchone": lambda result: result.fetchone(),
    "fetchmany": lambda result: result.fetchmany(2),
    "fetchall": lambda result: result.fetchall(),
    "iteration": lambda result: next(iter(result)),
    "columns": lambda result: next(result.columns("n")),
    "mappings": lambda result: next(result.mappings()),
}


@pytest.fixture(params=FLAVOURS)
def flavour(request):
    return request.param()


@pytest.fixture
def connection():
    connection = sqlite3.connect(":memory:")
    connection.execute("create table numbers (n integer, day text)")
    connection.executemany("insert into numbers values (?, ?)", [(n, f"2024-01-{n:02}") for n in range(1, 21)])
    yield connection
    connection.close()


def query(connection):
    return connection.execute("select n, day from numbers order by n")


def cursor_is_closed(cursor):
    with pytest.raises(sqlite3.ProgrammingError, match="closed cursor"):
        cursor.fetchone()
    return True


@pytest.mark.parametrize("read", READS)
@pytest.mark.parametrize("how", ["close()", "with"])
def test_closing_closes_the_cursor_and_refuses_later_reads(connection, flavour, read, how):
    cursor = query(connection)
    if how == "with":
        with Result(cursor, flavour=flavour) as result:
            first = result.fetchone()
    else:
        result = Result(cursor, flavour=flavour)
        first = result.fetchone()
        result.close()
    assert cursor_is_closed(cursor)
    # A delivered row holds its values: it outlives the cursor.
    assert (first.n, first["day"], dict(first._mapping), tuple(first)) == (1, "2024-01-01", {"n": 1, "day": "2024-01-01"}, (1, "2024-01-01"))
    with pytest.raises(ValueError, match=CLOSED):
        READS[read](result)
    result.close()  # again: nothing to do


def test_leaving_a_with_block_by_an_exception_closes_the_cursor(connection, flavour):
    cursor = query(connection)
    with pytest.raises(ZeroDivisionError), Result(cursor, flavour=flavour) as result:
        result.fetchmany(3)
        1 / 0
    assert cursor_is_closed(cursor)


@pytest.mark.parametrize("read", READS)
def test_rows_fetched_but_not_delivered_are_dropped_by_close(connection, flavour, read):
    # Iteration fetches a chunk ahead; a refused value leaves rows unbuilt.
    result = Result(query(connection), {"day": int}, flavour=flavour)
    with pytest.raises(ValueError, match="cannot convert"):
        result.fetchall()
    ahead = Result(query(connection), flavour=flavour)
    assert next(iter(ahead)).n == 1
    for each in (result, ahead):
        each.close()
        with pytest.raises(ValueError, match=CLOSED):
            READS[read](each)


def test_a_loop_that_closes_its_result_stops_at_the_next_row(connection, flavour):
    result = Result(query(connection), flavour=flavour)
    seen = []
    with pytest.raises(ValueError, match=CLOSED):
        for row in result:
            seen.append(row.n)
            if row.n == 3:
                result.close()
    assert seen == [1, 2, 3]


def test_a_cursor_without_close_is_left_as_it_is(flavour):
    class Cursor:
        description = [("n", None, None, None, None, None, None)]

        def __init__(self):
            self.rows = iter([(1,), (2,)])

        def fetchmany(self, size):
            return [row for _, row in zip(range(size), self.rows)]

    with Result(Cursor(), flavour=flavour) as result:
        assert result.fetchone().n == 1
    with pytest.raises(ValueError, match=CLOSED):
        result.fetchall()


@pytest.mark.parametrize("kind", [Result, AsyncResult])
def test_columns_takes_at_least_one_column(connection, flavour, kind):
    cursor = query(connection)
    if kind is AsyncResult:
        cursor = AsyncCursorOver(cursor)
    result = kind(cursor, flavour=flavour)
    with pytest.raises(TypeError, match=r"columns\(\) takes at least one column, a name or a position: iterate the result for whole rows"):
        result.columns()


class AsyncCursorOver:
    """An async cursor over a sqlite3 cursor, for a result made without a
    loop running."""

    def __init__(self, cursor):
        self._cursor = cursor
        self.description = cursor.description

    async def fetchmany(self, size):
        return self._cursor.fetchmany(size)
