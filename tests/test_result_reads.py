"""What a result promises whatever stops a read: every row taken from the
cursor is delivered once, or waits in the result for the next read, and a
refused value names its row."""

import datetime
import os
import signal
import sqlite3
import sys
import threading

import pytest

import orvane
from orvane import flavours
from orvane.fallback import rowkern as pure_rowkern
from orvane.results import AmbiguousColumnError, ConversionError, NoSuchColumnError, Result

FLAVOURS = [pytest.param(flavours.compiled, id="compiled"), pytest.param(flavours.pure, id="pure")]
ROWS = 2500
# Where the package's own code lies: frames of files under it are inside the result.
PACKAGE = tuple({os.path.join(os.path.dirname(path), "") for path in (orvane.__file__, os.path.realpath(orvane.__file__))})
# The pure twin's iteration cannot close the moment between taking a row and
# returning it, as the threading page says; interrupts are not raised there.
UNGUARDED = {pure_rowkern.BaseResult.__next__.__code__, pure_rowkern.RowBuffer.take_one.__code__}
STAMP = "2024-05-06 07:08:09"


@pytest.fixture(params=FLAVOURS)
def flavour(request):
    return request.param()


@pytest.fixture
def connection():
    connection = sqlite3.connect(":memory:")
    yield connection
    connection.close()


class ListCursor:
    """A cursor over a list of rows; each fetch takes rows under a lock, as
    drivers do."""

    def __init__(self, rows, names=("n", "at", "flag")):
        self.description = [(name, None, None, None, None, None, None) for name in names]
        self.arraysize = 1
        self._rows = list(rows)
        self._lock = threading.Lock()

    def fetchmany(self, size):
        with self._lock:
            taken, self._rows[:size] = self._rows[:size], []
        return taken


class Interrupting(str):
    """A truth value spelled in text whose first reading raises `error`."""

    error: BaseException = KeyboardInterrupt()

    def strip(self):
        if type(self).error is not None:
            error, type(self).error = type(self).error, None
            raise error
        return str(self)


def raise_from_a_signal_handler():
    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        signal.raise_signal(signal.SIGUSR1)
    finally:
        signal.signal(signal.SIGUSR1, previous)


class Signalling(Interrupting):
    def strip(self):
        if type(self).error is not None:
            type(self).error = None
            raise_from_a_signal_handler()
        return str(self)


def result_with(flavour, at, value):
    rows = [(n, STAMP, 1) for n in range(ROWS)]
    rows[at] = (at, STAMP, value)
    return Result(ListCursor(rows), {"at": datetime.datetime, "flag": bool}, flavour=flavour)


READS = {
    "iteration": lambda result, out: out.extend(result),
    "fetchone": lambda result, out: [out.append(row) for row in iter(result.fetchone, None)],
    "fetchmany": lambda result, out: [out.extend(rows) for rows in iter(lambda: result.fetchmany(7), [])],
    "fetchall": lambda result, out: out.extend(result.fetchall()),
    "columns": lambda result, out: out.extend(result.columns("n", "at", "flag")),
}


@pytest.mark.parametrize("read", sorted(READS))
@pytest.mark.parametrize(
    "make, error",
    [
        (Interrupting, KeyboardInterrupt()),
        (Interrupting, MemoryError()),
        (Signalling, KeyboardInterrupt()),
    ],
    ids=["KeyboardInterrupt", "MemoryError", "signal handler"],
)
def test_an_interrupted_read_loses_no_row(flavour, read, make, error):
    make.error = error
    result = result_with(flavour, 1500, make("yes"))
    rows = []
    with pytest.raises(type(error)):
        READS[read](result, rows)
    # Read again after the interruption: every row once, in order.
    READS[read](result, rows)
    assert [row[0] for row in rows] == list(range(ROWS))
    assert rows[1500][2] is True and rows[1500][1] == datetime.datetime(2024, 5, 6, 7, 8, 9)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no interval timers here")
def test_signals_while_a_driver_fetches_and_rows_are_built_lose_no_row(flavour, connection):
    # A timer interrupts the read again and again, wherever it is: in the
    # driver's fetch, in the batch builder, between the two.
    connection.execute("create table t (n integer, x real, s text)")
    connection.executemany("insert into t values (?, ?, ?)", ((n, n / 2, str(n)) for n in range(100_000)))
    result = Result(connection.execute("select * from t order by n"), {"x": float, "s": str}, flavour=flavour)

    armed = True

    def interrupt(signum, frame):
        # Only inside the result: the test's own bookkeeping goes on, and the
        # timer tries again shortly, so that a busy machine cannot make every
        # signal land outside the result.
        if frame.f_code.co_filename.startswith(PACKAGE) and frame.f_code not in UNGUARDED:
            raise KeyboardInterrupt
        if armed:
            signal.setitimer(signal.ITIMER_REAL, 0.0001)

    rows, interruptions = [], 0
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        for delay in range(1, 40):
            signal.setitimer(signal.ITIMER_REAL, delay / 4000)
            try:
                rows.extend(result)
            except KeyboardInterrupt:
                interruptions += 1
        armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        rows.extend(result)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert interruptions > 0
    assert [row.n for row in rows] == list(range(100_000)) and rows[-1].s == "99999"


@pytest.mark.parametrize("read", ["iteration", "fetchmany", "fetchall"])
def test_a_refused_value_stops_each_read_at_its_row(flavour, read):
    result = result_with(flavour, 1500, "maybe")
    rows = []
    with pytest.raises(ConversionError) as info:
        READS[read](result, rows)
    assert info.value.row == 1500 and info.value.column == "flag" and info.value.value == "maybe"
    assert "row 1500, column 'flag': cannot convert 'maybe'" in str(info.value)
    # Iteration delivered the rows before the refused one; the fetches kept
    # theirs for the next read, which stops at the same row again.
    assert len(rows) == (1500 if read == "iteration" else 0 if read == "fetchall" else 1498)
    rows += result.fetchmany(1500 - len(rows))
    assert [row[0] for row in rows] == list(range(1500))
    for again in (result.fetchone, result.fetchall, lambda: next(iter(result))):
        with pytest.raises(ConversionError, match="row 1500, column 'flag'"):
            again()


def test_a_result_read_through_another_converts_every_value(flavour):
    # The inner rows are rows of the outer result's own class.
    inner = Result(ListCursor([(n, STAMP if n != 3 else "later", n % 2) for n in range(5)]), flavour=flavour)
    outer = Result(ListCursor(inner.fetchall()), {"at": datetime.datetime}, flavour=flavour)
    with pytest.raises(ConversionError) as info:
        outer.fetchall()
    assert info.value.row == 3 and info.value.value == "later"
    assert [row.at for row in outer.fetchmany(3)] == [datetime.datetime(2024, 5, 6, 7, 8, 9)] * 3


class ReportingCursor(ListCursor):
    """A cursor of a driver that reports its column types: an integer, then
    timestamps that are all NULL in the first rows."""

    __module__ = "duckdb"

    def __init__(self, rows):
        super().__init__(rows)
        self.description = [("n", "INTEGER")] + [(f"t{i}", "TIMESTAMP") for i in range(len(rows[0]) - 1)]


def test_threads_sharing_a_result_get_each_row_once(flavour):
    stamp = datetime.datetime(2024, 5, 6)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for _ in range(5):
            rows = [(n,) + (None if n < 6000 else stamp,) * 30 for n in range(10_000)]
            result = Result(ReportingCursor(rows), "reported", flavour=flavour)
            taken, failures = [[] for _ in range(4)], []

            def read(into):
                try:
                    for row in result:
                        into.append(row.n)
                except BaseException as error:
                    failures.append(error)

            threads = [threading.Thread(target=read, args=(into,)) for into in taken]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            assert failures == []
            assert sorted(n for into in taken for n in into) == list(range(10_000))
    finally:
        sys.setswitchinterval(interval)


class NoDescription:
    description = None

    def __init__(self, closed):
        self.closed = closed

    def fetchone(self):
        return None


@pytest.mark.parametrize(
    "cursor, error, message",
    [
        ([], TypeError, "a DB-API cursor was expected, not a list"),
        (5, TypeError, "a DB-API cursor was expected, not an int"),
        (NoDescription(closed=True), ValueError, "the cursor is closed"),
        (NoDescription(closed=False), ValueError, "execute a query that returns rows first"),
    ],
    ids=["list", "int", "closed", "no rows"],
)
def test_what_is_no_open_cursor_says_so(flavour, cursor, error, message):
    with pytest.raises(error, match=message):
        Result(cursor, flavour=flavour)


def test_closed_cursors_give_the_drivers_error(flavour, connection):
    cursor = connection.execute("select 1 as a")
    cursor.close()
    with pytest.raises(sqlite3.ProgrammingError, match="closed"):
        Result(cursor, flavour=flavour).fetchall()
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("duckdb's own C++ exceptions abort under the preloaded AddressSanitizer runtime")
    duckdb = pytest.importorskip("duckdb")
    database = duckdb.connect()
    cursor = database.cursor()
    cursor.execute("select 1 as a")
    cursor.close()
    with pytest.raises(duckdb.Error) as info:
        Result(cursor, flavour=flavour)
    database.close()
    assert "execute a query" not in str(info.value)


def test_refusals_read_well(flavour):
    result = Result(ListCursor([(1, 5, 1)]), {"at": datetime.date}, flavour=flavour)
    with pytest.raises(ConversionError, match="an int is not a date"):
        result.fetchall()
    assert AmbiguousColumnError.__module__ == NoSuchColumnError.__module__ == "orvane.results"


def test_reads_stopped_by_a_refused_value_do_not_leak(assert_no_leak):
    def read():
        result = Result(ListCursor([(n, STAMP, "yes" if n != 5 else "maybe") for n in range(8)]), {"at": datetime.datetime, "flag": bool}, flavour=flavours.compiled())
        for attempt in (result.fetchall, result.fetchone, lambda: list(result)):
            try:
                attempt()
            except ConversionError:
                pass
        return result.fetchmany(5)

    assert_no_leak(read, calls=50)
