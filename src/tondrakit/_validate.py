"""The one place that turns what a caller passes as points into two float64 arrays.

Every message names the argument, and for a bad item its index and value, so that the caller
can find it in their data. Numbers are what the native module accepts too: anything with
``__float__`` or ``__index__`` (so bool, int, numpy scalars, Fraction, Decimal), but not text.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from typing import SupportsFloat, TypeAlias, cast

import numpy as np
import numpy.typing as npt

__all__ = ["Points", "as_float_array", "points"]

Points: TypeAlias = "npt.ArrayLike"
FloatArray: TypeAlias = "npt.NDArray[np.float64]"

# dtype kinds that are plain numbers: bool, signed and unsigned integers, floats.
_NUMERIC_KINDS = "biuf"


def _describe(value: object) -> str:
    text = repr(value)
    if len(text) > 40:
        text = text[:37] + "..."
    return f"{text} ({type(value).__name__})"


def _is_number(item: object) -> bool:
    """Whether the native module would take the item as a number, less complex numbers."""
    if isinstance(item, (str, bytes, complex, np.complexfloating)):
        # complex has no __float__, but numpy's complex scalars have one that drops the
        # imaginary part with only a warning.
        return False
    kind = type(item)
    return hasattr(kind, "__float__") or hasattr(kind, "__index__")


def _from_objects(arg: str, flat: list[object], shape: tuple[int, ...]) -> FloatArray:
    """Converts items one by one, the way the native module does, naming the first bad one."""
    out = np.empty(len(flat), dtype=np.float64)
    for i, item in enumerate(flat):
        if not _is_number(item):
            raise TypeError(f"{arg}{_index(i, shape)} = {_describe(item)} is not a number")
        try:
            out[i] = float(cast(SupportsFloat, item))  # or __index__, checked just above
        except OverflowError:
            raise ValueError(
                f"{arg}{_index(i, shape)} = {_describe(item)} is too large for a float"
            ) from None
        except (TypeError, ValueError) as e:
            raise TypeError(
                f"{arg}{_index(i, shape)} = {_describe(item)} is not a number: {e}"
            ) from e
    return out.reshape(shape)


def _index(flat_index: int, shape: tuple[int, ...]) -> str:
    if len(shape) == 2:
        return f"[{flat_index // shape[1]}, {flat_index % shape[1]}]"
    return f"[{flat_index}]"


def _as_float_array(arg: str, value: object) -> FloatArray:
    """Any array-like of numbers as a float64 array of its own shape (not yet checked)."""
    given = type(value).__name__
    if isinstance(value, (str, bytes, Mapping)) or value is None:
        raise TypeError(f"{arg} must be a sequence of numbers, not {given}")
    if not hasattr(value, "__len__"):  # (numpy arrays have it)
        if not isinstance(value, Iterable):
            raise TypeError(f"{arg} must be a sequence of numbers, not {given}")
        value = list(cast(Iterable[object], value))  # a generator or other one-pass iterable
    try:
        array = np.asarray(value)
    except ValueError as e:  # ragged nesting
        raise ValueError(f"{arg} must be a 1-D sequence of numbers or an (n, 2) array: {e}") from None
    kind = array.dtype.kind
    if kind in _NUMERIC_KINDS:
        # A wider float beyond the doubles becomes infinite, which the finiteness check names.
        with np.errstate(over="ignore"):
            return array.astype(np.float64, copy=False)
    if array.ndim == 0:
        raise TypeError(f"{arg} must be a sequence of numbers, not {given}")
    if kind != "O":
        # Text, complex, dates: numpy may have turned good numbers into text beside a bad
        # item, so the items are looked at as they were given.
        if array.size == 0:
            raise TypeError(f"{arg} has dtype {array.dtype}: expected numbers")
        array = array.astype(object) if value is array else np.asarray(value, dtype=object)
    return _from_objects(arg, array.ravel().tolist(), array.shape)


as_float_array = _as_float_array


def _first_non_finite(arg: str, array: FloatArray) -> None:
    bad = np.flatnonzero(~np.isfinite(array.ravel()))
    if bad.size:
        i = int(bad[0])
        raise ValueError(
            f"{arg}{_index(i, array.shape)} is {float(array.ravel()[i])!r}:"
            " coordinates must be finite"
        )


def _contiguous(a: FloatArray) -> FloatArray:
    """The array itself when it is contiguous and aligned, else an aligned copy: the engine
    reads its doubles in place (a buffer that came through pickle's out-of-band frames, say, may
    start at any byte)."""
    out: FloatArray = np.require(a, dtype=np.float64, requirements=["C", "A"])
    return out


def points(xs: object, ys: object = None, *, min_points: int = 3) -> tuple[FloatArray, FloatArray]:
    """Checks points given as ``(xs, ys)`` or as one ``(n, 2)`` array ``xs``.

    Returns two 1-D float64 arrays of equal length, both C-contiguous and aligned (fresh copies
    whenever the input had to be converted; an input float64 array may come back as itself).

    Raises
    ------
    TypeError
        An argument or an item that is not a number (text, None, an object without
        ``__float__``/``__index__``).
    ValueError
        Wrong shapes, unequal lengths, fewer than `min_points` points, a NaN or infinite
        coordinate (the first one is named), an integer too large for a float.
    """
    x = _as_float_array("xs", xs)
    if ys is None:
        if x.ndim != 2 or x.shape[1] != 2:
            raise ValueError(
                f"xs has shape {x.shape}: without ys, xs must be an (n, 2) array of points"
            )
        _first_non_finite("xs", x)
        px = _contiguous(x[:, 0])
        py = _contiguous(x[:, 1])
    else:
        y = _as_float_array("ys", ys)
        for arg, a in (("xs", x), ("ys", y)):
            if a.ndim != 1:
                raise ValueError(f"{arg} has shape {a.shape}: expected a 1-D sequence of numbers")
        if x.shape[0] != y.shape[0]:
            raise ValueError(f"xs and ys differ in length: {x.shape[0]} and {y.shape[0]}")
        # One sum each finds whether anything is off (a NaN or an infinity, or finite values
        # so large that their sum overflows); only then is the culprit looked for.
        with np.errstate(over="ignore", invalid="ignore"):
            sums = float(x.sum()), float(y.sum())
        if not (math.isfinite(sums[0]) and math.isfinite(sums[1])):
            _first_non_finite("xs", x)
            _first_non_finite("ys", y)
        px = _contiguous(x)
        py = _contiguous(y)
    if px.shape[0] < min_points:
        raise ValueError(f"need at least {min_points} points, got {px.shape[0]}")
    return px, py
