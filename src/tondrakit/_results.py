"""How the kit's result objects are made: immutable, with named fields, and made by the fits
alone (their constructor is closed to callers, whose values the kit could not vouch for)."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any, TypeVar

__all__ = ["Made", "maker"]

T = TypeVar("T")


class Made:
    """The base of the result objects, whose constructor only refuses: the kit's functions
    make them (see maker)."""

    __slots__ = ()

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError(f"{type(self).__name__} objects are made by the kit's fits, not directly")


def maker(cls: type[T]) -> Callable[..., T]:
    """A function that makes a `cls` (a dataclass with slots) from its fields' values in order,
    past its closed constructor and its refusal of assignment."""
    setters = tuple(getattr(cls, f.name).__set__ for f in dataclasses.fields(cls))  # type: ignore[arg-type]
    new: Any = object.__new__

    def make(*values: object) -> T:
        made: T = new(cls)
        for setter, value in zip(setters, values, strict=True):
            setter(made, value)
        return made

    return make
