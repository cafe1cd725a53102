import _pydecimal
import datetime
import decimal
import gc
import pickle
import types
import weakref
from collections import OrderedDict

import pytest

import orvane.fallback.row as pure_row
import orvane.fallback.rowkern as pure_rowkern
import orvane.frozkern as frozkern
import orvane.rowkern as native_rowkern
from isolated import run_isolated
from orvane.engine.result import ResultMetaData
from orvane.engine.row import Row

FLAVOURS = [pytest.param(native_rowkern, id="native"), pytest.param(pure_rowkern, id="pure")]


@pytest.fixture(params=FLAVOURS)
def rk(request):
    return request.param


class Recorder:
    """A stand-in parent that records every host call."""

    def __init__(self, fallback=None):
        self.calls = []
        self.fallback = fallback or {"zz": (2,), "amb": (None, "amb")}

    def _key_fallback(self, key, err):
        self.calls.append(("_key_fallback", key, err))
        try:
            return self.fallback[key]
        except (KeyError, TypeError):
            raise KeyError(f"no column {key!r}") from None

    def _raise_for_nonint(self, key):
        self.calls.append(("_raise_for_nonint", key))
        raise TypeError("integer keys only")

    def _raise_for_ambiguous_column_name(self, record):
        self.calls.append(("_raise_for_ambiguous_column_name", record))
        raise LookupError("ambiguous")

    def _warn_for_nonint(self, *key):
        self.calls.append(("_warn_for_nonint",) + key)


def keymap():
    return {"a": (1, "a"), "b": (None, "b"), ("x", "y"): (2,), 1: (0,), "neg": (-1,), "bad": ("i",), "empty": ()}


def make(rk, style, values=(10, 20, 30), parent=None):
    parent = parent if parent is not None else Recorder()
    return rk.BaseRow(parent, None, keymap(), style, values), parent


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # the exception's class and text are the outcome
        return (type(error), str(error))


# ---- construction --------------------------------------------------------


def test_empty_row(rk):
    r = rk.BaseRow(object(), None, {}, 0, [])
    assert len(r) == 0 and not r and list(r) == [] and r._values_impl() == []
    assert hash(r) == hash(())


def test_values_and_processors(rk):
    calls = []

    def f(v):
        calls.append(v)
        return v * 100

    r = rk.BaseRow(None, [None, f], {}, 0, (1, 2))
    assert r._data == (1, 200) and calls == [2]
    assert rk.BaseRow(None, None, {}, 0, [1, 2])._data == (1, 2)
    assert hash(rk.BaseRow(None, None, {}, 0, [1, 2])) == hash((1, 2))
    assert rk.BaseRow(None, None, {}, 0, (v for v in "abc"))._data == ("a", "b", "c")
    assert rk.BaseRow(None, None, {}, 0, "hi")._data == ("h", "i")
    assert rk.BaseRow(None, None, {}, 0, [1], extra=5)._data == (1,)


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((None, None, {}, 0), TypeError, "BaseRow expected 5 arguments, got 4"),
        ((None, None, {}, 0, (), 1), TypeError, "BaseRow expected 5 arguments, got 6"),
        ((None, [None] * 3, {}, 0, (1, 2)), RuntimeError, "number of values in row (2) differ from number of column processors (3)"),
        ((None, None, {}, 0, 5), TypeError, "row must be a sequence"),
        ((None, {"a": None}, {}, 0, ()), TypeError, "processors must be None, a list or a tuple, not dict"),
        ((None, [5], {}, 0, (1,)), TypeError, None),
        ((None, None, OrderedDict(), 0, ()), TypeError, "keymap must be a dict"),
        ((None, None, {}, 2**63, ()), OverflowError, None),
        ((None, None, {}, "1", ()), TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_construction_failures(rk, args, error, text):
    with pytest.raises(error) as info:
        rk.BaseRow(*args)
    if text:
        assert str(info.value) == text


def test_keywords_alone_fail_on_the_count(rk):
    with pytest.raises(TypeError, match="got 0"):
        rk.BaseRow(parent=None, processors=None, keymap={}, key_style=0, row=())


def test_processor_error_stops_construction(rk):
    seen = []

    def boom(v):
        raise ValueError("bad value")

    with pytest.raises(ValueError, match="bad value"):
        rk.BaseRow(None, [seen.append, boom, seen.append], {}, 0, (1, 2, 3))
    assert seen == [1]


def test_failed_reinit_replaces_fields_in_order(rk):
    r = rk.BaseRow("old", None, {"k": (0,)}, 0, (1,))
    with pytest.raises(TypeError):
        r.__init__("new", None, OrderedDict(), 5, (2,))
    assert r._parent == "new" and r._data == (2,) and r._keymap == {"k": (0,)} and r._key_style == 0
    with pytest.raises(OverflowError):
        r.__init__("newer", None, {}, 2**64, (3,))
    assert r._keymap == {} and r._key_style == 0
    r.__init__(None, None, {}, True, ())
    assert r._key_style == 1


def test_processors_that_change_their_lists_do_not_crash(rk):
    values = [1, 2, 3]
    processors = [None, None, None]

    def shrink(v):
        del values[:]
        del processors[:]
        return v

    processors[0] = shrink
    try:
        r = rk.BaseRow(None, processors, {}, 0, values)
    except RuntimeError:
        return
    assert len(r) <= 3


def test_hash_iteration_and_values(rk):
    r = rk.BaseRow(None, None, {}, 0, ([1], 2))
    with pytest.raises(TypeError):
        hash(r)
    r._data = [5, 6]
    it = iter(r)
    r._data.append(7)
    assert list(it) == [5, 6]
    values = r._values_impl()
    values.append(0)
    assert r._values_impl() == [5, 6, 7] and r._values_impl() is not values
    twin = rk.BaseRow(None, None, {}, 0, [5, 6, 7])
    assert hash(twin) == hash(rk.BaseRow(None, None, {}, 0, [5, 6, 7])) and twin != rk.BaseRow(None, None, {}, 0, [5, 6, 7])


def test_sequence_protocol_item_slot():
    r = native_rowkern.BaseRow(None, None, {}, 0, (1, 2, 3))
    assert list(reversed(r)) == [3, 2, 1]
    r._data = [1, 2]
    with pytest.raises(SystemError):
        list(reversed(r))


# ---- key lookup ----------------------------------------------------------

STYLES = [0, 1, 2, 3, -1, 2**62]


class IntSub(int):
    pass


KEYS = [0, 2, -1, -3, -4, 3, 2**64, True, IntSub(1), slice(1, None), slice(None, None, -1), "a", "b", "zz", "amb", "nope", ("x", "y"), [1], 1.0, "neg", "bad", "empty", "é"]
ENTRIES = {
    "subscript": lambda r, k: r[k],
    "_get_by_key_impl": lambda r, k: r._get_by_key_impl(k),
    "_get_by_key_impl_mapping": lambda r, k: r._get_by_key_impl_mapping(k),
}


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("key", KEYS, ids=repr)
def test_lookup_matches_between_flavours_and_entries(style, key):
    results = []
    for rk in (native_rowkern, pure_rowkern):
        for entry in ENTRIES.values():
            r, parent = make(rk, style)
            results.append((outcome(lambda: entry(r, key)), parent.calls))
    first = results[0]
    assert all(result == first for result in results), results


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("name", ["a", "b", "zz", "amb", "nope", "neg", "bad", "empty", "é", "x" * 250, "_values_impl"])
def test_attribute_access_matches_between_flavours(style, name):
    results = []
    for rk in (native_rowkern, pure_rowkern):
        r, parent = make(rk, style)
        got = outcome(lambda: getattr(r, name))
        if callable(got[1]):
            got = ("method", got[1].__name__)
        results.append((got, parent.calls))
    assert results[0] == results[1]


def test_key_style_0(rk):
    r, md = make(rk, 0)
    assert (r[0], r[-1], r[-3], r[1:], r[::-1]) == (10, 30, 10, (20, 30), (30, 20, 10))
    for bad in (-4, 3):
        with pytest.raises(IndexError):
            r[bad]
    with pytest.raises(TypeError, match="integer keys only"):
        r["a"]
    assert md.calls == [("_raise_for_nonint", "a")]
    md.calls.clear()
    assert r.a == 20 and md.calls == []
    with pytest.raises(TypeError):
        r[True]
    assert md.calls == [("_raise_for_nonint", True)]
    with pytest.raises(TypeError):
        r[("x", "y")]
    assert md.calls[-1] == ("_raise_for_nonint", ("x", "y"))


def test_key_style_1(rk):
    r, md = make(rk, 1)
    with pytest.raises(KeyError) as info:
        r[0]
    assert info.value.args == ("0",)
    with pytest.raises(KeyError, match="can't use slices for mapping access"):
        r[0:2]
    assert r["a"] == 20 and r.a == 20 and md.calls == []
    assert r["zz"] == 30 and md.calls == [("_key_fallback", "zz", None)]
    with pytest.raises(LookupError, match="ambiguous"):
        r["amb"]
    assert md.calls[-1] == ("_raise_for_ambiguous_column_name", (None, "amb"))
    md.calls.clear()
    with pytest.raises(KeyError):
        r[[1]]
    assert md.calls == [("_key_fallback", [1], None)]


def test_key_style_2_warns_for_subscript_only(rk):
    r, md = make(rk, 2)
    assert r["a"] == 20 and md.calls == [("_warn_for_nonint", "a")]
    md.calls.clear()
    assert r.a == 20 and r._get_by_key_impl_mapping("a") == 20 and md.calls == [("_warn_for_nonint", "a")]
    md.calls.clear()
    assert r[0] == 10 and r[0:2] == (10, 20) and md.calls == []
    assert r[("x", "y")] == 30 and md.calls == [("_warn_for_nonint", "x", "y")]


@pytest.mark.parametrize("style", [3, -1])
def test_other_key_styles_allow_everything_without_host_calls(rk, style):
    r, md = make(rk, style)
    assert (r[0], r[1:], r["a"], r.a, r[True]) == (10, (20, 30), 20, 20, 10)
    assert md.calls == []


def test_unhashable_keys_are_a_quiet_miss(rk, capfd):
    r, md = make(rk, 1)
    with pytest.raises(KeyError):
        r[{}]
    assert md.calls == [("_key_fallback", {}, None)]
    assert capfd.readouterr().err == ""


def test_ambiguous_record_and_record_errors(rk):
    r, md = make(rk, 3)
    with pytest.raises(LookupError):
        r["b"]
    with pytest.raises(LookupError):
        r.b
    assert md.calls == [("_raise_for_ambiguous_column_name", (None, "b"))] * 2
    with pytest.raises(IndexError):
        r["neg"]
    assert r[-1] == 30
    with pytest.raises(TypeError):
        r["bad"]
    with pytest.raises(IndexError):
        r["empty"]
    with pytest.raises(IndexError):
        r.neg  # not a KeyError, so it is not turned into AttributeError


def test_attribute_errors(rk):
    r, md = make(rk, 3)
    with pytest.raises(AttributeError) as info:
        r.nope
    assert str(info.value) == "Could not locate column in row for column 'nope'"
    assert info.value.__context__ is None or not isinstance(info.value.__context__, KeyError) or rk is pure_rowkern
    assert not hasattr(r, "nope")
    with pytest.raises(AttributeError) as info:
        getattr(r, "x" * 250)
    assert str(info.value) == f"Could not locate column in row for column '{'x' * 200}'"
    with pytest.raises(UnicodeEncodeError):
        r.é
    assert callable(r._values_impl)


def test_native_attribute_error_is_not_chained():
    r, _ = make(native_rowkern, 3)
    with pytest.raises(AttributeError) as info:
        r.nope
    assert info.value.__context__ is None and info.value.__cause__ is None


def test_host_exceptions_other_than_keyerror_reach_attribute_access(rk):
    class Angry(Recorder):
        def _key_fallback(self, key, err):
            raise ZeroDivisionError(key)

    r, _ = make(rk, 3, parent=Angry())
    with pytest.raises(ZeroDivisionError):
        r.nope


def test_parent_without_host_methods(rk):
    r = rk.BaseRow(object(), None, {}, 0, (1,))
    with pytest.raises(AttributeError, match="_raise_for_nonint"):
        r["a"]
    with pytest.raises(AttributeError, match="_key_fallback"):
        r.nope


def test_host_methods_that_return_instead_of_raising(rk):
    class Meek(Recorder):
        def _raise_for_nonint(self, key):
            return "ignored"

        def _raise_for_ambiguous_column_name(self, record):
            return None

    r, _ = make(rk, 0, parent=Meek())
    with pytest.raises(RuntimeError, match=r"_raise_for_nonint\(\) returned instead of raising"):
        r["a"]
    r._key_style = 3
    with pytest.raises(RuntimeError, match=r"_raise_for_ambiguous_column_name\(\) returned"):
        r["b"]


def test_fields_replaced_by_a_host_call_mid_lookup(rk):
    class Swapper(Recorder):
        def __init__(self):
            super().__init__()
            self.row = None

        def _key_fallback(self, key, err):
            record = (0,)
            self.row._keymap = {}
            self.row._data = ("fresh",)
            self.row._parent = ResultMetaData({}, [])
            gc.collect()
            return record

        def _warn_for_nonint(self, *key):
            self.row._data = ("warned", "late")
            self.row._keymap = {}
            gc.collect()

    parent = Swapper()
    r = rk.BaseRow(parent, None, {"a": (1,)}, 2, ["old-0", "old-1"])
    parent.row = r
    assert r["a"] == "late"  # the value is read after the warning ran
    r.__init__(parent, None, {}, 3, ("old",))
    assert r["zz"] == "fresh"
    assert isinstance(r._parent, ResultMetaData)


def test_rows_whose_data_is_not_a_tuple(rk):
    r, _ = make(rk, 3)
    r._data = [1, 2, 3]
    with pytest.raises(SystemError):
        r[0]
    assert r[0:2] == (1, 2) and len(r) == 3 and list(r) == [1, 2, 3]


# ---- attribute descriptors -----------------------------------------------


@pytest.mark.parametrize(
    "name, value, text",
    [
        ("_key_style", True, "The 'key_style' attribute value must be an integer"),
        ("_key_style", IntSub(1), "The 'key_style' attribute value must be an integer"),
        ("_keymap", OrderedDict(), "The 'keymap' attribute value must be a dict"),
        ("_data", {}, "The 'row' attribute value must be a sequence"),
        ("_data", 5, "The 'row' attribute value must be a sequence"),
        ("_parent", object(), "The 'parent' attribute value must be an instance of ResultMetaData"),
    ],
)
def test_setters_refuse(rk, name, value, text):
    r = rk.BaseRow("p", None, {}, 4, (1,))
    before = getattr(r, name)
    with pytest.raises(TypeError) as info:
        setattr(r, name, value)
    assert str(info.value) == text
    assert getattr(r, name) is before or getattr(r, name) == before


@pytest.mark.parametrize("name, field", [("_parent", "parent"), ("_data", "row"), ("_keymap", "keymap"), ("_key_style", "key_style")])
def test_setters_refuse_deletion(rk, name, field):
    r = rk.BaseRow("p", None, {}, 4, (1,))
    with pytest.raises(TypeError) as info:
        delattr(r, name)
    assert str(info.value) == f"Cannot delete the '{field}' attribute"


def test_setters_accept(rk):
    r = rk.BaseRow("p", None, {}, 4, (1,))
    values = [1, 2]
    r._data = values
    assert r._data is values
    r._data = "text"
    r._key_style = 2
    r._key_style = -1
    assert r._key_style == -1
    with pytest.raises(OverflowError):
        r._key_style = 2**63
    assert r._key_style == -1

    class Meta(ResultMetaData):
        pass

    parent = Meta({}, [])
    r._parent = parent
    assert r._parent is parent
    keymap = {"k": (0,)}
    r._keymap = keymap
    assert r._keymap is keymap


def test_parent_setter_swallows_instance_check_errors(rk):
    class Sly:
        @property
        def __class__(self):
            raise ZeroDivisionError

    r = rk.BaseRow("p", None, {}, 0, ())
    with pytest.raises(TypeError, match="must be an instance of ResultMetaData"):
        r._parent = Sly()


class RaisingKey:
    """A key whose hash or comparison raises; its hash equals that of "a" so
    that the comparison is reached."""

    def __init__(self, error, method):
        self.error, self.method = error, method

    def __hash__(self):
        if self.method == "__hash__":
            raise self.error("hash")
        return hash("a")

    def __eq__(self, other):
        raise self.error("eq")


class RaisingProbe:
    """An operand whose every missing attribute raises."""

    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error(name)

    def __getitem__(self, item):
        return ("item", item)


class RaisingClass:
    def __init__(self, error):
        self.error = error

    @property
    def __class__(self):
        raise self.error("__class__")


INTERRUPTS = [KeyboardInterrupt, SystemExit]


@pytest.mark.parametrize("method", ["__hash__", "__eq__"])
@pytest.mark.parametrize("error", INTERRUPTS)
def test_interrupts_pass_through_the_keymap_lookup(rk, error, method):
    r, parent = make(rk, 1)
    with pytest.raises(error):
        r[RaisingKey(error, method)]
    with pytest.raises(error):
        r._get_by_key_impl_mapping(RaisingKey(error, method))
    assert parent.calls == []


@pytest.mark.parametrize("method", ["__hash__", "__eq__"])
def test_ordinary_errors_in_the_keymap_lookup_are_a_miss(rk, method):
    r, parent = make(rk, 1)
    key = RaisingKey(ValueError, method)
    outcome(lambda: r[key])  # the recording host hashes the key again
    assert parent.calls == [("_key_fallback", key, None)]


def probe_getter(rk, error):
    rk.tuplegetter("a")(RaisingProbe(error))


def check_parent(rk, error):
    rk.BaseRow(None, None, {}, 0, ())._parent = RaisingClass(error)


@pytest.mark.parametrize("where", [probe_getter, check_parent])
@pytest.mark.parametrize("error", INTERRUPTS)
def test_interrupts_pass_through_the_getters_probe_and_the_parent_check(rk, error, where):
    with pytest.raises(error):
        where(rk, error)


def test_ordinary_errors_in_the_getters_probe_fall_back_to_subscript(rk):
    assert rk.tuplegetter("a", 1)(RaisingProbe(ValueError)) == (("item", "a"), ("item", 1))


# ---- rows whose fields were never set ------------------------------------

UNSET_OPERATIONS = {
    "len": len,
    "bool": bool,
    "iter": iter,
    "hash": hash,
    "subscript": lambda r: r[0],
    "key": lambda r: r["a"],
    "attribute": lambda r: r.some_column,
    "values": lambda r: r._values_impl(),
    "get_by_key": lambda r: r._get_by_key_impl(0),
    "get_by_key_mapping": lambda r: r._get_by_key_impl_mapping(0),
    "filter": lambda r: r._filter_on_values(None),
    "parent": lambda r: r._parent,
    "data": lambda r: r._data,
    "keymap": lambda r: r._keymap,
    "pickle": lambda r: pickle.dumps(r),
}


@pytest.mark.parametrize("operation", UNSET_OPERATIONS.values(), ids=UNSET_OPERATIONS.keys())
def test_unset_rows_raise_one_error(rk, operation):
    for cls in (rk.BaseRow, type("Sub", (rk.BaseRow,), {})):
        r = cls.__new__(cls)
        with pytest.raises(RuntimeError, match="the row's parent, data and keymap are not set"):
            operation(r)
        assert r._key_style == 0


# ---- pickling ------------------------------------------------------------


def fetched_row(style=0):
    md = ResultMetaData.from_names(["id", "name", "id"])
    return Row(md, None, md._keymap, style, (1, "x", 3))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_row_pickles_with_every_protocol(protocol):
    r = fetched_row(style=3)
    back = pickle.loads(pickle.dumps(r, protocol))
    assert type(back) is Row and back == r and back._key_style == 3
    assert back.name == "x" and back._keymap == r._keymap
    assert back._parent.keys == ("id", "name", "id")


def test_reduce_names_the_host_reconstructor():
    import orvane.engine.row as host

    r = fetched_row()
    reconstructor, (cls, state) = r.__reduce__()
    assert reconstructor is host.rowproxy_reconstructor and cls is Row and state == r.__getstate__()


def test_reduce_of_pure_rows_names_the_host_reconstructor():
    import orvane.engine.row as host

    class PureRow(pure_rowkern.BaseRow):
        __getstate__ = lambda self: "state"  # noqa: E731

    reconstructor, (cls, state) = PureRow(None, None, {}, 0, ()).__reduce__()
    assert reconstructor is host.rowproxy_reconstructor and cls is PureRow and state == "state"


def _set_parent_and_keymap(row, state):
    row._parent = state._parent
    row._keymap = {}


class Partial(native_rowkern.BaseRow):
    __setstate__ = _set_parent_and_keymap


class PurePartial(pure_rowkern.BaseRow):
    __setstate__ = _set_parent_and_keymap


class NotARow:
    def __new__(cls, *args):
        return object.__new__(cls)

    def __setstate__(self, state):
        raise AssertionError("must not be called")


class NoSetState(native_rowkern.BaseRow):
    pass


@pytest.mark.parametrize(
    "flavour, args, error, text",
    [
        (native_rowkern, (Row,), TypeError, None),
        (native_rowkern, (Partial, None), RuntimeError, "__setstate__ for BaseRow subclasses must set values for parent, row, and keymap"),
        (pure_rowkern, (PurePartial, None), RuntimeError, "__setstate__ for BaseRow subclasses must set values for parent, row, and keymap"),
        (native_rowkern, (NotARow, None), TypeError, "not a BaseRow instance"),
        (pure_rowkern, (NotARow, None), TypeError, "not a BaseRow instance"),
        (native_rowkern, (NoSetState, None), RuntimeError, "not set"),
        (native_rowkern, (int, None), TypeError, None),
    ],
)
def test_safe_reconstructor_failures(flavour, args, error, text):
    if len(args) == 2 and args[0] in (Partial, PurePartial):
        args = (args[0], fetched_row())
    with pytest.raises(error) as info:
        flavour.safe_rowproxy_reconstructor(*args)
    if text:
        assert text in str(info.value)


def test_safe_reconstructor_restores():
    import orvane.fallback.row

    for flavour, row_class in [(native_rowkern, Row), (pure_rowkern, orvane.fallback.row.Row)]:
        r = fetched_row()
        back = flavour.safe_rowproxy_reconstructor(row_class, r.__getstate__())
        assert type(back) is row_class and back == r


def test_filter_on_values(rk):
    md = ResultMetaData.from_names(["a", "b"])
    r = rk.BaseRow(md, [None, str.upper], md._keymap, 3, (1, "x"))
    same = r._filter_on_values(None)
    assert type(same) is Row and tuple(same) == (1, "X")
    assert same._parent is md and same._keymap is md._keymap and same._key_style == 3
    doubled = r._filter_on_values([lambda v: v * 2, None])
    assert tuple(doubled) == (2, "X") and tuple(r) == (1, "X")
    with pytest.raises(RuntimeError, match=r"number of values in row \(2\) differ from number of column processors \(3\)"):
        r._filter_on_values([None] * 3)


# ---- tuplegetter ---------------------------------------------------------


def test_tuplegetter_fetches(rk):
    assert rk.tuplegetter(2)(("a", "b", "c")) == ("c",)
    assert rk.tuplegetter()(object()) == ()
    assert rk.tuplegetter("a", "b")({"a": 1, "b": 2}) == (1, 2)
    assert rk.tuplegetter(0)([7], "extra") == (7,)
    assert rk.tuplegetter((1, 2))({(1, 2): "t"}) == ("t",)
    with pytest.raises(KeyError):
        rk.tuplegetter("a", "missing")({"a": 1})
    with pytest.raises(TypeError, match="operand"):
        rk.tuplegetter(0)()


@pytest.mark.parametrize("style", STYLES)
def test_tuplegetter_follows_the_rows_subscript(style):
    items = [0, -1, slice(0, 2), "a", ("x", "y"), "zz"]
    for item in items + ["nope", "b", 3]:
        results = []
        for rk in (native_rowkern, pure_rowkern):
            r, parent = make(rk, style)
            direct = outcome(lambda: (r[item],))
            r2, parent2 = make(rk, style)
            via_getter = outcome(lambda: rk.tuplegetter(item)(r2))
            assert direct == via_getter and parent.calls == parent2.calls
            results.append((direct, parent.calls))
        assert results[0] == results[1]


def test_tuplegetter_on_a_row_with_overridden_method():
    class Custom(native_rowkern.BaseRow):
        def _get_by_key_impl_mapping(self, key):
            return ("custom", key)

    r = Custom(None, None, {}, 3, (1, 2))
    assert native_rowkern.tuplegetter(0, "k")(r) == (("custom", 0), ("custom", "k"))


def test_tuplegetter_keywords_and_subclassing(rk):
    with pytest.raises(TypeError) as info:
        rk.tuplegetter(0, x=1)
    assert str(info.value) == "tuplegetter() takes no keyword arguments"
    rk.tuplegetter(0, **{})
    with pytest.raises(TypeError):
        type("Sub", (rk.tuplegetter,), {})


def test_tuplegetter_repr_and_pickle():
    tg = native_rowkern.tuplegetter
    assert repr(tg(0)) == "orvane.engine.util.tuplegetter(0)"
    assert repr(tg(0, 1)) == "orvane.engine.util.tuplegetter(0, 1)"
    assert repr(tg()) == "orvane.engine.util.tuplegetter()"
    inner = []
    getter = tg(inner)
    inner.append(getter)
    assert repr(getter) == "orvane.engine.util.tuplegetter([orvane.engine.util.tuplegetter(...)])"
    assert tg.__module__ == "orvane.engine.util" and tg.__name__ == "tuplegetter"
    back = pickle.loads(pickle.dumps(tg(0, "a", (1, 2))))
    assert type(back) is tg and back.__reduce__() == (tg, (0, "a", (1, 2)))
    items = (1, 2)
    assert tg(*items).__reduce__()[1] == items


def test_pure_tuplegetter_pickles_by_its_own_name():
    back = pickle.loads(pickle.dumps(pure_rowkern.tuplegetter(1, "b")))
    assert type(back) is pure_rowkern.tuplegetter and back.__reduce__()[1] == (1, "b")


def test_engine_util_exposes_the_native_getter():
    import orvane.engine.util

    assert orvane.engine.util.tuplegetter is native_rowkern.tuplegetter


# ---- fast paths give what the general paths give ------------------------


class StrSub(str):
    pass


def row_classes(rk):
    """Subclasses on which the attribute and getter shortcuts must not apply."""

    class WithDict(rk.BaseRow):
        pass

    class WithClassAttribute(rk.BaseRow):
        __slots__ = ()
        b = "class attribute"

    class WithFailingProperty(rk.BaseRow):
        __slots__ = ()

        @property
        def zz(self):
            raise AttributeError("not here")

    class Watching(rk.BaseRow):
        __slots__ = ()
        seen = []

        def __getattribute__(self, name):
            Watching.seen.append(name)
            return super().__getattribute__(name)

    return [rk.BaseRow, WithDict, WithClassAttribute, WithFailingProperty, Watching]


def build(cls, style):
    parent = Recorder()
    row = cls(parent, None, keymap(), style, (10, 20, 30))
    if type(row).__dictoffset__:
        row.a = "instance attribute"
        row._get_by_key_impl_mapping = lambda key: ("instance method", key)
    return row, parent


@pytest.mark.parametrize("style", [0, 1, 2, 3])
@pytest.mark.parametrize("index", range(5))
def test_attribute_shortcut_agrees_with_the_general_path(style, index):
    results = []
    for rk in (native_rowkern, pure_rowkern):
        cls = row_classes(rk)[index]
        outcomes = []
        for name in ["a", "b", "zz", "nope", StrSub("a"), "_data"]:
            r, parent = build(cls, style)
            got = outcome(lambda: getattr(r, name))
            outcomes.append((got, parent.calls))
        results.append(outcomes)
    assert results[0] == results[1]


@pytest.mark.parametrize("style", [0, 1, 2, 3])
@pytest.mark.parametrize("index", range(5))
def test_getter_shortcut_agrees_with_the_general_path(style, index):
    results = []
    for rk in (native_rowkern, pure_rowkern):
        cls = row_classes(rk)[index]
        r, parent = build(cls, style)
        if hasattr(cls, "seen"):
            cls.seen.clear()
        got = outcome(lambda: rk.tuplegetter(0, "a", StrSub("a"), slice(1, 3), ("x", "y"))(r))
        lookups = list(getattr(cls, "seen", ()))
        results.append((got, parent.calls, lookups.count("_get_by_key_impl_mapping")))
    assert results[0] == results[1]
    if index == 4:
        assert results[0][2] >= 1  # a class watching its lookups sees the method fetched


@pytest.mark.parametrize("style", [1, 3])
def test_getter_sees_a_method_patched_while_it_fetches(rk, style):
    class Patched(rk.BaseRow):
        __slots__ = ()

    class PatchingKey(str):
        # Equal to "a" with the same hash, so the keymap lookup calls __eq__.
        __hash__ = str.__hash__

        def __eq__(self, other):
            Patched._get_by_key_impl_mapping = lambda row, key: ("patched", key)
            return str.__eq__(self, other)

    r = Patched(Recorder(), None, keymap(), style, (10, 20, 30))
    assert rk.tuplegetter(PatchingKey("a"), "b", 0)(r) == (20, ("patched", "b"), ("patched", 0))


def test_subclass_getattr_runs_after_the_column_lookup():
    class WithGetattr(native_rowkern.BaseRow):
        __slots__ = ()

        def __getattr__(self, name):
            return ("__getattr__", name)

    r, parent = make(native_rowkern, 3)
    r = WithGetattr(parent, None, keymap(), 3, (10, 20, 30))
    assert r.a == 20 and r.nope == ("__getattr__", "nope")


# ---- interface details of the compiled module ----------------------------


def test_native_names_and_docstrings():
    BaseRow = native_rowkern.BaseRow
    assert native_rowkern.__doc__ == "Module containing C versions of core ResultProxy classes."
    assert BaseRow.__module__ == "orvane.rowkern" and BaseRow.__name__ == "BaseRow"
    assert BaseRow.__doc__ == "BaseRow is a abstract base class for Row"
    docs = {name: getattr(BaseRow, name).__doc__ for name in ("_values_impl", "__reduce__", "_get_by_key_impl", "_get_by_key_impl_mapping", "_filter_on_values", "_parent", "_data", "_keymap", "_key_style")}
    assert docs == {
        "_values_impl": "Return the values represented by this BaseRow as a list.",
        "__reduce__": "Pickle support method.",
        "_get_by_key_impl": "implement mapping-like getitem as well as sequence getitem",
        "_get_by_key_impl_mapping": "implement mapping-like getitem as well as sequence getitem",
        "_filter_on_values": "return a new Row with per-value filters applied to columns",
        "_parent": "ResultMetaData",
        "_data": "processed data list",
        "_keymap": "Key to (obj, index) dict",
        "_key_style": "Return the key style",
    }
    assert native_rowkern.safe_rowproxy_reconstructor.__doc__ == "reconstruct a Row instance from its pickled form."
    assert native_rowkern.tuplegetter.__doc__.startswith("tuplegetter(item, ...) --> tuplegetter object\n\n")
    assert not hasattr(BaseRow(None, None, {}, 0, ()), "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(BaseRow(None, None, {}, 0, ()))
    with pytest.raises(TypeError):
        BaseRow(None, None, {}, 0, ()) < BaseRow(None, None, {}, 0, ())


# ---- cycle collection ----------------------------------------------------


def test_cycles_through_rows_and_getters_are_collected(rk):
    class Holder:
        pass

    holder = Holder()
    r = rk.BaseRow(holder, None, {"self": (0,)}, 3, [holder])
    holder.row = r
    getter = rk.tuplegetter(holder)
    holder.getter = getter
    probe = weakref.ref(holder)
    del holder, r, getter
    gc.collect()
    assert probe() is None


class CollectedProbe:
    """Sets `collected` when freed."""

    collected = False

    def __del__(self):
        type(self).collected = True


VALUES_THE_COLLECTOR_SKIPS = [(1, "a", 1.5, None, b"x", datetime.date(2024, 1, 2), object()), (decimal.Decimal("1.50"), 3), ()]
VALUES_THE_COLLECTOR_WALKS = [([1],), (_pydecimal.Decimal("1.5"),), ((1, [2]),), (CollectedProbe(), 1), (decimal.Decimal(1), {})]


@pytest.mark.parametrize("values", VALUES_THE_COLLECTOR_SKIPS + VALUES_THE_COLLECTOR_WALKS)
@pytest.mark.parametrize("batch", [False, True], ids=["constructed", "by the batch"])
def test_value_tuples_that_cannot_be_in_a_cycle_are_not_tracked(values, batch):
    processors = [None] * len(values) if values else None
    if batch:
        (r,) = Row._make_rows(MD, processors, MD._keymap, 3, [values])
    else:
        r = Row(MD, processors, MD._keymap, 3, values)
    assert r._data == values
    assert gc.is_tracked(r._data) == (values in VALUES_THE_COLLECTOR_WALKS)
    # The row itself refers to its metadata and keymap, which code can make
    # lead back to it, so it is always walked.
    assert gc.is_tracked(r)


def made_in_place(values):
    fetched = [values]
    Row._make_rows_in_place(MD, None, MD._keymap, 3, fetched)
    return fetched[0]


@pytest.mark.parametrize("make", [lambda values: Row._make_rows(MD, None, MD._keymap, 3, [values])[0], made_in_place], ids=["_make_rows", "_make_rows_in_place"])
@pytest.mark.parametrize("values", VALUES_THE_COLLECTOR_SKIPS + VALUES_THE_COLLECTOR_WALKS)
def test_fetched_tuples_a_batch_keeps_follow_the_same_rule(values, make):
    fetched = tuple(list(values))  # a fresh tuple, tracked unless its values are all untracked
    r = make(fetched)
    assert r._data is fetched
    assert gc.is_tracked(fetched) == (values in VALUES_THE_COLLECTOR_WALKS) and gc.is_tracked(r)


@pytest.mark.parametrize("make", [lambda values: Row(MD, [None] * 3, MD._keymap, 3, values), lambda values: Row._make_rows(MD, None, MD._keymap, 3, [values])[0], made_in_place], ids=["constructed", "_make_rows", "_make_rows_in_place"])
def test_decimal_numbers_in_rows_are_left_out_of_the_collectors_walks(make):
    # Before 3.13 the C decimal type is not collector-aware at all.
    decimal_number, python_decimal = decimal.Decimal("1.50") + 0, _pydecimal.Decimal("2") + 0
    r = make((decimal_number, python_decimal, [3]))
    assert r._data == (decimal_number, python_decimal, [3])
    assert not gc.is_tracked(decimal_number)
    assert gc.is_tracked(python_decimal) and gc.is_tracked(r._data)


@pytest.mark.parametrize("through", ["parent", "value"])
def test_cycles_beside_untracked_value_tuples_are_collected(through):
    class Parent:
        pass

    parent, holder = Parent(), [CollectedProbe()]
    values = (decimal.Decimal("2.50"), 1) if through == "parent" else (decimal.Decimal("2.50"), holder)
    r = Row(parent if through == "parent" else MD, None, MD._keymap, 3, values)
    if through == "parent":
        parent.row, parent.probe = r, CollectedProbe()
    else:
        holder.append(r)
    CollectedProbe.collected = False
    del parent, holder, r, values
    gc.collect()
    assert CollectedProbe.collected


class HoldingMetaData(ResultMetaData):
    __slots__ = ("held",)


class RowWithDict(Row):
    pass


class RowWithSlot(Row):
    __slots__ = ("extra",)


def made_by_batch(cls=Row, parent=None, keymap=None):
    (r,) = cls._make_rows(MD if parent is None else parent, None, MD._keymap if keymap is None else keymap, 3, [(1, "a")])
    return r


@pytest.mark.parametrize(
    "made",
    [
        made_by_batch,
        lambda: made_by_batch(RowWithDict),
        lambda: made_by_batch(RowWithSlot),
        lambda: made_by_batch(parent=HoldingMetaData(MD._keymap, MD.keys)),
        lambda: made_by_batch(parent=object()),
        lambda: made_by_batch(keymap=dict(MD._keymap)),
    ],
    ids=["result's own", "row with a dict", "row with a slot", "metadata subclass", "other parent", "other keymap"],
)
def test_rows_that_could_reach_a_cycle_stay_in_the_collectors_walks(made):
    assert gc.is_tracked(made())


@pytest.mark.parametrize("failure", [AttributeError, KeyboardInterrupt])
def test_the_batch_looks_nothing_up_in_the_host(monkeypatch, failure):
    import orvane.engine.result as host

    def missing(name):
        raise failure(name)

    monkeypatch.delattr(host, "ResultMetaData")
    monkeypatch.setattr(host, "__getattr__", missing, raising=False)
    r = made_by_batch()
    assert gc.is_tracked(r) and r._data == (1, "a")


@pytest.mark.parametrize("store", ["_data", "_parent", "_keymap", "__init__"])
def test_a_cycle_stored_into_a_row_made_by_the_batch_is_freed(store):
    r = made_by_batch()
    holder = [r, CollectedProbe()]
    if store == "_data":
        r._data = (holder,)
    elif store == "_parent":
        r._parent = HoldingMetaData(MD._keymap, MD.keys)
        r._parent.held = holder
    elif store == "_keymap":
        r._keymap = {**MD._keymap, "held": holder}
    else:
        r.__init__(MD, None, MD._keymap, 3, (holder,))
    assert gc.is_tracked(r)
    CollectedProbe.collected = False
    del r, holder
    gc.collect()
    assert CollectedProbe.collected


@pytest.mark.parametrize("posing_as", ["class of the module", "module"])
def test_a_python_class_posing_as_the_c_decimal_type_keeps_its_cycles_collectable(posing_as):
    # The decimal type is recognised once per process: a fresh interpreter
    # meets the impostor before any real decimal number.
    out = run_isolated(f"""
        import gc, sys, types, weakref
        import _decimal
        from orvane.engine.result import ResultMetaData
        from orvane.engine.row import Row

        Impostor = type("decimal.Decimal", (), {{}})
        if {posing_as!r} == "module":
            sys.modules["_decimal"] = types.ModuleType("_decimal")
        sys.modules["_decimal"].Decimal = Impostor
        md = ResultMetaData.from_names(["a", "b"])
        impostor = Impostor()
        impostor.row = Row(md, None, md._keymap, 3, (impostor, 1))
        freed = weakref.ref(impostor)
        del impostor
        gc.collect()
        print(freed() is None)
    """)
    assert out == "True\n"


def test_gc_referents_are_the_fields():
    parent, keymap = object(), {}
    r = native_rowkern.BaseRow(parent, None, keymap, 0, (1,))
    assert gc.get_referents(r) == [parent, (1,), keymap]
    getter = native_rowkern.tuplegetter(1, 2)
    assert gc.get_referents(getter) == [(1, 2)]


# ---- leaks ---------------------------------------------------------------

MD = ResultMetaData.from_names(["a", "b", "a"])
NATIVE_ROW = native_rowkern.BaseRow(Recorder(), None, keymap(), 2, (10, 20, 30))
ROW = Row(MD, None, MD._keymap, 3, (1, 2, 3))


def _reuse_row(style, key):
    NATIVE_ROW._key_style = style
    NATIVE_ROW.__init__(NATIVE_ROW._parent, None, keymap(), style, (10, 20, 30))
    NATIVE_ROW._parent.calls.clear()
    return NATIVE_ROW[key]


def interrupted(operation):
    try:
        operation()
    except KeyboardInterrupt:
        pass


LEAK_OPERATIONS = [
    lambda: interrupted(lambda: ROW[RaisingKey(KeyboardInterrupt, "__eq__")]),
    lambda: interrupted(lambda: probe_getter(native_rowkern, KeyboardInterrupt)),
    lambda: interrupted(lambda: check_parent(native_rowkern, KeyboardInterrupt)),
    lambda: native_rowkern.BaseRow(MD, [None, str, int], {}, 0, ["x", 1, "2"]),
    lambda: native_rowkern.BaseRow(MD, [None, int], {}, 0, ["x", "y"]),
    lambda: native_rowkern.BaseRow(MD, [None], {}, 0, (1, 2)),
    lambda: native_rowkern.BaseRow(MD, None, {}, 0, 5),
    lambda: native_rowkern.BaseRow(MD, None, OrderedDict(), 0, ()),
    lambda: native_rowkern.BaseRow(MD, None, {}, "x", ()),
    lambda: native_rowkern.BaseRow(MD, {}, {}, 0, ()),
    lambda: native_rowkern.BaseRow(1, 2),
    lambda: (len(ROW), hash(ROW), list(ROW), ROW._values_impl(), list(reversed(ROW))),
    lambda: (ROW[0], ROW[-1], ROW[0:2], ROW["b"], ROW.b),
    lambda: ROW["a"],
    lambda: ROW.a,
    lambda: ROW.nope,
    lambda: ROW[9],
    lambda: ROW.é,
    lambda: hasattr(ROW, "zz"),
    lambda: _reuse_row(2, "a"),
    lambda: _reuse_row(2, ("x", "y")),
    lambda: _reuse_row(0, "a"),
    lambda: _reuse_row(1, 0),
    lambda: _reuse_row(1, slice(0, 1)),
    lambda: _reuse_row(1, "zz"),
    lambda: _reuse_row(1, "amb"),
    lambda: _reuse_row(3, [1]),
    lambda: _reuse_row(3, "bad"),
    lambda: _reuse_row(3, "empty"),
    lambda: _reuse_row(3, 2**70),
    lambda: setattr(ROW, "_key_style", ROW._key_style),
    lambda: setattr(ROW, "_key_style", 2**64),
    lambda: setattr(ROW, "_parent", object()),
    lambda: setattr(ROW, "_parent", MD),
    lambda: setattr(ROW, "_data", {}),
    lambda: setattr(ROW, "_keymap", OrderedDict()),
    lambda: delattr(ROW, "_data"),
    lambda: pickle.loads(pickle.dumps(ROW)),
    lambda: native_rowkern.safe_rowproxy_reconstructor(Row, ROW.__getstate__()),
    lambda: native_rowkern.safe_rowproxy_reconstructor(Partial, ROW),
    lambda: native_rowkern.safe_rowproxy_reconstructor(NotARow, None),
    lambda: native_rowkern.safe_rowproxy_reconstructor(NoSetState, None),
    lambda: native_rowkern.safe_rowproxy_reconstructor(Row),
    lambda: ROW._filter_on_values([str, None, None]),
    lambda: ROW._filter_on_values([None]),
    lambda: native_rowkern.tuplegetter(0, "b", slice(1, 2))(ROW),
    lambda: native_rowkern.tuplegetter(0, "nope")(ROW),
    lambda: native_rowkern.tuplegetter("a", "b")({"a": 1, "b": 2}),
    lambda: native_rowkern.tuplegetter("a", "zz")({"a": 1}),
    lambda: native_rowkern.tuplegetter(0)(),
    lambda: native_rowkern.tuplegetter(0, x=1),
    lambda: pickle.loads(pickle.dumps(native_rowkern.tuplegetter(0, "a"))),
    lambda: repr(native_rowkern.tuplegetter([1])),
    lambda: Row.__new__(Row)._values_impl(),
    lambda: Row.__new__(Row).anything,
]


@pytest.mark.parametrize("operation", LEAK_OPERATIONS)
def test_no_leaks(assert_no_leak, operation):
    assert_no_leak(operation)


def test_failed_host_imports_are_retried():
    script = (
        "import pickle, sys\n"
        "import orvane.rowkern as rk\n"
        "row = rk.BaseRow(None, None, {}, 0, (1,))\n"
        "sys.modules['orvane.engine.result'] = None\n"
        "sys.modules['orvane.engine.row'] = None\n"
        "for attempt in (lambda: setattr(row, '_parent', 1), row.__reduce__, lambda: row._filter_on_values(None)):\n"
        "    try:\n"
        "        attempt()\n"
        "    except ImportError:\n"
        "        print('ImportError')\n"
        "del sys.modules['orvane.engine.result'], sys.modules['orvane.engine.row']\n"
        "from orvane.engine.result import ResultMetaData\n"
        "row._parent = ResultMetaData({}, [])\n"
        "print(type(row._filter_on_values(None)).__name__)\n"
    )
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ImportError"] * 3 + ["Row"]


# ---- where the flavours used to part ---------------------------------------


class OverridingList(list):
    def __len__(self):
        return 0

    def __getitem__(self, index):
        raise AssertionError("processors are read from the list's storage")


def test_processors_are_read_from_list_storage(rk):
    r = rk.BaseRow(None, OverridingList([None, str]), {}, 0, (1, 2))
    assert r._data == (1, "2")


@pytest.mark.parametrize(
    "resize, outcome_expected",
    [
        (lambda values: values.pop(), (RuntimeError, "row or processors changed size during construction")),
        (lambda values: values.append(9), ("ok", (1, 2, 3))),
    ],
    ids=["shrink", "grow"],
)
def test_processor_resizing_the_values(rk, resize, outcome_expected):
    values = [1, 2, 3]

    def resizing(value):
        resize(values)
        return value

    assert outcome(lambda: rk.BaseRow(None, [resizing, None, None], {}, 0, values)._data) == outcome_expected


@pytest.mark.parametrize("style", [0, 1, 2, 3])
def test_reversed_reads_by_position_under_every_key_style(rk, style):
    r, _ = make(rk, style)
    assert list(reversed(r)) == [30, 20, 10]


@pytest.mark.parametrize("style", [0, 1, 2, 3])
@pytest.mark.parametrize("row_class", [Row, pure_row.Row], ids=["compiled", "pure"])
def test_rows_of_the_result_layer_reverse_by_position_under_every_key_style(row_class, style):
    r = row_class(MD, None, MD._keymap, style, (10, 20, 30))
    assert list(reversed(r)) == [30, 20, 10]
    backwards = reversed(r)
    assert next(backwards) == 30
    r._data = (1,)
    assert list(backwards) == []


def test_reversed_stops_quietly_when_the_values_shrink(rk):
    r, _ = make(rk, 3)
    backwards = reversed(r)
    r._data = (1,)
    assert list(backwards) == []


@pytest.mark.parametrize("value", [types.MappingProxyType({0: 1}), frozkern.immutabledict({0: 1}), list[int]])
def test_mappings_and_aliases_are_not_row_data(rk, value):
    r, _ = make(rk, 3)
    with pytest.raises(TypeError, match="The 'row' attribute value must be a sequence"):
        r._data = value


def test_construction_steps_changed_after_the_class_was_made(rk):
    cls = type("Late", (rk.BaseRow,), {"__slots__": ()})
    assert cls(None, None, {}, 0, (1,))._data == (1,)
    cls.__init__ = lambda self, *args: rk.BaseRow.__init__(self, None, None, {}, 5, args[4][::-1])
    assert cls(None, None, {}, 0, (1, 2))._data == (2, 1)
    assert type("Deeper", (cls,), {"__slots__": ()})(None, None, {}, 0, (1, 2))._key_style == 5
    del cls.__init__
    row = cls(None, None, {}, 0, (1, 2), extra=1)
    assert row._data == (1, 2) and row._key_style == 0
    with pytest.raises(TypeError, match="BaseRow expected 5 arguments, got 4"):
        cls(None, None, {}, 0)


LATE_INIT = type("LateInit", (native_rowkern.BaseRow,), {"__slots__": ()})
LATE_INIT.__init__ = lambda self, *args: native_rowkern.BaseRow.__init__(self, *args)


@pytest.mark.parametrize(
    "construct",
    [
        lambda: Row(None, None, {}, 0),
        lambda: Row(None, None, {}, 0, (1, 2), extra=[3]),
        lambda: Row(None, None, [], 0, (1, 2)),
        lambda: LATE_INIT(None, None, {}, 0, (1, 2), extra=[3]),
        lambda: LATE_INIT(None, None, {}, 0, [4]),
    ],
    ids=["count", "keywords", "bad keymap", "class changed, keywords", "class changed"],
)
def test_class_calls_do_not_leak(assert_no_leak, construct):
    assert_no_leak(construct)
