"""Rows are what they are typed as: a Sequence, and a Mapping through
_mapping, in both flavours."""

import sqlite3
from collections.abc import Mapping, Sequence

import pytest

from orvane import flavours
from orvane.results import Result


@pytest.fixture(params=["compiled", "pure"])
def flavour(request):
    return getattr(flavours, request.param)()


def test_rows_are_sequences_and_their_mappings_mappings(flavour, request):
    connection = sqlite3.connect(":memory:")
    request.addfinalizer(connection.close)
    cursor = connection.execute("select 1 as id, 'a' as count")
    row = Result(cursor, flavour=flavour).fetchone()
    assert isinstance(row, Sequence) and not isinstance(row, Mapping)
    assert isinstance(row._mapping, Mapping) and not isinstance(row._mapping, Sequence)
    # Registration adds no method: a column named count is still read.
    assert row.count == "a"
    match row:
        case [identifier, text]:
            assert (identifier, text) == (1, "a")
        case _:
            pytest.fail("a row matches a sequence pattern")
    match row._mapping:
        case {"id": identifier}:
            assert identifier == 1
        case _:
            pytest.fail("a row's mapping matches a mapping pattern")
