"""Outcomes of calls in a form the compiled modules and their pure twins can
be compared on."""

import datetime
import decimal
import pickle

import orvane.fallback.frozkern as pure_fk
import orvane.fallback.rowkern as pure_rk
import orvane.frozkern as fk
import orvane.rowkern as rk

PLAIN_TYPES = (type(None), bool, int, str, bytes, decimal.Decimal, datetime.datetime, datetime.date, datetime.time)


class Copy:
    """A result made of copies (an unpickled object): objects in it are
    compared by type, not identity."""

    def __init__(self, value):
        self.value = value


def normal(value, by_identity=True, depth=0):
    """A value as the flavours can be compared on it: rows and frozen mappings
    by their contents, floats by their repr (NaN included), containers item by
    item, plain values by value, anything else by identity."""
    if depth > 20:
        return ("deep",)
    depth += 1
    if type(value) is Copy:
        return ("copy", normal(value.value, False, depth))
    if isinstance(value, (rk.BaseRow, pure_rk.BaseRow)):
        return ("row", outcome(lambda: tuple(value), by_identity, depth))
    if isinstance(value, (fk.immutabledict, pure_fk.immutabledict)):
        return ("immutabledict", outcome(lambda: list(value.items()), by_identity, depth))
    if type(value) in (tuple, list):
        return (type(value).__name__, tuple(normal(item, by_identity, depth) for item in value))
    if type(value) is dict:
        return ("dict", tuple((normal(key, by_identity, depth), normal(item, by_identity, depth)) for key, item in value.items()))
    if type(value) is float:
        return ("float", repr(value))
    if type(value) in PLAIN_TYPES:
        return value
    return ("object", id(value) if by_identity else type(value).__name__)


def outcome(call, by_identity=True, depth=0):
    """The normalised value of `call()`, or the type of the ordinary
    exception it raised."""
    try:
        return ("value", normal(call(), by_identity, depth))
    except Exception as error:
        return ("raised", type(error))


def pickled(value):
    return Copy(pickle.loads(pickle.dumps(value)))
