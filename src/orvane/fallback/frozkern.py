"""Pure-Python `immutabledict`."""

from __future__ import annotations

import operator as _operator
from typing import Any

from orvane.fallback._capi import unpack_arguments


def _missing_key(key: Any) -> KeyError:
    if isinstance(key, str):
        try:
            return KeyError(key.encode("utf-8").decode("utf-8"))
        except UnicodeEncodeError:
            pass
    return KeyError(key)


class immutabledict:
    """immutable dictionary"""

    __slots__ = ("_dict",)
    _dict: dict[Any, Any]

    def __new__(cls, *args: Any, **kwargs: Any) -> immutabledict:
        unpack_arguments("ImmutableDict", args, 0, 1)
        if args and type(args[0]) is dict:
            return _wrap(dict(args[0]))
        return _wrap(dict(*args, **kwargs))

    def __init_subclass__(cls, **kwargs: Any) -> None:
        raise TypeError("type 'immutabledict' is not an acceptable base type")

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"'immutabledict' object attribute '{name}' is read-only")

    def __getitem__(self, key: Any) -> Any:
        try:
            return self._dict[key]
        except KeyError:
            pass
        raise _missing_key(key)

    def __len__(self) -> int:
        return len(self._dict)

    def __iter__(self) -> Any:
        return iter(self._dict)

    def _compare(self, other: object, operator: Any) -> Any:
        # The inner dict meets only dicts and other inner dicts; a dict
        # subclass may have a comparison of its own, which is asked first,
        # so it gets a copy.
        if type(other) is immutabledict:
            return operator(self._dict, other._dict)
        if type(other) is dict:
            return operator(self._dict, other)
        if isinstance(other, dict):
            return operator(dict(self._dict), other)
        return NotImplemented

    def __eq__(self, other: object) -> Any:
        return self._compare(other, _operator.eq)

    def __ne__(self, other: object) -> Any:
        return self._compare(other, _operator.ne)

    def __lt__(self, other: object) -> Any:
        return self._compare(other, _operator.lt)

    def __le__(self, other: object) -> Any:
        return self._compare(other, _operator.le)

    def __gt__(self, other: object) -> Any:
        return self._compare(other, _operator.gt)

    def __ge__(self, other: object) -> Any:
        return self._compare(other, _operator.ge)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"immutabledict({self._dict!r})"

    def union(self, *args: Any, **kwargs: Any) -> immutabledict:
        """provide a union of this dictionary with the given dictionary-like arguments"""
        unpack_arguments("ImmutableDict", args, 0, 1)
        other = args[0] if args and type(args[0]) is dict else dict(*args, **kwargs)
        if not other:
            return self
        merged = dict(self._dict)
        merged.update(other)
        return _wrap(merged)

    def merge_with(self, *others: Any) -> immutabledict:
        """provide a union of this dictionary with those given"""
        merged: dict[Any, Any] | None = None
        for other in others:
            if other is None or (type(other) is dict and not other):
                continue
            source = other if type(other) is dict else dict(other)
            if merged is None:
                merged = dict(self._dict)
            merged.update(source)
        return self if merged is None else _wrap(merged)

    def keys(self) -> list[Any]:
        """return dictionary keys"""
        return list(self._dict.keys())

    def __contains__(self, key: Any) -> bool:
        """test a member for containment"""
        try:
            return key in self._dict
        except Exception:
            pass
        # The compiled type's `in` searches the keys without hashing the
        # probe; a class cannot tell `in` from this method, so a probe that
        # cannot be hashed (or whose lookup failed) gets that search here,
        # which raises again where a comparison raises.
        return any(stored is key or stored == key for stored in self._dict)

    def items(self) -> list[tuple[Any, Any]]:
        """return dictionary items"""
        return list(self._dict.items())

    def values(self) -> list[Any]:
        """return dictionary values"""
        return list(self._dict.values())

    def get(self, *args: Any, **keywords: Any) -> Any:
        """get a value"""
        if keywords:
            raise TypeError("get() takes no keyword arguments")
        unpack_arguments("key", args, 1, 2)
        return self._dict.get(*args)

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickle support method."""
        return (immutabledict, (dict(self._dict),))


def _wrap(inner: dict[Any, Any]) -> immutabledict:
    instance = object.__new__(immutabledict)
    object.__setattr__(instance, "_dict", inner)
    return instance
