"""A state machine that builds rows and reads them while the keys, values,
processors, key styles and parents it hands them rewrite rows, keymaps,
parents and data from inside their callbacks, with the collector thrown in.

Every step runs in two worlds at once, one on the compiled rows and one on
the pure twins, and must give the same value or the same exception type in
both. After every step each row reads back what was last stored in it."""

import gc

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import orvane.engine.row as native_row
import orvane.fallback.row as pure_row
import orvane.fallback.rowkern as pure_rowkern
import orvane.rowkern as native_rowkern
from orvane.engine.result import ResultMetaData
from outcomes import outcome, pickled

ACTIONS = ["nothing", "data", "list data", "hostile data", "keymap", "hostile keymap", "parent", "style", "reinit", "collect", "drop", "class"]
STYLES = [0, 1, 2, 3, -1]
NAMES = ["a", "b", "zz", "amb"]


class World:
    """What the callbacks reach: the live rows and a bound on nesting."""

    def __init__(self, row_class, getter_class):
        self.row_class = row_class
        self.getter_class = getter_class
        # A hostile key is a different object in each world: the subclass
        # answers with what the worlds can be compared on.
        self.other_class = type("Other", (row_class,), {"__slots__": (), "_get_by_key_impl_mapping": lambda self, key: ("other", type(key).__name__)})
        self.rows = []
        self.depth = 0
        # id(row) -> (row, the values last stored in it, or UNKNOWN)
        self.stored = {}

    def store(self, row, values):
        self.stored[id(row)] = (row, values)

    def act(self, action, target, hostile=None):
        """Applies `action` to the row `target` picks, or to the row a
        hostile callback picked when it first struck."""
        if self.depth > 2:
            return
        row = hostile.row if hostile is not None else None
        if row is None:
            if not self.rows:
                return
            row = self.rows[target % len(self.rows)]
            if hostile is not None:
                hostile.row = row
        self.depth += 1
        try:
            self.apply(row, action, target)
        except Exception:
            pass
        finally:
            self.depth -= 1

    def apply(self, row, action, target):
        if action == "data":
            row._data = data = (target, "x", None)
            self.store(row, data)
        elif action == "list data":
            row._data = data = [target]
            self.store(row, data)
        elif action == "hostile data":
            row._data = HostileValues(self, ["data", "collect"], target)
            self.store(row, UNKNOWN)
        elif action == "keymap":
            row._keymap = {}
        elif action == "hostile keymap":
            row._keymap = self.keymap(["keymap", "reinit"], target)
        elif action == "parent":
            row._parent = HostParent(self, ["nothing"], target)
        elif action == "style":
            row._key_style = STYLES[target % len(STYLES)]
        elif action == "reinit":
            row.__init__(HostParent(self, ["drop"], target), None, self.keymap(["nothing"], target), target % 4, (1, 2))
            self.store(row, (1, 2))
        elif action == "collect":
            # The rows the machine just changed are young: a young collection
            # walks them at a fraction of a full one's cost.
            gc.collect(0)
        elif action == "drop":
            self.rows[:] = [other for other in self.rows if other is not row]
        elif action == "class":
            row.__class__ = self.other_class if target % 2 else self.row_class

    def keymap(self, actions, target):
        return {"a": (0,), "b": (HostileIndex(self, actions, target),), "amb": (None,), HostileKey(self, actions, target): (1,)}


class Hostile:
    """Runs all its planned actions on every callback, on the row it picked
    the first time. Each action leaves the same state however often it runs,
    so the flavours stay comparable where they call back a different number
    of times."""

    def __init__(self, world, actions, target):
        self.world = world
        self.actions = list(actions)
        self.target = target
        self.row = None

    def strike(self):
        for action in self.actions:
            self.world.act(action, self.target, self)


class HostileKey(Hostile):
    def __hash__(self):
        self.strike()
        return hash("a")

    def __eq__(self, other):
        self.strike()
        return self.target % 2 == 0


class HostileIndex(Hostile):
    def __index__(self):
        self.strike()
        return self.target % 3


class HostileValues(Hostile):
    def __len__(self):
        self.strike()
        return 3

    def __getitem__(self, index):
        self.strike()
        if isinstance(index, int) and not -3 <= index < 3:
            raise IndexError(index)
        return index

    def __iter__(self):
        self.strike()
        return iter([0, 1, 2])


class HostParent(ResultMetaData):
    __slots__ = ("hostile",)

    def __init__(self, world, actions, target):
        super().__init__({"a": (0,)}, ["a", "b", "c"])
        self.hostile = Hostile(world, actions, target)

    def _key_fallback(self, key, err):
        self.hostile.strike()
        return (self.hostile.target % 3,)

    def _raise_for_nonint(self, key):
        self.hostile.strike()
        raise TypeError("integers only")

    def _raise_for_ambiguous_column_name(self, record):
        self.hostile.strike()
        raise LookupError("ambiguous")

    def _warn_for_nonint(self, *key):
        self.hostile.strike()


UNKNOWN = object()


def processor(world, actions, target, outputs):
    """A processor that strikes, returns a live row for one target in three,
    and records what it returned."""
    hostile = Hostile(world, actions, target)

    def process(value):
        hostile.strike()
        result = world.rows[-1] if target % 3 == 0 and world.rows else value
        outputs.append(result)
        return result

    return process


PLANS = st.lists(st.sampled_from(ACTIONS), min_size=1, max_size=3)
TARGETS = st.integers(0, 50)

READERS = [
    lambda row, key: row[key],
    lambda row, key: row._get_by_key_impl(key),
    lambda row, key: row._get_by_key_impl_mapping(key),
    lambda row, key: getattr(row, key) if isinstance(key, str) else None,
    # Hostile values hash by identity, which differs between the worlds.
    lambda row, key: (len(row), hash(row) == hash(row._data)),
    lambda row, key: (list(row), row._values_impl(), key in row),
    lambda row, key: list(reversed(row)),
    lambda row, key: row._filter_on_values(None),
    lambda row, key: pickled(row),
]


def agree(outcomes):
    compiled, pure = outcomes
    assert compiled == pure


class RowMutations(RuleBasedStateMachine):
    @initialize()
    def start(self):
        self.worlds = [World(native_row.Row, native_rowkern.tuplegetter), World(pure_row.Row, pure_rowkern.tuplegetter)]

    def in_both(self, step):
        """The outcome of `step(world)` in each world, compared."""
        agree([outcome(lambda world=world: step(world)) for world in self.worlds])

    @rule(plan=PLANS, which=TARGETS, style=st.sampled_from(STYLES), hostile_style=st.booleans(), processed=st.booleans(), hostile_values=st.booleans())
    def build(self, plan, which, style, hostile_style, processed, hostile_values):
        def step(world):
            values = HostileValues(world, plan, which) if hostile_values else [which, "v", None]
            outputs = []
            processors = [processor(world, plan, which, outputs), None, processor(world, plan, which + 1, outputs)] if processed else None
            key_style = HostileIndex(world, plan, which) if hostile_style else style
            row = world.row_class(HostParent(world, plan, which), processors, world.keymap(plan, which), key_style, values)
            fetched = [0, 1, 2] if hostile_values else values  # what iterating the hostile values gives
            world.store(row, (outputs[0], fetched[1], outputs[1]) if processed else tuple(fetched))
            world.rows.append(row)
            return row

        self.in_both(step)

    @rule(plan=PLANS, which=TARGETS, processed=st.booleans(), count=st.integers(0, 4))
    def build_batch(self, plan, which, processed, count):
        def step(world):
            fetched = [[which + i, "v", None] for i in range(count)]
            # The processors also reshape the list of fetched rows as it is read.
            reshape = processor(world, plan, which, [])

            def reshaping(value):
                if fetched and reshape(value) is not value:
                    fetched.pop()
                return value

            processors = [reshaping, None, processor(world, plan, which + 1, [])] if processed else None
            rows = world.row_class._make_rows(HostParent(world, plan, which), processors, world.keymap(plan, which), 3, fetched)
            for row in rows:
                world.store(row, UNKNOWN)
            world.rows.extend(rows)
            return rows

        self.in_both(step)

    @rule(action=st.sampled_from(ACTIONS), which=TARGETS)
    def mutate(self, action, which):
        self.in_both(lambda world: world.act(action, which))

    @rule(which=TARGETS, reader=st.sampled_from(READERS), key=st.one_of(st.sampled_from(NAMES), st.integers(-4, 4), st.just(slice(None, None, -1)), st.just(("x", "y"))), plan=PLANS, hostile=st.booleans())
    def read(self, which, reader, key, plan, hostile):
        def step(world):
            if not world.rows:
                return None
            row = world.rows[which % len(world.rows)]
            return reader(row, HostileKey(world, plan, which) if hostile else key)

        self.in_both(step)

    @rule(which=TARGETS, keys=st.lists(st.one_of(st.sampled_from(NAMES), st.integers(-3, 3)), max_size=3), plan=PLANS, hostile=st.booleans())
    def get_several(self, which, keys, plan, hostile):
        def step(world):
            if not world.rows:
                return None
            getter = world.getter_class(*keys, *([HostileKey(world, plan, which)] if hostile else []))
            return getter(world.rows[which % len(world.rows)])

        self.in_both(step)

    @invariant()
    def rows_read_back_what_was_stored(self):
        for world in self.worlds:
            for row in world.rows:
                data = row._data
                if type(data) is HostileValues:
                    continue  # reading it would strike
                _, stored = world.stored[id(row)]
                values = tuple(row)
                assert len(row) == len(data) == len(values)
                assert all(value is item for value, item in zip(values, data))
                if stored is not UNKNOWN:
                    assert len(values) == len(stored) and all(value is item for value, item in zip(values, stored))

    @invariant()
    def the_worlds_hold_alike_rows(self):
        def rows(world):
            # Rows over hostile values are not read: reading them strikes.
            return [("hostile values",) if type(row._data) is HostileValues else row for row in world.rows]

        agree([outcome(lambda world=world: rows(world), by_identity=False) for world in self.worlds])

    def teardown(self):
        for world in getattr(self, "worlds", ()):
            world.rows.clear()
            world.stored.clear()
        gc.collect()


MACHINE_SETTINGS = settings(max_examples=40, stateful_step_count=15, deadline=None, suppress_health_check=list(HealthCheck))

TestRowMutations = RowMutations.TestCase
TestRowMutations.settings = MACHINE_SETTINGS
