"""The two flavours of the accelerated pieces: the compiled modules and their
pure-Python twins. Both can be used side by side in one process."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from types import ModuleType
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from orvane.engine.row import Row


@dataclass(frozen=True)
class Flavour:
    name: str
    row_class: type[Row]
    tuplegetter: type
    converters: ModuleType
    immutabledict: type
    # The set of the types of a list's items, or of each item's value at an index.
    types_of: Callable[..., set[type]]
    # The base of a result's read methods, and the holder of its rows.
    result_base: type
    row_buffer: type
    # The builder of rows as instances of an application's class (see
    # orvane.row_classes).
    make_objects: Callable[..., tuple[int, BaseException | None]]


def compiled() -> Flavour:
    """The compiled modules; ImportError where they are not built."""
    from orvane import convkern, frozkern, rowkern
    from orvane.engine import row

    if not issubclass(row.Row, rowkern.BaseRow):
        raise ImportError("orvane.engine.row was loaded without the compiled row module")
    return Flavour(
        "compiled",
        row.Row,
        rowkern.tuplegetter,
        convkern,
        frozkern.immutabledict,
        rowkern._types_of,
        rowkern.BaseResult,
        rowkern.RowBuffer,
        rowkern._make_objects,
    )


def pure() -> Flavour:
    """The pure-Python twins, always available."""
    from orvane.fallback import convkern, frozkern, row, rowkern

    return Flavour(
        "pure",
        row.Row,
        rowkern.tuplegetter,
        convkern,
        frozkern.immutabledict,
        rowkern._types_of,
        rowkern.BaseResult,
        rowkern.RowBuffer,
        rowkern._make_objects,
    )


def preferred() -> Flavour:
    """The compiled flavour where it imports, else the pure one."""
    try:
        return compiled()
    except ImportError:
        return pure()

