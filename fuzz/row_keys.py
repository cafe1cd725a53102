"""BaseRow key lookup against the pure twin: rows of generated values with
a result's keymap, made from column names that may repeat, then altered
(records of every shape, indexes out of range or of another type), read
with every key style by index, slice, name, attribute, mapping and the
tuplegetter. Values, warnings and messages must agree.

Input: bytes read as small choices: the columns, changes to the keymap, the
key style, then the keys."""

from __future__ import annotations

import warnings

import orvane.engine.row as compiled_rows
import orvane.fallback.row as pure_rows
from differential import Bytes, agree, outcome
from orvane import flavours
from orvane.engine.result import ResultMetaData

NAMES = ["a", "b", "id", "é", "count", "_parent", "__class__", "", "a b", "x" * 300, "keys"]
RECORDS = [(0, "a"), (1, "b"), (None, "a"), (7, "far"), (-1, "last"), ("0", "text"), (2**63, "huge"), (), (0,), [0, "list"], None, (True, "bool")]
KEYS = NAMES + ["missing", 0, 1, -1, 5, -9, 2**63, True, 1.0, None, (0,), ("a", "b"), b"a", slice(0, 2), slice(None, None, -1), slice("a"), [0]]
STYLES = [0, 1, 2, 3, 4, -1]
TUPLEGETTERS = {"compiled": flavours.compiled().tuplegetter, "pure": flavours.pure().tuplegetter}


def lookups(row, key, getter):
    reads = [lambda: row[key], lambda: row._get_by_key_impl(key), lambda: row._get_by_key_impl_mapping(key), lambda: getter(key)(row)]
    if isinstance(key, str):
        reads.append(lambda: getattr(row, key))
    reads.append(lambda: row._mapping[key])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        seen = [outcome(read) for read in reads]
    return seen, [(type(warning.message).__name__, str(warning.message)) for warning in caught]


def check(data: bytes) -> None:
    source = Bytes(data)
    names = [source.choice(NAMES) for _ in range(source.byte() % 5)]
    keymap = ResultMetaData.from_names(names)._keymap
    for _ in range(source.byte() % 3):
        keymap[source.choice(KEYS[:-1])] = source.choice(RECORDS)
    metadata = ResultMetaData(keymap, names)
    style = source.choice(STYLES)
    values = tuple(source.byte() for _ in names)
    keys = [source.choice(KEYS) for _ in range(source.byte() % 4 + 1)]
    for key in keys:
        agree(
            f"row {values!r} of {names!r}, keymap {keymap!r}, style {style}, key {key!r}",
            compiled=outcome(lambda: lookups(compiled_rows.Row(metadata, None, keymap, style, values), key, TUPLEGETTERS["compiled"])),
            pure=outcome(lambda: lookups(pure_rows.Row(metadata, None, keymap, style, values), key, TUPLEGETTERS["pure"])),
        )
