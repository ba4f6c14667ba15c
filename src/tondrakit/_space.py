"""Points in space: the checks that turn what a caller passes into three float64 arrays."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ._validate import FloatArray, as_float_array

__all__ = ["space_points"]


def _first_non_finite(arg: str, array: FloatArray) -> None:
    bad = np.flatnonzero(~np.isfinite(array.ravel()))
    if bad.size:
        i = int(bad[0])
        where = f"[{i // 3}, {i % 3}]" if array.ndim == 2 else f"[{i}]"
        raise ValueError(
            f"{arg}{where} is {float(array.ravel()[i])!r}: coordinates must be finite"
        )


def space_points(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None, zs: npt.ArrayLike | None, min_points: int,
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Checks points given as ``(xs, ys, zs)`` or as one ``(n, 3)`` array ``xs``.

    Returns three 1-D, C-contiguous, aligned float64 arrays of equal length.

    Raises
    ------
    TypeError
        An argument or an item that is not a number.
    ValueError
        Wrong shapes, unequal lengths, fewer than `min_points` points, a NaN or infinite
        coordinate (the first one is named).
    """
    if ys is None and zs is None:
        a = as_float_array("xs", xs)
        if a.ndim != 2 or a.shape[1] != 3:
            raise ValueError(
                f"xs has shape {a.shape}: without ys and zs, xs must be an (n, 3) array of points"
            )
        _first_non_finite("xs", a)
        runs: list[FloatArray] = [a[:, k] for k in range(3)]
    elif ys is None or zs is None:
        raise ValueError("give xs, ys and zs, or all points as one (n, 3) array xs")
    else:
        runs = []
        for arg, value in (("xs", xs), ("ys", ys), ("zs", zs)):
            a = as_float_array(arg, value)
            if a.ndim != 1:
                raise ValueError(f"{arg} has shape {a.shape}: expected a 1-D sequence of numbers")
            _first_non_finite(arg, a)
            runs.append(a)
        lengths = [r.shape[0] for r in runs]
        if len(set(lengths)) != 1:
            raise ValueError(f"xs, ys and zs differ in length: {lengths}")
    x, y, z = (np.require(r, dtype=np.float64, requirements=["C", "A"]) for r in runs)
    if x.shape[0] < min_points:
        raise ValueError(f"need at least {min_points} points, got {x.shape[0]}")
    return x, y, z
