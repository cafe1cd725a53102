"""Rows as instances of the application's own classes (into=): every kind of
class, matching by name, types from the annotations, the same instances as
construction through the class, and no row lost, in both flavours, sync and
async, over sqlite3 and the drivers' table."""

import dataclasses
import datetime
import enum
import sqlite3
import typing
import uuid
from decimal import Decimal
from typing import Annotated, Any, NamedTuple, Optional

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_async import source, table  # noqa: F401  (fixture: the async drivers)
from test_drivers import COLUMNS, ROWS, flavour, postgres, postgres_dsn, query, typed  # noqa: F401

from orvane import row_classes
from orvane.results import AsyncResult, ConversionError, Json, MultipleRowsError, Numeric, Result, Timestamp


@dataclasses.dataclass(slots=True, frozen=True)
class Reading:
    """The drivers' table, every column typed by its annotation."""

    id: int
    name: str | None
    score: Optional[float]
    created: datetime.datetime | None
    day: datetime.date | None
    clock: datetime.time | None
    active: bool | None
    amount: Annotated[Decimal, Numeric(2)] | None
    payload: bytes | None


def values_of(instance):
    return tuple(getattr(instance, name) for name in COLUMNS.split(", "))


def test_every_driver_gives_the_declared_values(query, flavour):
    result = Result(query(f"select {COLUMNS} from t order by id"), into=Reading, flavour=flavour)
    rows = [result.fetchone(), *result.fetchmany(1), *result]
    assert all(type(row) is Reading for row in rows)
    assert typed(map(values_of, rows)) == typed(ROWS)


@pytest.mark.parametrize("read", ["iterate", "fetchall", "batches", "first", "one"])
async def test_async_drivers_give_the_declared_values(source, flavour, read):
    cursor = await table(source)
    result = AsyncResult(cursor, into=Reading, flavour=flavour)
    if read == "first":
        assert typed([values_of(await result.first())]) == typed(ROWS[:1])
        return
    if read == "one":
        with pytest.raises(MultipleRowsError):
            await result.one()
        return
    rows = {
        "iterate": lambda: _collect(result),
        "fetchall": result.fetchall,
        "batches": lambda: _flatten(result.batches(2)),
    }[read]
    assert typed(map(values_of, await rows())) == typed(ROWS)


async def _collect(result):
    return [row async for row in result]


async def _flatten(batches):
    return [row async for batch in batches for row in batch]


# ---- the kinds of class -------------------------------------------------------


@dataclasses.dataclass
class Plain:
    n: int
    word: str
    ratio: float = 0.5


@dataclasses.dataclass(frozen=True)
class Frozen:
    n: int
    word: str
    ratio: float = 0.5


@dataclasses.dataclass(slots=True)
class Slotted:
    n: int
    word: str
    ratio: float = 0.5


@dataclasses.dataclass(slots=True, frozen=True)
class FrozenSlotted:
    n: int
    word: str
    ratio: float = 0.5


@dataclasses.dataclass(kw_only=True, slots=True)
class KeywordsOnly:
    ratio: float = 0.5
    n: int
    word: str


@dataclasses.dataclass(slots=True)
class Checked:
    """Validates in __post_init__: refuses a negative n."""

    n: int
    word: str
    ratio: float = 0.5

    def __post_init__(self):
        if self.n < 0:
            raise ValueError(f"n is negative: {self.n}")
        self.word = self.word.upper()


@dataclasses.dataclass(slots=True)
class WithFactory:
    n: int
    word: str
    ratio: float = 0.5
    seen: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass(slots=True)
class Guarded:
    """A __setattr__ of its own: the constructor must run."""

    n: int
    word: str
    ratio: float = 0.5

    def __setattr__(self, name, value):
        object.__setattr__(self, name, value * 2 if name == "n" else value)


class Named(NamedTuple):
    n: int
    word: str
    ratio: float = 0.5


class Keywords:
    """A class of the application's own, its constructor taking keywords."""

    def __init__(self, *, n: int, word: str, ratio: float = 0.5):
        self.n, self.word, self.ratio = n, word, ratio

    def __eq__(self, other):
        return type(other) is Keywords and vars(other) == vars(self)


CLASSES = [Plain, Frozen, Slotted, FrozenSlotted, KeywordsOnly, Checked, WithFactory, Guarded, Named, Keywords]


@pytest.fixture
def connection():
    connection = sqlite3.connect(":memory:")
    connection.execute("create table w (n integer, word text, ratio real)")
    yield connection
    connection.close()


@pytest.mark.parametrize(
    "cls, how",
    [
        (Plain, row_classes.BY_KEYWORDS),
        (Slotted, row_classes.INTO_SLOTS),
        (FrozenSlotted, row_classes.INTO_SLOTS),
        (KeywordsOnly, row_classes.INTO_SLOTS),
        (Checked, row_classes.BY_KEYWORDS),
        (WithFactory, row_classes.BY_KEYWORDS),
        (Guarded, row_classes.BY_KEYWORDS),
        (Named, row_classes.AS_TUPLE),
        (Keywords, row_classes.BY_KEYWORDS),
    ],
)
def test_the_way_each_class_is_made(flavour, cls, how):
    assert row_classes.RowClass(cls, ["n", "word"], None, flavour).shape[0] == how


@settings(max_examples=60, deadline=None)
@given(
    rows=st.lists(
        st.tuples(st.integers(-(2**63), 2**63 - 1), st.text(max_size=8), st.floats(allow_nan=False) | st.integers(-5, 5)),
        max_size=30,
    ),
    cls=st.sampled_from(CLASSES),
    columns=st.sampled_from(["n, word, ratio", "word, n", "ratio, word, n"]),
)
def test_instances_are_what_construction_through_the_class_gives(rows, cls, columns):
    connection = sqlite3.connect(":memory:")
    try:
        connection.execute("create table w (n integer, word text, ratio real)")
        connection.executemany("insert into w values (?, ?, ?)", rows)
        sql = f"select {columns} from w"
        names = columns.split(", ")
        try:
            expected = [cls(**dict(zip(names, (float(v) if name == "ratio" else v for name, v in zip(names, values))))) for values in connection.execute(sql)]
        except ValueError:
            expected = None
        for make in (_compiled, _pure):
            if expected is None:
                with pytest.raises(ValueError, match="negative"):
                    Result(connection.execute(sql), into=cls, flavour=make()).fetchall()
                continue
            made = Result(connection.execute(sql), into=cls, flavour=make()).fetchall()
            assert made == expected and [type(instance) for instance in made] == [cls] * len(expected)
            if made and hasattr(cls, "__dataclass_fields__"):
                assert [dataclasses.astuple(instance) for instance in made] == [dataclasses.astuple(instance) for instance in expected]
                if cls.__dataclass_params__.frozen:
                    with pytest.raises(dataclasses.FrozenInstanceError):
                        made[0].n = 1
                else:
                    made[0].n = 1
                    assert made[0].n == (2 if cls is Guarded else 1)
    finally:
        connection.close()


def _compiled():
    from orvane import flavours

    return flavours.compiled()


def _pure():
    from orvane import flavours

    return flavours.pure()


def test_defaults_fill_fields_no_column_fills(connection, flavour):
    connection.execute("insert into w values (1, 'a', 2.5)")
    for cls in CLASSES:
        (made,) = Result(connection.execute("select word, n from w"), into=cls, flavour=flavour).fetchall()
        assert (made.n, made.word, made.ratio) == (2 if cls is Guarded else 1, "A" if cls is Checked else "a", 0.5)
    (factory,) = Result(connection.execute("select word, n from w"), into=WithFactory, flavour=flavour)
    assert factory.seen == []


@pytest.mark.parametrize(
    "sql, message",
    [
        ("select n from w", r"no column fills the field 'word'; the result's columns are \['n'\]"),
        ("select n, word, ratio, 1 as extra from w", r"no field takes the column 'extra'"),
        ("select n, word, n from w", r"several columns named 'n'"),
    ],
)
def test_columns_that_do_not_fit_are_refused_before_any_row_is_read(connection, flavour, sql, message):
    connection.execute("insert into w values (1, 'a', 2.5)")
    cursor = connection.execute(sql)
    for cls in (Slotted, Named, Keywords):
        with pytest.raises(TypeError, match=message):
            Result(cursor, into=cls, flavour=flavour)
    assert cursor.fetchone() is not None


def test_a_constructor_taking_any_keyword_takes_any_column(connection, flavour):
    class Loose:
        def __init__(self, n: int, **rest: Any):
            self.n, self.rest = n, rest

    connection.execute("insert into w values (1, 'a', 2.5)")
    (made,) = Result(connection.execute("select * from w"), into=Loose, flavour=flavour)
    assert (made.n, made.rest) == (1, {"word": "a", "ratio": 2.5})


@pytest.mark.parametrize("into", [None, 3, Slotted(1, "a")])
def test_into_is_a_class(connection, flavour, into):
    if into is None:
        assert Result(connection.execute("select * from w"), into=into, flavour=flavour).fetchall() == []
        return
    with pytest.raises(TypeError, match="into is a class"):
        Result(connection.execute("select * from w"), into=into, flavour=flavour)


# ---- types from the annotations ------------------------------------------------


@dataclasses.dataclass(slots=True)
class Order:
    id: int
    placed: datetime.datetime
    total: Annotated[Decimal, Numeric(2)]
    paid: bool
    note: str | None = None


@pytest.fixture
def orders():
    connection = sqlite3.connect(":memory:")
    connection.execute("create table orders (id integer, placed text, total real, paid integer, note text)")
    connection.executemany(
        "insert into orders values (?, ?, ?, ?, ?)",
        [(1, "2024-05-06 07:08:09", 12.5, 1, None), (2, "2024-05-07", 3.25, 0, "late"), (3, None, 1.0, 1, None)],
    )
    yield connection
    connection.close()


def test_annotations_declare_the_types(orders, flavour):
    result = Result(orders.execute("select * from orders where id < 3 order by id"), into=Order, flavour=flavour)
    first, second = result
    assert first == Order(1, datetime.datetime(2024, 5, 6, 7, 8, 9), Decimal("12.50"), True, None)
    assert second.paid is False and second.note == "late" and type(second.total) is Decimal


def test_types_override_the_annotations(orders, flavour):
    result = Result(orders.execute("select id, placed, total, paid from orders order by id"), {"placed": str, "total": Numeric(1)}, into=Order, flavour=flavour)
    assert [(order.placed, order.total) for order in result.fetchmany(2)] == [("2024-05-06 07:08:09", Decimal("12.5")), ("2024-05-07", Decimal("3.2"))]
    # The annotation still says whether the field takes None.
    with pytest.raises(ConversionError, match="row 2, column 'placed'"):
        result.fetchone()


def test_a_none_where_the_annotation_takes_none_is_refused_naming_row_and_column(orders, flavour):
    result = Result(orders.execute("select id, placed, total, paid from orders order by id"), into=Order, flavour=flavour)
    assert [order.id for order in result.fetchmany(2)] == [1, 2]
    with pytest.raises(ConversionError, match=r"row 2, column 'placed': cannot convert None: the field 'placed' of Order does not take None") as raised:
        result.fetchall()
    assert raised.value.row == 2 and raised.value.column == "placed" and raised.value.value is None


def test_any_and_object_convert_nothing_and_take_none(orders, flavour):
    @dataclasses.dataclass
    class Loose:
        id: Any
        placed: object
        total: "Any"

    made = Result(orders.execute("select id, placed, total from orders order by id"), into=Loose, flavour=flavour).fetchall()
    assert [(order.id, order.placed, order.total) for order in made] == [(1, "2024-05-06 07:08:09", 12.5), (2, "2024-05-07", 3.25), (3, None, 1.0)]


@pytest.mark.parametrize(
    "annotation, message",
    [
        (Decimal, r"plain Decimal, which gives no scale.*Annotated\[Decimal, Numeric\(scale\)\]"),
        (int | str, r"a union of int and str.*declare the column in types"),
        ("Missing", r"the annotation 'Missing' of the field 'total' cannot be resolved; declare the column in types"),
        (typing.List[int], r"cannot convert to.*no converter for the declared type"),
        (complex, r"annotated complex, which orvane cannot convert to"),
    ],
    ids=["plain decimal", "union", "unresolved", "generic", "unknown"],
)
def test_annotations_that_cannot_be_converted_exactly_are_refused(orders, flavour, annotation, message):
    cls = dataclasses.make_dataclass("Priced", [("id", int), ("total", annotation)])
    cursor = orders.execute("select id, total from orders")
    with pytest.raises(TypeError, match=message):
        Result(cursor, into=cls, flavour=flavour)
    # Declared in types, the column needs no annotation to convert.
    made = Result(cursor, {"total": Numeric(1)}, into=cls, flavour=flavour).fetchall()
    assert [order.total for order in made] == [Decimal("12.5"), Decimal("3.2"), Decimal("1.0")]


def test_a_validator_sees_every_row_once_and_none_is_lost(connection, flavour):
    connection.executemany("insert into w values (?, ?, ?)", [(1, "a", 0.0), (-2, "b", 0.0), (3, "c", 0.0)])
    result = Result(connection.execute("select n, word from w order by rowid"), into=Checked, flavour=flavour)
    assert [made.n for made in result.fetchmany(1)] == [1]
    with pytest.raises(ValueError, match="n is negative: -2"):
        result.fetchall()
    # The refused row waits first in line, as a refused value does.
    with pytest.raises(ValueError, match="n is negative"):
        list(result)


class Interrupting:
    """Stops the read once, at the second instance, as a signal would."""

    calls = 0

    def __init__(self, n: int, word: str):
        Interrupting.calls += 1
        if Interrupting.calls == 2:
            raise KeyboardInterrupt
        self.n, self.word = n, word


@pytest.mark.parametrize("read", ["fetchall", "iterate", "fetchmany"])
def test_an_interrupt_loses_no_row(connection, flavour, read):
    connection.executemany("insert into w values (?, ?, ?)", [(n, "w", 0.0) for n in range(1, 6)])
    Interrupting.calls = 0
    result = Result(connection.execute("select n, word from w order by n"), into=Interrupting, flavour=flavour)
    seen = []
    reads = {"fetchall": result.fetchall, "iterate": lambda: [seen.append(made.n) for made in result], "fetchmany": lambda: result.fetchmany(3)}
    with pytest.raises(KeyboardInterrupt):
        reads[read]()
    seen += [made.n for made in result.fetchall()]
    assert seen == [1, 2, 3, 4, 5]


def test_scalar_and_column_read_the_fields(orders, flavour):
    sql = "select id, placed, total, paid from orders where id < 3 order by id"
    assert Result(orders.execute(sql), into=Order, flavour=flavour).scalar() == 1
    assert list(Result(orders.execute(sql), into=Order, flavour=flavour).column("total")) == [Decimal("12.50"), Decimal("3.25")]
    assert list(Result(orders.execute(sql), into=Order, flavour=flavour).column(-1)) == [True, False]
    assert Result(orders.execute(sql + " limit 1"), into=Order, flavour=flavour).one().id == 1


def test_mappings_and_columns_of_instances_are_refused_before_any_row_is_read(orders, flavour):
    result = Result(orders.execute("select id, placed, total, paid from orders where id < 3"), into=Order, flavour=flavour)
    for read in (result.mappings, result.columns):
        with pytest.raises(TypeError, match="Order instances, not rows"):
            read()
    assert len(result.fetchall()) == 2


def test_postgres_reports_what_the_annotations_declare(postgres, flavour):
    postgres.execute("create temporary table p (id integer, total numeric(10, 2), at timestamp, note text)")
    postgres.execute("insert into p values (1, 12.34, '2024-01-02 03:04:05', null)")

    @dataclasses.dataclass(slots=True)
    class Priced:
        id: int
        total: Annotated[Decimal, Numeric(2)]
        at: datetime.datetime
        note: str | None

    (made,) = Result(postgres.execute("select * from p"), into=Priced, flavour=flavour)
    assert made == Priced(1, Decimal("12.34"), datetime.datetime(2024, 1, 2, 3, 4, 5), None)
    with pytest.raises(ConversionError, match="column 'note'"):
        Result(postgres.execute("select id, total, at, note from p"), into=dataclasses.make_dataclass("P", [("id", int), ("total", Annotated[Decimal, Numeric(2)]), ("at", datetime.datetime), ("note", str)]), flavour=flavour).fetchall()


# ---- the application's types as annotations -----------------------------------


class Colour(enum.Enum):
    RED = "red"
    BLUE = "blue"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


@dataclasses.dataclass(slots=True, frozen=True)
class Item:
    id: uuid.UUID
    colour: Colour
    level: Level | None
    doc: Annotated[dict[str, Any], Json]
    at: Annotated[datetime.datetime, Timestamp(datetime.UTC)]
    tags: list[str]


ITEM = uuid.UUID("12345678-1234-5678-1234-567812345678")


def parse_tags(text):
    return text.split(",")


def test_the_applications_types_as_annotations(flavour):
    connection = sqlite3.connect(":memory:")
    try:
        connection.execute("create table items (id text, colour text, level text, doc text, at text, tags text)")
        connection.executemany(
            "insert into items values (?, ?, ?, ?, ?, ?)",
            [(str(ITEM), "red", "2", '{"a": [1, 2.5]}', "2024-01-02 03:04:05", "x,y"), (ITEM.bytes, "blue", None, "{}", "2024-01-02T03:04:05+02:00", "")],
        )
        sql = "select * from items order by rowid"
        with pytest.raises(TypeError, match="field 'tags'"):
            Result(connection.execute(sql), into=Item, flavour=flavour)
        first, second = Result(connection.execute(sql), {"tags": parse_tags}, into=Item, flavour=flavour)
        assert first == Item(ITEM, Colour.RED, Level.HIGH, {"a": [1, 2.5]}, datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.UTC), ["x", "y"])
        assert second.id == ITEM and second.level is None and second.at.utcoffset() == datetime.timedelta(hours=2) and second.tags == [""]
        connection.execute("insert into items values ('no uuid', 'red', null, '{}', '2024-01-02', 'a')")
        result = Result(connection.execute(sql), {"tags": parse_tags}, into=Item, flavour=flavour)
        assert len(result.fetchmany(2)) == 2
        with pytest.raises(ConversionError, match="row 2, column 'id'"):
            result.fetchall()
    finally:
        connection.close()


def test_an_applications_function_runs_once_per_value_where_a_later_field_refuses(flavour):
    calls = []

    def counted(text):
        calls.append(text)
        return text.upper()

    @dataclasses.dataclass(slots=True)
    class Tagged:
        tag: str
        n: int

    connection = sqlite3.connect(":memory:")
    try:
        rows = [("a", 1), ("b", None), ("c", 3)]
        result = Result(connection.execute("select ? as tag, ? as n union all select ?, ? union all select ?, ?", [v for row in rows for v in row]), {"tag": counted}, into=Tagged, flavour=flavour)
        with pytest.raises(ConversionError, match="row 1, column 'n': cannot convert None"):
            result.fetchall()
        assert calls == ["a", "b"]
    finally:
        connection.close()
