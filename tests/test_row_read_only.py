"""A row is read-only: setting or deleting a column (or any name its class
does not define) says so, while the field setters and what a subclass
defines work as before."""

import sqlite3

import pytest

import orvane.fallback.rowkern as pure_rowkern
import orvane.rowkern as native_rowkern
from orvane import flavours
from orvane.results import Result

FLAVOURS = [pytest.param(flavours.compiled, id="compiled"), pytest.param(flavours.pure, id="pure")]
ROWKERNS = [pytest.param(native_rowkern, id="native"), pytest.param(pure_rowkern, id="pure")]


@pytest.fixture(params=FLAVOURS)
def row(request):
    connection = sqlite3.connect(":memory:")
    try:
        yield Result(connection.execute("select 1 as id, 'a' as name"), flavour=request.param()).fetchone()
    finally:
        connection.close()


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda row: setattr(row, "id", 5), "Row is read-only: cannot set attribute 'id'"),
        (lambda row: delattr(row, "name"), "Row is read-only: cannot delete attribute 'name'"),
        (lambda row: setattr(row, "other", 1), "Row is read-only: cannot set attribute 'other'"),
        (lambda row: setattr(row._mapping, "id", 1), "RowMapping is read-only: cannot set attribute 'id'"),
    ],
    ids=["set a column", "delete a column", "set another name", "set on a mapping view"],
)
def test_a_row_says_it_is_read_only(row, change, message):
    with pytest.raises(AttributeError) as raised:
        change(row)
    assert str(raised.value) == message
    assert (row.id, row.name) == (1, "a")


def test_the_field_setters_still_run_and_check(row):
    with pytest.raises(TypeError, match="The 'parent' attribute value must be an instance of ResultMetaData"):
        row._parent = object()
    row._key_style = row._key_style
    row._data = (2, "b")
    assert (row.id, row.name) == (2, "b")


@pytest.mark.parametrize("rk", ROWKERNS)
def test_what_a_subclass_defines_is_set_as_usual(rk):
    class WithDict(rk.BaseRow):
        pass

    class WithSlot(rk.BaseRow):
        __slots__ = ("note",)

    with_dict, with_slot = WithDict(None, None, {}, 0, (1,)), WithSlot(None, None, {}, 0, (1,))
    with_dict.id = 5
    with_slot.note = "kept"
    assert (with_dict.id, with_slot.note) == (5, "kept")
    del with_dict.id, with_slot.note
    with pytest.raises(AttributeError, match="WithSlot is read-only: cannot set attribute 'id'"):
        with_slot.id = 5


@pytest.mark.parametrize("rk", ROWKERNS)
def test_a_base_row_is_read_only_too(rk):
    with pytest.raises(AttributeError, match="^BaseRow is read-only: cannot set attribute 'x'$"):
        rk.BaseRow(None, None, {}, 0, (1,)).x = 1


def test_the_refusal_leaks_nothing(assert_no_leak, row):
    def refused():
        try:
            row.id = 5
        except AttributeError:
            pass

    assert_no_leak(refused)
