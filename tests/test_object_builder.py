"""The builders of rows as instances of an application's class (the rows
modules' `_make_objects`): the compiled one and its pure twin give the same
instances and stop at the same row with the same error, replace each
fetched row by its instance in place and keep every fetched row not made
there, and leak nothing on any path."""

import dataclasses
import gc
from typing import NamedTuple

import pytest
from isolated import run_isolated

from orvane import flavours
from orvane.row_classes import RowClass

FLAVOURS = {"compiled": flavours.compiled(), "pure": flavours.pure()}


@dataclasses.dataclass(slots=True, frozen=True)
class Frozen:
    a: int
    b: object
    c: str = "c"


@dataclasses.dataclass
class Plain:
    a: int
    b: object
    c: str = "c"


class Pair(NamedTuple):
    a: int
    b: object
    c: str = "c"


CLASSES = [Frozen, Plain, Pair]


def refuse_three(value):
    if value == 3:
        raise ValueError("three")
    return value * 10


def shape_of(cls, flavour, names=("a", "b")):
    return RowClass(cls, list(names), None, flavour)


def build(flavour, cls, fetched, processors=None, ready=None):
    objects = shape_of(cls, flavour)
    count, error = flavour.make_objects(objects.shape, processors, ready, objects.not_none, fetched)
    return fetched[:count], error


def outcome(flavour, cls, rows, processors=None, ready=None):
    fetched = list(rows)
    made, error = build(flavour, cls, fetched, processors, ready)
    return made, (type(error), str(error)) if error is not None else None, fetched[len(made) :]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "rows, processors, ready",
    [
        ([(1, "x"), (2, None), [4, 5]], None, None),
        ([(1, "x"), (3, "y"), (5, "z")], [refuse_three, None], None),
        ([(1, "x"), (None, "y")], None, None),
        ([(1, "x"), (2, "y", "extra")], None, None),
        ([(1, "x"), "no"], None, None),
        ([(1, "x"), (3, "y")], [refuse_three, None], (int, None)),
        ([(1, None), (2, "y")], [refuse_three, str.upper], None),
    ],
    ids=["plain", "refused", "none refused", "too long", "no sequence", "ready skips", "none skips"],
)
def test_the_flavours_agree(cls, rows, processors, ready):
    compiled, pure = (outcome(flavour, cls, rows, processors, ready) for flavour in FLAVOURS.values())
    assert compiled == pure
    made, error, rest = compiled
    assert len(made) + len(rest) == len(rows) and rest == rows[len(made) :]
    if processors is None and error is None:
        assert made == [cls(*row[:2]) for row in rows]


@pytest.mark.parametrize("flavour", FLAVOURS.values(), ids=FLAVOURS)
def test_a_processor_that_empties_the_list_loses_no_row(flavour):
    fetched = [(1, "a"), (2, "b"), (3, "c")]

    def emptying(value):
        if value == 2:
            del fetched[:]
        return value

    count, error = flavour.make_objects(shape_of(Frozen, flavour).shape, [emptying, None], None, None, fetched)
    # The first instance went with the list the processor emptied; the second
    # is put where the list now ends.
    assert error is None and count == 2 and [instance.a for instance in fetched] == [2]


@pytest.mark.parametrize("flavour", FLAVOURS.values(), ids=FLAVOURS)
@pytest.mark.parametrize(
    "arguments, message",
    [
        (lambda shape: (shape, None, None, None, ()), "fetched must be a list"),
        (lambda shape: (shape, 5, None, None, []), "processors must be None, a list or a tuple"),
        (lambda shape: ((9, Frozen, (), ()), None, None, None, [(1, 2)]), "shape must be a tuple"),
    ],
    ids=["fetched", "processors", "shape"],
)
def test_wrong_arguments_raise(flavour, arguments, message):
    objects = shape_of(Frozen, flavour)
    args = arguments(objects.shape)
    if flavour.name == "pure" and message.startswith("shape"):
        # The pure twin reads an unknown way as a tuple shape and fails on the row.
        assert flavour.make_objects(*args)[1] is not None
        return
    with pytest.raises(TypeError, match=message):
        flavour.make_objects(*args)
    with pytest.raises(TypeError, match="expected 5 arguments"):
        flavour.make_objects(objects.shape)


def test_slots_are_checked_before_any_store():
    compiled = FLAVOURS["compiled"]
    objects = shape_of(Frozen, compiled)
    how, cls, slots, defaults = objects.shape
    with pytest.raises(TypeError, match="is not a writable object slot"):
        compiled.make_objects((how, Plain, slots, defaults), None, None, None, [(1, 2)])
    with pytest.raises(TypeError, match="is not a writable object slot"):
        compiled.make_objects((how, cls, (Frozen.a, "b"), defaults), None, None, None, [(1, 2)])


@pytest.mark.parametrize("cls", CLASSES)
def test_the_builder_does_not_leak(assert_no_leak, cls):
    compiled = FLAVOURS["compiled"]
    objects = shape_of(cls, compiled)
    rows = [(1, "x"), (3, None), (2, [1])]
    for processors in (None, [refuse_three, None], [None, str]):
        assert_no_leak(lambda: compiled.make_objects(objects.shape, processors, (int, None), objects.not_none, list(rows)), calls=100)


@pytest.mark.parametrize("cls", ["Frozen", "Plain", "Pair"])
def test_allocation_failures_lose_no_row(cls):
    # Each run fails one allocation in turn: the instances made, then every
    # fetched row not made as it was, none lost.
    pytest.importorskip("_testcapi")
    out = run_isolated(f"""
        import _testcapi, gc, itertools, sys
        sys.path.insert(0, {str(__import__("pathlib").Path(__file__).parent)!r})
        from test_object_builder import {cls} as cls, shape_of
        from orvane import flavours

        compiled = flavours.compiled()
        objects = shape_of(cls, compiled)
        gc.disable()
        for failing in range(16):
            originals = [(1, "a"), (2, "b"), (3, "c")]
            fetched = list(originals)
            _testcapi.set_nomemory(failing, failing + 1)
            try:
                count, error = compiled.make_objects(objects.shape, None, None, objects.not_none, fetched)
            except MemoryError:
                # Raised once the instances were in place: they lead the
                # list, as the result's core finds them.
                count = len(list(itertools.takewhile(lambda item: type(item) is cls, fetched)))
            finally:
                _testcapi.remove_mem_hooks()
            assert [instance.a for instance in fetched[:count]] == [1, 2, 3][:count], fetched
            assert fetched[count:] == originals[count:], (failing, fetched, count)
        print("ok")
    """)
    assert out.strip().endswith("ok")


def test_gc_sees_the_instances():
    compiled = FLAVOURS["compiled"]
    objects = shape_of(Plain, compiled)
    made = [(1, "x")]
    compiled.make_objects(objects.shape, None, None, None, made)
    assert gc.is_tracked(made[0])
    made[0].b = made[0]  # a cycle through an instance is collected
    del made
    assert gc.collect() >= 1
