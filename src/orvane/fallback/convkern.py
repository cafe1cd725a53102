"""Pure-Python converters and result processors.

The ISO parsers read text by the rules of the C library's sscanf with the
formats "%4u-%2u-%2u %2u:%2u:%2u.%6u", "%2u:%2u:%2u.%6u" and "%4u-%2u-%2u".
"""

from __future__ import annotations

import datetime
import re
from collections.abc import Callable
from typing import Any, TypeVar

from orvane.fallback._capi import as_int64

_T = TypeVar("_T")
_C_SPACE = " \t\n\v\f\r"
_UINT_MODULUS = 2**32

# A format as directives: an int is an unsigned conversion of that width,
# " " a run of white space, any other character a literal to match.
_DATETIME_FORMAT = (4, "-", 2, "-", 2, " ", 2, ":", 2, ":", 2, ".", 6)
_TIME_FORMAT = (2, ":", 2, ":", 2, ".", 6)
_DATE_FORMAT = (4, "-", 2, "-", 2)
_FRACTION = (".", 6)


def scan_unsigned(text: str, directives: tuple[Any, ...]) -> tuple[int, list[int], list[str]]:
    """What sscanf returns for `text` (read up to its first NUL), the fields
    it assigned, as unsigned 32-bit values, and the text each field consumed
    (white space it skipped included)."""
    text = text.split("\0", 1)[0]
    position, fields, consumed = 0, list[int](), list[str]()
    for directive in directives:
        if directive == " ":
            while position < len(text) and text[position] in _C_SPACE:
                position += 1
            continue
        if isinstance(directive, str):
            if position >= len(text):
                break
            if text[position] != directive:
                break
            position += 1
            continue
        field_start = position
        while position < len(text) and text[position] in _C_SPACE:
            position += 1
        if position >= len(text):
            return (len(fields) if fields else -1), fields, consumed
        end, negative = position, False
        if text[end] in "+-":
            negative = text[end] == "-"
            end += 1
        digits_start = end
        while end < len(text) and end - position < directive and "0" <= text[end] <= "9":
            end += 1
        if end == digits_start:
            break
        value = int(text[digits_start:end])
        fields.append((-value if negative else value) % _UINT_MODULUS)
        consumed.append(text[field_start:end])
        position = end
    return len(fields), fields, consumed


def _fraction_microseconds(field: int, consumed: str) -> int:
    """A fraction read from digits alone is a decimal fraction of a second;
    one read with a sign or after white space counts microseconds."""
    if consumed.isascii() and consumed.isdigit():
        scale: int = 10 ** (6 - len(consumed))  # at most six digits are read
        return field * scale
    return field


def _signed(field: int) -> int:
    return field - _UINT_MODULUS if field >= 2**31 else field


def _raise_with_repr(value: Any, message: str) -> None:
    shown = repr(value).encode("ascii").decode("ascii")
    raise ValueError(message % shown[:200])


def _parse(value: Any, directives: tuple[Any, ...], noun: str, accepted: range, build: Callable[..., _T]) -> _T | None:
    """One parse: the fields read, a field left unread as 0 (the microsecond
    only, in the accepted counts), handed to `build` as signed values."""
    if value is None:
        return None
    if not isinstance(value, str) or not value.isascii():
        _raise_with_repr(value, f"Couldn't parse {noun} string '%s' - value is not a string.")
    count, fields, consumed = scan_unsigned(value, directives)
    if count not in accepted:
        _raise_with_repr(value, f"Couldn't parse {noun} string: %s")
    if directives[-2:] == _FRACTION and count == accepted[-1]:
        fields[-1] = _fraction_microseconds(fields[-1], consumed[-1])
    fields += [0] * (accepted[-1] - len(fields))
    return build(*map(_signed, fields))


def int_to_boolean(value: Any) -> bool | None:
    """Convert an integer to a boolean."""
    return None if value is None else bool(value)


def to_str(value: Any) -> str | None:
    """Convert any value to its string representation."""
    return None if value is None else str(value)


def to_float(value: Any) -> float | None:
    """Convert any value to its floating point representation."""
    return None if value is None else float(value)


def str_to_datetime(value: Any) -> datetime.datetime | None:
    """Convert an ISO string to a datetime.datetime object."""
    return _parse(value, _DATETIME_FORMAT, "datetime", range(6, 8), datetime.datetime)


def str_to_time(value: Any) -> datetime.time | None:
    """Convert an ISO string to a datetime.time object."""
    return _parse(value, _TIME_FORMAT, "time", range(3, 5), datetime.time)


def str_to_date(value: Any) -> datetime.date | None:
    """Convert an ISO string to a datetime.date object."""
    return _parse(value, _DATE_FORMAT, "date", range(3, 4), datetime.date)


_DEFAULT_ERRORS: Any = object()
_NOT_INITIALIZED = "the processor has not been initialized: call __init__ first"


def _codec_name(name: str) -> str:
    name.encode("ascii")
    if "\0" in name:
        raise ValueError("embedded null character in codec or error handler name")
    return str(name)


class UnicodeResultProcessor:
    """UnicodeResultProcessor objects"""

    __slots__ = ("_encoding", "_errors")

    def __init__(self, encoding: str, errors: Any = _DEFAULT_ERRORS, *extra: Any) -> None:
        if extra:
            raise TypeError(f"__init__() takes at most 2 arguments ({2 + len(extra)} given)")
        if not isinstance(encoding, str):
            raise TypeError(f"__init__() argument 1 must be str, not {type(encoding).__name__}")
        if errors is not _DEFAULT_ERRORS and not isinstance(errors, str):
            raise TypeError(f"__init__() argument 2 must be str, not {type(errors).__name__}")
        encoding = _codec_name(encoding)
        errors = "strict" if errors is _DEFAULT_ERRORS else _codec_name(errors)
        self._encoding, self._errors = encoding, errors

    def _decode(self, value: Any) -> str:
        try:
            encoding, errors = self._encoding, self._errors
        except AttributeError:
            raise RuntimeError(_NOT_INITIALIZED) from None
        if not isinstance(value, bytes):
            raise TypeError(f"expected bytes, {type(value).__name__} found")
        # The bytes themselves are decoded: a subclass's own decode is not asked.
        return bytes.decode(value, encoding, errors)

    def process(self, value: Any) -> str | None:
        """The value processor itself."""
        return None if value is None else self._decode(value)

    def conditional_process(self, value: Any) -> str | None:
        """Conditional version of the value processor."""
        if value is None or isinstance(value, str):
            return value
        return self._decode(value)


class DecimalResultProcessor:
    """DecimalResultProcessor objects"""

    __slots__ = ("_type", "_format")

    def __init__(self, *args: Any, **ignored: Any) -> None:
        if len(args) != 2:
            raise TypeError(f"function takes exactly 2 arguments ({len(args)} given)")
        type_, format_ = args
        if not isinstance(format_, str):
            raise TypeError(f"argument 2 must be str, not {type(format_).__name__}")
        # The old fields are freed only once both new ones are in place: a
        # finaliser they run may use this processor.
        old_fields = (getattr(self, "_type", None), getattr(self, "_format", None))
        self._type, self._format = type_, format_
        del old_fields

    def process(self, value: Any) -> Any:
        """The value processor itself."""
        if value is None:
            return None
        try:
            type_, format_ = self._type, self._format
        except AttributeError:
            raise RuntimeError(_NOT_INITIALIZED) from None
        # The format's text is applied: a subclass's own __mod__ is not asked.
        return type_(str.__mod__(format_, (value,)))


# The readers of date and time text used by the result layer: exactly the
# interpreter's own, which the compiled ones reproduce.
_iso_datetime = datetime.datetime.fromisoformat
_iso_date = datetime.date.fromisoformat
_iso_time = datetime.time.fromisoformat

_MAX_TEXT_SCALE = 1000
# Texts with more digits before the point go to `general`, which refuses
# values too large for a decimal column.
_MAX_WHOLE_DIGITS = 131072
_PLAIN_DECIMAL = re.compile(r"([+-]?)([0-9]*)(?:\.([0-9]*))?")


def _increment(digits: str) -> str:
    """The decimal digits of one more than `digits` (which may be empty)."""
    kept = digits.rstrip("9")
    nines = len(digits) - len(kept)
    if not kept:
        return "1" + "0" * nines
    return kept[:-1] + chr(ord(kept[-1]) + 1) + "0" * nines


def _rounded_decimal_text(sign: str, whole: str, fraction: str, scale: int) -> str:
    """Plain decimal text rounded to `scale` digits after the point, half to
    even, by digit arithmetic: the minus sign where given, the whole digits
    without leading zeros (at least one), then the point and `scale` digits."""
    kept = whole.lstrip("0") + fraction[:scale].ljust(scale, "0")
    dropped = fraction[scale:]
    if dropped and (dropped[0] > "5" or (dropped[0] == "5" and (dropped[1:].strip("0") or kept[-1:] in tuple("13579")))):
        kept = _increment(kept)
    digits = kept.rjust(scale + 1, "0")
    whole_out, fraction_out = digits[: len(digits) - scale], digits[len(digits) - scale :]
    return ("-" if sign == "-" else "") + whole_out + ("." + fraction_out if scale else "")


class _DecimalTextProcessor:
    """Plain decimal text to a quantised decimal; everything else to `general`."""

    __slots__ = ("_decimal_type", "_scale", "_general", "_exponent", "_context", "_exact")

    def __init__(
        self,
        decimal_type: Callable[[str], Any],
        scale: int,
        general: Callable[[Any], Any],
        exponent: Any = None,
        context: Any = None,
        exact: Any = False,
    ) -> None:
        if (exponent is None) != (context is None):
            raise TypeError("give both an exponent and a context, or neither")
        self._decimal_type = decimal_type
        self._scale = as_int64(scale)
        self._general = general
        self._exponent = exponent
        self._context = context
        # An exact processor rounds nothing: what would be rounded goes to `general`.
        self._exact = bool(exact)

    def process(self, value: Any) -> Any:
        """The value processor itself."""
        if type(value) is str and value.isascii() and 0 <= self._scale <= _MAX_TEXT_SCALE:
            plain = _PLAIN_DECIMAL.fullmatch(value)
            if (
                plain is not None
                and (plain[2] or plain[3])
                and len(plain[2]) <= _MAX_WHOLE_DIGITS
                and not (self._exact and (plain[3] or "")[self._scale :].strip("0"))
            ):
                return self._decimal_type(_rounded_decimal_text(plain[1], plain[2], plain[3] or "", self._scale))
        if self._exponent is not None and type(value) is self._decimal_type and value.is_finite():
            adjusted = value.adjusted()
            if type(adjusted) is int and adjusted < _MAX_WHOLE_DIGITS:
                quantized = value.quantize(self._exponent, None, self._context)
                if not self._exact or quantized == value:
                    return quantized
        return self._general(value)
