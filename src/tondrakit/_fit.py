"""tondrakit.fit: one circle, with its radius, quality and uncertainty."""

from __future__ import annotations

import numpy.typing as npt

from . import _engine
from ._circle import Circle, check_result, make_circle
from ._options import METHOD_CODES, Method, check_method
from ._validate import points

__all__ = ["fit"]


def fit(xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, *, method: Method = "geometric") -> Circle:
    """Fits a circle to points and returns its centre, radius, quality and uncertainty.

    Parameters
    ----------
    xs, ys : array-like of numbers
        The points' x and y coordinates, two 1-D sequences of equal length; or all points as
        one (n, 2) array-like `xs`, with `ys` left out. At least 3 points, all finite.
    method : {"geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid"}
        How the centre is found. "geometric" (the default): the circle that minimises the sum of
        squared distances to the points, by Levenberg-Marquardt from Hyper's fit, converged to
        the rounding of the data on every arc (on short noisy arcs also from Taubin's fit, the
        lower minimum kept); points closer to a line than to any circle raise FitError. "hyper": Hyper's algebraic
        fit (its own radius, nearly free of the algebraic fits' bias). The native module's
        methods, bit for bit: "lsq" (``tondra.fit_lsq``, L-BFGS, which may stop short of the
        minimum on short arcs: see ``Circle.converged``), "nelder_mead" (the same by
        Nelder-Mead), "taubin" (``tondra.taubin_svd``) and "centroid"
        (``tondra.fit_geometrical``, right only for points spread evenly all round).

    Returns
    -------
    Circle
        The centre (for the native methods exactly as the native fit returns it on the same
        points), the radius (mean distance of the points from that centre; Hyper's own radius
        for "hyper"), the rms residual, the covariance, whether the centre is a least-squares
        minimum (``converged``), the solver's ``iterations`` and the ``arc`` the points cover.

    Raises
    ------
    ValueError
        Bad shapes, unequal lengths, fewer than 3 points, a NaN or infinite coordinate, an
        unknown method.
    TypeError
        Coordinates that are not numbers.
    FitError
        The points determine no circle (they coincide or are collinear, or for "geometric" they
        fit a line better than any circle), the fit's result is not finite, or the fit failed.

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
    >>> round(c.cx, 6), round(c.cy, 6), round(c.r, 6), c.n, c.method, c.converged
    (9.887567, 3.687497, 27.350443, 6, 'geometric', True)
    >>> c = tondrakit.fit([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26], method="lsq")
    >>> c.center == (9.887566582102181, 3.6874973648401053)
    True
    >>> c = tondrakit.fit([[0, 1], [1, 0], [0, -1], [-1, 0]], method="taubin")
    >>> [round(v, 12) for v in (c.cx, c.cy, c.r, c.rms)]
    [0.0, 0.0, 1.0, 0.0]
    """
    # Written for speed: on 20 points the whole of this costs a tenth of the fit itself.
    code = _CODES.get(method) if type(method) is str else None  # noqa: E721
    if code is None:
        check_method(method)  # raises
        code = _CODES[method]
    # Plain numbers go to the engine as they are; anything else is checked (and its first bad
    # item named) here, then handed over as arrays.
    result = None if ys is None else _fit_one(xs, ys, code)
    if result is None:
        x, y = points(xs, ys)
        result = _fit_one(x, y, code)
        assert result is not None  # checked points are plain numbers
    if result[0]:
        check_result(result, method)
    return make_circle(result, method)


_CODES = METHOD_CODES
_fit_one = _engine.fit_one
