"""A PostgreSQL connection that dies in the middle of a read: its backend
terminated from a second connection, or the whole server stopped and
started again. Every row taken from the cursor before is delivered once, in
order, then the driver's own error; later reads raise again and never end
the result as if it were complete."""

import asyncio
import contextlib
import threading
import time

import pytest
from postgres_server import ServerUnavailable, running_server
from test_drivers import flavour, postgres_dsn, require  # noqa: F401  (fixtures: both flavours, the driver tests' server)

from orvane.results import AsyncResult, Result

# Rows from FAST on are slow to make (10 ms each), so that a fetch of them
# is still running on the server when the connection is cut. Before them a
# read has taken 10 rows, then whole chunks: iteration's of 10,000 or, async,
# of 1,000, and fetchmany's of 700.
FAST = 10_010
TOTAL = 20_000
SLOW_ROWS = f"""
    create function pg_temp.slow(n integer) returns integer language plpgsql as $$
    begin
        if n >= {FAST} then perform pg_sleep(0.01); end if;
        return n;
    end $$
"""
QUERY = f"select pg_temp.slow(n) as n from generate_series(0, {TOTAL - 1}) as n"


def in_sleep(admin, pid):
    row = admin.execute("select wait_event from pg_stat_activity where pid = %s", (pid,)).fetchone()
    return row is not None and row[0] == "PgSleep"


@contextlib.contextmanager
def cut_when_slow(dsn, pid, cut):
    """Calls `cut()` from another thread once the backend `pid` is making the
    slow rows, that is, while a fetch of them waits on it."""
    psycopg = require("psycopg")
    done = threading.Event()

    def watch():
        with psycopg.connect(dsn, autocommit=True) as admin:
            deadline = time.monotonic() + 60
            while not in_sleep(admin, pid):
                if time.monotonic() > deadline:
                    return
                time.sleep(0.005)
        cut()
        done.set()

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        yield done
    finally:
        watcher.join()


def terminate(dsn, pid):
    psycopg = require("psycopg")

    def cut():
        with psycopg.connect(dsn, autocommit=True) as admin:
            admin.execute("select pg_terminate_backend(%s)", (pid,))

    return cut


def drain(read, rows):
    """Reads with `read` until it raises; the exception."""
    while True:
        try:
            got = read()
        except Exception as error:
            return error
        assert got not in ([], None), "a read after the connection died ended the result"
        rows.extend(row.n for row in got)


SYNC_READS = {
    "iteration": lambda result, rows: rows.extend(row.n for row in result),
    "fetchmany": lambda result, rows: [rows.extend(row.n for row in chunk) for chunk in iter(lambda: result.fetchmany(700), [])],
    "fetchall": lambda result, rows: rows.extend(row.n for row in result.fetchall()),
}


def check_after_the_loss(result, rows, raised, psycopg):
    """What a result must do once its connection died: the error was the
    driver's own, each later read raises again, and the rows kept (those a
    read that raised had taken) come in order, each once."""
    assert isinstance(raised, psycopg.Error) and type(raised).__module__.startswith("psycopg"), repr(raised)
    with pytest.raises(psycopg.Error):
        result.fetchall()
    # What the failed reads kept comes first, ahead of the error again.
    assert isinstance(drain(lambda: result.fetchmany(1), rows), psycopg.Error)
    for read in (result.fetchall, lambda: result.fetchmany(5000), result.fetchone, lambda: next(iter(result))):
        with pytest.raises(psycopg.Error):
            read()
    assert rows == list(range(len(rows)))
    return len(rows)


@pytest.mark.parametrize("read", sorted(SYNC_READS))
def test_a_terminated_backend_mid_read_of_a_server_cursor(postgres_dsn, flavour, read):
    psycopg = require("psycopg")
    with contextlib.closing(psycopg.connect(postgres_dsn)) as connection:
        connection.execute(SLOW_ROWS)
        cursor = connection.cursor(name="doomed")
        cursor.execute(QUERY)
        result = Result(cursor, {"n": int}, flavour=flavour)
        # Some rows taken before: built and waiting in the result.
        rows = [row.n for row in result.fetchmany(10)]
        with cut_when_slow(postgres_dsn, connection.info.backend_pid, terminate(postgres_dsn, connection.info.backend_pid)) as done:
            with pytest.raises(psycopg.Error) as info:
                SYNC_READS[read](result, rows)
        assert done.is_set()
        assert isinstance(info.value, psycopg.errors.AdminShutdown)
        # fetchall asked for every row at once, and got none.
        assert check_after_the_loss(result, rows, info.value, psycopg) == {"iteration": FAST, "fetchmany": 9810, "fetchall": 10}[read]
        cursor.close()


@pytest.mark.parametrize("read", sorted(SYNC_READS))
def test_a_client_cursor_keeps_every_row_when_the_backend_dies(postgres_dsn, flavour, read):
    psycopg = require("psycopg")
    with contextlib.closing(psycopg.connect(postgres_dsn)) as connection:
        # The whole result came with the query: the rows are built from the
        # client's copy, which the lost connection leaves whole.
        cursor = connection.execute("select n from generate_series(0, 49999) as n")
        result = Result(cursor, {"n": int}, flavour=flavour)
        rows = [result.fetchone().n]
        terminate(postgres_dsn, connection.info.backend_pid)()
        SYNC_READS[read](result, rows)
        assert rows == list(range(50_000))
        assert result.fetchall() == [] and result.fetchone() is None
        with pytest.raises(psycopg.OperationalError):
            connection.execute("select 1")


ASYNC_READS = {
    "iteration": lambda result, rows: _async_iteration(result, rows),
    "fetchmany": lambda result, rows: _async_fetchmany(result, rows),
    "fetchall": lambda result, rows: _async_fetchall(result, rows),
}


async def _async_iteration(result, rows):
    async for row in result:
        rows.append(row.n)


async def _async_fetchmany(result, rows):
    while chunk := await result.fetchmany(700):
        rows.extend(row.n for row in chunk)


async def _async_fetchall(result, rows):
    rows.extend(row.n for row in await result.fetchall())


async def _async_drain(result, rows):
    while True:
        try:
            chunk = await result.fetchmany(1)
        except Exception as error:
            return error
        assert chunk != [], "a read after the connection died ended the result"
        rows.extend(row.n for row in chunk)


@pytest.mark.parametrize("server_side", [True, False], ids=["server cursor", "client cursor"])
@pytest.mark.parametrize("read", sorted(ASYNC_READS))
async def test_a_terminated_backend_mid_read_of_an_async_result(postgres_dsn, flavour, read, server_side):
    psycopg = require("psycopg")
    connection = await psycopg.AsyncConnection.connect(postgres_dsn)
    try:
        await connection.execute(SLOW_ROWS)
        pid = connection.info.backend_pid
        if server_side:
            cursor = connection.cursor(name="doomed")
            await cursor.execute(QUERY)
        else:
            cursor = await connection.execute(f"select n from generate_series(0, {TOTAL - 1}) as n")
        result = AsyncResult(cursor, {"n": int}, flavour=flavour)
        rows = [row.n for row in await result.fetchmany(10)]
        if not server_side:
            terminate(postgres_dsn, pid)()
            await ASYNC_READS[read](result, rows)
            assert rows == list(range(TOTAL)) and await result.fetchall() == []
            return
        with cut_when_slow(postgres_dsn, pid, terminate(postgres_dsn, pid)) as done:
            with pytest.raises(psycopg.Error) as info:
                await asyncio.wait_for(ASYNC_READS[read](result, rows), 120)
        assert done.is_set() and isinstance(info.value, psycopg.errors.AdminShutdown)
        with pytest.raises(psycopg.Error):
            await result.fetchall()
        assert isinstance(await _async_drain(result, rows), psycopg.Error)
        for again in (result.fetchall, lambda: result.fetchmany(5000), result.fetchone, lambda: anext(aiter(result))):
            with pytest.raises(psycopg.Error):
                await again()
        # An async fetchall takes 1,000 rows at a time too, and kept them.
        assert rows == list(range(9810 if read == "fetchmany" else FAST))
        await cursor.close()
    finally:
        # Closed without the commit that leaving its `with` block would try.
        await connection.close()


@pytest.fixture
def own_server():
    require("psycopg")
    try:
        with running_server() as server:
            yield server
    except ServerUnavailable as error:
        pytest.skip(f"no PostgreSQL server: {error}")


def test_a_server_restarted_mid_read(own_server, flavour):
    psycopg = require("psycopg")
    with contextlib.closing(psycopg.connect(own_server.dsn)) as connection:
        connection.execute(SLOW_ROWS)
        cursor = connection.cursor(name="doomed")
        cursor.execute(QUERY)
        result = Result(cursor, {"n": int}, flavour=flavour)
        rows = []

        def restart():
            own_server.stop("fast")
            own_server.start()

        with cut_when_slow(own_server.dsn, connection.info.backend_pid, restart) as done:
            with pytest.raises(psycopg.Error) as info:
                SYNC_READS["iteration"](result, rows)
        assert done.is_set()
        assert check_after_the_loss(result, rows, info.value, psycopg) == FAST - 10
        cursor.close()
    # The server is back: a fresh connection reads as before.
    with psycopg.connect(own_server.dsn) as connection:
        fresh = Result(connection.execute("select n::text as n from generate_series(0, 99) as n"), {"n": str}, flavour=flavour)
        assert [row.n for row in fresh] == [str(n) for n in range(100)]
