"""Rows of drivers whose fetched tuples are taken as they come: a row factory
set in the middle of a result is still read by column name."""

from __future__ import annotations

import os
import sqlite3

import pytest

from orvane import flavours
from orvane.results import Result
from postgres_server import ServerUnavailable, postgres_server

ROWS = 2500
QUERY = "select n as a, n * 2 as b from numbers order by n"


def sqlite3_cursor(request, dsn):
    connection = sqlite3.connect(":memory:")
    request.addfinalizer(connection.close)
    connection.execute("create table numbers (n integer)")
    connection.executemany("insert into numbers values (?)", ((n,) for n in range(ROWS)))
    cursor = connection.execute(QUERY)

    def to_mappings():
        cursor.row_factory = lambda cursor, values: dict(zip(["b", "a"], reversed(values)))

    return cursor, to_mappings


def psycopg_cursor(request, dsn):
    psycopg = pytest.importorskip("psycopg")
    connection = psycopg.connect(dsn)
    request.addfinalizer(connection.close)
    connection.execute("create temporary table numbers as select generate_series(0, %s) as n", (ROWS - 1,))
    cursor = connection.execute(QUERY)

    def to_mappings():
        cursor.row_factory = psycopg.rows.dict_row

    return cursor, to_mappings


@pytest.fixture(scope="module")
def dsn():
    try:
        with postgres_server() as dsn:
            yield dsn
    except ServerUnavailable as error:
        if os.environ.get("CI"):
            pytest.fail(f"the PostgreSQL server must start in CI: {error}")
        pytest.skip(f"no PostgreSQL server: {error}")


@pytest.mark.parametrize("make", [sqlite3_cursor, psycopg_cursor], ids=["sqlite3", "psycopg"])
@pytest.mark.parametrize("flavour", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
def test_a_row_factory_set_mid_result_is_followed(request, make, flavour):
    cursor, to_mappings = make(request, request.getfixturevalue("dsn") if make is psycopg_cursor else None)
    result = Result(cursor, flavour=flavour())
    first = result.fetchmany(1000)
    to_mappings()
    rest = result.fetchmany(1000) + result.fetchall()
    assert [tuple(row) for row in first + rest] == [(n, n * 2) for n in range(ROWS)]
