"""tondrakit.fit: one circle, with its radius, quality and uncertainty."""

from __future__ import annotations

import numpy.typing as npt

from . import _engine
from ._circle import Circle, check_result, circle_of
from ._options import METHOD_CODES, Method, check_knowns, check_method, check_weights
from ._validate import points

__all__ = ["fit"]


def fit(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, *, method: Method = "geometric",
    weights: npt.ArrayLike | None = None, radius: float | None = None,
    radius_bounds: tuple[float | None, float | None] | None = None,
) -> Circle:
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
    weights : array-like of numbers, optional
        One weight per point: finite, not negative, at least 3 of them positive. Weights are
        relative (inverse variances up to a common factor, which the fit estimates from the
        residuals): multiplying them all by a constant changes nothing, a point of weight 0 is
        left out (``n`` counts the others), and an integer weight k counts as the point taken k
        times. "geometric" minimises sum w_i (d_i - r)^2, with r the weighted mean distance and
        `rms` the weighted root mean square of the residuals; "hyper" and "taubin" use weighted
        moments (from the characteristic polynomial, not the decomposition), "centroid" the
        weighted mean. "lsq" and "nelder_mead" take no weights (ValueError).
    radius : float, optional
        The known radius, positive: the circle of that radius nearest the points, only its
        centre fitted (its ``stderr`` of r is 0). "geometric" only.
    radius_bounds : (lo, hi), optional
        Bounds on the radius, either None for no bound: the fit never returns a radius outside
        them. Where the unconstrained minimum lies within them it is the result; otherwise the
        minimum with the radius on the bound (``converged`` then says that the constrained
        minimum was reached), with r's row and column of `cov` 0. ``(R, R)`` is ``radius=R``.
        "geometric" only.

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
        unknown method, bad weights or radius bounds, an option the method does not take.
    TypeError
        Coordinates that are not numbers.
    FitError
        The points determine no circle (they coincide or are collinear, or for "geometric" they
        fit a line better than any circle), the fit's result is not finite, or the fit failed;
        no circle within the radius bounds fits them (the one found leaves an rms residual
        larger than its radius: an upper bound well below half the points' spread, say).

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
    if weights is not None or radius is not None or radius_bounds is not None:
        return _fit_knowing(xs, ys, method, weights, radius, radius_bounds)
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
    return circle_of(result, method)


def _fit_knowing(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None, method: object, weights: object,
    radius: object, radius_bounds: object,
) -> Circle:
    """fit with weights or radius bounds: plain numbers straight to the engine, as without."""
    checked = check_method(method)
    bounds = check_knowns(checked, weights is not None, radius, radius_bounds).bounds
    code = _CODES[checked]
    result = None if ys is None else _fit_one(xs, ys, code, weights, bounds)
    if result is None:
        x, y = points(xs, ys)
        w = None if weights is None else check_weights(weights, x.shape[0])
        result = _fit_one(x, y, code, w, bounds)
        assert result is not None  # checked points and weights are plain numbers
    if result[0]:
        check_result(result, checked)
    return circle_of(result, checked)


_CODES = METHOD_CODES
_fit_one = _engine.fit_one
