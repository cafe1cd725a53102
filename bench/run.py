"""Ratio benchmarks: each path of the compiled modules against a peer, both
measured by pyperf in the same run. Prints ours / peer for every pair; below
1.0 means ours is faster.

    python bench/run.py [--quick] [--paths "PATH;PATH"] [pyperf options, e.g. -o results.json]

--paths measures only the pairs of the named paths (as the table names them).
"""

from __future__ import annotations

import sys
import time
import timeit
from dataclasses import dataclass
from typing import Any

import pyperf

SETUP = r"""
import collections, datetime, decimal, operator, sqlite3, types
import orvane.convkern as ck, orvane.fallback.convkern as pck
import orvane.frozkern as fk, orvane.fallback.frozkern as pfk
import orvane.rowkern as rk, orvane.fallback.rowkern as prk
from orvane.engine.result import ResultMetaData
from orvane.engine.row import Row
from orvane.fallback.row import Row as PureRow

names = [f"c{i}" for i in range(10)]
values = tuple(range(10))
md = ResultMetaData.from_names(names)
keymap = md._keymap
processors = [None, ck.to_float, None, ck.int_to_boolean, None, ck.to_str, None, None, ck.to_float, None]
pure_processors = [None, pck.to_float, None, pck.int_to_boolean, None, pck.to_str, None, None, pck.to_float, None]
connection = sqlite3.connect(":memory:")
cursor = connection.execute("select " + ", ".join(f"{i} as c{i}" for i in range(10)))
srow = sqlite3.Row(cursor, values)
batch, cursors = [values] * 1000, [cursor] * 1000
row = Row(md, None, keymap, 3, values)
pure_row = PureRow(md, None, keymap, 3, values)
nt = collections.namedtuple("nt", names)(*values)
getter, pure_getter, itemgetter = rk.tuplegetter(0, 2, 4), prk.tuplegetter(0, 2, 4), operator.itemgetter(0, 2, 4)
int_to_boolean, truth = ck.int_to_boolean, operator.truth
dt_text, date_text, time_text = "2024-05-06 07:08:09.123456", "2024-05-06", "07:08:09"
utf8 = "grüße aus köln".encode()
unicode_process = ck.UnicodeResultProcessor("utf-8").process
pure_unicode_process = pck.UnicodeResultProcessor("utf-8").process
decimal_process = ck.DecimalResultProcessor(decimal.Decimal, "%.2f").process
pure_decimal_process = pck.DecimalResultProcessor(decimal.Decimal, "%.2f").process
Decimal = decimal.Decimal
price, decimal_format = 1234.5, "%.2f"
source20 = {f"k{i}": i for i in range(20)}
source = {f"k{i}": i for i in range(10)}
frozen, pure_frozen, plain = fk.immutabledict(source), pfk.immutabledict(source), dict(source)
proxy = types.MappingProxyType(source)
try:
    import ciso8601
except ImportError:
    ciso8601 = None
try:
    import frozendict
    frozen_peer = frozendict.frozendict(source)
except ImportError:
    frozendict = None
try:
    import immutables
    immutable_map = immutables.Map(source)
except ImportError:
    immutables = None
"""

FETCH_SETUP = SETUP + r"""
import os, tempfile
from orvane import flavours
from orvane.bench import DECLARED, QUERY, generate_database
from orvane.results import Result
path = os.path.join(tempfile.mkdtemp(), "bench.sqlite")
generate_database(path, 2000)
db = sqlite3.connect(path)
compiled, pure = flavours.compiled(), flavours.pure()
"""


@dataclass(frozen=True)
class Pair:
    path: str
    ours: str
    peer_name: str
    peer: str
    target: float | None = None
    needs: str | None = None  # optional peer package
    setup: str = SETUP


PAIRS = [
    Pair("row construction, 10 values", "Row(md, None, keymap, 3, values)", "sqlite3.Row", "sqlite3.Row(cursor, values)", 1.5),
    Pair("rows by the batch, 1000 x 10 values", "Row._make_rows(md, None, keymap, 3, batch)", "sqlite3.Row", "list(map(sqlite3.Row, cursors, batch))", 0.7),
    Pair("row construction, 10 values, processors", "Row(md, processors, keymap, 3, values)", "sqlite3.Row", "sqlite3.Row(cursor, values)"),
    Pair("row[i]", "row[3]", "sqlite3.Row", "srow[3]", 1.0),
    Pair("row[key]", "row['c3']", "sqlite3.Row", "srow['c3']", 1.0),
    Pair("row.name", "row.c3", "namedtuple attribute", "nt.c3", 1.7),
    Pair("tuplegetter(0, 2, 4)(row)", "getter(row)", "itemgetter on a tuple", "itemgetter(values)", 1.5),
    Pair("str_to_datetime", "ck.str_to_datetime(dt_text)", "datetime.fromisoformat", "datetime.datetime.fromisoformat(dt_text)", 1.0),
    Pair("str_to_datetime", "ck.str_to_datetime(dt_text)", "ciso8601", "ciso8601.parse_datetime(dt_text)", None, "ciso8601"),
    Pair("str_to_datetime, non-canonical text", "ck.str_to_datetime('2024-5-6 7:8:9')", "datetime.fromisoformat", "datetime.datetime.fromisoformat(dt_text)"),
    Pair("str_to_date", "ck.str_to_date(date_text)", "date.fromisoformat", "datetime.date.fromisoformat(date_text)", 1.0),
    Pair("str_to_date", "ck.str_to_date(date_text)", "ciso8601", "ciso8601.parse_datetime(date_text)", None, "ciso8601"),
    Pair("str_to_time", "ck.str_to_time(time_text)", "time.fromisoformat", "datetime.time.fromisoformat(time_text)", 1.0),
    # The same truth test behind a C function of one argument, called the same way.
    Pair("int_to_boolean", "int_to_boolean(1)", "operator.truth", "truth(1)", 1.3),
    Pair("UnicodeResultProcessor.process", "unicode_process(utf8)", "bytes.decode", "utf8.decode('utf-8')", 1.15),
    Pair("DecimalResultProcessor.process", "decimal_process(1.5)", "Decimal(fmt % value)", "Decimal('%.2f' % (1.5,))"),
    # The row above compares with a text the compiler folds into a constant.
    Pair("DecimalResultProcessor.process", "decimal_process(price)", "Decimal(fmt % value) unfolded", "Decimal(decimal_format % (price,))", 1.0),
    Pair("immutabledict[key]", "frozen['k3']", "dict", "plain['k3']", 1.15),
    Pair("immutabledict[key]", "frozen['k3']", "MappingProxyType", "proxy['k3']"),
    Pair("immutabledict[key]", "frozen['k3']", "frozendict", "frozen_peer['k3']", None, "frozendict"),
    Pair("immutabledict[key]", "frozen['k3']", "immutables.Map", "immutable_map['k3']", None, "immutables"),
    Pair("immutabledict.get", "frozen.get('k3')", "dict", "plain.get('k3')", 1.1),
    Pair("immutabledict.get", "frozen.get('k3')", "frozendict", "frozen_peer.get('k3')", None, "frozendict"),
    Pair("immutabledict.get", "frozen.get('k3')", "immutables.Map", "immutable_map.get('k3')", None, "immutables"),
    Pair("immutabledict(source)", "fk.immutabledict(source)", "dict", "dict(source)"),
    Pair("immutabledict(source), 20 keys", "fk.immutabledict(source20)", "dict", "dict(source20)", 1.3),
    Pair("immutabledict(source)", "fk.immutabledict(source)", "MappingProxyType", "types.MappingProxyType(dict(source))"),
    Pair("immutabledict(source)", "fk.immutabledict(source)", "frozendict", "frozendict.frozendict(source)", None, "frozendict"),
    Pair("immutabledict(source)", "fk.immutabledict(source)", "immutables.Map", "immutables.Map(source)", None, "immutables"),
    # Every path against its pure-Python twin.
    Pair("row construction, 10 values", "Row(md, None, keymap, 3, values)", "pure Python", "PureRow(md, None, keymap, 3, values)", 0.33),
    Pair("row construction, 10 values, processors", "Row(md, processors, keymap, 3, values)", "pure Python", "PureRow(md, pure_processors, keymap, 3, values)", 0.33),
    Pair("row[i]", "row[3]", "pure Python", "pure_row[3]", 0.33),
    Pair("row[key]", "row['c3']", "pure Python", "pure_row['c3']", 0.33),
    Pair("row.name", "row.c3", "pure Python", "pure_row.c3", 0.33),
    Pair("tuplegetter(0, 2, 4)(row)", "getter(row)", "pure Python", "pure_getter(pure_row)", 0.33),
    Pair("str_to_datetime", "ck.str_to_datetime(dt_text)", "pure Python", "pck.str_to_datetime(dt_text)", 0.33),
    Pair("str_to_date", "ck.str_to_date(date_text)", "pure Python", "pck.str_to_date(date_text)", 0.33),
    Pair("str_to_time", "ck.str_to_time(time_text)", "pure Python", "pck.str_to_time(time_text)", 0.33),
    Pair("int_to_boolean", "ck.int_to_boolean(1)", "pure Python", "pck.int_to_boolean(1)", 0.33),
    Pair("to_float", "ck.to_float(3)", "pure Python", "pck.to_float(3)", 0.33),
    Pair("to_str", "ck.to_str(3)", "pure Python", "pck.to_str(3)", 0.33),
    Pair("UnicodeResultProcessor.process", "unicode_process(utf8)", "pure Python", "pure_unicode_process(utf8)", 0.33),
    Pair("DecimalResultProcessor.process", "decimal_process(1.5)", "pure Python", "pure_decimal_process(1.5)", 0.33),
    Pair("immutabledict[key]", "frozen['k3']", "pure Python", "pure_frozen['k3']", 0.33),
    Pair("immutabledict.get", "frozen.get('k3')", "pure Python", "pure_frozen.get('k3')", 0.33),
    Pair("immutabledict(source)", "fk.immutabledict(source)", "pure Python", "pfk.immutabledict(source)", 0.33),
    Pair("immutabledict.union", "frozen.union({'z': 1})", "pure Python", "pure_frozen.union({'z': 1})", 0.33),
    Pair("immutabledict.merge_with", "frozen.merge_with({'z': 1}, None)", "pure Python", "pure_frozen.merge_with({'z': 1}, None)", 0.33),
    Pair(
        "main job fetch, 2000 rows",
        "Result(db.execute(QUERY), DECLARED, flavour=compiled).fetchall()",
        "pure Python",
        "Result(db.execute(QUERY), DECLARED, flavour=pure).fetchall()",
        0.5,
        setup=FETCH_SETUP,
    ),
]


def available(package: str | None) -> bool:
    if package is None:
        return True
    try:
        __import__(package)
    except ImportError:
        return False
    return True


def timer(statement: str, setup: str):
    """pyperf's time function: seconds taken by `loops` runs of the statement."""
    return timeit.Timer(statement, setup, timer=time.perf_counter).timeit


def pass_on_paths(command: list[str], arguments: Any) -> None:
    """Workers measure the same pairs, so that their numbers match."""
    if arguments.paths is not None:
        command += ["--paths", arguments.paths]


def main() -> None:
    quick = "--quick" in sys.argv
    if quick:
        sys.argv.remove("--quick")
    runner = pyperf.Runner(processes=2 if quick else 6, values=3, warmups=1, min_time=0.05 if quick else 0.1, add_cmdline_args=pass_on_paths)
    runner.argparser.set_defaults(quiet=True)
    runner.argparser.add_argument("--paths", help="measure only the pairs of these paths, separated by semicolons")
    chosen = runner.parse_args().paths
    paths = None if chosen is None else chosen.split(";")
    results = []
    for number, pair in enumerate(PAIRS):
        if not available(pair.needs) or (paths is not None and pair.path not in paths):
            continue
        ours = runner.bench_time_func(f"{number:02} ours: {pair.path}", timer(pair.ours, pair.setup))
        peer = runner.bench_time_func(f"{number:02} {pair.peer_name}: {pair.peer}", timer(pair.peer, pair.setup))
        results.append((pair, ours, peer))
    if runner.args.worker:
        return
    print()
    print(f"{'path':<42}{'peer':<24}{'ours / peer':>12}{'target':>9}  met")
    for pair, ours, peer in results:
        ratio = ours.mean() / peer.mean()
        target = f"{pair.target:.2f}" if pair.target else "-"
        met = "" if pair.target is None else ("yes" if ratio <= pair.target else "NO")
        print(f"{pair.path:<42}{pair.peer_name:<24}{ratio:>12.2f}{target:>9}  {met}")


if __name__ == "__main__":
    main()
