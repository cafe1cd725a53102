"""Per-column converters for declared types.

Each declared type has a fast processor (one of the compiled or pure
converters) that is exact for some input types only, and a general
converter that looks at each value's type and handles every input it can
convert exactly. The result layer takes the fast one when it knows what the
driver delivers, and the general one where it does not.
"""

from __future__ import annotations

import datetime
import decimal
import enum
import json
import typing
import uuid
from collections.abc import Callable, Collection
from dataclasses import dataclass
from typing import Any

from orvane.flavours import Flavour

Processor = Callable[[Any], Any] | None

_NONE = type(None)
_TRUE_TEXTS = frozenset({"1", "true", "t", "yes"})
_FALSE_TEXTS = frozenset({"0", "false", "f", "no"})
# Quantising must never round away digits before the point, whatever the
# size of the value, so it runs with all the precision decimal allows. Every
# decimal operation of the layer names this context: the caller's thread
# context (its precision, its traps) never changes a value.
_EXACT = decimal.Context(
    prec=decimal.MAX_PREC,
    rounding=decimal.ROUND_HALF_EVEN,
    Emax=decimal.MAX_EMAX,
    Emin=decimal.MIN_EMIN,
    traps=[decimal.InvalidOperation, decimal.DivisionByZero, decimal.Overflow],
)


@dataclass(frozen=True)
class Numeric:
    """A decimal column: values become `decimal.Decimal` with `scale` digits
    after the point. Text, whole numbers and decimals with more digits that
    are not zeros are refused, unless `round` is true; floats are rounded
    half to even to the scale, since a float holds no exact decimal."""

    scale: int
    round: bool = False

    def __post_init__(self) -> None:
        if not isinstance(self.scale, int) or isinstance(self.scale, bool) or not 0 <= self.scale <= 100:
            raise ValueError(f"a decimal scale is a whole number from 0 to 100, not {self.scale!r}")
        if not isinstance(self.round, bool):
            raise TypeError(f"round is True or False, not {self.round!r}")


@dataclass(frozen=True)
class Timestamp:
    """A datetime column whose naive values are in the zone `tz`: naive text
    and naive datetimes become aware in `tz`; text with an offset keeps it."""

    tz: datetime.tzinfo

    def __post_init__(self) -> None:
        if not isinstance(self.tz, datetime.tzinfo):
            raise TypeError(f"Timestamp takes a datetime.tzinfo, such as datetime.UTC, not {self.tz!r}")


class Json:
    """Declares a JSON column: `types={"doc": Json}`. Text and bytes are
    parsed with the standard library's `json` rules; values a driver parsed
    already pass as they are."""

    def __new__(cls) -> Json:
        raise TypeError("Json declares a column type (types={'doc': Json}); it has no instances")


class ParsedJson:
    """What a driver delivers for a JSON column whose values it parses
    itself: dicts, lists, numbers, strings, truth values, all final."""


@dataclass(frozen=True)
class Delivered:
    """A reported column type that orvane reads only as the driver converts
    it (intervals as `datetime.timedelta`): values of `kind` pass, others are
    refused."""

    kind: type


class ConversionError(ValueError):
    """A fetched value that its column's declared type refused."""

    def __init__(self, column: str, value: Any, cause: BaseException | str, row: int | None = None):
        where = f"column {column!r}" if row is None else f"row {row}, column {column!r}"
        super().__init__(f"{where}: cannot convert {value!r}: {cause}")
        self.column = column
        self.value = value
        # The position of the value's row in the result, from 0.
        self.row = row


KNOWN_TYPES = (
    "datetime.datetime, datetime.date, datetime.time, bool, int, float, str, bytes, uuid.UUID, "
    "Numeric(scale), Timestamp(tz), Json, an enum.Enum class, or a function of your own"
)


class ApplicationRefusal(Exception):
    """An exception from an application's converter function, on its way to
    becoming the ConversionError that names the row and column."""

    def __init__(self, application: ApplicationFunction, value: Any, cause: Exception):
        super().__init__(cause)
        self.application = application
        self.value = value
        self.cause = cause


class ApplicationFunction:
    """An application's converter function, called once for each value that
    is not None. It keeps its latest value and result, so that a row built
    again after a refusal in a later column gets that result back instead of
    a second call."""

    __slots__ = ("function", "value", "result")

    def __init__(self, function: Callable[[Any], Any]):
        self.function = function
        self.value: Any = None
        self.result: Any = None

    def process(self, value: Any) -> Any:
        if value is None:
            return None
        try:
            result = self.function(value)
        except Exception as cause:
            raise ApplicationRefusal(self, value, cause) from cause
        self.value, self.result = value, result
        return result


@dataclass(frozen=True)
class ColumnConverter:
    """How one declared type is reached from the values a driver delivers.

    `fast` is exact for values whose type is in `fast_inputs`; values of a
    type in `ready` are already of the declared type and need nothing. A
    `strict` fast processor raises for every input it does not convert
    exactly, so it can run without looking at the values first. `general`
    converts any single value exactly or raises. `fast_without_none`, where
    there is one, is `fast` for values that are never None (it raises for
    None), and cheaper: a column starts with it, and where a None shows, its
    values are looked at chunk by chunk from then on.
    """

    declared: Any
    fast: Processor
    fast_inputs: frozenset[type]
    ready: frozenset[type]
    strict: bool
    general: Callable[[Any], Any]
    fast_without_none: Processor = None
    # The application's function, where the declared type is one.
    application: ApplicationFunction | None = None

    def processor_for(self, seen: Collection[type]) -> Processor:
        """The cheapest exact processor for a column whose values are of the
        types `seen` (None included or not)."""
        kinds = set(seen) - {_NONE}
        if kinds <= self.ready:
            return None
        if kinds <= self.fast_inputs:
            if self.fast_without_none is not None and _NONE not in seen:
                return self.fast_without_none
            return self.fast
        return self.general


def with_article(noun: str) -> str:
    """The noun after "a" or "an", as it is spelled."""
    return f"{'an' if noun[:1].lower() in 'aeiou' else 'a'} {noun}"


def _refuse(value: Any, declared: str) -> Any:
    raise TypeError(f"{with_article(type(value).__name__)} is not {declared}")


def _iso_parser(kind: type, flavour: Flavour) -> Callable[[str], Any]:
    """The reader of date and time text: exactly the running interpreter's
    `fromisoformat` of the type, aware where the text gives an offset (the
    compiled readers parse canonical text themselves and hand the rest to
    it)."""
    converters = flavour.converters
    readers: dict[type, Callable[[str], Any]] = {
        datetime.datetime: converters._iso_datetime,
        datetime.date: converters._iso_date,
        datetime.time: converters._iso_time,
    }
    return readers[kind]


def _none_or(parse: Callable[[Any], Any]) -> Callable[[Any], Any]:
    def process(value: Any) -> Any:
        return None if value is None else parse(value)

    return process


def _temporal(kind: type, parse: Callable[[Any], Any]) -> Callable[[Any], Any]:
    def convert(value: Any) -> Any:
        if value is None or type(value) is kind:
            return value
        if isinstance(value, str):
            return parse(value)
        return _refuse(value, with_article(kind.__name__))

    return convert


def _to_bool(value: Any) -> Any:
    if value is None or type(value) is bool:
        return value
    if type(value) is int:
        return value != 0
    if isinstance(value, str):
        spelled = value.strip().lower()
        if spelled in _TRUE_TEXTS:
            return True
        if spelled in _FALSE_TEXTS:
            return False
        raise ValueError("not a truth value: use 0/1, true/false, t/f or yes/no")
    return _refuse(value, "a bool")


def _to_int(value: Any) -> Any:
    if value is None or type(value) is int:
        return value
    if isinstance(value, str):
        return int(value)
    if isinstance(value, decimal.Decimal) and value.is_finite() and value == value.to_integral_value():
        return int(value)
    if isinstance(value, float) and value.is_integer():
        return int(value)
    return _refuse(value, "a whole number")


def _to_bytes(value: Any) -> Any:
    if value is None or type(value) is bytes:
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    return _refuse(value, "bytes")


def _to_str(decode: Callable[[Any], Any]) -> Callable[[Any], Any]:
    def convert(value: Any) -> Any:
        # A str subclass passes as it is, as it does through the fast processor.
        if value is None or isinstance(value, str):
            return value
        if isinstance(value, (bytes, bytearray, memoryview)):
            return decode(bytes(value))
        return _refuse(value, "a str")

    return convert


_NAN = decimal.Decimal("NaN")
_INFINITY = decimal.Decimal("Infinity")
_MINUS_INFINITY = decimal.Decimal("-Infinity")
# The most digits before the point a decimal column holds (as PostgreSQL's
# numeric does): '1e999999999' would otherwise be written out in full.
_MOST_WHOLE_DIGITS = 131072


def _to_decimal(exponent: decimal.Decimal, from_float: Callable[[Any], Any], rounds: bool) -> Callable[[Any], Any]:
    scale = -int(exponent.as_tuple().exponent)

    def convert(value: Any) -> Any:
        if value is None:
            return None
        if type(value) is float:
            return from_float(value)
        if isinstance(value, str):
            try:
                value = decimal.Decimal(value.strip(), _EXACT)
            except decimal.InvalidOperation:
                raise ValueError("not a decimal number") from None
        elif type(value) is int:
            value = decimal.Decimal(value)
        elif not isinstance(value, decimal.Decimal):
            return _refuse(value, "a decimal number")
        if not value.is_finite():
            # What a float's NaN and infinities become: one NaN, unsigned and quiet.
            return _NAN if value.is_nan() else _MINUS_INFINITY if value.is_signed() else _INFINITY
        if value.adjusted() >= _MOST_WHOLE_DIGITS:
            raise ValueError(f"more than {_MOST_WHOLE_DIGITS:,} digits before the point")
        quantized = value.quantize(exponent, None, _EXACT)
        if not rounds and quantized != value:
            raise ValueError(f"digits beyond the scale of {scale}: declare Numeric({scale}, round=True) to round them")
        return quantized

    return convert


def _to_uuid(value: Any) -> Any:
    if value is None or isinstance(value, uuid.UUID):
        return value
    if isinstance(value, str):
        return uuid.UUID(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return uuid.UUID(bytes=bytes(value))
    return _refuse(value, "a UUID")


# The values of a JSON document that a driver or the json module parsed:
# they pass as they are, where a str could be either text or a parsed string.
_PARSED_JSON = (dict, list, int, float)


def _to_json(value: Any) -> Any:
    if value is None or isinstance(value, _PARSED_JSON):
        return value
    if isinstance(value, (str, bytes, bytearray)):
        return json.loads(value)
    if isinstance(value, memoryview):
        return json.loads(bytes(value))
    return _refuse(value, "JSON text or a parsed JSON value")


def _to_timestamp(tz: datetime.tzinfo, parse: Callable[[str], Any]) -> Callable[[Any], Any]:
    def convert(value: Any) -> Any:
        if value is None:
            return None
        if isinstance(value, str):
            value = parse(value)
        elif type(value) is not datetime.datetime:
            return _refuse(value, "a datetime")
        return value if value.tzinfo is not None else value.replace(tzinfo=tz)

    return convert


def _to_enum(enum_class: type[enum.Enum], flavour: Flavour) -> Callable[[Any], Any]:
    """Members pass; other values are looked up by value, converted first to
    the type all member values share where they share a type the layer
    converts (text to an IntEnum's whole numbers, say)."""
    members = {member.value: member for member in enum_class}
    value_types = {type(value) for value in members}
    shared = value_types.pop() if len(value_types) == 1 else None
    to_value: Callable[[Any], Any] | None = None
    if shared in (int, str, float, bytes, uuid.UUID, bool):
        to_value = column_converter(shared, flavour).general

    def convert(value: Any) -> Any:
        if value is None or isinstance(value, enum_class):
            return value
        if to_value is not None and type(value) is not shared:
            value = to_value(value)
        if type(value) is shared:
            member = members.get(value)
            if member is not None:
                return member
        return enum_class(value)

    return convert


def _as_delivered(kind: type) -> Callable[[Any], Any]:
    def convert(value: Any) -> Any:
        if value is None or type(value) is kind:
            return value
        return _refuse(value, f"{with_article(kind.__name__)}, as the driver delivers the column")

    return convert


def _unknown_class(declared: type) -> str:
    name = f"{declared.__module__}.{declared.__qualname__}" if declared.__module__ != "builtins" else declared.__qualname__
    if declared is datetime.timedelta:
        hint = "; for an interval column the driver converts itself, read it with types=\"reported\""
    else:
        hint = ""
    return (
        f"no converter for the declared type {name}: orvane does not call a class it does not know on fetched values. "
        f"To convert with your own code, pass a function, e.g. types={{column: lambda value: {declared.__qualname__}(value)}}{hint}; "
        f"known types: {KNOWN_TYPES}"
    )


def column_converter(declared: Any, flavour: Flavour) -> ColumnConverter:
    """The converter for one declared column type; TypeError for a type
    that has none."""
    converters = flavour.converters
    if isinstance(declared, Numeric):
        from_float = converters.DecimalResultProcessor(decimal.Decimal, f"%.{declared.scale}f").process
        # Plain decimal text is read (rounded, or refused where it has more
        # digits) by the compiled modules' digit arithmetic, and finite
        # decimals quantised there, with the same result as the general
        # conversion, which takes every other value.
        exponent = decimal.Decimal(1).scaleb(-declared.scale, _EXACT)
        general = converters._DecimalTextProcessor(
            decimal.Decimal, declared.scale, _to_decimal(exponent, from_float, declared.round), exponent, _EXACT, not declared.round
        ).process
        return ColumnConverter(declared, from_float, frozenset({float}), frozenset(), False, general)
    if isinstance(declared, Timestamp):
        convert = _to_timestamp(declared.tz, _iso_parser(datetime.datetime, flavour))
        return ColumnConverter(declared, convert, frozenset({str, datetime.datetime}), frozenset(), True, convert)
    if isinstance(declared, Delivered):
        return ColumnConverter(declared, None, frozenset(), frozenset({declared.kind}), False, _as_delivered(declared.kind))
    if declared is Json:
        ready = frozenset({ParsedJson, dict, list, int, float, bool})
        return ColumnConverter(Json, _none_or(json.loads), frozenset({str, bytes, bytearray}), ready, False, _to_json, json.loads)
    if declared is uuid.UUID:
        return ColumnConverter(declared, None, frozenset(), frozenset({uuid.UUID}), False, _to_uuid)
    if isinstance(declared, type) and issubclass(declared, enum.Enum):
        convert = _to_enum(declared, flavour)
        return ColumnConverter(declared, None, frozenset(), frozenset({declared}), False, convert)
    if declared is decimal.Decimal:
        raise TypeError("declare a decimal column as Numeric(scale), giving the digits after the point")
    if declared in (datetime.datetime, datetime.date, datetime.time):
        parse = _iso_parser(declared, flavour)
        return ColumnConverter(
            declared, _none_or(parse), frozenset({str}), frozenset({declared}), True, _temporal(declared, parse), parse
        )
    if declared is str:
        decode = converters.UnicodeResultProcessor("utf-8").conditional_process
        return ColumnConverter(str, decode, frozenset({str, bytes}), frozenset({str}), True, _to_str(decode))
    if declared is float:
        # float() refuses whatever it cannot read as a number.
        to_float = converters.to_float
        return ColumnConverter(float, to_float, frozenset({float, int, str, decimal.Decimal}), frozenset({float}), True, to_float)
    if declared is bool:
        return ColumnConverter(bool, converters.int_to_boolean, frozenset({int, bool}), frozenset({bool}), False, _to_bool)
    if declared is int:
        return ColumnConverter(int, None, frozenset(), frozenset({int}), False, _to_int)
    if declared is bytes:
        return ColumnConverter(bytes, None, frozenset(), frozenset({bytes}), False, _to_bytes)
    if isinstance(declared, type):
        raise TypeError(_unknown_class(declared))
    if typing.get_origin(declared) is not None or hasattr(declared, "__supertype__") or isinstance(declared, typing.TypeVar):
        # Typing forms can be called, but convert nothing.
        raise TypeError(f"no converter for the declared type {declared!r}: declare the type it stands for; known types: {KNOWN_TYPES}")
    if callable(declared):
        application = ApplicationFunction(declared)
        process = application.process
        return ColumnConverter(declared, process, frozenset(), frozenset(), True, process, application=application)
    raise TypeError(f"no converter for the declared type {declared!r}; known types: {KNOWN_TYPES}")
