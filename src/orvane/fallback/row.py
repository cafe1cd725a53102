"""`Row` and `RowMapping` over the pure-Python `BaseRow`."""

from orvane.engine.row import row_classes
from orvane.fallback.rowkern import BaseRow

Row, RowMapping = row_classes(BaseRow, __name__)
