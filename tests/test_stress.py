"""Threads, the cycle collector and failing allocations."""

import gc
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

import orvane.convkern as ck
import orvane.frozkern as fk
import orvane.rowkern as rk
from orvane.engine.result import ResultMetaData
from orvane.engine.row import Row

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


# ---- threads -------------------------------------------------------------

STRESS_SECONDS = 1.5


def test_threads_share_rows_getters_mappings_and_processors():
    parents = [ResultMetaData.from_names(["a", "b"]), ResultMetaData.from_names(["b", "a"])]
    datas = [(1, 2), ("x", "y"), [3, 4]]
    row = Row(parents[0], None, parents[0]._keymap, 3, datas[0])
    getter = rk.tuplegetter("a", 1)
    frozen = fk.immutabledict(a=1, b=2)
    unicode = ck.UnicodeResultProcessor("utf-8")
    valid_values = {1, 2, "x", "y", 3, 4}
    failures = []
    stop = time.monotonic() + STRESS_SECONDS

    def swapper():
        i = 0
        while time.monotonic() < stop:
            i += 1
            row._data = datas[i % 3]
            row._parent = parents[i % 2]
            row._keymap = parents[i % 2]._keymap
            row._key_style = (0, 3)[i % 2]
            if i % 50 == 0:
                gc.collect()

    def reader():
        while time.monotonic() < stop:
            for read in (lambda: row[0], lambda: row["a"], lambda: row.b, lambda: getter(row)[0], lambda: row[-1]):
                try:
                    value = read()
                except (TypeError, SystemError, IndexError, KeyError):
                    continue  # a key style or a list swapped in between
                if value not in valid_values:
                    failures.append(value)
            merged = frozen.union(c=3)
            if merged["a"] != 1 or frozen.get("c") is not None:
                failures.append(merged)
            if unicode.process(b"caf\xc3\xa9") != "café" or ck.str_to_date("2024-01-02").day != 2:
                failures.append("conversion")

    threads = [threading.Thread(target=swapper)] + [threading.Thread(target=reader) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


# ---- the cycle collector -------------------------------------------------


class Node:
    pass


@pytest.mark.parametrize(
    "make_cycle",
    [
        lambda node: rk.BaseRow(node, None, {}, 0, ()),
        lambda node: rk.BaseRow(None, None, {"k": (node,)}, 0, ()),
        lambda node: Row(ResultMetaData({}, []), None, {}, 0, [node]),
        lambda node: rk.tuplegetter(node),
        lambda node: fk.immutabledict(n=node),
        lambda node: fk.immutabledict(a=1).union(n=node),
        lambda node: fk.immutabledict(a=1).merge_with({"n": node}),
    ],
)
def test_cycles_through_collector_aware_types_are_collected(make_cycle):
    node = Node()
    node.back = make_cycle(node)
    probe = weakref.ref(node)
    del node
    gc.collect()
    assert probe() is None


def test_referents_are_exactly_the_fields():
    parent, keymap, inner = object(), {}, {"a": 1}
    row = rk.BaseRow(parent, None, keymap, 0, (1,))
    assert gc.get_referents(row) == [parent, (1,), keymap]
    assert gc.get_referents(rk.BaseRow.__new__(rk.BaseRow)) == []
    assert gc.get_referents(rk.tuplegetter(1, 2)) == [(1, 2)]
    d = fk.immutabledict(inner)
    (dict_copy,) = gc.get_referents(d)
    assert dict_copy == inner and dict_copy is not inner and dict_copy is not d.__reduce__()[1][0]
    assert gc.is_tracked(row) and gc.is_tracked(d) and gc.is_tracked(rk.tuplegetter())


def test_collection_inside_host_calls_and_processors():
    class Collecting(ResultMetaData):
        __slots__ = ()

        def _key_fallback(self, key, err):
            gc.collect()
            return (0,)

        def _warn_for_nonint(self, *key):
            gc.collect()

    def collect(value):
        gc.collect()
        return value

    parent = Collecting({}, [])
    for _ in range(5):
        row = Row(parent, [collect, collect], {"a": (1,)}, 2, [Node(), Node()])
        assert isinstance(row["a"], Node) and isinstance(row["zz"], Node) and isinstance(row.zz, Node)
        row._filter_on_values([collect, None])


# ---- failing allocations -------------------------------------------------

ALLOCATION_CASES = {
    "construction": "Row(md, [None, ck.to_float, ck.str_to_date], md._keymap, 3, ['a', '2.5', '2024-01-02'])",
    "lookup": "(row[0], row['b'], row.c, row[0:2], getter(row), row._mapping['a'])",
    "pickling": "pickle.loads(pickle.dumps(row))",
    "parsing": "(ck.str_to_datetime('2024-01-02 03:04:05.6'), ck.str_to_time('1:2:3'), ck.str_to_date('2024-1-2'))",
    "processors": "(unicode.process(b'caf\\xc3\\xa9'), decimal_processor.process(1.5))",
    "union": "frozen.union({'z': 1}, q=2).union(x=1)",
    "merge": "frozen.merge_with({'z': 1}, [('y', 2)], None)",
    "construction of immutabledict": "fk.immutabledict([('a', 1)], b=2)",
}

INJECTION_SCRIPT = """
import decimal, pickle, sys, _testcapi
import orvane.convkern as ck, orvane.frozkern as fk, orvane.rowkern as rk
from orvane.engine.result import ResultMetaData
from orvane.engine.row import Row
md = ResultMetaData.from_names(["a", "b", "c"])
row = Row(md, None, md._keymap, 3, (1, 2, 3))
getter = rk.tuplegetter(0, "b")
unicode = ck.UnicodeResultProcessor("utf-8")
decimal_processor = ck.DecimalResultProcessor(decimal.Decimal, "%.2f")
frozen = fk.immutabledict(a=1)
operation = lambda: {expression}
operation()  # warm every cache first
points = completed = 0
for start in range(1, {limit}):
    points += 1
    _testcapi.set_nomemory(start, start + 1)
    try:
        operation()
        completed += 1
    except MemoryError:
        pass
    except KeyError:
        pass  # a keymap lookup that failed counts as a miss, and the host says so
    finally:
        _testcapi.remove_mem_hooks()
    if completed >= 20:
        break
print(points)
"""


@pytest.mark.skipif(not DEBUG_BUILD, reason="allocation failures are injected on the debug interpreter")
@pytest.mark.parametrize("case", sorted(ALLOCATION_CASES))
def test_failing_allocations_raise_and_never_crash(case):
    script = INJECTION_SCRIPT.format(expression=ALLOCATION_CASES[case], limit=400)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout.split()[-1]) > 0
