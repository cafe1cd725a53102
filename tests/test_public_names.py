"""What users read in messages: the module public exceptions are shown in,
their pickles, and the article before a type's name."""

import pickle
import sqlite3
import traceback

import pytest

import orvane.results
from orvane.converters import with_article
from orvane.results import AmbiguousColumnError, ConversionError, NoSuchColumnError, Result

PUBLIC_ERRORS = [value for name in orvane.results.__all__ if isinstance(value := getattr(orvane.results, name), type) and issubclass(value, BaseException)]


def test_the_public_exceptions_are_all_counted():
    assert {ConversionError, NoSuchColumnError, AmbiguousColumnError} <= set(PUBLIC_ERRORS)


@pytest.mark.parametrize("error", PUBLIC_ERRORS, ids=lambda error: error.__name__)
def test_public_exceptions_name_the_module_users_import_them_from(error):
    assert f"{error.__module__}.{error.__qualname__}" == f"orvane.results.{error.__name__}"


def raised(types, read):
    connection = sqlite3.connect(":memory:")
    try:
        read(Result(connection.execute("select 'soon' as due, 1 as id, 2 as id"), types))
    except Exception as error:
        return error
    finally:
        connection.close()
    raise AssertionError("nothing raised")


@pytest.mark.parametrize(
    "types, read, shown",
    [
        ({"due": int}, Result.fetchall, "orvane.results.ConversionError: row 0, column 'due': cannot convert 'soon'"),
        (None, lambda result: result.fetchone()["total"], "orvane.results.NoSuchColumnError: Could not locate column in row for column 'total'"),
        (None, lambda result: result.fetchone().id, "orvane.results.AmbiguousColumnError: Ambiguous column name 'id'"),
    ],
    ids=["ConversionError", "NoSuchColumnError", "AmbiguousColumnError"],
)
def test_a_traceback_shows_the_public_module_and_the_error_pickles(types, read, shown):
    error = raised(types, read)
    assert "".join(traceback.format_exception_only(error)).startswith(shown)
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is type(error) and str(back) == str(error) and back.args == error.args


def test_a_conversion_error_keeps_its_attributes_through_a_pickle():
    error = ConversionError("due", b"\xff", UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), row=7)
    back = pickle.loads(pickle.dumps(error))
    assert (back.column, back.value, back.row, str(back)) == ("due", b"\xff", 7, str(error))
    assert pickle.loads(pickle.dumps(ConversionError("n", 1, "no reason"))).row is None


@pytest.mark.parametrize(
    "noun, spoken",
    [
        ("UUID", "a UUID"),
        ("URL", "a URL"),
        ("uuid", "a uuid"),
        ("unicode", "a unicode"),
        ("user", "a user"),
        ("UnicodeDecodeError", "a UnicodeDecodeError"),
        ("hour", "an hour"),
        ("honest", "an honest"),
        ("SQL", "an SQL"),
        ("HTTPError", "an HTTPError"),
        ("OSError", "an OSError"),
        ("X", "an X"),
        ("int", "an int"),
        ("object", "an object"),
        ("Integer", "an Integer"),
        ("str", "a str"),
        ("Decimal", "a Decimal"),
        ("NoneType", "a NoneType"),
        ("datetime", "a datetime"),
        ("Row", "a Row"),
        ("house", "a house"),
    ],
)
def test_the_article_is_the_one_read_aloud(noun, spoken):
    assert with_article(noun) == spoken
