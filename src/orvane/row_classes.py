"""Rows delivered as instances of an application's own class (`into=`): which
field each column fills, the declared types the fields' annotations give, and
how the builder makes each instance.

Columns fill the fields of the same name, passed to the class's constructor
as keyword arguments. Where calling the constructor provably comes down to
storing the values (a dataclass whose generated `__init__` has no
`__post_init__` to call, a `typing.NamedTuple`), the builder stores them
itself; every other class is called.
"""

from __future__ import annotations

import dataclasses
import decimal
import functools
import inspect
import sys
import types
import typing
from collections.abc import Callable, Mapping, Sequence
from typing import Any, ForwardRef

from orvane.converters import column_converter
from orvane.flavours import Flavour

# How the builder makes an instance (see `_make_objects` in the row modules).
BY_KEYWORDS = 0  # the class called with the columns as keyword arguments
INTO_SLOTS = 1  # allocated by the type, each value stored into its slot
AS_TUPLE = 2  # a tuple subclass made from the fields' values in order

_EMPTY = inspect.Parameter.empty
_KEYWORD_KINDS = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)


class _Unresolved:
    """An annotation left as text that names nothing the class's module knows."""

    def __init__(self, text: str):
        self.text = text


class RowClass:
    """What a result needs to deliver its rows as instances of `cls`: made
    when the result is made, so that a class its columns do not fit, or an
    annotation that cannot be converted exactly, is refused before any row
    is read."""

    def __init__(self, cls: Any, names: Sequence[str], types: Any, flavour: Flavour):
        if not isinstance(cls, type):
            raise TypeError(f"into is a class whose instances the rows become, not {cls!r}")
        self.cls = cls
        self.label = cls.__qualname__
        parameters, takes_any, readings = _class_facts(cls, flavour)
        _check_matching(cls, names, parameters, takes_any)
        declared_by_caller = set(types) if isinstance(types, Mapping) else set()
        # Per column: the field it fills, and whether that field takes None.
        self.fields: tuple[str, ...] = tuple(names)
        self.declared: dict[str, Any] = {}
        not_none = []
        for name in names:
            reading = readings.get(name, _NO_CONVERSION)
            if name not in declared_by_caller:
                if reading.refusal is not None:
                    raise TypeError(reading.refusal)
                if reading.declared is not None:
                    self.declared[name] = reading.declared
            not_none.append(not reading.allows_none)
        self.not_none: tuple[bool, ...] | None = tuple(not_none) if any(not_none) else None
        self.shape = _shape(cls, tuple(names))

    def make(
        self, make_objects: Callable[..., tuple[int, BaseException | None]], processors: Any, ready: Any, fetched: list[Any]
    ) -> tuple[int, BaseException | None]:
        """Replaces the fetched rows by instances, from the first on: how many
        were made, and the exception that stopped them, if any."""
        return make_objects(self.shape, processors, ready, self.not_none, fetched)

    def refuses_none(self, index: int) -> bool:
        return self.not_none is not None and self.not_none[index]

    def none_refused(self, index: int) -> str:
        return f"the field {self.fields[index]!r} of {self.label} does not take None (annotate it X | None to allow it)"


@dataclasses.dataclass(frozen=True)
class _Reading:
    """What a field's annotation says of its column: the declared type (None:
    no conversion), whether it takes None, and why the annotation cannot be
    used unless `types` declares the column (None where it can)."""

    declared: Any
    allows_none: bool
    refusal: str | None = None


_NO_CONVERSION = _Reading(None, True)


@functools.lru_cache(maxsize=256)
def _class_facts(cls: type, flavour: Flavour) -> tuple[dict[str, inspect.Parameter], bool, dict[str, _Reading]]:
    """What a class's constructor takes, and what its fields' annotations
    say: read the first time a result is made with the class, as reading
    them costs more than making a result."""
    parameters, takes_any = _keyword_parameters(cls)
    annotations = _annotations(_annotated_target(cls))
    return parameters, takes_any, {name: _reading(cls, name, annotation, flavour) for name, annotation in annotations.items()}


def _keyword_parameters(cls: type) -> tuple[dict[str, inspect.Parameter], bool]:
    """The constructor's parameters that take keyword arguments, and
    whether it takes any other keyword as well (**kwargs)."""
    try:
        signature = inspect.signature(cls)
    except (TypeError, ValueError) as error:
        raise TypeError(f"into={cls.__qualname__}: its constructor's parameters cannot be read ({error})") from None
    parameters: dict[str, inspect.Parameter] = {}
    takes_any = False
    for parameter in signature.parameters.values():
        if parameter.kind in _KEYWORD_KINDS:
            parameters[parameter.name] = parameter
        elif parameter.kind is inspect.Parameter.VAR_KEYWORD:
            takes_any = True
        elif parameter.kind is inspect.Parameter.POSITIONAL_ONLY and parameter.default is _EMPTY:
            raise TypeError(f"into={cls.__qualname__}: its constructor takes {parameter.name!r} by position only; rows are passed to it as keyword arguments")
    return parameters, takes_any


def _check_matching(cls: type, names: Sequence[str], parameters: dict[str, inspect.Parameter], takes_any: bool) -> None:
    shared = sorted({name for name in names if names.count(name) > 1})
    if shared:
        raise TypeError(f"into={cls.__qualname__}: the result has several columns named {shared[0]!r}, which would fill one field; its columns are {list(names)}")
    missing = [name for name, parameter in parameters.items() if parameter.default is _EMPTY and name not in names]
    if missing:
        raise TypeError(f"into={cls.__qualname__}: no column fills the field {missing[0]!r}; the result's columns are {list(names)}")
    if not takes_any:
        extra = [name for name in names if name not in parameters]
        if extra:
            raise TypeError(
                f"into={cls.__qualname__}: no field takes the column {extra[0]!r}; the fields are {list(parameters)}, the result's columns {list(names)}"
            )


def _annotated_target(cls: type) -> Any:
    """Where the fields' annotations are: the class for dataclasses and named
    tuples, else the constructor that takes the columns."""
    if dataclasses.is_dataclass(cls) or _is_named_tuple(cls):
        return cls
    init = getattr(cls, "__init__")
    return init if init is not object.__init__ else getattr(cls, "__new__")


def _annotations(target: Any) -> dict[str, Any]:
    """The annotations of a class (its bases' included) or function, each
    resolved where it can be and `_Unresolved` where it cannot."""
    try:
        return typing.get_type_hints(target, include_extras=True)
    except Exception:
        pass
    owners = list(reversed(target.__mro__)) if isinstance(target, type) else [target]
    resolved: dict[str, Any] = {}
    for owner in owners:
        namespace = dict(vars(sys.modules[owner.__module__])) if owner.__module__ in sys.modules else {}
        local = dict(vars(owner)) if isinstance(owner, type) else {}
        for name, annotation in _raw_annotations(owner).items():
            text = annotation if isinstance(annotation, str) else annotation.__forward_arg__ if isinstance(annotation, ForwardRef) else None
            if text is None:
                resolved[name] = annotation
                continue
            try:
                resolved[name] = eval(text, namespace, local)  # noqa: S307 - an annotation of the application's own class
            except Exception:
                resolved[name] = _Unresolved(text)
    return resolved


def _raw_annotations(owner: Any) -> dict[str, Any]:
    """The annotations an object defines itself, names it cannot resolve
    left as text or forward references."""
    if sys.version_info >= (3, 14):
        import annotationlib

        return dict(annotationlib.get_annotations(owner, format=annotationlib.Format.FORWARDREF))
    found = owner.__dict__.get("__annotations__", {}) if isinstance(owner, type) else getattr(owner, "__annotations__", {})
    return dict(found)


def _is_declaration(extra: Any) -> bool:
    """Whether an `Annotated` extra is one of orvane's own declared types."""
    kind = extra if isinstance(extra, type) else type(extra)
    return kind.__module__.split(".")[0] == "orvane"


def _reading(cls: type, field: str, annotation: Any, flavour: Flavour) -> _Reading:
    """What an annotation says of its field's column."""
    allows_none = False
    extras: list[Any] = []
    several: list[Any] = []
    written = annotation
    while True:
        origin = typing.get_origin(annotation)
        if origin is typing.Annotated:
            extras = [*annotation.__metadata__, *extras]
            annotation = typing.get_args(annotation)[0]
        elif origin is typing.Union or origin is types.UnionType:
            members = typing.get_args(annotation)
            rest = [member for member in members if member is not type(None)]
            allows_none = allows_none or len(rest) < len(members)
            if len(rest) != 1:
                several = rest
                break
            annotation = rest[0]
        else:
            break
    own = [extra for extra in extras if _is_declaration(extra)]
    if own:
        return _convertible(cls, field, written, own[-1], allows_none, flavour)
    if annotation is Any or annotation is object:
        return _NO_CONVERSION
    unresolved = [member for member in several or [annotation] if isinstance(member, (str, ForwardRef, _Unresolved))]
    if unresolved:
        member = unresolved[0]
        text = member if isinstance(member, str) else member.__forward_arg__ if isinstance(member, ForwardRef) else member.text
        return _Reading(
            None,
            True,
            f"into={cls.__qualname__}: the annotation {text!r} of the field {field!r} cannot be resolved;"
            f" declare the column in types, or import the names it uses in {cls.__module__}",
        )
    if several:
        return _Reading(
            None,
            allows_none,
            f"into={cls.__qualname__}: the field {field!r} is annotated with a union of {' and '.join(map(_spelled, several))},"
            " which names no one type to convert to; declare the column in types, or annotate the field Any for no conversion",
        )
    if annotation is decimal.Decimal:
        return _Reading(
            None,
            allows_none,
            f"into={cls.__qualname__}: the field {field!r} is a plain Decimal, which gives no scale to convert to exactly;"
            " annotate it Annotated[Decimal, Numeric(scale)] with its digits after the point",
        )
    return _convertible(cls, field, written, annotation, allows_none, flavour)


def _convertible(cls: type, field: str, annotation: Any, declared: Any, allows_none: bool, flavour: Flavour) -> _Reading:
    try:
        column_converter(declared, flavour)
    except (TypeError, ValueError) as error:
        return _Reading(
            None,
            allows_none,
            f"into={cls.__qualname__}: the field {field!r} is annotated {_spelled(annotation)}, which orvane cannot convert to ({error});"
            " declare the column in types, or annotate the field Any for no conversion",
        )
    return _Reading(declared, allows_none)


def _spelled(annotation: Any) -> str:
    return annotation.__qualname__ if isinstance(annotation, type) else repr(annotation)


# ---- how instances are made -------------------------------------------------


@functools.lru_cache(maxsize=256)
def _shape(cls: type, names: tuple[str, ...]) -> tuple[Any, ...]:
    """(how, class, layout, defaults): what the builder is given; see the
    builders in the row modules. Found the first time a result of these
    columns is made with the class."""
    parameters, _ = _keyword_parameters(cls)
    if _is_named_tuple(cls):
        defaults = dict(zip(cls._fields[len(cls._fields) - len(cls.__new__.__defaults__ or ()) :], cls.__new__.__defaults__ or ()))  # type: ignore[attr-defined]
        fields = cls._fields  # type: ignore[attr-defined]
        layout = tuple(names.index(field) if field in names else -1 for field in fields)
        return AS_TUPLE, cls, layout, tuple(defaults.get(field) for field in fields)
    slots = _slot_layout(cls, names, parameters)
    if slots is not None:
        return (INTO_SLOTS, cls, *slots)
    return BY_KEYWORDS, cls, tuple(names), ()


def _is_named_tuple(cls: type) -> bool:
    """Whether calling `cls` is `tuple.__new__(cls, fields)`: a class that
    `collections.namedtuple` (or `typing.NamedTuple`) made, as it made it."""
    new = getattr(cls.__dict__.get("__new__"), "__func__", None)
    code = getattr(new, "__code__", None)
    fields = cls.__dict__.get("_fields")
    return (
        issubclass(cls, tuple)
        and type(cls) is type
        and code is not None
        and isinstance(fields, tuple)
        and getattr(new, "__globals__", {}).get("_tuple_new") is tuple.__new__
        and code.co_varnames[: code.co_argcount] == ("_cls", *fields)
        and getattr(cls, "__init__") is tuple.__init__
    )


def _slot_layout(cls: type, names: Sequence[str], parameters: dict[str, inspect.Parameter]) -> tuple[tuple[Any, ...], tuple[Any, ...]] | None:
    """For a dataclass whose instances the type's allocation and a store
    into each field's slot make exactly as its generated `__init__` does:
    the slot of each column, and (slot, default) for each field the
    `__init__` would fill with its default; else None.

    That `__init__` stores each argument, or the field's default, through
    the slot's descriptor and does nothing else where there is no
    `__post_init__`, `object.__new__` allocates, and neither the metaclass
    nor a `__setattr__` of the class's own steps in."""
    if not dataclasses.is_dataclass(cls) or type(cls) is not type or inspect.isabstract(cls):
        return None
    params = getattr(cls, "__dataclass_params__", None)
    if params is None or not params.init or hasattr(cls, "__post_init__") or cls.__new__ is not object.__new__:
        return None
    if not params.frozen and cls.__setattr__ is not object.__setattr__:
        return None
    if not _generated_init(cls):
        return None
    own = dataclasses.fields(cls)
    # InitVar and ClassVar pseudo-fields are left out of fields(): the
    # __init__ treats them apart.
    if len(own) != len(cls.__dataclass_fields__):
        return None
    slot_of: dict[str, Any] = {}
    defaults: list[tuple[Any, Any]] = []
    for field in own:
        slot = _member_slot(cls, field.name)
        if slot is None:
            return None
        slot_of[field.name] = slot
        filled = field.init and field.name in names
        if filled:
            continue
        if field.default_factory is not dataclasses.MISSING:
            return None
        if field.default is not dataclasses.MISSING:
            defaults.append((slot, field.default))
    if set(parameters) != {field.name for field in own if field.init}:
        return None
    return tuple(slot_of[name] for name in names), tuple(defaults)


def _generated_init(cls: type) -> bool:
    """Whether the class's `__init__` is the one `dataclasses` wrote for it."""
    init = cls.__dict__.get("__init__")
    code = getattr(init, "__code__", None)
    return code is not None and code.co_filename == "<string>" and code.co_qualname == "__create_fn__.<locals>.__init__"


def _member_slot(cls: type, name: str) -> Any:
    """The slot descriptor through which the class's instances store `name`,
    where that is what an assignment to it reaches; else None."""
    for owner in cls.__mro__:
        if name in owner.__dict__:
            slot = owner.__dict__[name]
            if type(slot) is types.MemberDescriptorType and slot.__objclass__ is owner:
                return slot
            return None
    return None
