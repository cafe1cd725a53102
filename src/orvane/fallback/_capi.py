"""The interpreter functions whose documented behaviour the compiled modules
inherit, written in Python so the fallbacks behave alike."""

from __future__ import annotations

import operator
from typing import Any

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def as_int64(value: Any) -> int:
    """An int (or an object with __index__) that fits in 64 signed bits."""
    number = operator.index(value)
    if not _INT64_MIN <= number <= _INT64_MAX:
        raise OverflowError("int too big to convert")
    return number


def tuple_item(sequence: Any, index: int) -> Any:
    """Item access that refuses anything but a tuple and does not wrap
    negative indexes."""
    if not isinstance(sequence, tuple):
        raise SystemError("bad argument to internal function")
    if not 0 <= index < tuple.__len__(sequence):
        raise IndexError("tuple index out of range")
    return tuple.__getitem__(sequence, index)


def unpack_arguments(name: str, args: tuple[Any, ...], least: int, most: int) -> None:
    """Refuses an argument count outside least..most, naming `name`."""
    count = len(args)
    if least <= count <= most:
        return
    if least == most:
        bound, expected = "", least
    elif count < least:
        bound, expected = "at least ", least
    else:
        bound, expected = "at most ", most
    plural = "" if expected == 1 else "s"
    raise TypeError(f"{name} expected {bound}{expected} argument{plural}, got {count}")


def fast_sequence(value: Any, message: str) -> list[Any] | tuple[Any, ...]:
    """A list or tuple as it is; any other iterable collected into a list."""
    if type(value) is list or type(value) is tuple:
        return value
    try:
        iterator = iter(value)
    except TypeError:
        raise TypeError(message) from None
    return list(iterator)


_HEAPTYPE = 1 << 9
_IMMUTABLETYPE = 1 << 8


def type_name(value: Any) -> str:
    """The name the interpreter's C functions give the type of `value` in
    their messages: a class statement's own name; the module and name of a
    type made in C (decimal.Decimal), but for the builtins. Types made in C
    are the immutable ones."""
    kind = type(value)
    if not kind.__flags__ & _IMMUTABLETYPE or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def is_sequence(value: Any) -> bool:
    """True for objects whose type supports item access by index and that are
    not dictionaries.

    A class statement that defines `__getitem__` gives its type item access by
    index. A built-in type may offer `__getitem__` for keys alone (a mapping
    proxy, a frozen mapping, a generic alias); Python cannot see which, so a
    built-in counts as a sequence when it has a length and no `keys`.
    """
    if isinstance(value, dict):
        return False
    value_type = type(value)
    for cls in value_type.__mro__:
        if "__getitem__" in cls.__dict__:
            if cls.__flags__ & _HEAPTYPE:
                return True
            return hasattr(value_type, "__len__") and not hasattr(value_type, "keys")
    return False


def storage_length(sequence: list[Any] | tuple[Any, ...]) -> int:
    """The length of a list or tuple as stored, whatever a subclass overrides."""
    return list.__len__(sequence) if isinstance(sequence, list) else tuple.__len__(sequence)


def storage_item(sequence: list[Any] | tuple[Any, ...], index: int) -> Any:
    """An item of a list or tuple as stored, whatever a subclass overrides."""
    return list.__getitem__(sequence, index) if isinstance(sequence, list) else tuple.__getitem__(sequence, index)


def dict_get_swallowing_errors(mapping: dict[Any, Any], key: Any, missing: Any) -> Any:
    """A lookup in which errors of hashing or comparing count as a miss."""
    try:
        return dict.get(mapping, key, missing)
    except Exception:
        return missing
