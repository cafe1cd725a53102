import operator
import pickle

import pytest

import orvane.fallback.frozkern
import orvane.frozkern
from orvane.frozkern import immutabledict


@pytest.fixture(
    name="immutabledict",
    params=[
        pytest.param(orvane.frozkern.immutabledict, id="native"),
        pytest.param(orvane.fallback.frozkern.immutabledict, id="pure"),
    ],
)
def either_flavour(request):
    return request.param


class Sub(dict):
    pass


class BadHash:
    def __hash__(self):
        raise ZeroDivisionError("hash")


class BadEq:
    def __hash__(self):
        return 1

    def __eq__(self, other):
        raise ZeroDivisionError("eq")


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, {}),
        ((), {"a": 1}, {"a": 1}),
        (([("a", 1)],), {"b": 2}, {"a": 1, "b": 2}),
        # An exact dict is copied directly; keywords given beside it are not added.
        (({"a": 1},), {"b": 2}, {"a": 1}),
        # A dict subclass goes through dict(), which adds the keywords.
        ((Sub(a=1),), {"b": 2}, {"a": 1, "b": 2}),
        ((immutabledict(a=1),), {}, {"a": 1}),
    ],
)
@pytest.mark.parametrize("construct", ["call", "__new__"])
def test_construction_paths(immutabledict, args, kwargs, expected, construct):
    d = immutabledict(*args, **kwargs) if construct == "call" else immutabledict.__new__(immutabledict, *args, **kwargs)
    assert type(d) is immutabledict
    assert dict(d.items()) == expected
    assert len(d) == len(expected)
    assert bool(d) is bool(expected)


@pytest.mark.parametrize("bad, error", [((1, 2), TypeError), ((5,), TypeError), ((None,), TypeError), (([1],), TypeError), (([(1, 2, 3)],), ValueError)])
@pytest.mark.parametrize("construct", ["call", "__new__"])
def test_construction_rejections(immutabledict, bad, error, construct):
    with pytest.raises(error) as info:
        immutabledict(*bad) if construct == "call" else immutabledict.__new__(immutabledict, *bad)
    if len(bad) == 2:
        assert str(info.value) == "ImmutableDict expected at most 1 argument, got 2"


def test_copy_is_shallow_and_detached(immutabledict):
    value = []
    source = {"a": value}
    d = immutabledict(source)
    source["b"] = 2
    del source["a"]
    assert d.keys() == ["a"] and d["a"] is value
    x = immutabledict(a=1)
    assert immutabledict(x) is not x


def test_lookup(immutabledict):
    d = immutabledict({"a": 1, "n": None, (1, 2): "t"})
    assert d["a"] == 1 and d[(1, 2)] == "t"
    assert d.get("a") == 1 and d.get("n", 5) is None
    assert d.get("missing") is None and d.get("missing", 5) == 5


@pytest.mark.parametrize(
    "args, message",
    [((), "key expected at least 1 argument, got 0"), ((1, 2, 3), "key expected at most 2 arguments, got 3"), ((1, 2, 3, 4), "key expected at most 2 arguments, got 4")],
)
def test_get_argument_count_messages(immutabledict, args, message):
    with pytest.raises(TypeError) as info:
        immutabledict(a=1).get(*args)
    assert str(info.value) == message


def test_get_takes_no_keywords(immutabledict):
    with pytest.raises(TypeError, match=r"^get\(\) takes no keyword arguments$"):
        immutabledict(a=1).get("a", default=2)
    assert immutabledict(a=1).get("a", **{}) == 1


@pytest.mark.parametrize("key", ["x", (1, 2), 7, "é\x00z", "\ud800", frozenset()])
def test_missing_key_error_carries_the_key(immutabledict, key):
    with pytest.raises(KeyError) as info:
        immutabledict(a=1)[key]
    assert info.value.args == (key,)


def test_missing_str_subclass_key_reports_plain_text(immutabledict):
    class S(str):
        def __hash__(self):
            return hash(str(self))

    with pytest.raises(KeyError) as info:
        immutabledict(a=1)[S("zz")]
    assert info.value.args == ("zz",) and type(info.value.args[0]) is str


@pytest.mark.parametrize("key, error", [([1], TypeError), (BadHash(), ZeroDivisionError), (BadEq(), ZeroDivisionError)])
def test_lookup_errors_pass_through(immutabledict, key, error):
    d = immutabledict({BadEq(): 1, "a": 2})
    with pytest.raises(error):
        d[key]
    with pytest.raises(error):
        d.get(key)
    if key.__hash__ is not None:
        with pytest.raises(error):
            d.__contains__(key)


def test_contains_method_hashes_while_in_operator_searches():
    d = immutabledict(a=1)
    assert d.__contains__("a") is True and d.__contains__("b") is False
    assert "a" in d and "b" not in d
    with pytest.raises(TypeError):
        d.__contains__([1])
    assert ([1] in d) is False  # the generic search compares, it does not hash


class EqualsAnyList:
    def __hash__(self):
        return 0

    def __eq__(self, other):
        return isinstance(other, list) or other is self


@pytest.mark.parametrize(
    "keys, probe, found",
    [
        (["a", "b"], [1], False),
        (["a", EqualsAnyList()], [1], True),
        (["a"], {}, False),
        (["a", 1], "a", True),
        (["a", 1], 1.0, True),
        (["a"], "b", False),
    ],
)
def test_in_operator_answers_alike_in_both_flavours(immutabledict, keys, probe, found):
    assert (probe in immutabledict(dict.fromkeys(keys))) is found


def test_in_operator_search_passes_key_errors_on(immutabledict):
    with pytest.raises(ZeroDivisionError):
        [1] in immutabledict({BadEq(): 1})


def test_views_are_fresh_lists_in_order(immutabledict):
    d = immutabledict([("b", 1), ("a", 2)])
    for method, expected in [("keys", ["b", "a"]), ("values", [1, 2]), ("items", [("b", 1), ("a", 2)])]:
        first = getattr(d, method)()
        assert type(first) is list and first == expected
        first.append(0)
        assert getattr(d, method)() == expected
    assert list(d) == ["b", "a"]


def test_comparison_delegates_to_the_dict(immutabledict):
    d = immutabledict(a=1)
    assert d == {"a": 1} and {"a": 1} == d
    assert d == immutabledict(a=1) and d != immutabledict(a=2)
    assert d != 5 and not (d == "a")
    with pytest.raises(TypeError):
        d < immutabledict(a=1)


class Grabber:
    """Keeps every operand it is compared with and declines to answer."""

    __hash__ = None

    def __init__(self):
        self.seen = []

    def _keep(self, other):
        self.seen.append(other)
        return NotImplemented

    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _keep


class Vandal(dict):
    """A dict that answers like a dict, then empties the other operand."""

    __hash__ = None

    def __eq__(self, other):
        result = dict.__eq__(self, other)
        other.clear()
        return result


COMPARISONS = [operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge]


@pytest.mark.parametrize("op", COMPARISONS)
def test_comparison_never_hands_out_the_inner_dict(immutabledict, op):
    d = immutabledict(a=1)
    grabber = Grabber()
    for left, right in [(d, grabber), (grabber, d)]:
        try:
            op(left, right)
        except TypeError:
            assert op not in (operator.eq, operator.ne)
    assert grabber.seen and all(seen is d for seen in grabber.seen)
    assert (d == grabber, d != grabber) == (False, True)


def test_dict_subclass_with_its_own_comparison_decides_on_a_copy(immutabledict):
    d = immutabledict(a=1)
    assert d == Vandal(a=1) and not (d == Vandal(a=2))
    assert d.items() == [("a", 1)]
    assert not (d != Vandal(a=1))
    assert d.items() == [("a", 1)]


@pytest.mark.parametrize(
    "other, equal",
    [({"a": 1}, True), (Sub(a=1), True), (Sub(a=2), False), ("a", False), (None, False), ([("a", 1)], False)],
)
def test_equality_with_dicts_and_others(immutabledict, other, equal):
    d = immutabledict(a=1)
    assert (d == other, other == d, d != other, other != d) == (equal, equal, not equal, not equal)


def test_other_operands_decide_through_their_own_comparison(immutabledict):
    class Always:
        def __eq__(self, other):
            return isinstance(other, immutabledict)

        def __gt__(self, other):
            return True

    assert immutabledict() == Always() and Always() == immutabledict()
    assert immutabledict() < Always()
    for other in ({}, immutabledict(), 5):
        with pytest.raises(TypeError):
            immutabledict() < other


def test_repr_and_str(immutabledict):
    assert repr(immutabledict()) == "immutabledict({})"
    assert str(immutabledict(a=[1])) == "immutabledict({'a': [1]})"


def test_pickle_round_trip_and_reduce(immutabledict):
    d = immutabledict({"a": 1, "b": (2, 3)})
    cls, (inner,) = d.__reduce__()
    assert cls is immutabledict and type(inner) is dict and inner == {"a": 1, "b": (2, 3)}
    inner["a"] = "changed"
    del inner["b"]
    assert d == {"a": 1, "b": (2, 3)} and d.__reduce__()[1][0] is not inner
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(d, protocol))
        assert type(back) is immutabledict and back == d and back is not d


def test_no_mutation_no_hash_no_subclass(immutabledict):
    d = immutabledict(a=1)
    with pytest.raises(TypeError):
        d["a"] = 2
    with pytest.raises(TypeError):
        del d["a"]
    with pytest.raises(AttributeError):
        d.x = 1
    with pytest.raises(TypeError):
        hash(d)
    with pytest.raises(TypeError):
        {d: 1}
    with pytest.raises(TypeError):
        type("Sub", (immutabledict,), {})
    assert immutabledict.__hash__ is None


def test_immutabledict_length_export(native_library):
    import ctypes

    lib = ctypes.PyDLL(native_library("frozkern"))
    lib.ImmutableDict_length.restype = ctypes.c_ssize_t
    lib.ImmutableDict_length.argtypes = [ctypes.py_object]
    for d in [immutabledict(), immutabledict(a=1, b=2)]:
        assert lib.ImmutableDict_length(d) == len(d)


def test_docstrings():
    assert immutabledict.__doc__ == "immutable dictionary"
    assert immutabledict.__module__ == "orvane.frozkern"
    assert immutabledict.get.__doc__ == "get a value"
    assert immutabledict.union.__doc__ == "provide a union of this dictionary with the given dictionary-like arguments"
    assert immutabledict.merge_with.__doc__ == "provide a union of this dictionary with those given"
    import orvane.frozkern

    assert orvane.frozkern.__doc__ == "immutable dictionary implementation"


# ---- union and merge_with -----------------------------------------------



@pytest.mark.parametrize(
    "call",
    [
        lambda X: X.union({}),
        lambda X: X.union(),
        lambda X: X.union(type(X)()),
        lambda X: X.union([]),
        lambda X: X.merge_with(),
        lambda X: X.merge_with(None),
        lambda X: X.merge_with(None, {}),
    ],
)
def test_nothing_added_returns_the_receiver(immutabledict, call):
    X = immutabledict(a=1)
    assert call(X) is X


@pytest.mark.parametrize(
    "call, items",
    [
        (lambda X: X.union(b=2), [("a", 1), ("b", 2)]),
        (lambda X: X.union({"a": 2}), [("a", 2)]),
        (lambda X: X.union({"a": 1}), [("a", 1)]),
        (lambda X: X.union({"b": 1}, c=2), [("a", 1), ("b", 1)]),
        (lambda X: X.union([("b", 1)], c=2), [("a", 1), ("b", 1), ("c", 2)]),
        (lambda X: X.union(Sub(b=1), c=2), [("a", 1), ("b", 1), ("c", 2)]),
        (lambda X: X.merge_with(type(X)()), [("a", 1)]),
        (lambda X: X.merge_with([]), [("a", 1)]),
        (lambda X: X.merge_with({"b": 1}, {"b": 2}), [("a", 1), ("b", 2)]),
        (lambda X: X.merge_with({"c": 1}, [("b", 2)]), [("a", 1), ("c", 1), ("b", 2)]),
        (lambda X: X.merge_with({"a": 5, "z": 0}, None, {"a": 6}), [("a", 6), ("z", 0)]),
    ],
)
def test_new_results_keep_order_and_precedence(immutabledict, call, items):
    X = immutabledict(a=1)
    result = call(X)
    assert result is not X and type(result) is immutabledict
    assert result.items() == items
    assert X.items() == [("a", 1)]
    assert pickle.loads(pickle.dumps(result)) == result


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda X: X.union(None), TypeError, None),
        (lambda X: X.union({}, {}), TypeError, "ImmutableDict"),
        (lambda X: X.merge_with({"b": 1}, 5), TypeError, None),
        (lambda X: X.merge_with(b=1), TypeError, None),
        (lambda X: X.merge_with([(BadHash(), 1)]), ZeroDivisionError, None),
        (lambda X: X.union({BadEq(): 1}).union({BadEq(): 2}), ZeroDivisionError, None),
    ],
)
def test_merge_failures(immutabledict, call, error, text):
    X = immutabledict(a=1)
    with pytest.raises(error) as info:
        call(X)
    if text:
        assert text in str(info.value)
    assert X.items() == [("a", 1)]


def test_results_combine_again(immutabledict):
    X = immutabledict(a=1)
    y = X.union(b=2).merge_with({"c": 3})
    assert y.union(d=4) == {"a": 1, "b": 2, "c": 3, "d": 4}
    with pytest.raises(TypeError):
        y < X


# ---- leaks --------------------------------------------------------------

D = immutabledict({"a": 1, "b": [2]})


@pytest.mark.parametrize(
    "operation",
    [
        lambda: immutabledict({"a": 1}),
        lambda: immutabledict([("a", 1)], b=2),
        lambda: immutabledict(1, 2),
        lambda: immutabledict(None),
        lambda: immutabledict([(1, 2, 3)]),
        lambda: D["a"],
        lambda: D["missing"],
        lambda: D[(1, "x")],
        lambda: D[[1]],
        lambda: D.get("a"),
        lambda: D.get("missing", 0),
        lambda: D.get(),
        lambda: D.__contains__("a"),
        lambda: D.__contains__([1]),
        lambda: "zz" in D,
        lambda: (D.keys(), D.values(), D.items(), list(D)),
        lambda: (D == {"a": 1}, D != D, repr(D)),
        lambda: D < D,
        lambda: pickle.loads(pickle.dumps(D)),
        lambda: D.union({"c": 1}),
        lambda: D.union(c=1),
        lambda: D.union(None),
        lambda: D.union({}, {}),
        lambda: D.merge_with({"c": 1}, [("d", 2)]),
        lambda: D.merge_with({"c": 1}, 5),
        lambda: D.merge_with(b=1),
        lambda: hash(D),
        lambda: (D == Vandal(a=1), D != Sub(a=1), D == Grabber()),
        lambda: D < Grabber(),
        lambda: [1] in D,
    ],
)
def test_no_leaks(assert_no_leak, operation):
    assert_no_leak(operation)


def test_cycles_through_an_instance_are_collected():
    import gc
    import weakref

    class Box:
        pass

    box = Box()
    d = immutabledict(box=box)
    box.d = d
    probe = weakref.ref(box)
    del box, d
    gc.collect()
    assert probe() is None
