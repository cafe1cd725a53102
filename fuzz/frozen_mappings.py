"""frozkern's immutabledict against its pure twin: construction from a
dict, from pairs, with keywords and from things that are neither; union and
merge_with with each kind of argument; then the result's items, lookups,
membership, comparison and repr. Values and messages must agree.

Input: bytes read as a series of small choices: keys from a small domain
whose members collide (1, 1.0, True; equal tuples; NaN), values, and which
operation to apply."""

from __future__ import annotations

import orvane.fallback.frozkern as pure
import orvane.frozkern as compiled
from differential import Bytes, agree, outcome

NAN = float("nan")
KEYS = [0, 1, 1.0, True, False, -1, 2**64, "a", "b", "é", "", (1, 2), (1, 2.0), None, NAN, b"a", frozenset({1}), "a\0b"]
UNHASHABLE = [[1], {"k": 1}, {1}]


class Odd:
    """Pairs that are no tuple, or a mapping whose items fail."""

    def __init__(self, items):
        self._items = items

    def keys(self):
        return [key for key, _ in self._items]

    def __getitem__(self, key):
        for stored, item in self._items:
            if stored is key or stored == key:
                return item
        raise KeyError(key)


def source_of(source: Bytes):
    """An argument for construction, union or merge_with."""
    kind = source.byte() % 9
    pairs = [(source.choice(KEYS), source.byte()) for _ in range(source.byte() % 5)]
    if kind == 0:
        return dict(pairs)
    if kind == 1:
        return pairs
    if kind == 2:
        return [list(pair) for pair in pairs]
    if kind == 3:
        return Odd(pairs)
    if kind == 4:
        return None
    if kind == 5:
        return [(source.choice(UNHASHABLE), 1)]
    if kind == 6:
        return [(1, 2, 3)]
    if kind == 7:
        return source.byte()
    return {}


def keywords_of(source: Bytes):
    return {name: source.byte() for name in source.choice([[], ["a"], ["a", "b"], ["é"]])}


def apply(module, steps):
    made = module.immutabledict(*steps[0][0], **steps[0][1])
    for operation, arguments, keywords in steps[1:]:
        if operation == "union":
            made = made.union(*arguments, **keywords)
        else:
            made = made.merge_with(*arguments)
    return made


def probe(made, key):
    return (made.items(), made.keys(), made.values(), len(made), repr(made), made.get(key, "-"), key in made,
            made == dict(made.items()), made != {}, outcome(lambda: made[key]))


def check(data: bytes) -> None:
    source = Bytes(data)
    first = source_of(source)
    steps = [((() if first is None else (first,)), keywords_of(source))]
    for _ in range(source.byte() % 4):
        if source.byte() % 2:
            argument = source_of(source)
            steps.append(("union", () if argument is None else (argument,), keywords_of(source)))
        else:
            steps.append(("merge_with", tuple(source_of(source) for _ in range(source.byte() % 3)), {}))
    key = source.choice(KEYS + UNHASHABLE)
    agree(
        f"{steps!r} then {key!r}",
        compiled=outcome(lambda: probe(apply(compiled, steps), key)),
        pure=outcome(lambda: probe(apply(pure, steps), key)),
    )
