"""What the fuzz targets share: the outcome of a call in a form two flavours
(or a flavour and the standard library) can be compared on, and a reader of
the fuzzer's bytes.

Each target is a module with `check(data: bytes)`, which raises
`Mismatch` where the outcomes differ; `fuzz/main.py` runs it under atheris,
and the test suite replays the corpus through it.
"""

from __future__ import annotations

import datetime
import decimal
import re
import struct
from collections.abc import Callable
from typing import Any


class Mismatch(AssertionError):
    """Two implementations that must agree did not."""


def normal(value: Any, depth: int = 0) -> Any:
    """A value as it is compared: plain values by type and repr (so that
    Decimal('1.0') and Decimal('1.00'), or an aware and a naive time, differ,
    and NaN equals NaN), rows and mappings by their contents."""
    if depth > 10:
        return ("deep",)
    kind = type(value)
    if kind in (tuple, list):
        return (kind.__name__, tuple(normal(item, depth + 1) for item in value))
    if kind in (type(None), bool, int, float, str, bytes, decimal.Decimal, datetime.datetime, datetime.date, datetime.time):
        return (kind.__name__, repr(value))
    items = getattr(value, "items", None)
    if callable(items) and kind.__name__ in ("immutabledict", "RowMapping"):
        return (kind.__name__, tuple((normal(key, depth + 1), normal(item, depth + 1)) for key, item in items()))
    if hasattr(value, "_fields") and hasattr(value, "_mapping"):
        return ("row", tuple(normal(item, depth + 1) for item in value))
    return ("object", kind.__name__)


# The interpreter's "bad argument to internal function" names the C source
# file and line it was raised at, which a pure twin cannot know.
_C_SOURCE = re.compile(r"^\S+\.c:\d+: ")


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    """("value", the normal value) or ("raised", exception type, message)."""
    try:
        value = call()
    except Exception as error:
        message = str(error)
        if type(error) is SystemError:
            message = _C_SOURCE.sub("", message)
        return ("raised", type(error).__name__, message)
    return ("value", normal(value))


def agree(what: str, **outcomes: tuple[Any, ...]) -> None:
    """Raises Mismatch unless every outcome is the same."""
    first, *rest = outcomes.items()
    for name, seen in rest:
        if seen != first[1]:
            raise Mismatch(f"{what}:\n  {first[0]}: {first[1]!r}\n  {name}: {seen!r}")


class Bytes:
    """The fuzzer's bytes read from the front: small choices, numbers, text."""

    def __init__(self, data: bytes):
        self._data = data
        self._at = 0

    def left(self) -> int:
        return len(self._data) - self._at

    def byte(self) -> int:
        if self._at >= len(self._data):
            return 0
        self._at += 1
        return self._data[self._at - 1]

    def choice(self, options: list[Any] | tuple[Any, ...]) -> Any:
        return options[self.byte() % len(options)]

    def take(self, count: int) -> bytes:
        taken = self._data[self._at : self._at + count]
        self._at += len(taken)
        return taken

    def float(self) -> float:
        return float(struct.unpack("<d", self.take(8).ljust(8, b"\0"))[0])

    def int(self) -> int:
        """A whole number of 0 to 16 bytes, either sign."""
        size = self.byte() % 17
        return int.from_bytes(self.take(size), "little", signed=True)

    def text(self, size: int | None = None) -> str:
        """The next `size` bytes (all the rest for None) as text: UTF-8
        (lone surrogates included) where they are, else Latin-1."""
        raw = self.take(self.left() if size is None else size)
        try:
            return raw.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            return raw.decode("latin-1")

    def piece(self) -> str:
        """Text up to the next NUL byte (or the end)."""
        end = self._data.find(b"\0", self._at)
        text = self.text((len(self._data) if end < 0 else end) - self._at)
        if end >= 0:
            self._at += 1
        return text
