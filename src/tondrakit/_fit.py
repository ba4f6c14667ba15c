"""tondrakit.fit: one circle, with its radius, quality and uncertainty."""

from __future__ import annotations

import math
from typing import cast

import numpy as np
import numpy.typing as npt

from ._circle import (
    SHAPE_MESSAGES,
    SMALL,
    Circle,
    FloatArray,
    Method,
    check_method,
    circle_stats,
    native_centre,
    result_problem,
    shape_problems,
    small_circle_stats,
    small_shape_problem,
)
from ._errors import FitError
from ._validate import points

__all__ = ["fit"]


def fit(xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, *, method: Method = "lsq") -> Circle:
    """Fits a circle to points and returns its centre, radius, quality and uncertainty.

    Parameters
    ----------
    xs, ys : array-like of numbers
        The points' x and y coordinates, two 1-D sequences of equal length; or all points as
        one (n, 2) array-like `xs`, with `ys` left out. At least 3 points, all finite.
    method : {"lsq", "nelder_mead", "taubin", "centroid"}
        How the centre is found: geometric least squares by L-BFGS (``tondra.fit_lsq``), the same
        by Nelder-Mead, Taubin's algebraic fit (``tondra.taubin_svd``), or the centroid
        (``tondra.fit_geometrical``, right only for points spread evenly all round).

    Returns
    -------
    Circle
        The centre exactly as the native fit returns it on the same points, the radius (mean
        distance of the points from that centre), the rms residual and the covariance.

    Raises
    ------
    ValueError
        Bad shapes, unequal lengths, fewer than 3 points, a NaN or infinite coordinate, an
        unknown method.
    TypeError
        Coordinates that are not numbers.
    FitError
        The points determine no circle (they coincide or are collinear), the fit's result is not
        finite, or the native fit failed.

    Notes
    -----
    The radius, rms and covariance are computed in double precision, in index order. Where the
    points' mean distance from the centre lies outside [2^-400, 2^400] (about 1e-120 to 1e120),
    their squares would overflow or underflow, so they are computed on the offsets from the
    centre times an exact power of two and scaled back: scaling the points by a power of two
    scales r, rms and `stderr` by it exactly, over the whole range of doubles, as it does the
    native centre (short of subnormal coordinates, which are rounded). Variances of such a
    circle may not be doubles themselves (a radius of 1e200 with 1 % noise has variances near
    1e396): there `cov` holds infinities, or values rounded towards zero, while `stderr` holds
    the right values. The collinearity check is likewise made on rescaled coordinates.

    Examples
    --------
    >>> import tondrakit
    >>> c = tondrakit.fit([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26])
    >>> c.center == (9.887566582102181, 3.6874973648401053)
    True
    >>> round(c.r, 3), c.n, c.method
    (27.35, 6, 'lsq')
    >>> c = tondrakit.fit([[0, 1], [1, 0], [0, -1], [-1, 0]], method="taubin")
    >>> [round(v, 12) for v in (c.cx, c.cy, c.r, c.rms)]
    [0.0, 0.0, 1.0, 0.0]
    """
    checked = check_method(method)
    lists = _float_lists(xs, ys)
    if lists is not None:
        return fit_lists(lists[0], lists[1], checked)
    x, y = points(xs, ys)
    if x.shape[0] <= SMALL:
        return fit_lists(x.tolist(), y.tolist(), checked)
    return fit_arrays(x, y, checked)


def _float_lists(xs: object, ys: object) -> tuple[list[float], list[float]] | None:
    """The points themselves when they are already what the checks would make of them: two
    lists of at most SMALL finite floats, at least 3, of equal length. Otherwise None."""
    if type(xs) is not list or type(ys) is not list:
        return None
    # One cast() for both lists: each call of it costs as much as checking a few points.
    xl, yl = cast("tuple[list[object], list[object]]", (xs, ys))
    if not 3 <= len(xl) == len(yl) <= SMALL:
        return None
    for x, y in zip(xl, yl):
        if type(x) is not float or type(y) is not float:
            return None
    xf, yf = cast("tuple[list[float], list[float]]", (xl, yl))
    # A finite sum means finite items (an infinity or a NaN would carry through); a sum that
    # overflows sends finite points the long way, which accepts them.
    if not math.isfinite(sum(xf) + sum(yf)):
        return None
    return xf, yf


def fit_lists(xs: list[float], ys: list[float], method: Method) -> Circle:
    """fit() on validated points as lists of floats (at least 3; few, for speed)."""
    code = small_shape_problem(xs, ys)
    if code:
        raise FitError(SHAPE_MESSAGES[code])
    cx, cy = native_centre(method, xs, ys)
    r, rms, cov, k = small_circle_stats(xs, ys, cx, cy)
    problem = result_problem(cx, cy, r)
    if problem:
        raise FitError(problem)
    return Circle(cx, cy, r, rms, len(xs), method, cov, k)


def fit_arrays(x: FloatArray, y: FloatArray, method: Method) -> Circle:
    """fit() on validated points (1-D float64 arrays, at least 3 points)."""
    xb = x[None, :]
    yb = y[None, :]
    code = int(shape_problems(xb, yb)[0])
    if code:
        raise FitError(SHAPE_MESSAGES[code])
    cx, cy = native_centre(method, x.tolist(), y.tolist())
    r, rms, cov, k = circle_stats(xb, yb, np.array([cx]), np.array([cy]))
    radius = float(r[0])
    problem = result_problem(cx, cy, radius)
    if problem:
        raise FitError(problem)
    return Circle(
        cx, cy, radius, float(rms[0]), x.shape[0], method, tuple(cov.ravel().tolist()), int(k[0])
    )
