"""The ISO parsers against the C library's own sscanf."""

import ctypes
import ctypes.util
import datetime
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvane.convkern as native
import orvane.fallback.convkern as pure

libc = ctypes.CDLL(ctypes.util.find_library("c"))

# The fraction field is framed by %n, which records how much of the text it
# consumed: digits alone are a decimal fraction of a second.
FORMATS = {
    "str_to_datetime": (b"%4u-%2u-%2u %2u:%2u:%2u.%n%6u%n", 7, range(6, 8), datetime.datetime, "datetime"),
    "str_to_time": (b"%2u:%2u:%2u.%n%6u%n", 4, range(3, 5), datetime.time, "time"),
    "str_to_date": (b"%4u-%2u-%2u", 3, range(3, 4), datetime.date, "date"),
}


def oracle(name, text):
    """What the parser must do with `text`: the value the C library's fields
    build, or the exception it must raise."""
    fmt, width, accepted, build, noun = FORMATS[name]
    encoded = text.encode("ascii")
    fields = [ctypes.c_uint(0) for _ in range(width)]
    start, end = ctypes.c_int(0), ctypes.c_int(0)
    pointers = [ctypes.byref(f) for f in fields]
    if width > 3:
        pointers[-1:] = [ctypes.byref(start), pointers[-1], ctypes.byref(end)]
    count = libc.sscanf(encoded, fmt, *pointers)
    if count not in accepted:
        return (ValueError, f"Couldn't parse {noun} string: {repr(text)[:200]}")
    if count == width and width > 3:
        fraction = encoded[start.value : end.value]
        if fraction.isdigit():
            fields[-1].value *= 10 ** (6 - len(fraction))
    signed = [ctypes.c_int(f.value).value for f in fields]
    try:
        return ("ok", build(*signed))
    except ValueError as error:
        return (ValueError, str(error))


def outcome(parser, text):
    try:
        return ("ok", parser(text))
    except ValueError as error:
        return (ValueError, str(error))


PIECES = st.sampled_from(
    ["0", "1", "2", "9", "12", "23", "59", "60", "2023", "20231", "04", "4", "31", "123456", "1234567", "000250",
     "05", "000", "-", ":", ".", " ", "  ", "\t", "\n", "T", "Z", "+", "+02:00", "-1", "+1", "x", "PM", "\0", ""]
)
SHAPED = st.lists(PIECES, max_size=16).map("".join)


def canonical(draw_datetime):
    return draw_datetime.isoformat(sep=" ")


CANONICAL = st.one_of(
    st.datetimes().map(lambda d: d.isoformat(sep=" ")),
    st.dates().map(str),
    st.times().map(str),
)


def mutated(text, data):
    """A canonical text with a few characters replaced, dropped or added."""
    chars = list(text)
    for _ in range(data.draw(st.integers(0, 3))):
        op = data.draw(st.sampled_from(["replace", "drop", "insert", "cut"]))
        if not chars:
            break
        i = data.draw(st.integers(0, len(chars) - 1))
        c = data.draw(st.sampled_from(list("0123456789 -:.T+\t\0x")))
        if op == "replace":
            chars[i] = c
        elif op == "drop":
            del chars[i]
        elif op == "insert":
            chars.insert(i, c)
        else:
            del chars[i:]
    return "".join(chars)


TEXTS = st.one_of(SHAPED, CANONICAL, st.text(alphabet=st.characters(max_codepoint=127), max_size=40))

# A debug build checks references and assertions; the release run explores.
EXAMPLES = 1000 if hasattr(sys, "gettotalrefcount") else 4000


@pytest.mark.parametrize("name", sorted(FORMATS))
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=TEXTS, data=st.data())
def test_parsers_follow_the_c_library(name, text, data):
    text = mutated(text, data) if data.draw(st.booleans()) else text
    expected = oracle(name, text)
    assert outcome(getattr(native, name), text) == expected, text
    assert outcome(getattr(pure, name), text) == expected, text


# ---- many texts, seeded --------------------------------------------------

ALPHABET = "0123456789-:. T+\t\0x"


def random_texts(seed, count):
    """Canonical texts with random damage, and random runs of date/time
    characters: mostly shapes the canonical reader must pass to sscanf."""
    import random

    rng = random.Random(seed)
    base = datetime.datetime(2000, 1, 1)
    for _ in range(count):
        moment = base + datetime.timedelta(seconds=rng.randrange(10**9), microseconds=rng.randrange(10**6))
        shape = rng.randrange(4)
        if shape == 0:
            text = moment.isoformat(sep=" ", timespec=rng.choice(["seconds", "microseconds", "milliseconds"]))
        elif shape == 1:
            text = rng.choice([moment.date().isoformat(), moment.time().isoformat()])
        elif shape == 2:
            text = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(30)))
            yield text
            continue
        else:
            text = moment.isoformat(sep=" ")[: rng.randrange(27)]
        chars = list(text)
        for _ in range(rng.randrange(3)):
            if chars:
                chars[rng.randrange(len(chars))] = rng.choice(ALPHABET)
        yield "".join(chars)


def test_parsers_follow_the_c_library_on_many_texts(request):
    count = request.config.getoption("--iso-texts")
    for name in sorted(FORMATS):
        parser = getattr(native, name)
        for text in random_texts(seed=sorted(FORMATS).index(name), count=count):
            expected = oracle(name, text)
            if outcome(parser, text) != expected:
                raise AssertionError(f"{name}({text!r}): {outcome(parser, text)} but the C library gives {expected}")


# ---- the result layer reads date and time text as fromisoformat does ------

from orvane import flavours  # noqa: E402
from orvane.results import ConversionError, Result  # noqa: E402


class OneValueCursor:
    def __init__(self, values):
        self.description = [("v", None, None, None, None, None, None)]
        self._rows = [(value,) for value in values]

    def fetchmany(self, size):
        taken, self._rows[:size] = self._rows[:size], []
        return taken


def read_by_the_layer(flavour, kind, text):
    try:
        return ("ok", Result(OneValueCursor([text]), {"v": kind}, flavour=flavour).fetchone().v)
    except ConversionError:
        return ("refused",)


def read_by_fromisoformat(kind, text):
    try:
        return ("ok", kind.fromisoformat(text))
    except ValueError:
        return ("refused",)


def comparable(outcome):
    """Values with their offsets, which == on aware values disregards."""
    if outcome[0] != "ok":
        return outcome
    value = outcome[1]
    offset = value.utcoffset() if not isinstance(value, datetime.date) or isinstance(value, datetime.datetime) else None
    return ("ok", type(value), value.isoformat(), offset)


FRACTION = st.builds(lambda mark, digits: mark + digits, st.sampled_from([".", ","]), st.text("0123456789", max_size=9)) | st.just("")
OFFSET = st.sampled_from(["", "Z", "z", "+02:00", "-05:30", "+0200", "-03", "+23:59:59", "+24:00", "+02:00:00.5", "+2:00", " +02:00"])
TRAILING = st.sampled_from(["", "", "", "x", " ", "garbage", "\n", "\0", "Z"])
DATE_TEXT = st.dates().map(datetime.date.isoformat) | st.dates().map(lambda d: d.strftime("%Y%m%d")) | st.sampled_from(["2024-02-30", "2024-W19-1", "2024-13-01", "0000-01-01"])
TIME_TEXT = st.builds(
    lambda t, cut, fraction, offset: t.strftime("%H:%M:%S")[:cut] + fraction + offset,
    st.times(),
    st.sampled_from([2, 5, 8, 8, 8]),
    FRACTION,
    OFFSET,
) | st.sampled_from(["24:00", "24:00:00", "07:08:60", "070809", "0708"])
ISO_TEXT = st.one_of(
    st.builds(lambda d, sep, t, tail: d + sep + t + tail, DATE_TEXT, st.sampled_from(["T", " ", "t", "_", ""]), TIME_TEXT, TRAILING),
    st.builds(str.__add__, DATE_TEXT, TRAILING),
    st.builds(str.__add__, TIME_TEXT, TRAILING),
)


@pytest.mark.parametrize("flavour", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(text=ISO_TEXT)
def test_the_layer_reads_text_as_fromisoformat(flavour, text):
    for kind in (datetime.datetime, datetime.date, datetime.time):
        assert comparable(read_by_the_layer(flavour(), kind, text)) == comparable(read_by_fromisoformat(kind, text)), (kind, text)


@pytest.mark.parametrize("flavour", [flavours.compiled, flavours.pure], ids=["compiled", "pure"])
def test_one_value_unlike_its_column_is_read_by_the_rule(flavour):
    texts = ["2024-05-06 07:08:09"] * 3000
    texts[1500] = "2024-05-06 07:08:09+02:00"
    result = Result(OneValueCursor(texts[:2000]), {"v": datetime.datetime}, flavour=flavour())
    values = [row.v for row in result]
    assert values[1500].utcoffset() == datetime.timedelta(hours=2) and values[1499].tzinfo is None
    texts[2000] = "2024-05-06 07:08:09 and more"
    with pytest.raises(ConversionError) as info:
        Result(OneValueCursor(texts), {"v": datetime.datetime}, flavour=flavour()).fetchall()
    assert info.value.row == 2000
