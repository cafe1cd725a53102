"""The private readers the result layer uses for text: each gives exactly
what the reference gives (the interpreter's `fromisoformat`, or `Decimal`
quantised half to even) for every input, value or error alike."""

import datetime
import decimal
import gc
import weakref

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import orvane.convkern as native
import orvane.fallback.convkern as pure
from orvane import flavours
from orvane.converters import Numeric, column_converter


@pytest.fixture(params=[pytest.param(native, id="native"), pytest.param(pure, id="pure")])
def ck(request):
    return request.param


def outcome(call):
    """The value with its exact type and representation (the offset, the
    exponent and the sign of a zero included), or the error's type and text."""
    try:
        value = call()
    except Exception as error:
        return type(error), str(error)
    return type(value), repr(value)


READERS = [
    ("_iso_datetime", datetime.datetime.fromisoformat),
    ("_iso_date", datetime.date.fromisoformat),
    ("_iso_time", datetime.time.fromisoformat),
]


def digits(width, most=None):
    return st.integers(0, most if most is not None else 10**width - 1).map(lambda n: str(n).zfill(width))


DATES = st.one_of(
    st.builds(lambda y, m, d: f"{y}-{m}-{d}", digits(4), digits(2, 13), digits(2, 32)),
    st.builds(lambda y, m, d: f"{y}{m}{d}", digits(4), digits(2, 13), digits(2, 32)),
    st.sampled_from(["2024-02-29", "2023-02-29", "2000-02-29", "1900-02-29", "0000-01-01", "0001-01-01", "9999-12-31", "2024-W19-1", "2024-127"]),
)
FRACTIONS = st.one_of(st.just(""), st.builds(lambda mark, n: mark + "7" * n, st.sampled_from([".", ","]), st.integers(0, 9)), st.builds(lambda n: "." + str(n).zfill(6), st.integers(0, 999999)))
TIMES = st.one_of(
    st.builds(lambda h, m, s, f: f"{h}:{m}:{s}{f}", digits(2, 25), digits(2, 61), digits(2, 61), FRACTIONS),
    st.builds(lambda h, m: f"{h}:{m}", digits(2, 25), digits(2, 61)),
    st.builds(lambda h, m, s, f: f"{h}{m}{s}{f}", digits(2, 25), digits(2, 61), digits(2, 61), FRACTIONS),
    st.sampled_from(["24:00:00", "24:00:00.000000", "24:00:01", "23:59:60", "12", "1:02:03"]),
)
OFFSETS = st.one_of(
    st.just(""),
    st.just("Z"),
    st.builds(lambda sign, h, m: f"{sign}{h}:{m}", st.sampled_from("+-"), digits(2, 25), digits(2, 60)),
    st.builds(lambda sign, h, m: f"{sign}{h}{m}", st.sampled_from("+-"), digits(2, 25), digits(2, 60)),
    st.sampled_from(["+02:00:30", "+02:00:30.123456", "-05:30", "+0200", "Z+01:00"]),
)
AROUND = st.sampled_from(["", " ", "\t", "\n", "x", "garbage", "\0", "é", "٣"])
ISO_TEXTS = st.one_of(
    st.builds(lambda before, d, sep, t, offset, after: before + d + sep + t + offset + after, AROUND, DATES, st.sampled_from(["T", " ", "t", "_", "", "  ", "é"]), TIMES, OFFSETS, AROUND),
    st.builds(lambda before, d, after: before + d + after, AROUND, DATES, AROUND),
    st.builds(lambda before, t, offset, after: before + t + offset + after, AROUND, TIMES, OFFSETS, AROUND),
    st.text(max_size=30),
)


class Text(str):
    pass


@settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=ISO_TEXTS)
@example(text="2024-05-06T07:08:09.123456")
@example(text="2024-05-06 07:08:09")
@example(text="2024-05-06 07:08:09+02:00")
@example(text="2024-13-06 07:08:09")
@example(text="2024-05-06 24:00:00")
@example(text="07:08:09.123456")
@pytest.mark.parametrize("name, reference", READERS, ids=[name for name, _ in READERS])
def test_iso_readers_give_exactly_what_fromisoformat_gives(ck, name, reference, text):
    read = getattr(ck, name)
    assert outcome(lambda: read(text)) == outcome(lambda: reference(text))


@pytest.mark.parametrize("value", [None, b"2024-05-06", 20240506, Text("2024-05-06"), Text("2024-05-06 07:08:09"), Text("07:08:09")], ids=repr)
@pytest.mark.parametrize("name, reference", READERS, ids=[name for name, _ in READERS])
def test_iso_readers_refuse_and_accept_other_values_as_fromisoformat_does(ck, name, reference, value):
    read = getattr(ck, name)
    assert outcome(lambda: read(value)) == outcome(lambda: reference(value))


EXACT = decimal.Context(prec=decimal.MAX_PREC, rounding=decimal.ROUND_HALF_EVEN, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)


def quantised(scale):
    exponent = decimal.Decimal(1).scaleb(-scale)
    return lambda value: decimal.Decimal(value).quantize(exponent, context=EXACT)


def number_text(sign, whole, point, fraction):
    return sign + whole + (point + fraction if point else "")


# Ties are drawn on purpose: a fraction that stops at, or just past, a 5.
FRACTION_DIGITS = st.one_of(st.text("0123456789", max_size=12), st.builds(lambda head, tail: head + "5" + tail, st.text("0123456789", max_size=4), st.sampled_from(["", "0", "000", "0001", "9"])))
PLAIN_NUMBERS = st.builds(number_text, st.sampled_from(["", "+", "-"]), st.one_of(st.text("0123456789", max_size=12), st.text("09", min_size=20, max_size=60)), st.sampled_from(["", "."]), FRACTION_DIGITS)
NUMBER_TEXTS = st.one_of(
    PLAIN_NUMBERS,
    st.builds(lambda before, number, after: before + number + after, st.sampled_from(["", " ", "\t", "\n", "\u3000"]), PLAIN_NUMBERS, st.sampled_from(["", " ", "\n", "e3", "E-2", "e+400", "_0", "x"])),
    st.sampled_from(["NaN", "nan", "-NaN", "sNaN", "Infinity", "-inf", "+Inf", "infinity", "", ".", "-", "+.", "1.2.3", "1_000.5", "٣.٥", "١", "0x10", "--1"]),
    st.text(max_size=12),
)


@settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=NUMBER_TEXTS, scale=st.integers(0, 8))
@example(text="2.675", scale=2)
@example(text="-0.005", scale=2)
@example(text="99.995", scale=2)
@example(text="0.5", scale=0)
@example(text="1.5", scale=0)
@example(text="." + "9" * 50, scale=3)
@example(text="9" * 5000 + ".5", scale=0)
def test_decimal_text_gives_exactly_what_decimal_quantised_gives(ck, text, scale):
    general = quantised(scale)
    process = ck._DecimalTextProcessor(decimal.Decimal, scale, general).process
    assert outcome(lambda: process(text)) == outcome(lambda: general(text))


@pytest.mark.parametrize("scale", [-2, 1001, 10**6])
def test_scales_beyond_the_digit_path_go_to_general(ck, scale):
    calls = []

    def general(value):
        calls.append(value)
        return quantised(scale)(value)

    process = ck._DecimalTextProcessor(decimal.Decimal, scale, general).process
    assert outcome(lambda: process("12.5")) == outcome(lambda: quantised(scale)("12.5"))
    assert calls == ["12.5"]


@pytest.mark.parametrize("value", ["1.25", "-7", "1e3", " 1.5", "NaN", Text("1.5"), 1.25, 3, None, decimal.Decimal("2.5"), b"1.5"], ids=repr)
def test_only_plain_text_is_read_directly(ck, value):
    calls, texts = [], []

    def general(value):
        calls.append(value)
        return "general"

    def decimal_type(text):
        texts.append(text)
        return decimal.Decimal(text)

    result = ck._DecimalTextProcessor(decimal_type, 1, general).process(value)
    if type(value) is str and value in ("1.25", "-7"):
        assert (result, texts, calls) == ({"1.25": decimal.Decimal("1.2"), "-7": decimal.Decimal("-7.0")}[value], [{"1.25": "1.2", "-7": "-7.0"}[value]], [])
    else:
        assert (result, texts, calls) == ("general", [], [value])


def test_decimal_text_errors_pass_on(ck):
    def general(value):
        raise ZeroDivisionError(value)

    def refusing(text):
        raise LookupError(text)

    with pytest.raises(ZeroDivisionError):
        ck._DecimalTextProcessor(decimal.Decimal, 2, general).process("1e3")
    with pytest.raises(LookupError, match="^1.50$"):
        ck._DecimalTextProcessor(refusing, 2, general).process("1.5")
    with pytest.raises(TypeError):
        ck._DecimalTextProcessor(decimal.Decimal, 2.0, general)
    with pytest.raises(TypeError):
        ck._DecimalTextProcessor(decimal.Decimal, 2)


def test_a_decimal_text_processor_in_a_cycle_is_collected(ck):
    class Column:
        def __init__(self):
            self.processor = ck._DecimalTextProcessor(decimal.Decimal, 2, self.general)

        def general(self, value):
            return value

    column = Column()
    gone = weakref.ref(column)
    del column
    gc.collect()
    assert gone() is None


def numeric_reference(scale):
    """What a decimal column gives for a decimal value: NaN and the
    infinities as themselves (one NaN, unsigned and quiet), too many whole
    digits refused, every other value quantised half to even."""
    quantise = quantised(scale)

    def convert(value):
        if value.is_nan():
            return decimal.Decimal("NaN")
        if value.is_infinite():
            return decimal.Decimal("-Infinity" if value.is_signed() else "Infinity")
        if value.adjusted() >= 131072:
            raise ValueError("more than 131,072 digits before the point")
        return quantise(value)

    return convert


EDGE_DECIMALS = ["-0", "-0.005", "0.125", "2.675", "1e131071", "1e131072", "-9.99e131071", "1E+400", "1E-400", "sNaN", "-NaN", "-Infinity"]


@settings(max_examples=500, deadline=None)
@given(value=st.one_of(st.decimals(), st.sampled_from(EDGE_DECIMALS).map(decimal.Decimal)), scale=st.integers(0, 8))
def test_numeric_over_decimals_gives_exactly_the_quantised_decimal(value, scale):
    expected = outcome(lambda: numeric_reference(scale)(value))
    for flavour in (flavours.compiled(), flavours.pure()):
        convert = column_converter(Numeric(scale, round=True), flavour).processor_for({decimal.Decimal})
        assert outcome(lambda: convert(value)) == expected


class DecimalSubclass(decimal.Decimal):
    pass


@pytest.mark.parametrize(
    "value",
    [decimal.Decimal("1.005"), decimal.Decimal("-0"), decimal.Decimal("7E+3"), decimal.Decimal("1e131071"), decimal.Decimal("1e131072"), decimal.Decimal("-NaN"), decimal.Decimal("Infinity"), DecimalSubclass("2.5"), 1.5],
    ids=repr,
)
def test_finite_decimals_of_the_exact_type_are_quantised_directly(ck, value):
    calls = []

    def general(value):
        calls.append(value)
        return "general"

    result = ck._DecimalTextProcessor(decimal.Decimal, 2, general, decimal.Decimal("0.01"), EXACT).process(value)
    if type(value) is decimal.Decimal and value.is_finite() and value.adjusted() < 131072:
        assert (repr(result), calls) == (repr(quantised(2)(value)), [])
    else:
        assert (result, calls) == ("general", [value])


def test_the_given_context_quantises(ck):
    narrow = decimal.Context(prec=3, traps=[decimal.InvalidOperation])
    process = ck._DecimalTextProcessor(decimal.Decimal, 2, GENERAL, decimal.Decimal("0.01"), narrow).process
    assert repr(process(decimal.Decimal("1.234"))) == "Decimal('1.23')"
    with pytest.raises(decimal.InvalidOperation):
        process(decimal.Decimal("12345.6"))
    with pytest.raises(TypeError, match="both an exponent and a context"):
        ck._DecimalTextProcessor(decimal.Decimal, 2, GENERAL, decimal.Decimal("0.01"))


GENERAL = quantised(2)
TEXT = native._DecimalTextProcessor(decimal.Decimal, 2, GENERAL)
DECIMALS = native._DecimalTextProcessor(decimal.Decimal, 2, GENERAL, decimal.Decimal("0.01"), EXACT)
LEAK_OPERATIONS = [
    lambda: native._iso_datetime("2024-05-06T07:08:09.123456"),
    lambda: native._iso_datetime("2024-05-06 07:08:09+02:00"),
    lambda: native._iso_datetime("2024-02-30 07:08:09"),
    lambda: native._iso_date("2024-05-06"),
    lambda: native._iso_date(None),
    lambda: native._iso_time("07:08:09"),
    lambda: native._iso_time("07:08:09garbage"),
    lambda: TEXT.process("-12.345"),
    lambda: TEXT.process("9" * 100 + ".995"),
    lambda: TEXT.process("1e3"),
    lambda: TEXT.process("abc"),
    lambda: native._DecimalTextProcessor(decimal.Decimal, "x", GENERAL),
    lambda: native._DecimalTextProcessor(decimal.Decimal, 2, GENERAL),
    lambda: DECIMALS.process(decimal.Decimal("12.345")),
    lambda: DECIMALS.process(decimal.Decimal("NaN")),
    lambda: native._DecimalTextProcessor(decimal.Decimal, 2, GENERAL, decimal.Decimal("0.01"), EXACT),
    lambda: native._DecimalTextProcessor(decimal.Decimal, 2, GENERAL, decimal.Decimal("0.01")),
]


@pytest.mark.parametrize("operation", LEAK_OPERATIONS)
def test_no_leaks(assert_no_leak, operation):
    assert_no_leak(operation)
