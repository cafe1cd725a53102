"""AsyncResult over the async drivers: psycopg's AsyncConnection (client-side
and server-side cursors) on the PostgreSQL server of the driver tests, and
aiosqlite. The driver tests' table read through them gives the same values
as through the synchronous drivers; cancelled and shared reads lose no row."""

import asyncio
import contextlib
import datetime
import itertools
import json
import random
import sqlite3
import subprocess
import sys
import warnings

import pytest
from test_drivers import COLUMNS, DECLARED, ROWS, as_stored_by_sqlite, create_table, require, typed
from test_drivers import flavour, postgres_dsn  # noqa: F401  (fixtures: both flavours, the driver tests' server)

from orvane.results import AsyncResult, ConversionError, Result

_cursor_names = itertools.count()


class AsyncSource:
    """One async connection: `execute` runs a statement (for each of `rows`
    when given), `query` returns a cursor on the rows of a query."""

    def __init__(self, driver, connection):
        self.driver = driver
        self.connection = connection
        self.dialect = "sqlite" if driver == "aiosqlite" else "postgres"
        self.cursors = []

    async def execute(self, sql, rows=None):
        if rows is None:
            await (await self.connection.execute(sql)).close()
        elif self.dialect == "sqlite":
            await (await self.connection.executemany(f"{sql} values ({', '.join('?' * len(rows[0]))})", rows)).close()
        else:
            async with self.connection.cursor() as cursor:
                await cursor.executemany(f"{sql} values ({', '.join(['%s'] * len(rows[0]))})", rows)

    async def query(self, sql):
        if self.driver == "psycopg-server":
            cursor = self.connection.cursor(name=f"orvane_{next(_cursor_names)}")
            await cursor.execute(sql)
        else:
            cursor = await self.connection.execute(sql)
        self.cursors.append(cursor)
        return cursor

    async def close(self):
        for cursor in self.cursors:
            await cursor.close()


@pytest.fixture(params=["psycopg", "psycopg-server", "aiosqlite"])
async def source(request):
    if request.param == "aiosqlite":
        aiosqlite = require("aiosqlite")
        async with aiosqlite.connect(":memory:") as connection:
            source = AsyncSource(request.param, connection)
            yield source
            await source.close()
        return
    psycopg = require("psycopg")
    dsn = request.getfixturevalue("postgres_dsn")
    async with await psycopg.AsyncConnection.connect(dsn) as connection:
        source = AsyncSource(request.param, connection)
        yield source
        await source.close()
        await connection.rollback()


async def table(source):
    """The driver tests' table, stored as each database stores it."""
    await source.execute(create_table(source.dialect))
    rows = list(map(as_stored_by_sqlite, ROWS)) if source.dialect == "sqlite" else ROWS
    await source.execute("insert into t", rows)
    return await source.query(f"select {COLUMNS} from t order by id")


async def numbers(source, count, refused_at=None):
    """A cursor on `count` rows (n, day), n from 1, day a date as text but
    not a date in row n = `refused_at`."""
    await source.execute("create table numbers (n integer, day text)")
    await source.execute("insert into numbers", [(n, "no date" if n == refused_at else "2024-01-02") for n in range(1, count + 1)])
    return await source.query("select n, day from numbers order by n")


async def rows_of(result):
    return [row async for row in result]


async def fetchone_until_none(result):
    rows = []
    while (row := await result.fetchone()) is not None:
        rows.append(row)
    return rows


async def fetchmany_in_parts(result):
    return await result.fetchmany(2) + await result.fetchmany(2) + await result.fetchmany()


async def columns_of(result):
    return [values async for values in result.columns(*range(len(result.keys())))]


async def mappings_of(result):
    return [tuple(mapping.values()) async for mapping in result.mappings()]


READS = {
    "async for": rows_of,
    "fetchone": fetchone_until_none,
    "fetchmany": fetchmany_in_parts,
    "fetchall": lambda result: result.fetchall(),
    "columns": columns_of,
    "mappings": mappings_of,
}


@pytest.mark.parametrize("read", READS)
@pytest.mark.parametrize("types", [DECLARED, "reported"], ids=["declared", "reported"])
async def test_async_drivers_give_what_the_sync_ones_give(source, flavour, types, read):
    cursor = await table(source)
    if types == "reported" and source.driver == "aiosqlite":
        with pytest.raises(ValueError, match=r"declare them with types=\{column: type\}"):
            AsyncResult(cursor, types, flavour=flavour)
        return
    result = AsyncResult(cursor, types, flavour=flavour)
    assert result.keys() == tuple(COLUMNS.split(", ")) and result.metadata.keys == result.keys()
    rows = await READS[read](result)
    assert typed(map(tuple, rows)) == typed(ROWS)
    if read not in ("columns", "mappings"):
        assert all(type(row) is flavour.row_class for row in rows)
        assert rows[0].created == ROWS[0][3] and rows[1]._mapping["amount"] == ROWS[1][7]
    assert await result.fetchone() is None and await result.fetchall() == []


async def test_untyped_rows_are_what_the_async_driver_fetched(source):
    cursor = await table(source)
    expected = [tuple(values) for values in await (await source.query(f"select {COLUMNS} from t order by id")).fetchall()]
    assert [tuple(row) for row in await AsyncResult(cursor).fetchall()] == expected


async def test_an_empty_async_result(source, flavour):
    await table(source)
    result = AsyncResult(await source.query(f"select {COLUMNS} from t where id > 10"), DECLARED, flavour=flavour)
    assert await result.fetchone() is None and await result.fetchmany(5) == [] and await rows_of(result) == []
    assert await result.fetchall() == [] and await mappings_of(result) == []


# ---- nothing taken from the cursor is lost -----------------------------------


ITERATORS = {
    "async for": lambda result: result,
    "columns": lambda result: result.columns("n"),
    "mappings": lambda result: (mapping.values() async for mapping in result.mappings()),
}


@pytest.mark.parametrize("iterate", ITERATORS)
async def test_a_task_cancelled_while_iterating_loses_no_row(source, flavour, iterate):
    result = AsyncResult(await numbers(source, 3000), {"day": datetime.date}, flavour=flavour)
    got = []

    async def read():
        async for item in ITERATORS[iterate](result):
            got.append(next(iter(item)))
            await asyncio.sleep(0)

    task = asyncio.create_task(read())
    while len(got) < 1500 and not task.done():
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    got += [row.n async for row in result]
    assert got == list(range(1, 3001))


class GatedCursor:
    """An async cursor over rows in memory that refuses to be fetched from
    by two tasks at once, as some drivers do, and whose fetchmany waits at
    the gate once `open_calls` calls have gone through (with `open_calls`
    None, never): a chunk awaited for as long as the test likes."""

    description = [("n", None, None, None, None, None, None), ("day", None, None, None, None, None, None)]
    arraysize = 1

    def __init__(self, count, open_calls=None):
        self._rows = ((n, "2024-01-02") for n in range(1, count + 1))
        self.open_calls = open_calls
        self.waiting = asyncio.Event()
        self.gate = asyncio.Event()
        self.busy = False

    async def fetchmany(self, size=None):
        assert not self.busy, "two tasks fetch at once"
        self.busy = True
        try:
            if self.open_calls == 0:
                self.waiting.set()
                await self.gate.wait()
            elif self.open_calls is not None:
                self.open_calls -= 1
            await asyncio.sleep(0)
            return list(itertools.islice(self._rows, size or self.arraysize))
        finally:
            self.busy = False

    async def fetchone(self):
        rows = await self.fetchmany(1)
        return rows[0] if rows else None


@pytest.mark.parametrize("read", [lambda result: result.fetchall(), lambda result: result.fetchmany(4500), rows_of], ids=["fetchall", "fetchmany", "async for"])
async def test_a_task_cancelled_while_awaiting_a_chunk_loses_no_row(flavour, read):
    cursor = GatedCursor(5000, open_calls=2)
    result = AsyncResult(cursor, {"day": datetime.date}, flavour=flavour)
    task = asyncio.create_task(read(result))
    await cursor.waiting.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    cursor.gate.set()
    rows = await result.fetchall()
    if read is not rows_of:
        assert [row.n for row in rows] == list(range(1, 5001)) and rows[-1].day == datetime.date(2024, 1, 2)
    else:
        # The rows of the chunks taken before were delivered to the
        # cancelled loop, one by one; the next row comes next.
        assert [row.n for row in rows] == list(range(2001, 5001))


async def read_one_way(result, way, got):
    """One read of `result`, by `way`, that appends each row's n to `got`
    as it arrives (iteration stops after 1,500 rows); False at the end of
    the rows."""
    if way == "fetchmany":
        rows = await result.fetchmany(1000)
        got += [row.n for row in rows]
        return bool(rows)
    if way == "fetchone":
        row = await result.fetchone()
        if row is not None:
            got.append(row.n)
        return row is not None
    async for row in result:
        got.append(row.n)
        if row.n % 1500 == 0:
            return True
    return False


async def test_random_cancellation_delivers_every_row_once(source, flavour):
    # The driver's fetch goes on when the task awaiting it is cancelled (a
    # worker thread, a FETCH the server has run): its rows come first in the
    # next read, whatever kind of read that is.
    count = 20_000
    result = AsyncResult(await numbers(source, count), {"day": datetime.date}, flavour=flavour)
    draw = random.Random(f"{source.driver} {flavour.name}")
    got, cancelled = [], 0
    for _ in range(400):
        task = asyncio.create_task(read_one_way(result, draw.choice(["fetchmany", "fetchone", "async for"]), got))
        await asyncio.sleep(draw.choice([0, 0, draw.random() * 0.0005, draw.random() * 0.002]))
        cancelled += task.cancel()
        try:
            if not await task:
                break
        except asyncio.CancelledError:
            pass
    got += [row.n for row in await result.fetchall()]
    assert got == list(range(1, count + 1))
    # psycopg's client-side fetch never waits, so only the turns the reader
    # gives the loop between chunks can be cancelled.
    assert cancelled >= 3


@pytest.mark.parametrize("read", ["fetchall", "async for"])
async def test_the_event_loop_runs_between_chunks(source, read):
    result = AsyncResult(await numbers(source, 5000), {"day": datetime.date})
    turns = 0

    async def count_turns():
        nonlocal turns
        while True:
            turns += 1
            await asyncio.sleep(0)

    counter = asyncio.create_task(count_turns())
    await asyncio.sleep(0)
    started = turns
    rows = await (result.fetchall() if read == "fetchall" else rows_of(result))
    counter.cancel()
    assert len(rows) == 5000 and turns - started >= 4


async def test_a_refused_value_in_the_middle_of_a_chunk(source, flavour):
    result = AsyncResult(await numbers(source, 2500, refused_at=1500), {"day": datetime.date}, flavour=flavour)
    with pytest.raises(ConversionError, match="column 'day'") as refused:
        await result.fetchall()
    assert refused.value.row == 1499 and refused.value.value == "no date"
    # The rows built before the refused one wait for the next read.
    assert [row.n for row in await result.fetchmany(1000)] == list(range(1, 1001))
    got = []
    with pytest.raises(ConversionError, match="column 'day'"):
        async for row in result:
            got.append(row.n)
    assert got == list(range(1001, 1500))
    with pytest.raises(ConversionError, match="no date"):
        await result.fetchone()


async def read_in_turns(result, take):
    """The rows one task gets from a result that others read too."""
    got = []
    if take == "async for":
        async for row in result:
            got.append(row.n)
            await asyncio.sleep(0)
    else:
        while rows := await result.fetchmany(7):
            got += [row.n for row in rows]
            await asyncio.sleep(0)
    return got


@pytest.mark.parametrize("take", ["async for", "fetchmany"])
async def test_tasks_sharing_a_result_get_distinct_rows(source, take):
    result = AsyncResult(await numbers(source, 4000), {"day": datetime.date})
    first, second = await asyncio.gather(read_in_turns(result, take), read_in_turns(result, take))
    assert first and second and sorted(first + second) == list(range(1, 4001))


@pytest.mark.parametrize("take", ["async for", "fetchmany"])
async def test_tasks_sharing_a_result_fetch_in_turn(take):
    result = AsyncResult(GatedCursor(4000), {"day": datetime.date})
    got = await asyncio.gather(*(read_in_turns(result, take) for _ in range(3)))
    assert all(got) and sorted(itertools.chain(*got)) == list(range(1, 4001))
    assert all(rows == sorted(rows) for rows in got)


# ---- wrong use ---------------------------------------------------------------


async def test_an_async_cursor_given_to_result_names_async_result(source):
    cursor = await source.query("select 1 as n")
    with pytest.raises(TypeError, match="AsyncResult"):
        Result(cursor)


@pytest.mark.parametrize("result_class", [Result, AsyncResult])
async def test_an_async_statement_without_rows(source, result_class):
    cursor = await source.connection.execute("create table empty (n integer)")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="returns rows"):
            result_class(cursor)
    assert not caught, "a fetch was called and never awaited"


async def test_a_sync_cursor_given_to_async_result_names_result():
    with contextlib.closing(sqlite3.connect(":memory:")) as connection:
        with pytest.raises(TypeError, match=r"\bResult\b"):
            AsyncResult(connection.execute("select 1 as n"))


# ---- the bench command's async mode ------------------------------------------


def test_bench_async_through_psycopg(postgres_dsn):
    done = subprocess.run(
        [sys.executable, "-m", "orvane", "bench", "--dsn", postgres_dsn, "--async", "--rows", "300", "--repeat", "1", "--json", "--quiet"],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    assert figures["rows"] == 300 and "psycopg" in figures["source"]
    paths = {entry["path"]: entry for entry in figures["paths"]}
    assert paths["AsyncResult fetchall() without types"]["over_driver_fetchall"] > 0
    assert "AsyncResult fetchall() with types" in paths


def test_bench_async_needs_a_postgres_server():
    done = subprocess.run([sys.executable, "-m", "orvane", "bench", "--async"], capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr.strip() == "orvane bench: --async needs --dsn (see --help)"


# ---- closing -------------------------------------------------------------------


async def cursor_is_closed(source, cursor):
    if source.driver == "aiosqlite":
        with pytest.raises(sqlite3.ProgrammingError, match="closed cursor"):
            await cursor.fetchone()
        return True
    return cursor.closed


@pytest.mark.parametrize("how", ["close()", "async with"])
@pytest.mark.parametrize("read", READS)
async def test_closing_an_async_result_closes_its_cursor(source, flavour, how, read):
    cursor = await numbers(source, 30)
    if how == "async with":
        async with AsyncResult(cursor, {"day": datetime.date}, flavour=flavour) as result:
            first = await result.fetchone()
    else:
        result = AsyncResult(cursor, {"day": datetime.date}, flavour=flavour)
        first = await result.fetchone()
        await result.close()
    assert await cursor_is_closed(source, cursor)
    assert (first.n, first.day, tuple(first)) == (1, datetime.date(2024, 1, 2), (1, datetime.date(2024, 1, 2)))
    with pytest.raises(ValueError, match="the result is closed"):
        await READS[read](result)
    await result.close()


@pytest.mark.parametrize("types", ["none", "reported"])
def test_bench_takes_nans_from_postgres_as_the_same_in_both_flavours(postgres_dsn, types):
    sql = "select 'NaN'::numeric as n, 'NaN'::float8 as f from generate_series(1, 3)"
    done = subprocess.run(
        [sys.executable, "-m", "orvane", "bench", "--dsn", postgres_dsn, "--sql", sql, "--types", types, "--repeat", "1", "--json", "--quiet"],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["rows"] == 3
