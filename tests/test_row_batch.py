"""Rows by the batch: `cls._make_rows(...)` is the list of
`cls(parent, processors, keymap, key_style, r)` for every r, in values,
errors and references; `cls._make_rows_in_place(...)` puts the same rows in
the place of the fetched rows of a list."""

import gc
import itertools
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvane.engine.row as native_row
import orvane.fallback.row as pure_row
import orvane.fallback.rowkern as pure_rowkern
import orvane.rowkern as native_rowkern
from isolated import run_isolated
from orvane.engine.result import ResultMetaData

FLAVOURS = {"native": (native_rowkern.BaseRow, native_row.Row), "pure": (pure_rowkern.BaseRow, pure_row.Row)}


@pytest.fixture(params=sorted(FLAVOURS))
def classes(request):
    return FLAVOURS[request.param]


def outcome(call):
    try:
        result = call()
    except Exception as error:
        return (type(error), str(error))
    return ("ok", [(type(row), row._parent, row._data, row._keymap, row._key_style) for row in result])


def one_by_one(cls, parent, processors, keymap, key_style, rows):
    return [cls(parent, processors, keymap, key_style, row) for row in rows]


def in_place(cls, parent, processors, keymap, key_style, rows):
    """The in-place batch on a list of `rows`, checked for what it leaves in
    the list when a row fails: the rows made, as many as it reports, then the
    fetched rows untouched; the exception that stopped it is raised here."""
    fetched = list(rows)
    made, error = cls._make_rows_in_place(parent, processors, keymap, key_style, fetched)
    assert made == sum(1 for _ in itertools.takewhile(lambda item: isinstance(item, cls), fetched))
    if error is not None:
        assert made < len(rows) and all(ours is theirs for ours, theirs in zip(fetched[made:], list(rows)[made:], strict=True))
        raise error
    assert made == len(fetched)
    return fetched


class Failing(Exception):
    pass


def fail_on(bad):
    def process(value):
        if value == bad:
            raise Failing(value)
        return value * 2

    return process


def with_own_init(base):
    class OwnInit(base):
        __slots__ = ()

        def __init__(self, parent, processors, keymap, key_style, row):
            super().__init__(parent, processors, keymap, key_style, row[::-1])

    return OwnInit


def with_own_new(base):
    class OwnNew(base):
        __slots__ = ()

        def __new__(cls, *args):
            instance = super().__new__(cls)
            instance._key_style = 7
            return instance

    return OwnNew


class Meta(type):
    def __call__(cls, *args):
        row = super().__call__(*args)
        row._key_style = 9
        return row


def with_metaclass_call(base):
    return Meta("WithMeta", (base,), {"__slots__": ()})


MD = ResultMetaData.from_names(["a", "b"])
ARGUMENTS = {
    "plain": (MD, None, MD._keymap, 3, [(1, 2), [3, 4], "ab"]),
    "processors": (MD, [fail_on(None), None], MD._keymap, 3, ((1, 2), (3, 4))),
    "empty": (MD, None, MD._keymap, 0, []),
    "failing processor": (MD, [fail_on(3), None], MD._keymap, 3, [(1, 2), (3, 4), (5, 6)]),
    "count mismatch": (MD, [None], MD._keymap, 3, [(1,), (1, 2)]),
    "row not a sequence": (MD, None, MD._keymap, 3, [(1, 2), 5]),
    "keymap subclass": (MD, [fail_on(1), None], type("Sub", (dict,), {})(), 3, [(1, 2)]),
    "keymap subclass, no rows": (MD, None, type("Sub", (dict,), {})(), 3, []),
    "key style too big": (MD, None, {}, 2**70, [(1, 2)]),
    "key style bool": (MD, None, {}, True, [(1, 2)]),
    "key style text": (MD, None, {}, "1", [(1, 2)]),
    "processors not a list": (MD, {"a": 1}, {}, 3, [(1, 2)]),
}


@pytest.mark.parametrize("case", sorted(ARGUMENTS))
@pytest.mark.parametrize("subclass", [None, with_own_init, with_own_new, with_metaclass_call], ids=["Row", "own __init__", "own __new__", "metaclass __call__"])
def test_batch_equals_construction_one_by_one(classes, case, subclass):
    _, row_class = classes
    cls = subclass(row_class) if subclass else row_class
    arguments = ARGUMENTS[case]
    expected = outcome(lambda: one_by_one(cls, *arguments))
    assert outcome(lambda: cls._make_rows(*arguments)) == expected
    assert outcome(lambda: in_place(cls, *arguments)) == expected


def test_batch_of_the_base_class_and_argument_count(classes):
    base, _ = classes
    (row,) = base._make_rows(None, None, {}, 1, [(1,)])
    assert type(row) is base and row._data == (1,) and row._key_style == 1
    with pytest.raises(TypeError, match="_make_rows expected 5 arguments, got 4"):
        base._make_rows(None, None, {}, 1)
    with pytest.raises(TypeError, match="rows must be a sequence"):
        base._make_rows(None, None, {}, 1, 5)
    with pytest.raises(TypeError, match="_make_rows_in_place expected 5 or 6 arguments, got 7"):
        base._make_rows_in_place(None, None, {}, 1, [], None, None)
    with pytest.raises(TypeError, match="width must be None or an int, not list"):
        base._make_rows_in_place(None, None, {}, 1, [], [])
    with pytest.raises(ValueError, match="width must not be negative"):
        base._make_rows_in_place(None, None, {}, 1, [], -1)
    with pytest.raises(TypeError, match="fetched must be a list, not tuple"):
        base._make_rows_in_place(None, None, {}, 1, ((1,),))


@pytest.mark.parametrize("change", ["append", "pop", "clear"])
def test_processor_resizing_the_list_of_rows(classes, change):
    _, row_class = classes

    def run(make):
        rows = [[1], [2], [3]]

        def process(value):
            if change == "append" and len(rows) < 5:
                rows.append([value + 10])
            elif change == "pop" and rows:
                rows.pop()
            elif change == "clear":
                rows.clear()
            gc.collect()
            return value

        return outcome(lambda: make(row_class, MD, [process], {}, 3, rows))

    assert run(lambda cls, *arguments: cls._make_rows(*arguments)) == run(one_by_one)


@pytest.mark.parametrize("change", ["append", "pop", "clear"])
def test_processor_resizing_the_list_in_place(classes, change):
    _, row_class = classes
    fetched = [[1], [2], [3]]

    def process(value):
        if change == "append" and len(fetched) < 5:
            fetched.append([value + 10])
        elif change == "pop" and fetched:
            fetched.pop()
        elif change == "clear":
            fetched.clear()
        gc.collect()
        return value

    row_class._make_rows_in_place(MD, [process], {}, 3, fetched)
    # Each row made lands at its place, or at the end of a list that shrank.
    assert [row._data for row in fetched] == {"append": [(1,), (2,), (3,), (11,), (12,)], "pop": [(1,), (2,)], "clear": [(1,)]}[change]


class ListLyingAboutItself(list):
    def __len__(self):
        return 1

    def __getitem__(self, index):
        return (99,)

    def __setitem__(self, index, value):
        list.append(self, "set")

    def append(self, value):
        list.append(self, "appended")


class ClearingOnRelease(tuple):
    """A fetched row that empties the list it was in when it is freed."""

    __slots__ = ()
    fetched: list = []

    def __del__(self):
        type(self).fetched.clear()


@pytest.mark.parametrize("processors", [None, [lambda value: value]], ids=["no processors", "processors"])
@pytest.mark.parametrize("fetched", ["list subclass", "finaliser clearing the list"])
def test_in_place_on_a_list_that_fights_back(classes, processors, fetched):
    _, row_class = classes
    if fetched == "list subclass":
        rows = ListLyingAboutItself([(1,), (2,)])
        expected = [(1,), (2,)]
    else:
        rows = ClearingOnRelease.fetched = [ClearingOnRelease((1,)), ClearingOnRelease((2,))]
        # The first fetched row, freed once its row is made, empties the list;
        # its row is then appended to the emptied list.
        expected = [(1,)]
    row_class._make_rows_in_place(MD, processors, {}, 3, rows)
    assert [row._data for row in list.__iter__(rows)] == expected


@pytest.mark.parametrize("step", ["__init__", "__new__"])
@pytest.mark.parametrize("batch", ["_make_rows", "_make_rows_in_place"])
def test_processor_giving_the_class_a_step_of_its_own_mid_batch(classes, step, batch):
    def run(make):
        class Changing(classes[1]):
            __slots__ = ()

        def own_init(self, parent, processors, keymap, key_style, row):
            super(Changing, self).__init__(parent, processors, keymap, 5, row)

        def own_new(cls, parent, processors, keymap, key_style, row):
            return classes[1](parent, None, keymap, 7, row)

        def process(value):
            setattr(Changing, step, own_init if step == "__init__" else own_new)
            return value

        return [(row._data, row._key_style) for row in make(Changing, MD, [process], {}, 3, [(1,), (2,)])]

    def batched(cls, *arguments):
        made = getattr(cls, batch)(*arguments)
        return arguments[-1] if batch == "_make_rows_in_place" else made

    assert run(batched) == run(one_by_one)


VALUES = st.one_of(st.integers(), st.text(max_size=3), st.none(), st.floats(allow_nan=False))
PROCESSORS = st.sampled_from([None, str, repr, fail_on(0), fail_on("")])


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    width=st.integers(0, 4),
    data=st.data(),
    key_style=st.sampled_from([0, 1, 2, 3, -1, 2**63, True]),
    container=st.sampled_from([list, tuple]),
)
def test_batch_matches_one_by_one_on_drawn_rows(width, data, key_style, container):
    processors = data.draw(st.one_of(st.none(), st.lists(PROCESSORS, min_size=width, max_size=width)))
    rows = data.draw(st.lists(st.lists(VALUES, min_size=width, max_size=width + (1 if width == 2 else 0)), max_size=6))
    rows = container(container(row) for row in rows)
    for _, row_class in FLAVOURS.values():
        arguments = (MD, processors, MD._keymap, key_style, rows)
        expected = outcome(lambda: one_by_one(row_class, *arguments))
        assert outcome(lambda: row_class._make_rows(*arguments)) == expected
        assert outcome(lambda: in_place(row_class, *arguments)) == expected


@pytest.mark.parametrize("case", sorted(ARGUMENTS))
def test_batch_does_not_leak(assert_no_leak, case):
    arguments = ARGUMENTS[case]
    assert_no_leak(lambda: native_row.Row._make_rows(*arguments), calls=100)
    assert_no_leak(lambda: outcome(lambda: in_place(native_row.Row, *arguments)), calls=100)


@pytest.mark.parametrize("processors", ["None", "[None, str]"])
def test_allocation_failures_in_place_leave_a_whole_list(processors):
    # Each run fails one allocation in turn: the rows made, as many as the
    # batch reports, then every other fetched row as it was, none lost.
    pytest.importorskip("_testcapi")
    out = run_isolated(f"""
        import _testcapi, gc
        from orvane.engine.result import ResultMetaData
        from orvane.engine.row import Row

        md = ResultMetaData.from_names(["a", "b"])
        gc.disable()
        for failing in range(12):
            originals = [(1, 2), (3, 4), (5, 6)]
            fetched = list(originals)
            _testcapi.set_nomemory(failing, failing + 1)
            try:
                made, error = Row._make_rows_in_place(md, {processors}, md._keymap, 3, fetched)
            except MemoryError:
                made, error = "?", None
            finally:
                _testcapi.remove_mem_hooks()
            kinds = [
                "row" if isinstance(item, Row) else "fetched" if item is original else repr(item)
                for item, original in zip(fetched, originals, strict=True)
            ]
            print("".join(kind[0] for kind in kinds) + str(made) + type(error).__name__[0])
    """)
    # Where the failure is raised rather than returned ("?": around the call,
    # on some interpreters), the list still holds rows, then fetched rows.
    assert set(out.split()) <= {"rrr3N", "rrf2M", "rff1M", "fff0M", "fff?N", "rff?N", "rrf?N", "rrr?N"}
    assert len(set(out.split())) > 1


class Stop(BaseException):
    pass


def stop_on(bad, error):
    def process(value):
        if value == bad:
            raise error
        return value

    return process


@pytest.mark.parametrize("error", [Stop(), KeyboardInterrupt(), MemoryError(), ValueError("refused")], ids=type)
def test_in_place_returns_what_stopped_it(classes, error):
    # Whatever a processor raises comes back with the count, never raised,
    # and the rows of the list's own class that were fetched count as fetched.
    _, row_class = classes
    inner = row_class._make_rows(MD, None, MD._keymap, 3, [(1, "a"), (2, "b"), (3, "c")])
    fetched = list(inner)
    made, stopped = row_class._make_rows_in_place(MD, [stop_on(3, error), None], MD._keymap, 3, fetched)
    assert (made, stopped) == (2, error)
    assert [row._data for row in fetched[:2]] == [(1, "a"), (2, "b")] and fetched[2] is inner[2]
    assert all(ours is not theirs for ours, theirs in zip(fetched[:2], inner))


TYPES_OF = {"native": native_rowkern._types_of, "pure": pure_rowkern._types_of}
MIXED = [(1, "a"), (2, None), [3.0, b"x"]]


@pytest.mark.parametrize(
    "items, index, expected",
    [
        (MIXED, None, {tuple, list}),
        (MIXED, 1, {str, type(None), bytes}),
        (MIXED, -2, {int, float}),
        ([], 0, set()),
        ([(1,)], 1, IndexError),
        ((("a",),), None, TypeError),
        ([(1,)], 1.0, TypeError),
        ([(1,)], True, TypeError),
        ([{"a": 1}], 0, KeyError),
    ],
)
def test_types_of_both_flavours(items, index, expected):
    for types_of in TYPES_OF.values():
        if isinstance(expected, set):
            assert types_of(items, index) == expected
        else:
            with pytest.raises(expected):
                types_of(items, index)


def test_types_of_a_list_that_shrinks_while_it_is_read():
    def scan(types_of):
        class Shrinking:
            def __getitem__(self, index):
                items.clear()
                return 1

        items = [Shrinking(), (2.0,), (None,)]
        return types_of(items, 0), items

    assert scan(TYPES_OF["native"]) == scan(TYPES_OF["pure"]) == ({int}, [])


@pytest.mark.parametrize("index", [None, 1, 5])
def test_types_of_does_not_leak(assert_no_leak, index):
    items = [(1, "a"), [2.0, None], ("x", b"y")]

    def scan():
        try:
            return native_rowkern._types_of(items, index)
        except IndexError:
            return None

    assert_no_leak(scan, calls=100)


class RowWithLength(list):
    """A fetched row whose length is its own."""

    def __init__(self, values, length):
        super().__init__(values)
        self.length = length

    def __len__(self):
        return self.length


class Refused(Exception):
    pass


def test_a_refused_batch_leaks_nothing(classes):
    # The collection inside the processor leaves the outcome tuple, then two
    # Nones, out of the collector's walks; filled with the exception, whose
    # traceback leads back to the frame that holds the outcome, it must be
    # walked again or that cycle is never freed.
    _, row_class = classes
    raised = []

    def refuse(value):
        gc.collect()
        error = Refused(value)
        raised.append(weakref.ref(error))
        raise error

    def read():
        outcome = row_class._make_rows_in_place(MD, [refuse, None], MD._keymap, 3, [(1, "a"), (2, "b")])
        assert outcome[0] == 0 and type(outcome[1]) is Refused and gc.is_tracked(outcome)

    read()
    gc.collect()
    assert raised and raised[0]() is None


@pytest.mark.parametrize("processors", [None, [None, str]], ids=["untyped", "typed"])
@pytest.mark.parametrize("misfit", [(3,), (3, "c", "extra"), [3], RowWithLength([3, "c"], 3)], ids=["short", "long", "short list", "own length"])
def test_in_place_with_a_width_stops_at_a_row_of_another_length(classes, processors, misfit):
    _, row_class = classes
    fetched = [(1, "a"), (2, "b"), misfit, (4, "d")]
    made, error = row_class._make_rows_in_place(MD, processors, MD._keymap, 3, fetched, 2)
    assert made == 2 and type(error) is ValueError
    assert str(error) == f"a fetched row has {len(misfit)} values where the result has 2 columns"
    assert fetched[2] is misfit and fetched[3] == (4, "d") and [row._data for row in fetched[:2]] == [(1, "a"), (2, "b")]


@pytest.mark.parametrize("processors", [None, [None, str]], ids=["untyped", "typed"])
@pytest.mark.parametrize("width", [2, 3, [], -1], ids=["fits", "another width", "not an int", "negative"])
def test_in_place_with_a_width_does_not_leak(assert_no_leak, processors, width):
    def batch():
        fetched = [(1, "a"), [2, "b"], RowWithLength([3, "c"], 2), (4, "d", "e")]
        return native_row.Row._make_rows_in_place(MD, processors, MD._keymap, 3, fetched, width)

    assert_no_leak(batch, calls=100)


def test_a_processor_returning_with_an_exception_set_does_not_leak(assert_no_leak):
    _testcapi = pytest.importorskip("_testcapi")
    import ctypes

    class MethodDef(ctypes.Structure):
        _fields_ = [("name", ctypes.c_char_p), ("meth", ctypes.c_void_p), ("flags", ctypes.c_int), ("doc", ctypes.c_char_p)]

    helper = _testcapi.return_result_with_error
    source = MethodDef.from_address(ctypes.c_void_p.from_address(id(helper) + object.__basicsize__).value)
    definition = MethodDef(b"stray", source.meth, 0x0008, None)
    new_function = ctypes.pythonapi.PyCFunction_NewEx
    new_function.restype = ctypes.py_object
    new_function.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.py_object]
    processor = new_function(ctypes.addressof(definition), None, None)

    def batch():
        made, error = native_row.Row._make_rows_in_place(MD, [None, processor], MD._keymap, 3, [(1, "a"), (2, "b")])
        assert made == 0 and type(error) is SystemError and type(error.__cause__) is ValueError

    assert_no_leak(batch, calls=100)
