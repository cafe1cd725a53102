"""convkern's text and simple processors against their pure twins:
UnicodeResultProcessor's process and conditional_process with each encoding
and error handler (known, unknown and malformed names), int_to_boolean,
to_str and to_float, value for value and message for message.

Input: a byte choosing the processor, bytes for its settings, then the value."""

from __future__ import annotations

import decimal

import orvane.convkern as compiled
import orvane.fallback.convkern as pure
from differential import Bytes, agree, outcome

ENCODINGS = ["utf-8", "latin-1", "ascii", "utf-16", "cp1252", "utf-8-sig", "koi8-r", "shift_jis", "no such codec", "utf\0-8", "é", ""]
ERRORS = ["strict", "replace", "ignore", "backslashreplace", "surrogateescape", "no such handler", "str\0ict", None]


def values(source: Bytes):
    """A value of one of the kinds drivers deliver, or odder."""
    kind = source.byte() % 9
    if kind == 0:
        return source.int()
    if kind == 1:
        return source.float()
    if kind == 2:
        return source.take(source.left())
    if kind == 3:
        return bytearray(source.take(source.left()))
    if kind == 4:
        return None
    if kind == 5:
        try:
            return decimal.Decimal(source.text())
        except decimal.InvalidOperation:
            return decimal.Decimal("NaN")
    if kind == 6:
        return memoryview(source.take(source.left()))
    return source.text()


def check(data: bytes) -> None:
    source = Bytes(data)
    which = source.byte() % 5
    if which < 2:
        encoding, errors = source.choice(ENCODINGS), source.choice(ERRORS)
        value = source.take(source.left()) if source.byte() % 4 else values(source)
        method = "process" if which == 0 else "conditional_process"
        arguments = (encoding,) if errors is None else (encoding, errors)

        def run(module):
            return getattr(module.UnicodeResultProcessor(*arguments), method)(value)

        agree(f"UnicodeResultProcessor{arguments!r}.{method}({value!r})", compiled=outcome(lambda: run(compiled)), pure=outcome(lambda: run(pure)))
        return
    name = ("int_to_boolean", "to_str", "to_float")[which - 2]
    value = values(source)
    agree(f"{name}({value!r})", compiled=outcome(lambda: getattr(compiled, name)(value)), pure=outcome(lambda: getattr(pure, name)(value)))
