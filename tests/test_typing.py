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


TYPED_READS = '''
import dataclasses, sqlite3
from typing import NamedTuple, assert_type
from orvane.results import AsyncResult, Result, Row

@dataclasses.dataclass
class Order:
    id: int

class Pair(NamedTuple):
    id: int

connection = sqlite3.connect(":memory:")
assert_type(Result(connection.execute("select 1 as id"), into=Order).fetchall(), list[Order])
assert_type(Result(connection.execute("select 1 as id")).fetchall(), list[Row])
assert_type(Result(connection.execute("select 1 as id"), into=Pair).first(), Pair | None)
assert_type(Result(connection.execute("select 1 as id"), into=Order).one(), Order)
assert_type(Result(connection.execute("select 1 as id"), into=Order).one(default=None), Order | None)

def rows(result: Result) -> list[Row]:
    return result.fetchall()

async def orders(cursor: object) -> list[Order]:
    result = AsyncResult(cursor, into=Order)
    assert_type(await result.first(), Order | None)
    return [order async for order in result]
'''


def test_results_are_typed_by_what_they_deliver(tmp_path, monkeypatch):
    api = pytest.importorskip("mypy.api")
    import pathlib

    (tmp_path / "reads.py").write_text(TYPED_READS)
    source = pathlib.Path(__file__).parent.parent / "src"
    # The checkout's sources, as an editable install hides them from mypy.
    monkeypatch.setenv("MYPYPATH", str(source))
    out, err, status = api.run(["--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(tmp_path / "reads.py")])
    assert status == 0, out + err
