"""Decimal columns: convkern's float formatting processor against its pure
twin, and the general converter of `Numeric(scale)` (the compiled digit
arithmetic for plain text, else the general conversion) of the compiled
flavour against the pure one. Where the text has no more digits after the
point than the scale, the value must also be exactly what `Decimal` reads,
quantised to the scale.

Input: a byte for the scale, a byte for the kind of value, then the value."""

from __future__ import annotations

import decimal
import re

import orvane.convkern as compiled
import orvane.fallback.convkern as pure
from differential import Bytes, Mismatch, agree, normal, outcome
from orvane import flavours
from orvane.converters import Numeric, column_converter

FLAVOURS = {"compiled": flavours.compiled(), "pure": flavours.pure()}
# Plain text with at most this many whole digits is checked against Decimal.
PLAIN = re.compile(r"([+-]?)([0-9]{0,40})(?:\.([0-9]*))?")
EXACT = decimal.Context(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)
_converters: dict[tuple[str, int], object] = {}


def general(flavour: str, scale: int):
    key = (flavour, scale)
    if key not in _converters:
        _converters[key] = column_converter(Numeric(scale), FLAVOURS[flavour]).general
    return _converters[key]


def check(data: bytes) -> None:
    source = Bytes(data)
    scale = source.byte() % 12
    kind = source.byte() % 6
    if kind == 0:
        value = source.float()
        format_ = f"%.{scale}f"
        agree(
            f"DecimalResultProcessor({format_!r}).process({value!r})",
            compiled=outcome(lambda: compiled.DecimalResultProcessor(decimal.Decimal, format_).process(value)),
            pure=outcome(lambda: pure.DecimalResultProcessor(decimal.Decimal, format_).process(value)),
        )
    value = {0: lambda: source.float(), 1: source.int, 5: lambda: decimal.Decimal(source.text())}.get(kind, source.text)
    try:
        value = value()
    except decimal.InvalidOperation:
        value = source.text()
    results = {name: outcome(lambda name=name: general(name, scale)(value)) for name in FLAVOURS}
    agree(f"Numeric({scale}) of {value!r}", **results)
    plain = PLAIN.fullmatch(value) if type(value) is str else None
    if plain and (plain[2] or plain[3]) and len(plain[3] or "") <= scale and results["compiled"][0] == "value":
        expected = normal(decimal.Decimal(value).quantize(decimal.Decimal(1).scaleb(-scale), context=EXACT))
        if results["compiled"][1] != expected:
            raise Mismatch(f"Numeric({scale}) of {value!r}: {results['compiled'][1]!r}, Decimal says {expected!r}")
