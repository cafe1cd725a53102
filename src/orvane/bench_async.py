"""The bench command's --async mode: AsyncResult over psycopg's async cursor,
timed against the same driver's own `await cursor.fetchall()`, and
asyncpg's `fetch` as a peer where asyncpg is installed. Each timing runs the
query and fetches all of its rows, as the synchronous mode does; rows/s are
the best of the rounds, ratios the median of the rounds' ratios."""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import platform
import statistics
import time
from collections.abc import Awaitable, Callable
from typing import Any

from orvane.bench import COLUMNS, DECLARED, INSTALL_HINT, POSTGRES_SCHEMA, QUERY, BenchError, generated_rows
from orvane.results import AsyncResult, Types

DRIVER_FETCHALL = "psycopg await cursor.fetchall()"


async def timed(work: Callable[[], Awaitable[list[Any]]], collector: bool) -> tuple[float, list[Any]]:
    """One run of `work` from a fresh collection: its seconds and rows. The
    collector runs during it unless `collector` is false."""
    gc.collect()
    if not collector:
        gc.disable()
    try:
        started = time.perf_counter()
        rows = await work()
        return max(time.perf_counter() - started, 1e-9), rows
    finally:
        gc.enable()


async def _psycopg(dsn: str) -> Any:
    try:
        import psycopg
    except ImportError:
        raise BenchError(f"--dsn needs the psycopg driver: {INSTALL_HINT.format(name='psycopg')}") from None
    return await psycopg.AsyncConnection.connect(dsn)


async def _asyncpg(dsn: str) -> Any | None:
    """A connection of asyncpg to the same database, in a transaction that is
    never committed, or None where asyncpg is not installed."""
    try:
        import asyncpg  # type: ignore[import-untyped, import-not-found, unused-ignore]
        from psycopg.conninfo import conninfo_to_dict
    except ImportError:
        return None
    settings = conninfo_to_dict(dsn)
    renamed = {"dbname": "database"}
    wanted = ("host", "port", "user", "password", "dbname")
    connection = await asyncpg.connect(**{renamed.get(key, key): str(settings[key]) for key in wanted if key in settings})
    await connection.execute("begin")
    return connection


async def _fill(psycopg_connection: Any, asyncpg_connection: Any | None, rows: int) -> None:
    """The generated rows in a temporary table of each connection's session."""
    await psycopg_connection.execute(POSTGRES_SCHEMA)
    async with psycopg_connection.cursor().copy(f"copy measurements ({COLUMNS}) from stdin") as copy:
        for row in generated_rows(rows):
            await copy.write_row(row)
    if asyncpg_connection is not None:
        await asyncpg_connection.execute(POSTGRES_SCHEMA)
        await asyncpg_connection.copy_records_to_table("measurements", records=generated_rows(rows), columns=COLUMNS.split(", "))


async def _measure(options: argparse.Namespace, progress: Callable[[str], None]) -> dict[str, Any]:
    connection = await _psycopg(options.dsn)
    peer = await _asyncpg(options.dsn)
    try:
        sql, types = options.sql, (None if options.types == "none" else options.types)
        label = f"PostgreSQL through psycopg's AsyncConnection: {sql}"
        if sql is None:
            progress(f"loading {options.rows:,} generated rows into a temporary table")
            await _fill(connection, peer, options.rows)
            sql, types, label = QUERY, DECLARED, "generated rows, PostgreSQL through psycopg's AsyncConnection"

        async def driver_fetchall() -> list[Any]:
            cursor = await connection.execute(sql)
            return await cursor.fetchall()  # type: ignore[no-any-return]

        def through_result(types: Types) -> Callable[[], Awaitable[list[Any]]]:
            async def fetchall() -> list[Any]:
                return await AsyncResult(await connection.execute(sql), types).fetchall()

            return fetchall

        async def iterate() -> list[Any]:
            return [row async for row in AsyncResult(await connection.execute(sql))]

        cursor = await connection.execute(sql)
        if cursor.description is None:
            raise BenchError("the statement returns no rows: give a query (select ...)")
        columns = [column[0] for column in cursor.description]
        works: list[tuple[str, Callable[[], Awaitable[list[Any]]]]] = [
            (DRIVER_FETCHALL, driver_fetchall),
            ("AsyncResult fetchall() without types", through_result(None)),
            ("async for row in AsyncResult", iterate),
        ]
        if types:
            works.append(("AsyncResult fetchall() with types", through_result(types)))
        if peer is not None:
            works.append(("asyncpg fetch() (a peer, no DB-API cursor)", lambda: peer.fetch(sql)))
        # Round by round, every path once a round, so that the load of a
        # shared machine weighs on all of them alike.
        seconds: dict[str, list[float]] = {path: [] for path, _ in works}
        raw: list[Any] = []
        for round_ in range(options.repeat):
            progress(f"round {round_ + 1} of {options.repeat}")
            for path, work in works:
                elapsed, rows = await timed(work, options.gc)
                seconds[path].append(elapsed)
                if path == DRIVER_FETCHALL:
                    raw = rows
                    if not raw:
                        raise BenchError("the query returned no rows: there is nothing to measure")
                elif len(rows) != len(raw):
                    raise BenchError(f"{path} gave {len(rows):,} rows, the driver's fetchall() {len(raw):,}")
                elif round_ == 0 and path.startswith("AsyncResult fetchall() without") and [tuple(row) for row in rows] != raw:
                    raise BenchError(f"{path} gave other values than the driver's fetchall()")
                del rows
        driver = seconds.pop(DRIVER_FETCHALL)
        paths = [
            {
                "path": path,
                "rows_per_second": round(len(raw) / min(times)),
                "over_driver_fetchall": round(statistics.median(ours / theirs for ours, theirs in zip(times, driver)), 2),
            }
            for path, times in seconds.items()
        ]
    finally:
        await connection.close()
        if peer is not None:
            await peer.close()
    return {
        "rows": len(raw),
        "columns": columns,
        "source": label,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "collector": "on" if options.gc else "paused",
        "repeat": options.repeat,
        "driver_fetchall_rows_per_second": round(len(raw) / min(driver)),
        "paths": paths,
        "asyncpg": "measured" if peer is not None else "not installed",
    }


def bench_async(options: argparse.Namespace, progress: Callable[[str], None]) -> dict[str, Any]:
    return asyncio.run(_measure(options, progress))


def format_async_table(figures: dict[str, Any]) -> str:
    lines = [
        f"orvane bench --async: {figures['rows']:,} rows x {len(figures['columns'])} columns ({figures['source']})",
        f"{figures['python']} on {figures['machine']}; cycle collector {figures['collector']}; {figures['repeat']} rounds;"
        " each run executes the query and fetches every row",
        "rows/s: the best round; ÷ fetchall: the median of the rounds' ratios",
        "",
        f"{'path':<46}{'rows/s':>12}{'÷ fetchall':>12}",
        f"{DRIVER_FETCHALL:<46}{figures['driver_fetchall_rows_per_second']:>12,}{'1.00':>12}",
    ]
    lines += [f"{entry['path']:<46}{entry['rows_per_second']:>12,}{entry['over_driver_fetchall']:>12.2f}" for entry in figures["paths"]]
    if figures["asyncpg"] != "measured":
        lines += ["", "asyncpg is not installed: pip install asyncpg to time its fetch() beside these."]
    return "\n".join(lines)
