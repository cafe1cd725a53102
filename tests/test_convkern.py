import datetime
import decimal
import gc
import importlib.util
import subprocess
import sys
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvane.convkern as native
import orvane.fallback.convkern as pure


@pytest.fixture(params=[pytest.param(native, id="native"), pytest.param(pure, id="pure")])
def ck(request):
    return request.param


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class Sub(str):
    pass


@pytest.mark.parametrize("name", ["int_to_boolean", "to_str", "to_float", "str_to_datetime", "str_to_time", "str_to_date"])
def test_none_in_none_out(ck, name):
    assert getattr(ck, name)(None) is None


@pytest.mark.parametrize("value, expected", [(0, False), ("", False), (0.0, False), ([], False), (1, True), (2, True), (-1, True), ("0", True)])
def test_int_to_boolean(ck, value, expected):
    assert ck.int_to_boolean(value) is expected


def test_simple_converter_errors_pass_through(ck):
    with pytest.raises(ZeroDivisionError, match="no truth"):
        ck.int_to_boolean(Truthless())
    assert ck.to_str(b"x") == "b'x'" and ck.to_str(Sub("s")) == "s"
    assert ck.to_float("1.5") == 1.5 and ck.to_float(3) == 3.0
    assert raised(lambda: ck.to_float("abc")) == raised(lambda: float("abc"))


DT = datetime.datetime
@pytest.mark.parametrize(
    "text, expected",
    [
        ("2023-04-05 06:07:08", DT(2023, 4, 5, 6, 7, 8)),
        ("2023-04-05 06:07:08.123456", DT(2023, 4, 5, 6, 7, 8, 123456)),
        # Digits alone are a decimal fraction of a second.
        ("2023-04-05 06:07:08.5", DT(2023, 4, 5, 6, 7, 8, 500000)),
        ("2023-04-05 06:07:08.123", DT(2023, 4, 5, 6, 7, 8, 123000)),
        ("2023-04-05 06:07:08.05", DT(2023, 4, 5, 6, 7, 8, 50000)),
        ("2023-04-05 06:07:08.000250", DT(2023, 4, 5, 6, 7, 8, 250)),
        ("2023-04-05 06:07:08.1234567", DT(2023, 4, 5, 6, 7, 8, 123456)),
        ("2023-4-5 6:7:8.5+02:00", DT(2023, 4, 5, 6, 7, 8, 500000)),
        # A sign or skipped white space makes the field a count of microseconds.
        ("2023-04-05 06:07:08.+5", DT(2023, 4, 5, 6, 7, 8, 5)),
        ("2023-04-05 06:07:08.-0", DT(2023, 4, 5, 6, 7, 8)),
        ("2023-04-05 06:07:08.", DT(2023, 4, 5, 6, 7, 8)),
        ("2023-04-05 06:07:08+02:00", DT(2023, 4, 5, 6, 7, 8)),
        ("2023-4-5 6:7:8", DT(2023, 4, 5, 6, 7, 8)),
        ("2023-04-0506:07:08", DT(2023, 4, 5, 6, 7, 8)),
        (" 2023-04-05\t\n06:07:08. 7", DT(2023, 4, 5, 6, 7, 8, 7)),
        ("+999-04-05 06:07:08", DT(999, 4, 5, 6, 7, 8)),
        ("2023-04-05 06:07:08\0.5", DT(2023, 4, 5, 6, 7, 8)),
        (Sub("2023-04-05 06:07:08"), DT(2023, 4, 5, 6, 7, 8)),
    ],
)
def test_str_to_datetime(ck, text, expected):
    result = ck.str_to_datetime(text)
    assert type(result) is DT and result == expected and result.tzinfo is None


@pytest.mark.parametrize(
    "function, text, expected",
    [
        ("str_to_time", "06:07:08", datetime.time(6, 7, 8)),
        ("str_to_time", "06:07:08.000250", datetime.time(6, 7, 8, 250)),
        ("str_to_time", "06:07:08.123", datetime.time(6, 7, 8, 123000)),
        ("str_to_time", "6:7:8.5", datetime.time(6, 7, 8, 500000)),
        ("str_to_time", "06:07:08. 5", datetime.time(6, 7, 8, 5)),
        ("str_to_time", "06:07:08.+12", datetime.time(6, 7, 8, 12)),
        ("str_to_time", "06:07:08 PM", datetime.time(6, 7, 8)),
        ("str_to_date", "2023-04-05", datetime.date(2023, 4, 5)),
        ("str_to_date", "2023-04-05 06:07:08", datetime.date(2023, 4, 5)),
        ("str_to_date", "2023-4-5", datetime.date(2023, 4, 5)),
    ],
)
def test_time_and_date(ck, function, text, expected):
    result = getattr(ck, function)(text)
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize(
    "function, value, message",
    [
        ("str_to_datetime", "2023-04-05T06:07:08", "Couldn't parse datetime string: '2023-04-05T06:07:08'"),
        ("str_to_datetime", "2023-04-05", "Couldn't parse datetime string: '2023-04-05'"),
        ("str_to_datetime", "", "Couldn't parse datetime string: ''"),
        ("str_to_datetime", 5, "Couldn't parse datetime string '5' - value is not a string."),
        ("str_to_datetime", b"x", "Couldn't parse datetime string 'b'x'' - value is not a string."),
        ("str_to_datetime", "\x85", "Couldn't parse datetime string ''\\x85'' - value is not a string."),
        ("str_to_datetime", "2023-13-05 06:07:08", lambda: DT(2023, 13, 5, 6, 7, 8)),
        ("str_to_datetime", "2023-04-05 -6:07:08", lambda: DT(2023, 4, 5, -6, 7, 8)),
        ("str_to_datetime", "2023-04-05 06:07:08.-5", lambda: DT(2023, 4, 5, 6, 7, 8, -5)),
        ("str_to_time", "06:07", "Couldn't parse time string: '06:07'"),
        ("str_to_time", 5.5, "Couldn't parse time string '5.5' - value is not a string."),
        ("str_to_date", "20230405", "Couldn't parse date string: '20230405'"),
        ("str_to_date", "2023-04", "Couldn't parse date string: '2023-04'"),
        ("str_to_date", [1], "Couldn't parse date string '[1]' - value is not a string."),
        ("str_to_date", "0000-01-01", lambda: datetime.date(0, 1, 1)),
    ],
)
def test_parse_errors(ck, function, value, message):
    # A field out of range gets the datetime constructor's own error.
    expected = raised(message) if callable(message) else (ValueError, message)
    assert raised(lambda: getattr(ck, function)(value)) == expected


@pytest.mark.parametrize("function", ["str_to_datetime", "str_to_time", "str_to_date"])
def test_long_reprs_are_cut_and_unencodable_reprs_raise(ck, function):
    kind, message = raised(lambda: getattr(ck, function)("x" * 300))
    assert kind is ValueError and message.endswith(": '" + "x" * 199)
    kind, message = raised(lambda: getattr(ck, function)(list(range(100))))
    assert kind is ValueError and message.count(",") < 100 and "[0, 1, 2" in message
    assert raised(lambda: getattr(ck, function)("é"))[0] is UnicodeEncodeError

    class BadRepr:
        def __repr__(self):
            raise ZeroDivisionError("repr")

    assert raised(lambda: getattr(ck, function)(BadRepr())) == (ZeroDivisionError, "repr")


def test_docstrings():
    assert native.__doc__ == "Module containing C versions of data processing functions."
    assert native.str_to_date.__doc__ == "Convert an ISO string to a datetime.date object."
    assert native.to_float.__doc__ == "Convert any value to its floating point representation."
    assert native.UnicodeResultProcessor.__doc__ == "UnicodeResultProcessor objects"
    assert native.DecimalResultProcessor.__doc__ == "DecimalResultProcessor objects"
    assert native.UnicodeResultProcessor.__module__ == "orvane.convkern"
    assert native.DecimalResultProcessor.__module__ == "orvane" and native.DecimalResultProcessor.__name__ == "DecimalResultProcessor"
    assert native.UnicodeResultProcessor.process.__doc__ == native.DecimalResultProcessor.process.__doc__ == "The value processor itself."
    assert native.UnicodeResultProcessor.conditional_process.__doc__ == "Conditional version of the value processor."


# ---- UnicodeResultProcessor ------------------------------------------------


def test_unicode_processor_decodes(ck):
    p = ck.UnicodeResultProcessor("utf-8")
    assert p.process("café".encode()) == "café" and p.process(b"") == "" and p.process(b"a\0b") == "a\0b"
    s = Sub("kept")
    assert p.conditional_process(s) is s and p.conditional_process(b"x") == "x"
    assert ck.UnicodeResultProcessor(encoding="ascii", errors="replace").process(b"\xff") == "\ufffd"
    with pytest.raises(UnicodeDecodeError):
        ck.UnicodeResultProcessor("ascii").process(b"\xff")
    with pytest.raises(TypeError):
        p.process("text")
    with pytest.raises(TypeError):
        p.conditional_process(bytearray(b"x"))
    with pytest.raises(TypeError):
        p.process(memoryview(b"x"))


@pytest.mark.parametrize("encoding", ["utf-8", "utf8", "UTF-8", "latin-1"])
@pytest.mark.parametrize("errors", [None, "strict", "replace", "ignore", "surrogateescape", "backslashreplace"])
@pytest.mark.parametrize("data", [b"", b"a", b"plain ascii", "grüße".encode(), b"a\xffb\xc3", b"\xed\xa0\x80", b"x\0y"])
def test_unicode_processor_decodes_as_bytes_decode_does(ck, encoding, errors, data):
    p = ck.UnicodeResultProcessor(encoding) if errors is None else ck.UnicodeResultProcessor(encoding, errors)

    def described(call):
        try:
            return call()
        except UnicodeDecodeError as error:
            return type(error), str(error), error.start, error.end, error.reason

    assert described(lambda: p.process(data)) == described(lambda: data.decode(encoding, errors or "strict"))


def test_unicode_processor_configuration(ck):
    p = ck.UnicodeResultProcessor("no-such-codec")
    with pytest.raises(LookupError):
        p.process(b"x")
    assert p.process(None) is None
    with pytest.raises(TypeError):
        ck.UnicodeResultProcessor(b"utf-8")
    with pytest.raises(UnicodeEncodeError):
        ck.UnicodeResultProcessor("é")
    with pytest.raises(TypeError):
        ck.UnicodeResultProcessor("utf-8", None)
    with pytest.raises(ValueError, match="embedded null"):
        ck.UnicodeResultProcessor("latin-1\0x")
    p = ck.UnicodeResultProcessor("utf-8")
    p.__init__("latin-1")
    assert p.process("é".encode()) == "Ã©"
    with pytest.raises(UnicodeEncodeError):
        p.__init__("utf-8", "é")
    assert p.process(b"\xe9") == "é"  # the failed call kept the previous names


def test_error_handler_that_reinitialises_the_processor(ck):
    import codecs

    p = ck.UnicodeResultProcessor("ascii", "orvane-test-reinit")

    def handler(error):
        p.__init__("x" * 50, "y" * 50)
        return ("?", error.end)

    codecs.register_error("orvane-test-reinit", handler)
    assert p.process(b"a\xffb") == "a?b"


def test_uninitialised_processors_refuse_clearly(ck):
    for cls in (ck.UnicodeResultProcessor, ck.DecimalResultProcessor):
        p = cls.__new__(cls)
        assert p.process(None) is None
        with pytest.raises(RuntimeError, match="not been initialized"):
            p.process(b"x")
    u = ck.UnicodeResultProcessor.__new__(ck.UnicodeResultProcessor)
    assert u.conditional_process("s") == "s"
    with pytest.raises(RuntimeError, match="not been initialized"):
        u.conditional_process(b"x")


# ---- DecimalResultProcessor ------------------------------------------------


def test_decimal_processor(ck):
    p = ck.DecimalResultProcessor(decimal.Decimal, "%.10f")
    result = p.process(1.5)
    assert type(result) is decimal.Decimal and result == decimal.Decimal("1.5000000000") and str(result) == "1.5000000000"
    assert ck.DecimalResultProcessor(str, "%s").process((1, 2)) == "(1, 2)"
    assert ck.DecimalResultProcessor(str, "%s", extra=1).process(3) == "3"
    assert ck.DecimalResultProcessor(len, "%s").process("abc") == 3


FORMATS = ["%.0f", "%.2f", "%.10f", "%.15f", "%.16f", "%.02f", "%.015f", "%.\u0662f", "%.99f", "%.f", "%5.2f", "%.2F", "%.2e", "%.2g", "%+.2f", "%#.0f", "%.2f%%", "%s", "%r", "%d", "%x", "%c", "%*d", "%(a)s", "no conversion", "%s %s"]


def outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error), str(error)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 0.005, 2.675, 1e300, 5e-324, 65, True]), st.integers(-(10**20), 10**20)))
@pytest.mark.parametrize("fmt", FORMATS)
def test_decimal_processor_formats_as_percent_formatting_does(ck, fmt, value):
    process = ck.DecimalResultProcessor(str, fmt).process
    assert outcome(lambda: process(value)) == outcome(lambda: fmt % (value,))


# Fixed-point formats are written without the general formatting: exact
# halves (ties go to even), subnormals, and magnitudes around 2**77 where the
# direct arithmetic hands over.
fixed_point_values = st.one_of(
    st.builds(lambda k, e, sign: sign * k * 2.0**e, st.integers(0, 2**53), st.integers(-1080, 30), st.sampled_from([1, -1])),
    st.builds(lambda k, n: k / 10**n + 0.5 / 10**n, st.integers(-(10**9), 10**9), st.integers(0, 15)),
    st.floats(allow_nan=False, allow_infinity=False),
)


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=fixed_point_values, digits=st.integers(0, 17))
def test_fixed_point_formats_match_percent_formatting(ck, value, digits):
    fmt = f"%.{digits}f"
    assert ck.DecimalResultProcessor(str, fmt).process(value) == fmt % value


class Floaty(float):
    def __repr__(self):
        return "floaty"


class LoudFormat(str):
    def __mod__(self, values):
        return "the subclass's own __mod__"


class LoudBytes(bytes):
    def decode(self, *args):
        return "the subclass's own decode"


def test_processors_format_and_decode_subclasses_by_their_text(ck):
    assert ck.DecimalResultProcessor(str, LoudFormat("%s")).process(1.5) == "1.5"
    assert ck.DecimalResultProcessor(str, LoudFormat("%.1f")).process(2) == "2.0"
    unicode = ck.UnicodeResultProcessor("latin-1")
    assert unicode.process(LoudBytes(b"\xe9")) == unicode.conditional_process(LoudBytes(b"\xe9")) == "\xe9"


def test_decimal_processor_float_subclasses_and_str_subclass_formats(ck):
    assert ck.DecimalResultProcessor(str, "%.2f").process(Floaty(1.5)) == "1.50"
    assert ck.DecimalResultProcessor(str, "%s").process(Floaty(1.5)) == "floaty"
    assert ck.DecimalResultProcessor(decimal.Decimal, Sub("%.3f")).process(2.0) == decimal.Decimal("2.000")


def test_decimal_processor_failures(ck):
    calls = []
    p = ck.DecimalResultProcessor(calls.append, "%f")
    with pytest.raises(TypeError):
        p.process("text")
    for fmt in ("no conversion", "%s %s"):
        with pytest.raises(TypeError):
            ck.DecimalResultProcessor(calls.append, fmt).process(1)
    assert calls == []
    with pytest.raises(TypeError):
        ck.DecimalResultProcessor(decimal.Decimal, format="%f")
    with pytest.raises(TypeError):
        ck.DecimalResultProcessor(decimal.Decimal, 5)

    class Refuse:
        def __init__(self, text):
            raise ArithmeticError(text)

    with pytest.raises(ArithmeticError, match="1.00"):
        ck.DecimalResultProcessor(Refuse, "%.2f").process(1)


def test_decimal_processor_reinitialised_by_its_own_type(ck):
    p = ck.DecimalResultProcessor(str, "%s")

    def reinit(text):
        p.__init__(int, "%d")
        return "first:" + text

    p.__init__(reinit, "%s")
    assert p.process(5) == "first:5" and p.process(6) == 6


@pytest.mark.parametrize("finalised", ["type", "format"])
def test_decimal_processor_reinitialised_while_its_old_fields_are_freed(ck, finalised):
    seen = []

    class Format(str):
        def __del__(self):
            seen.append(p.process(0.125))

    class Type:
        def __call__(self, text):
            return text

        def __del__(self):
            seen.append(p.process(0.125))

    p = ck.DecimalResultProcessor(Type() if finalised == "type" else str, Format("%.2f") if finalised == "format" else "%.2f")
    p.__init__(repr, "%s")
    assert seen == ["'0.125'"]


def test_processors_subclass(ck):
    class Upper(ck.UnicodeResultProcessor):
        def process(self, value):
            return super().process(value).upper()

    class Money(ck.DecimalResultProcessor):
        pass

    assert Upper("utf-8").process(b"abc") == "ABC"
    assert Money(decimal.Decimal, "%.2f").process(2) == decimal.Decimal("2.00")


def test_a_processor_in_a_cycle_through_its_owner_is_collected(ck):
    # A column converting through its own bound method: column -> processor
    # -> bound method -> column.
    class Column:
        def __init__(self):
            self.processor = ck.DecimalResultProcessor(self.to_decimal, "%.2f")

        def to_decimal(self, text):
            return decimal.Decimal(text)

    column = Column()
    assert column.processor.process(1.005) == decimal.Decimal("1.00")
    gone = weakref.ref(column)
    del column
    gc.collect()
    assert gone() is None


def test_processors_show_the_collector_their_fields():
    def to_decimal(text):
        return text

    fmt = Sub("%s")
    assert gc.get_referents(native.DecimalResultProcessor(to_decimal, fmt)) == [to_decimal, fmt]
    assert [type(field) for field in gc.get_referents(native.UnicodeResultProcessor("latin-1"))] == [bytes, bytes]


def run_isolated(script):
    """Runs `script` in a fresh interpreter: a crash fails one test, not the run."""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout.split()


@pytest.mark.parametrize("link", ["DecimalResultProcessor", "Slotless"])
def test_a_million_chained_processors_are_freed(link):
    # Each processor is the only holder of the previous one. (Links through
    # objects the collector tracks are unrolled by the interpreter itself.)
    script = (
        "from orvane.convkern import DecimalResultProcessor\n"
        "class Slotless(DecimalResultProcessor):\n    __slots__ = ()\n"
        "previous = DecimalResultProcessor(str, '%s')\n"
        "for _ in range(1_000_000):\n"
        f"    previous = {link}(previous, '%s')\n"
        "del previous\n"
        "print('freed')\n"
    )
    assert run_isolated(script) == ["freed"]


def test_a_processor_with_a_finaliser_keeps_its_type_until_it_runs():
    seen = []

    class Watched(native.DecimalResultProcessor):
        def __del__(self):
            seen.append(self.process(7))

    inner = Watched(str, "%s")
    outer = native.DecimalResultProcessor(inner, "%s")
    del inner, outer
    assert seen == ["7"]


@pytest.mark.parametrize("flavour", ["convkern", "fallback.convkern"])
def test_processing_through_a_deep_chain_raises_recursion_error(flavour):
    script = (
        f"import orvane.{flavour} as ck\n"
        "previous = ck.DecimalResultProcessor(str, '%s')\n"
        "for _ in range(200_000):\n"
        "    previous = ck.DecimalResultProcessor(previous.process, '%s')\n"
        "try:\n"
        "    previous.process(1)\n"
        "except RecursionError:\n"
        "    print('RecursionError')\n"
    )
    assert run_isolated(script) == ["RecursionError"]


SUBINTERPRETER = """
try:
    import _interpreters as interpreters
    def legacy():
        return interpreters.create(interpreters.new_config("legacy"))
except ImportError:
    import _xxsubinterpreters as interpreters
    def legacy():
        return interpreters.create(isolated=False)

def run_in_new_interpreter(code):
    interpreter = legacy()
    failure = interpreters.run_string(interpreter, code)
    interpreters.destroy(interpreter)
    assert failure is None, failure
"""


@pytest.mark.skipif(
    not any(importlib.util.find_spec(name) for name in ("_interpreters", "_xxsubinterpreters")),
    reason="no sub-interpreters on this interpreter",
)
@pytest.mark.parametrize("main_imports_first", [False, True])
def test_parsers_build_values_of_the_calling_interpreter(main_imports_first):
    # The sub-interpreter reads the values it built without importing
    # datetime itself; the main interpreter parses after it is gone.
    check = (
        "import orvane.convkern as c\n"
        "d = c.str_to_datetime('2023-04-05 06:07:08.5')\n"
        "assert (d.year, d.microsecond, c.str_to_time('01:02:03').hour, c.str_to_date('2023-04-05').day) == (2023, 500000, 1, 5)\n"
        "assert c._iso_datetime('2023-04-05 06:07:08').hour == c._iso_datetime('2023-04-05T06:07:08+02:00').hour == 6\n"
        "assert c._iso_date('20230405').day == c._iso_date('2023-04-05').day == 5\n"
        "assert c._iso_time('01:02').hour == c._iso_time('01:02:03').hour == 1\n"
    )
    script = SUBINTERPRETER + ("import orvane.convkern\n" if main_imports_first else "") + (
        f"run_in_new_interpreter({check!r})\n"
        "import gc; gc.collect()\n"
        f"exec({check!r})\n"
        "print('ok')\n"
    )
    assert run_isolated(script) == ["ok"]


def test_import_fails_with_the_capsule_error_and_recovers():
    script = (
        "import sys\n"
        "sys.modules['datetime'] = None\n"
        "try:\n"
        "    import orvane.convkern\n"
        "except ImportError as error:\n"
        "    print('failed')\n"
        "del sys.modules['datetime']\n"
        "import orvane.convkern as c\n"
        "print(c.str_to_date('2023-04-05'))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout.split("\n")
    assert out[:2] == ["failed", "2023-04-05"]


# ---- leaks ---------------------------------------------------------------

U = native.UnicodeResultProcessor("utf-8")
D = native.DecimalResultProcessor(decimal.Decimal, "%.3f")

class ConvertingColumn:
    def __init__(self):
        self.processor = native.DecimalResultProcessor(self.to_decimal, "%.2f")

    def to_decimal(self, text):
        return decimal.Decimal(text)


LEAK_OPERATIONS = [
    ConvertingColumn,  # a cycle through the processor, freed by the collector
    lambda: (native.int_to_boolean(1), native.int_to_boolean(""), native.to_str(5), native.to_float("2")),
    lambda: native.int_to_boolean(Truthless()),
    lambda: native.to_float("abc"),
    lambda: native.str_to_datetime("2023-04-05 06:07:08.123"),
    lambda: native.str_to_datetime("2023-4-5 6:7:8"),
    lambda: native.str_to_datetime("2023-04-05T06:07:08"),
    lambda: native.str_to_datetime("2023-13-05 06:07:08"),
    lambda: native.str_to_datetime(5),
    lambda: native.str_to_datetime("é"),
    lambda: native.str_to_time("06:07:08.5"),
    lambda: native.str_to_time("06"),
    lambda: native.str_to_date("2023-04-05"),
    lambda: native.str_to_date(b"2023-04-05"),
    lambda: U.process(b"abc"),
    lambda: U.process("abc"),
    lambda: U.process(b"\xff"),
    lambda: U.conditional_process("abc"),
    lambda: native.UnicodeResultProcessor("nope").process(b"x"),
    lambda: native.UnicodeResultProcessor("utf-8", "replace").process(b"\xff"),
    lambda: native.UnicodeResultProcessor(b"x"),
    lambda: native.UnicodeResultProcessor("é"),
    lambda: native.UnicodeResultProcessor("utf-8", "é"),
    lambda: native.UnicodeResultProcessor("a\0b"),
    lambda: U.__init__("utf-8", "strict"),
    lambda: D.process(1.25),
    lambda: D.process("x"),
    lambda: D.__init__(decimal.Decimal, "%.3f"),
    lambda: native.DecimalResultProcessor(decimal.Decimal),
    lambda: native.DecimalResultProcessor(int, "%s").process("x"),
    lambda: native.UnicodeResultProcessor.__new__(native.UnicodeResultProcessor).process(b"x"),
    lambda: native.DecimalResultProcessor.__new__(native.DecimalResultProcessor).process(1),
]


@pytest.mark.parametrize("operation", LEAK_OPERATIONS)
def test_no_leaks(assert_no_leak, operation):
    assert_no_leak(operation)
