"""Hostile input into every entry point: the process never crashes, every
failure is an exception, and nothing leaks."""

import gc
import pickle

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvane.convkern as ck
import orvane.frozkern as fk
import orvane.rowkern as rk
from orvane.engine.result import ResultMetaData
from orvane.engine.row import Row

EXAMPLES = 300


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


def attempt(call):
    try:
        call()
    except Exception:
        pass


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(value=CONTAINERS)
def test_converters_take_anything(value):
    for function in (ck.int_to_boolean, ck.to_str, ck.to_float, ck.str_to_datetime, ck.str_to_time, ck.str_to_date):
        attempt(lambda: function(value))
    unicode = ck.UnicodeResultProcessor("utf-8", "replace")
    attempt(lambda: unicode.process(value))
    attempt(lambda: unicode.conditional_process(value))
    attempt(lambda: ck.UnicodeResultProcessor(value))
    attempt(lambda: ck.UnicodeResultProcessor("utf-8", value))
    attempt(lambda: ck.DecimalResultProcessor(value, "%s").process(value))
    attempt(lambda: ck.DecimalResultProcessor(str, value))
    attempt(lambda: ck.DecimalResultProcessor(str, "%.2f").process(value))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(first=CONTAINERS, second=CONTAINERS, key=VALUES)
def test_immutabledict_takes_anything(first, second, key):
    attempt(lambda: fk.immutabledict(first))
    attempt(lambda: fk.immutabledict(first, second))
    attempt(lambda: fk.immutabledict(first, x=second))
    d = fk.immutabledict({"a": 1, 2: "b"})
    for call in (
        lambda: d[key],
        lambda: d.get(key),
        lambda: d.get(key, second),
        lambda: d.__contains__(key),
        lambda: key in d,
        lambda: d.union(first),
        lambda: d.union(first, y=key),
        lambda: d.merge_with(first, second, None),
        lambda: d == first,
        lambda: d < first,
        lambda: pickle.loads(pickle.dumps(d.union(first))),
    ):
        attempt(call)


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
            gc.collect()
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
    parent = HostileParent(plan)
    row = Row(parent, None, keymap, style, data)
    parent.row = row
    for key in keys:
        attempt(lambda: row[key])
        attempt(lambda: row._get_by_key_impl(key))
        attempt(lambda: row._get_by_key_impl_mapping(key))
        if isinstance(key, str):
            attempt(lambda: getattr(row, key))
    attempt(lambda: rk.tuplegetter(*keys)(row))
    attempt(lambda: (len(row), hash(row), list(row), row._values_impl(), list(reversed(row))))
    attempt(lambda: row._filter_on_values([None] * len(row)))
    attempt(lambda: pickle.loads(pickle.dumps(row)))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(values=st.lists(VALUES, max_size=5), behaviour=st.lists(st.sampled_from(["pass", "raise", "shrink values", "shrink processors", "grow", "collect"]), min_size=1, max_size=5), parent=VALUES, keymap=st.one_of(st.just({}), VALUES), style=VALUES)
def test_construction_survives_hostile_processors(values, behaviour, parent, keymap, style):
    values = list(values)
    processors = []

    def make(action):
        def processor(value):
            if action == "raise":
                raise Boom(value)
            if action == "shrink values":
                values.clear()
            if action == "shrink processors":
                processors.clear()
            if action == "grow":
                values.append(1)
                processors.append(None)
            if action == "collect":
                gc.collect()
            return value

        return processor

    processors.extend(make(action) for action in behaviour[: len(values)])
    processors.extend([None] * (len(values) - len(processors)))
    for source in (values, tuple(values), iter(list(values))):
        attempt(lambda: rk.BaseRow(parent, processors, keymap, style, source))
        attempt(lambda: rk.BaseRow(parent, tuple(processors), keymap, style, source))


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(state=st.one_of(VALUES, st.dictionaries(st.sampled_from(["_parent", "_data", "_keymap", "_key_style"]), VALUES)), sets=st.sets(st.sampled_from(["_parent", "_data", "_keymap", "_key_style"])))
def test_reconstruction_survives_hostile_setstate(state, sets):
    def setstate(self, given_state):
        for name in sets:
            value = given_state.get(name) if isinstance(given_state, dict) else given_state
            setattr(self, name, value)

    cls = type("Restored", (rk.BaseRow,), {"__setstate__": setstate, "__slots__": ()})
    attempt(lambda: rk.safe_rowproxy_reconstructor(cls, state))
    attempt(lambda: rk.safe_rowproxy_reconstructor(cls, state, state))
    attempt(lambda: rk.safe_rowproxy_reconstructor(state, cls))


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
