from collections.abc import Callable, Iterator, Sequence
from typing import Any, final

from typing_extensions import Self, disjoint_base

_Processor = Callable[[Any], Any] | None

@disjoint_base
class BaseRow:
    """BaseRow is a abstract base class for Row"""

    def __init__(
        self,
        parent: Any,
        processors: list[_Processor] | tuple[_Processor, ...] | None,
        keymap: dict[Any, tuple[Any, ...]],
        key_style: int,
        row: Sequence[Any],
        /,
    ) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: Any, /) -> Any: ...
    # Columns are read as attributes.
    def __getattr__(self, name: str) -> Any: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __hash__(self) -> int: ...
    def _values_impl(self) -> list[Any]: ...
    def _get_by_key_impl(self, key: Any, /) -> Any: ...
    def _get_by_key_impl_mapping(self, key: Any, /) -> Any: ...
    def _filter_on_values(self, filters: list[_Processor] | tuple[_Processor, ...] | None, /) -> Any: ...
    @classmethod
    def _make_rows(
        cls,
        parent: Any,
        processors: list[_Processor] | tuple[_Processor, ...] | None,
        keymap: dict[Any, tuple[Any, ...]],
        key_style: int,
        rows: Sequence[Sequence[Any]],
        /,
    ) -> list[Self]: ...
    @classmethod
    def _make_rows_in_place(
        cls,
        parent: Any,
        processors: list[_Processor] | tuple[_Processor, ...] | None,
        keymap: dict[Any, tuple[Any, ...]],
        key_style: int,
        fetched: list[Any],
        /,
    ) -> tuple[int, BaseException | None]: ...
    def __reduce__(self) -> tuple[Callable[[type[BaseRow], Any], BaseRow], tuple[type[BaseRow], Any]]: ...
    _parent: Any
    _data: Sequence[Any]
    _keymap: dict[Any, tuple[Any, ...]]
    _key_style: int

@final
class tuplegetter:
    def __new__(cls, *items: Any) -> tuplegetter: ...
    def __call__(self, operand: Any, /, *ignored: Any) -> tuple[Any, ...]: ...
    def __reduce__(self) -> tuple[type[tuplegetter], tuple[Any, ...]]: ...

def safe_rowproxy_reconstructor(cls: type[BaseRow], state: Any, /) -> BaseRow: ...
def _make_objects(
    shape: tuple[int, type, tuple[Any, ...], tuple[Any, ...]],
    processors: list[_Processor] | tuple[_Processor, ...] | None,
    ready: tuple[type | None, ...] | None,
    not_none: tuple[bool, ...] | None,
    fetched: list[Any],
    made: list[Any],
    /,
) -> BaseException | None: ...
def _types_of(items: list[Any], index: int | None = None, /) -> set[type]: ...
