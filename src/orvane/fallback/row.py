"""`Row` and `RowMapping` over the pure-Python `BaseRow`."""

from orvane.engine.row import MappingRow, TupleRow
from orvane.fallback.rowkern import BaseRow


class RowMapping(MappingRow, BaseRow):
    """A row read as a mapping from column keys to values."""

    __slots__ = ()
    __hash__ = None  # type: ignore[assignment]


class Row(TupleRow, BaseRow):
    """One result row: a tuple of its values, readable by position, by column
    name as an attribute, and by key through `_mapping`."""

    __slots__ = ()
    __hash__ = BaseRow.__hash__
    _mapping_class = RowMapping
