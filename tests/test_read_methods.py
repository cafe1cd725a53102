"""The read methods of a result under fire: signal handlers that raise in
the middle of a read, reads started from within a read, interrupts held for
later, the cursor's arraysize, keys that name no column, and allocations
that fail. Every row taken from the cursor is delivered exactly once, or
still waits in the result."""

import asyncio
import datetime
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Mapping

import pytest
from test_result_reads import FLAVOURS, STAMP, Interrupting, ListCursor

import orvane
from orvane import flavours
from orvane.results import AsyncResult, NoSuchColumnError, Result

ROWS = 2500
PACKAGE = os.path.dirname(os.path.realpath(orvane.__file__)) + os.sep


@pytest.fixture(params=FLAVOURS)
def flavour(request):
    return request.param()


def typed_result(flavour, rows, cursor_class=ListCursor):
    return Result(cursor_class(rows), {"at": datetime.datetime, "flag": bool}, flavour=flavour)


def numbered(count, flag="yes"):
    return [(n, STAMP, flag) for n in range(count)]


EACH_READ = {
    "fetchmany": lambda result: result.fetchmany(700),
    "fetchall": lambda result: result.fetchall(),
    "fetchone": lambda result: [row] if (row := result.fetchone()) is not None else [],
    "iteration": lambda result: [next(result, None)],
    "mappings": lambda result: [next(iter(result.mappings()), None)],
    "columns": lambda result: [next(iter(result.columns("n", "at")), None)],
}


def number(item):
    # Without attribute lookups on rows, which would run the package's own
    # code (its metadata's fallback) in the test's hands.
    if isinstance(item, int):
        return item
    return item["n"] if isinstance(item, Mapping) else item[0]


# ---- signal handlers -----------------------------------------------------------


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timers here")
@pytest.mark.parametrize("read", sorted(EACH_READ))
def test_a_signal_storm_inside_the_result_loses_no_row_and_leaves_no_lock(read):
    # The handler raises wherever the interpreter runs the package's own
    # Python code: the core, the readers, the result classes. The compiled
    # read methods leave no such frame between taking rows and returning them.
    count = 30_000
    result = typed_result(flavours.compiled(), numbered(count))
    armed = True

    def interrupt(signum, frame):
        if frame.f_code.co_filename.startswith(PACKAGE):
            raise KeyboardInterrupt
        if armed:
            signal.setitimer(signal.ITIMER_REAL, 0.00005)

    got, interruptions = [], 0
    previous = signal.signal(signal.SIGALRM, interrupt)
    deadline = time.monotonic() + 1.5
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.0001)
        while time.monotonic() < deadline and len(got) < count:
            try:
                rows = EACH_READ[read](result)
                got.extend(number(row) for row in rows if row is not None)
            except KeyboardInterrupt:
                interruptions += 1
                signal.setitimer(signal.ITIMER_REAL, 0.0001)
    finally:
        armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # Another thread reads the rest: no interrupt left the lock held. An
    # interrupt held for after rows made before it is raised there once.
    rest = []

    def read_the_rest():
        while True:
            try:
                rest.extend(result.fetchall())
                return
            except KeyboardInterrupt:
                pass

    reader = threading.Thread(target=read_the_rest, daemon=True)
    reader.start()
    reader.join(timeout=60)
    assert not reader.is_alive(), "the result's lock was left held"
    assert interruptions > 0
    assert got + [row.n for row in rest] == list(range(count))


# ---- a read started from within a read ------------------------------------------


class Reentering(str):
    """A truth value spelled in text whose reading reads `result` first."""

    result = None
    outcomes: list = []

    def strip(self):
        result, type(self).result = type(self).result, None
        if result is not None:
            try:
                type(self).outcomes.append(result.fetchone())
            except Exception as error:
                type(self).outcomes.append(error)
        return str(self)


@pytest.mark.parametrize(
    "read",
    [
        lambda result: result.fetchmany(2000),
        lambda result: result.fetchall(),
        lambda result: list(result),
        lambda result: [row for row, in result.columns("n")],
    ],
    ids=["fetchmany", "fetchall", "iteration", "columns"],
)
def test_a_read_started_from_within_a_read_is_refused(flavour, read):
    rows = numbered(ROWS)
    rows[1200] = (1200, STAMP, Reentering("yes"))
    result = typed_result(flavour, rows)
    Reentering.result, Reentering.outcomes = result, []
    got = [number(row) for row in read(result)]
    got += [row.n for row in result.fetchall()]
    [refused] = Reentering.outcomes
    assert isinstance(refused, RuntimeError) and "within a read of it" in str(refused)
    assert got == list(range(ROWS))


def test_a_read_of_another_result_from_within_a_read_goes_through(flavour):
    other = typed_result(flavour, numbered(3))
    rows = numbered(10)
    rows[4] = (4, STAMP, Reentering("yes"))
    Reentering.result, Reentering.outcomes = other, []
    assert [row.n for row in typed_result(flavour, rows).fetchall()] == list(range(10))
    assert [row.n for row in Reentering.outcomes] == [0]


# ---- an interrupt held for after the rows made before it --------------------------


HELD_FOR = {
    "fetchall": lambda result, taken: taken.extend(result.fetchall()),
    "fetchmany": lambda result, taken: taken.extend(result.fetchmany(5)),
    "fetchone": lambda result, taken: taken.append(result.fetchone()),
    # The rows made before the interrupt come first.
    "iteration": lambda result, taken: taken.extend(result),
}


@pytest.mark.parametrize("then", sorted(HELD_FOR))
@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
def test_an_interrupt_held_by_a_stopped_loop_is_raised_by_the_next_read(flavour, then, error):
    rows = numbered(ROWS)
    rows[1500] = (1500, STAMP, Interrupting("yes"))
    Interrupting.error = error()
    result = typed_result(flavour, rows)
    got = []
    for row in result:
        got.append(row.n)
        if len(got) == 100:
            break
    taken = []
    with pytest.raises(error):
        HELD_FOR[then](result, taken)
    assert len(taken) == (1400 if then == "iteration" else 0)
    got += [row.n for row in taken]
    # Raised once; then the rows go on where they stopped.
    got += [row.n for row in result.fetchall()]
    assert got == list(range(ROWS))


async def test_an_async_interrupt_held_by_a_stopped_loop_is_raised_by_the_next_read(flavour):
    rows = numbered(ROWS)
    rows[700] = (700, STAMP, Interrupting("yes"))
    Interrupting.error = KeyboardInterrupt()
    result = AsyncResult(AsyncListCursor(rows), {"at": datetime.datetime, "flag": bool}, flavour=flavour)
    got = []
    async for row in result:
        got.append(row.n)
        if len(got) == 100:
            break
    with pytest.raises(KeyboardInterrupt):
        await result.fetchmany(3)
    got += [row.n for row in await result.fetchall()]
    assert got == list(range(ROWS))


# ---- arraysize, and keys that name no column --------------------------------------


class AsyncListCursor:
    def __init__(self, rows, names=("n", "at", "flag")):
        self.description = [(name, None, None, None, None, None, None) for name in names]
        self.arraysize = 1
        self._rows = list(rows)

    async def fetchmany(self, size=None):
        taken, self._rows[: size or self.arraysize] = self._rows[: size or self.arraysize], []
        return taken

    async def fetchall(self):
        taken, self._rows = self._rows, []
        return taken


async def test_fetchmany_reads_arraysize_at_the_call(flavour):
    cursor = ListCursor(numbered(10))
    result = typed_result(flavour, [], cursor_class=lambda rows: cursor)
    cursor.arraysize = 3
    assert [row.n for row in result.fetchmany()] == [0, 1, 2]
    cursor.arraysize = 4
    assert [row.n for row in result.fetchmany(size=None)] == [3, 4, 5, 6]
    async_cursor = AsyncListCursor(numbered(10))
    async_result = AsyncResult(async_cursor, flavour=flavour)
    async_cursor.arraysize = 3
    assert [row.n for row in await async_result.fetchmany()] == [0, 1, 2]


@pytest.mark.parametrize("keys", [("n", "missing"), ("missing",), (7,)], ids=["name", "only", "position"])
async def test_columns_with_a_key_that_names_no_column_take_no_row(flavour, keys):
    result = typed_result(flavour, numbered(5))
    with pytest.raises((NoSuchColumnError, IndexError)):
        next(iter(result.columns(*keys)))
    assert [row.n for row in result.fetchall()] == list(range(5))
    async_result = AsyncResult(AsyncListCursor(numbered(5)), flavour=flavour)
    with pytest.raises((NoSuchColumnError, IndexError)):
        await anext(aiter(async_result.columns(*keys)))
    assert [row.n for row in await async_result.fetchall()] == list(range(5))


# ---- failed allocations ----------------------------------------------------------

SWEEP = """
import datetime, sys, _testcapi
from orvane import flavours
from orvane.results import Result

class Cursor:
    description = [(name, None, None, None, None, None, None) for name in ("n", "at", "flag")]
    arraysize = 1

    def __init__(self, count):
        self._rows = [(n, "2024-05-06 07:08:09", "yes") for n in range(count)]
        self._at = 0

    def fetchmany(self, size):
        taken = self._rows[self._at : self._at + size]
        self._at += len(taken)
        return taken

    def fetchall(self):
        return self.fetchmany(len(self._rows))

# Each read stores what it returns in a list made beforehand, by a store
# that allocates nothing: an allocation of the test's own after the read
# returned (the argument tuple of a call to box.__setitem__, where the free
# list is empty) would lose rows the test holds.
def fetchmany(result, box):
    box[0] = result.fetchmany(25)

def fetchall(result, box):
    box[0] = result.fetchall()

def fetchone(result, box):
    box[0] = result.fetchone()

def iteration(result, box):
    box[0] = next(result)

def mappings(result, box):
    box[0] = next(result.mappings())

read = globals()[sys.argv[1]]
count = 60
points = clean = 0
while clean < 30:
    points += 1
    result = Result(Cursor(count), {"at": datetime.datetime, "flag": bool}, flavour=flavours.compiled())
    result.fetchmany(count // 3)  # rows ready, and rows still in the cursor
    got, failed = [None], False
    _testcapi.set_nomemory(points, points + 1)
    try:
        read(result, got)
    except MemoryError:
        failed = True
    finally:
        _testcapi.remove_mem_hooks()
    items = got[0] if type(got[0]) is list else [got[0]]
    got = [item["n"] if hasattr(item, "keys") else item[0] for item in items if item is not None]
    while True:
        try:
            rest = result.fetchall()
            break
        except MemoryError:
            pass
    assert got + [row.n for row in rest] == list(range(count // 3, count)), (points, got, [row.n for row in rest])
    clean = 0 if failed else clean + 1
print(points)
"""


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="allocation failures are injected through _testcapi")
@pytest.mark.parametrize("read", ["fetchmany", "fetchall", "fetchone", "iteration", "mappings"])
def test_each_failed_allocation_of_a_read_loses_no_row(read):
    pytest.importorskip("_testcapi")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(SWEEP), read], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout.split()[-1]) > 20


def test_rows_taken_by_another_thread_while_a_mapping_is_made_are_not_taken_twice(flavour):
    result = typed_result(flavour, numbered(200))
    got, failures = [], []

    def read(each):
        try:
            got.extend(number(item) for item in each)
        except BaseException as error:
            failures.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=read, args=(each,)) for each in (result.mappings(), result, result.columns("n"))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == [] and sorted(got) == list(range(200))


def test_the_async_result_refuses_a_read_from_within_its_own():
    async def main():
        result = AsyncResult(AsyncListCursor(numbered(3)))
        await result._locked()
        try:
            with pytest.raises(RuntimeError, match="within a read of it"):
                await result.fetchone()
        finally:
            result._unlock()
        return [row.n for row in await result.fetchall()]

    assert asyncio.run(main()) == [0, 1, 2]
