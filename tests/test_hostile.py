"""Hostile input into every entry point: the process never crashes, the
compiled modules and their pure twins give the same value or raise the same
exception type for each case, and nothing leaks."""

import gc
from dataclasses import dataclass
from types import ModuleType

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvane.convkern as ck
import orvane.fallback.convkern as pure_ck
import orvane.fallback.frozkern as pure_fk
import orvane.fallback.row as pure_row
import orvane.fallback.rowkern as pure_rk
import orvane.frozkern as fk
import orvane.rowkern as rk
from orvane.engine.result import ResultMetaData
from orvane.engine.row import Row
from outcomes import Copy, outcome, pickled

EXAMPLES = 250


@dataclass(frozen=True)
class Kit:
    """One flavour's modules."""

    ck: ModuleType
    fk: ModuleType
    rk: ModuleType
    row: type


COMPILED = Kit(ck, fk, rk, Row)
PURE = Kit(pure_ck, pure_fk, pure_rk, pure_row.Row)


def assert_flavours_agree(case):
    """Runs `case(kit)` (a list of calls) for each flavour; the outcomes
    must match call by call."""
    compiled, pure = ([outcome(call) for call in case(kit)] for kit in (COMPILED, PURE))
    assert compiled == pure


class Boom(Exception):
    pass


def raising(name):
    def method(self, *args):
        raise Boom(name)

    return method


HOSTILE_METHODS = ["__hash__", "__eq__", "__index__", "__str__", "__float__", "__repr__", "__iter__", "__len__", "__bool__", "__getitem__", "__int__"]


def hostile_class(methods):
    return type("Hostile", (), {name: raising(name) for name in methods})


class IntSub(int):
    pass


class StrSub(str):
    pass


class KeyErrorSub(KeyError):
    pass


SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=2**62, max_value=2**70),
    st.integers(max_value=-(2**62)),
    st.builds(IntSub, st.integers(-5, 5)),
    st.text(max_size=8),
    st.builds(StrSub, st.text(max_size=8)),
    st.binary(max_size=8),
    st.floats(allow_nan=True),
    st.sampled_from([slice(None), slice(1, 2), slice(None, None, -1), (), ("a",), ("x", "y"), [1], {}, object()]),
)
HOSTILE = st.builds(lambda methods: hostile_class(methods)(), st.sets(st.sampled_from(HOSTILE_METHODS), min_size=1))
VALUES = st.one_of(SCALARS, HOSTILE)
CONTAINERS = st.one_of(VALUES, st.lists(VALUES, max_size=4), st.tuples(VALUES, VALUES), st.dictionaries(st.text(max_size=3), VALUES, max_size=3))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(value=CONTAINERS)
def test_converters_take_anything(value):
    def case(kit):
        functions = (kit.ck.int_to_boolean, kit.ck.to_str, kit.ck.to_float, kit.ck.str_to_datetime, kit.ck.str_to_time, kit.ck.str_to_date)
        unicode = kit.ck.UnicodeResultProcessor("utf-8", "replace")
        calls = [lambda function=function: function(value) for function in functions]
        return calls + [
            lambda: unicode.process(value),
            lambda: unicode.conditional_process(value),
            lambda: kit.ck.UnicodeResultProcessor(value).process(b"x"),
            lambda: kit.ck.UnicodeResultProcessor("utf-8", value).process(b"\xff"),
            lambda: kit.ck.DecimalResultProcessor(value, "%s").process(value),
            lambda: kit.ck.DecimalResultProcessor(str, value).process(1.5),
            lambda: kit.ck.DecimalResultProcessor(str, "%.2f").process(value),
        ]

    assert_flavours_agree(case)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(first=CONTAINERS, second=CONTAINERS, key=VALUES)
def test_immutabledict_takes_anything(first, second, key):
    def case(kit):
        d = kit.fk.immutabledict({"a": 1, 2: "b"})
        return [
            lambda: kit.fk.immutabledict(first),
            lambda: kit.fk.immutabledict(first, second),
            lambda: kit.fk.immutabledict(first, x=second),
            lambda: d[key],
            lambda: d.get(key),
            lambda: d.get(key, second),
            # (The explicit __contains__ is left out: a Python class cannot
            # tell it from `in`, so the twin answers both as `in` does.)
            lambda: key in d,
            lambda: d.union(first),
            lambda: d.union(first, y=key),
            lambda: d.merge_with(first, second, None),
            lambda: d == first,
            lambda: d < first,
            lambda: pickled(d.union(first)),
        ]

    assert_flavours_agree(case)


class HostileParent(ResultMetaData):
    """A parent whose host methods misbehave in the ways a drawn plan says."""

    __slots__ = ("plan", "row")

    def __init__(self, plan):
        super().__init__({}, [])
        self.plan = plan
        self.row = None

    def _act(self, name, default):
        action = self.plan.get(name, "default")
        if action == "raise KeyError subclass":
            raise KeyErrorSub(name)
        if action == "raise":
            raise Boom(name)
        if action == "swap fields" and self.row is not None:
            self.row._data = ["swapped"] * 2
            self.row._keymap = {}
            self.row._parent = HostileParent({})
            self.row._key_style = 0
            # A young collection walks the row just changed, as a full one
            # would, at a fraction of the cost.
            gc.collect(0)
        if action == "malformed record":
            return self.plan.get("record", [1])
        return default

    def _key_fallback(self, key, err):
        return self._act("_key_fallback", (0,))

    def _raise_for_nonint(self, key):
        return self._act("_raise_for_nonint", None)

    def _raise_for_ambiguous_column_name(self, record):
        return self._act("_raise_for_ambiguous_column_name", None)

    def _warn_for_nonint(self, *key):
        return self._act("_warn_for_nonint", None)


ACTIONS = st.sampled_from(["default", "raise", "raise KeyError subclass", "swap fields", "malformed record"])
PLANS = st.fixed_dictionaries(
    {name: ACTIONS for name in ("_key_fallback", "_raise_for_nonint", "_raise_for_ambiguous_column_name", "_warn_for_nonint")},
    optional={"record": st.sampled_from([[1], (), ("x",), (None,), (2**70,), "abc", None, (IntSub(0),)])},
)
KEYMAPS = st.dictionaries(
    st.one_of(st.text(max_size=2), st.integers(-2, 2), st.tuples(st.text(max_size=1))),
    st.one_of(st.tuples(st.one_of(st.none(), st.integers(-3, 3), st.text(max_size=1))), st.just(()), st.just("x")),
    max_size=4,
)


@settings(max_examples=EXAMPLES * 2, deadline=None, suppress_health_check=list(HealthCheck))
@given(plan=PLANS, keymap=KEYMAPS, style=st.sampled_from([0, 1, 2, 3, -1]), keys=st.lists(st.one_of(VALUES, st.text(max_size=2)), max_size=4), data=st.one_of(st.lists(VALUES, max_size=3), st.text(max_size=3)))
def test_rows_survive_hostile_hosts_and_keys(plan, keymap, style, keys, data):
    def case(kit):
        parent = HostileParent(plan)
        row = kit.row(parent, None, dict(keymap), style, list(data) if isinstance(data, list) else data)
        parent.row = row
        calls = []
        for key in keys:
            calls += [lambda key=key: row[key], lambda key=key: row._get_by_key_impl(key), lambda key=key: row._get_by_key_impl_mapping(key)]
            if isinstance(key, str):
                # An attribute that is not a column (_parent, __len__) is a
                # different object in each world: compared by its type.
                calls.append(lambda key=key: Copy(getattr(row, key)))
        return calls + [
            lambda: kit.rk.tuplegetter(*keys)(row),
            lambda: (len(row), hash(row), list(row), row._values_impl()),
            lambda: list(reversed(row)),
            lambda: row._filter_on_values([None] * len(row)),
            lambda: pickled(row),
        ]

    assert_flavours_agree(case)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(values=st.lists(VALUES, max_size=5), behaviour=st.lists(st.sampled_from(["pass", "raise", "shrink values", "shrink processors", "grow", "collect"]), min_size=1, max_size=5), parent=VALUES, keymap=st.one_of(st.just({}), VALUES), style=VALUES)
def test_construction_survives_hostile_processors(values, behaviour, parent, keymap, style):
    def case(kit):
        calls = []
        for source_kind in (list, tuple, lambda items: iter(list(items))):
            for processors_kind in (list, tuple):
                calls.append(lambda source_kind=source_kind, processors_kind=processors_kind: construct(kit, source_kind, processors_kind))
        return calls

    def construct(kit, source_kind, processors_kind):
        current = list(values)
        processors = []

        def make(action):
            def processor(value):
                if action == "raise":
                    raise Boom(value)
                if action == "shrink values":
                    current.clear()
                if action == "shrink processors":
                    processors.clear()
                if action == "grow":
                    current.append(1)
                    processors.append(None)
                if action == "collect":
                    # The row being built is young: a young collection walks it.
                    gc.collect(0)
                return value

            return processor

        processors.extend(make(action) for action in behaviour[: len(current)])
        processors.extend([None] * (len(current) - len(processors)))
        return kit.rk.BaseRow(parent, processors_kind(processors) if processors_kind is tuple else processors, keymap, style, source_kind(current) if source_kind is not list else current)

    assert_flavours_agree(case)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(state=st.one_of(VALUES, st.dictionaries(st.sampled_from(["_parent", "_data", "_keymap", "_key_style"]), VALUES)), sets=st.sets(st.sampled_from(["_parent", "_data", "_keymap", "_key_style"])))
def test_reconstruction_survives_hostile_setstate(state, sets):
    def setstate(self, given_state):
        for name in sorted(sets):
            value = given_state.get(name) if isinstance(given_state, dict) else given_state
            setattr(self, name, value)

    def case(kit):
        cls = type("Restored", (kit.rk.BaseRow,), {"__setstate__": setstate, "__slots__": ()})
        return [
            lambda: kit.rk.safe_rowproxy_reconstructor(cls, state),
            lambda: kit.rk.safe_rowproxy_reconstructor(cls, state, state),
            lambda: kit.rk.safe_rowproxy_reconstructor(state, cls),
        ]

    assert_flavours_agree(case)


# ---- the same hostile calls under the leak harness ------------------------

LEAK_PARENT = HostileParent({"_key_fallback": "raise KeyError subclass", "_warn_for_nonint": "raise"})
LEAK_ROW = Row(LEAK_PARENT, None, {"a": (0,), "b": ("x",), "c": ()}, 2, [1, 2])
HOSTILE_OBJECT = hostile_class(HOSTILE_METHODS)()


@pytest.mark.parametrize(
    "operation",
    [
        lambda: LEAK_ROW["a"],
        lambda: LEAK_ROW["b"],
        lambda: LEAK_ROW["c"],
        lambda: LEAK_ROW.zz,
        lambda: LEAK_ROW[HOSTILE_OBJECT],
        lambda: LEAK_ROW._get_by_key_impl_mapping(HOSTILE_OBJECT),
        lambda: rk.tuplegetter(HOSTILE_OBJECT, "a")(LEAK_ROW),
        lambda: rk.BaseRow(HOSTILE_OBJECT, [raising("p")], {}, HOSTILE_OBJECT, [HOSTILE_OBJECT]),
        lambda: rk.BaseRow(None, None, {}, HOSTILE_OBJECT, ()),
        lambda: rk.BaseRow(None, None, {}, 0, HOSTILE_OBJECT),
        lambda: hash(rk.BaseRow(None, None, {}, 0, [HOSTILE_OBJECT])),
        lambda: fk.immutabledict({HOSTILE_OBJECT: 1}),
        lambda: fk.immutabledict([(1, 2)]).get(HOSTILE_OBJECT),
        lambda: fk.immutabledict(a=1).union(HOSTILE_OBJECT),
        lambda: fk.immutabledict(a=1).merge_with({"b": 2}, HOSTILE_OBJECT),
        lambda: ck.str_to_datetime(HOSTILE_OBJECT),
        lambda: ck.int_to_boolean(HOSTILE_OBJECT),
        lambda: ck.to_float(HOSTILE_OBJECT),
        lambda: ck.to_str(HOSTILE_OBJECT),
        lambda: ck.DecimalResultProcessor(str, "%s").process(HOSTILE_OBJECT),
        lambda: ck.UnicodeResultProcessor("utf-8").conditional_process(HOSTILE_OBJECT),
    ],
)
def test_hostile_calls_do_not_leak(assert_no_leak, operation):
    assert_no_leak(operation)
