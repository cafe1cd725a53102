"""The result layer's typed readers through `Result` over in-memory rows: a
table of one to four columns, each declared one of the known types, of
generated values (text mostly), read by fetchall and by iteration with the
compiled flavour and with the pure one. The rows, or the refusal with its
message, row and column, must agree; a date or time read from text must be
what the interpreter's fromisoformat reads.

Input: a byte for the columns and one for the rows, a byte for each
column's type, then for each value a byte for its kind and its bytes up to
the next NUL."""

from __future__ import annotations

import datetime
import decimal

from differential import Bytes, Mismatch, agree, normal, outcome
from orvane import flavours
from orvane.results import ConversionError, Numeric, Result

FLAVOURS = {"compiled": flavours.compiled(), "pure": flavours.pure()}
DECLARED = [datetime.datetime, datetime.date, datetime.time, bool, int, float, str, bytes, Numeric(0), Numeric(2), Numeric(5)]
ISO = (datetime.datetime, datetime.date, datetime.time)


class Cursor:
    """A DB-API cursor over a list of rows."""

    def __init__(self, names, rows):
        self.description = [(name, None, None, None, None, None, None) for name in names]
        self.arraysize = 3
        self._rows = list(rows)

    def fetchmany(self, size):
        taken, self._rows[:size] = self._rows[:size], []
        return taken

    def fetchall(self):
        return self.fetchmany(len(self._rows))


def value(source: Bytes):
    kind = source.byte() % 8
    text = source.piece()
    if kind == 0:
        return None
    if kind == 1:
        return text.encode("utf-8", "surrogatepass")
    if kind == 2:
        return len(text) - 3
    if kind == 3:
        return len(text) / 4
    if kind == 4:
        try:
            return decimal.Decimal(text)
        except decimal.InvalidOperation:
            return text
    return text


def read(flavour, names, types, rows, how):
    result = Result(Cursor(names, rows), types, flavour=flavour)
    try:
        got = result.fetchall() if how == "fetchall" else list(result)
    except ConversionError as error:
        return ("refused", str(error), error.row, error.column, repr(error.value))
    return ("rows", normal(got))


def check(data: bytes) -> None:
    source = Bytes(data)
    shape = source.byte()
    width, height = shape % 4 + 1, shape // 4 % 6 + 1
    names = [f"c{index}" for index in range(width)]
    types = {name: source.choice(DECLARED) for name in names}
    rows = [tuple(value(source) for _ in names) for _ in range(height)]
    for how in ("fetchall", "iteration"):
        outcomes = {name: outcome(lambda flavour=flavour: read(flavour, names, types, rows, how)) for name, flavour in FLAVOURS.items()}
        agree(f"{how} of {rows!r} as {types!r}", **outcomes)
    kind, got = outcomes["compiled"]
    if kind != "value" or got[1][0] != "rows":
        return
    for row_at, (row, built) in enumerate(zip(rows, got[1][1][1])):
        for name, fetched, seen in zip(names, row, built[1]):
            declared = types[name]
            if declared in ISO and type(fetched) is str and seen != normal(declared.fromisoformat(fetched)):
                raise Mismatch(f"row {row_at}, {name} {fetched!r} read as {seen!r}, fromisoformat says {declared.fromisoformat(fetched)!r}")
