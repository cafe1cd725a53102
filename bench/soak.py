"""Load: a long read whose memory must stay flat, and reads shared between
threads and between asyncio tasks in which every row must come exactly once.

1. `Result` iteration over generated rows (SQLite, typed columns: an int, a
   datetime, a Numeric(2), a bool and a str), printing the resident memory
   every tenth of the run (every million rows of the long setting). It fails
   when memory grows by more than --growth-mib after the first report.
2. One `Result` iterated by 8 threads at once; the rows they got together
   must be every row, each once.
3. 200 asyncio tasks, each reading a result of its own through
   `AsyncResult`: over aiosqlite, and over psycopg (client-side and
   server-side cursors) on a PostgreSQL server: --dsn, or a throw-away one
   (the tests' own) where Debian's postgresql package is installed.

    python bench/soak.py [--rows N] [--shared-rows N] [--task-rows N] [--quick]
                         [--flavour compiled|pure] [--dsn DSN] [--no-postgres]

The long setting is the default: 10,000,000 rows, 1,000,000 shared by the
threads, 5,000 per task. --quick is the CI setting.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import datetime
import decimal
import os
import sqlite3
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from typing import Any

from orvane import flavours
from orvane.results import AsyncResult, Numeric, Result

TYPES = {"at": datetime.datetime, "amount": Numeric(2), "flag": bool, "label": str}
# n, a timestamp text, a decimal text of two places, 0/1, a short text: each
# a function of n.
QUERY = """
with recursive counter(n) as (select ? union all select n + 1 from counter where n + 1 < ?)
select n,
       printf('2024-%02d-%02d %02d:%02d:%02d', n % 12 + 1, n % 28 + 1, n % 24, n % 60, n % 59) as at,
       printf('%d.%02d', n / 7, n % 100) as amount,
       n % 2 as flag,
       'row ' || n as label
from counter
"""
TASKS = 8, 200  # threads sharing one result; asyncio tasks with one each
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_mib() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE / 2**20


def check_row(row: Any) -> None:
    """A row's converted values are those its n gives."""
    n = row.n
    if row.flag is not bool(n % 2) or row.label != f"row {n}" or row.at.minute != n % 60:
        raise AssertionError(f"row {n} came back as {tuple(row)!r}")
    if row.amount != decimal.Decimal(f"{n // 7}.{n % 100:02d}"):
        raise AssertionError(f"row {n}: amount {row.amount!r}")


def sqlite_cursor(first: int, end: int, connection: sqlite3.Connection | None = None) -> sqlite3.Cursor:
    connection = connection or sqlite3.connect(":memory:", check_same_thread=False)
    return connection.execute(QUERY, (first, end))


def long_read(rows: int, flavour: flavours.Flavour, growth_mib: float) -> bool:
    print(f"== {rows:,} rows through Result iteration ({flavour.name}); resident memory:")
    step = max(rows // 10, 1)
    began, reports, count = time.perf_counter(), [], 0
    for row in Result(sqlite_cursor(0, rows), TYPES, flavour=flavour):
        if row.n != count:
            print(f"   row {count} came as {row.n}")
            return False
        if count % 9973 == 0:
            check_row(row)
        count += 1
        if count % step == 0:
            reports.append(resident_mib())
            print(f"   {count:>12,} rows  {reports[-1]:8.1f} MiB  {time.perf_counter() - began:7.1f} s", flush=True)
    growth = max(reports) - reports[0] if reports else 0.0
    print(f"   {count:,} rows in {time.perf_counter() - began:.1f} s; growth after the first report {growth:+.1f} MiB")
    return count == rows and growth <= growth_mib


def shared_by_threads(rows: int, flavour: flavours.Flavour) -> bool:
    threads = TASKS[0]
    print(f"== one result of {rows:,} rows iterated by {threads} threads at once ({flavour.name})")
    result = Result(sqlite_cursor(0, rows), TYPES, flavour=flavour)
    taken: list[list[int]] = [[] for _ in range(threads)]
    failures: list[BaseException] = []
    start = threading.Barrier(threads)

    def read(into: list[int]) -> None:
        try:
            start.wait()
            for row in result:
                into.append(row.n)
        except BaseException as error:
            failures.append(error)

    began = time.perf_counter()
    workers = [threading.Thread(target=read, args=(into,)) for into in taken]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    every = sorted(n for into in taken for n in into)
    ok = not failures and every == list(range(rows))
    print(f"   {len(every):,} rows delivered, {len(every) - len(set(every)):,} twice, per thread {[len(into) for into in taken]}, "
          f"failures {failures!r}, in {time.perf_counter() - began:.1f} s: {'ok' if ok else 'WRONG'}")
    return ok


async def read_all(result: AsyncResult, first: int, rows: int) -> int:
    """Reads a result by its three ways in turn; how many rows are wrong,
    missing or twice."""
    taken = await result.fetchmany(rows // 3)
    async for row in result:
        taken.append(row)
        if len(taken) == 2 * rows // 3:
            break
    taken += await result.fetchall()
    for row in taken[::97]:
        check_row(row)
    got = [row.n for row in taken]
    return sum(a != b for a, b in zip(got, range(first, first + rows))) + abs(len(got) - rows)


async def aiosqlite_tasks(rows: int, flavour: flavours.Flavour) -> bool:
    import aiosqlite

    tasks = TASKS[1]
    print(f"== {tasks} asyncio tasks, each its own result of {rows:,} rows over aiosqlite ({flavour.name})")
    began = time.perf_counter()
    async with aiosqlite.connect(":memory:") as connection:

        async def one(index: int) -> int:
            cursor = await connection.execute(QUERY, (index * rows, (index + 1) * rows))
            try:
                return await read_all(AsyncResult(cursor, TYPES, flavour=flavour), index * rows, rows)
            finally:
                await cursor.close()

        wrong = await gathered([one(index) for index in range(tasks)])
    print(f"   {tasks * rows:,} rows, {wrong} wrong, missing or twice, in {time.perf_counter() - began:.1f} s: {'ok' if not wrong else 'WRONG'}")
    return wrong == 0


# The same values as QUERY's, from generate_series.
POSTGRES_QUERY = """
select n,
       format('2024-%%s-%%s %%s:%%s:%%s', lpad((n %% 12 + 1)::text, 2, '0'), lpad((n %% 28 + 1)::text, 2, '0'),
              lpad((n %% 24)::text, 2, '0'), lpad((n %% 60)::text, 2, '0'), lpad((n %% 59)::text, 2, '0')) as at,
       (n / 7)::text || '.' || lpad((n %% 100)::text, 2, '0') as amount,
       n %% 2 as flag,
       'row ' || n as label
from generate_series(%s::bigint, %s::bigint - 1) as n
"""


async def gathered(tasks: list[Any]) -> int:
    """How many rows the tasks got wrong, missing or twice; a task that
    raised counts as one, and is shown."""
    wrong = 0
    for done in await asyncio.gather(*tasks, return_exceptions=True):
        if isinstance(done, BaseException):
            print(f"   a task raised {done!r}")
            done = 1
        wrong += done
    return wrong


async def psycopg_tasks(rows: int, flavour: flavours.Flavour, dsn: str) -> bool:
    import psycopg

    tasks, connections = TASKS[1], 20
    print(f"== {tasks} asyncio tasks, each its own result of {rows:,} rows over psycopg, "
          f"on {connections} connections, half of them server-side cursors ({flavour.name})")
    began = time.perf_counter()
    opened = [await psycopg.AsyncConnection.connect(dsn) for _ in range(connections)]
    try:

        async def one(index: int) -> int:
            connection = opened[index % connections]
            first = index * rows
            if index % 2:
                cursor = connection.cursor(name=f"soak_{index}")
                await cursor.execute(POSTGRES_QUERY, (first, first + rows))
            else:
                cursor = await connection.execute(POSTGRES_QUERY, (first, first + rows))
            try:
                return await read_all(AsyncResult(cursor, TYPES, flavour=flavour), first, rows)
            finally:
                await cursor.close()

        wrong = await gathered([one(index) for index in range(tasks)])
    finally:
        for connection in opened:
            await connection.close()
    print(f"   {tasks * rows:,} rows, {wrong} wrong, missing or twice, in {time.perf_counter() - began:.1f} s: {'ok' if not wrong else 'WRONG'}")
    return wrong == 0


@contextlib.contextmanager
def postgres(arguments: argparse.Namespace) -> Iterator[str | None]:
    if arguments.no_postgres or arguments.dsn:
        yield None if arguments.no_postgres else arguments.dsn
        return
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
    try:
        from postgres_server import postgres_server
    finally:
        del sys.path[0]
    with postgres_server() as dsn:
        yield dsn


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="bench/soak.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=10_000_000, help="rows of the long read (default 10,000,000)")
    parser.add_argument("--shared-rows", type=int, default=1_000_000, help="rows of the result the threads share (default 1,000,000)")
    parser.add_argument("--task-rows", type=int, default=5_000, help="rows of each task's result (default 5,000)")
    parser.add_argument("--quick", action="store_true", help="the CI setting: 500,000, 100,000 and 600 rows")
    parser.add_argument("--growth-mib", type=float, default=8.0, help="resident memory the long read may gain after its first report")
    parser.add_argument("--flavour", choices=["compiled", "pure"], default="compiled")
    parser.add_argument("--dsn", help="the PostgreSQL server of the psycopg tasks (default: a throw-away one)")
    parser.add_argument("--no-postgres", action="store_true", help="leave out the psycopg tasks")
    arguments = parser.parse_args(argv)
    if arguments.quick:
        arguments.rows, arguments.shared_rows, arguments.task_rows = 500_000, 100_000, 600
    if min(arguments.rows, arguments.shared_rows, arguments.task_rows) < 3:
        parser.error("each count of rows must be at least 3")
    return arguments


def main(argv: Sequence[str]) -> int:
    arguments = parse_arguments(argv)
    flavour = flavours.compiled() if arguments.flavour == "compiled" else flavours.pure()
    ok = long_read(arguments.rows, flavour, arguments.growth_mib)
    ok = shared_by_threads(arguments.shared_rows, flavour) and ok
    ok = asyncio.run(aiosqlite_tasks(arguments.task_rows, flavour)) and ok
    with postgres(arguments) as dsn:
        if dsn is not None:
            ok = asyncio.run(psycopg_tasks(arguments.task_rows, flavour, dsn)) and ok
    print("== soak: " + ("every check held" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
