"""The ISO readers of convkern against their pure twins: the sscanf-style
parsers (str_to_datetime, str_to_time, str_to_date) value for value and
message for message, and the result layer's readers (_iso_datetime,
_iso_date, _iso_time) against the interpreter's own fromisoformat too.

Input: a byte choosing the reader and the kind of argument, then the text."""

from __future__ import annotations

import datetime

import orvane.convkern as compiled
import orvane.fallback.convkern as pure
from differential import Bytes, agree, outcome

SCANNERS = ("str_to_datetime", "str_to_time", "str_to_date")
READERS = {"_iso_datetime": datetime.datetime, "_iso_date": datetime.date, "_iso_time": datetime.time}
NAMES = SCANNERS + tuple(READERS)


def check(data: bytes) -> None:
    source = Bytes(data)
    choice = source.byte()
    name = NAMES[choice % len(NAMES)]
    text = source.text()
    # Now and then a value that is no str: the refusal must agree too.
    argument = {0: text, 1: text, 2: text, 3: text.encode("utf-8", "surrogatepass"), 4: None}.get(choice // len(NAMES) % 6, str_subclass(text))
    if argument is None and name in READERS:
        argument = text
    results = {
        "compiled": outcome(lambda: getattr(compiled, name)(argument)),
        "pure": outcome(lambda: getattr(pure, name)(argument)),
    }
    if name in READERS:
        results["fromisoformat"] = outcome(lambda: READERS[name].fromisoformat(argument))
    agree(f"{name}({argument!r})", **results)


class Text(str):
    pass


def str_subclass(text: str) -> str:
    return Text(text)
