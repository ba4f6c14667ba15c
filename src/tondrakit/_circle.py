"""The fitted circle, the statistics that describe it, and the decisions shared by every fit.

Everything numerical here works on a batch of G point sets of one length n at once, as (G, n)
float64 arrays, so that a fit of one set and a fit of many sets give the same bits for the same
set: every operation is element-wise and correctly rounded (no library transcendental whose
vectorised and scalar paths might differ), and every sum runs along the last axis in index order
from +0.0 (a cumulative sum, whose partial results pin that order), never a pairwise or blocked
reduction whose grouping could depend on the batch.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Final, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

import tondra

from ._errors import FitError
from ._validate import points

__all__ = ["Circle", "Method", "RobustFit", "circle_stats"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
BoolArray: TypeAlias = "npt.NDArray[np.bool_]"
Method: TypeAlias = Literal["lsq", "nelder_mead", "taubin", "centroid"]

_METHODS: Final[dict[object, Method]] = {
    "lsq": "lsq", "nelder_mead": "nelder_mead", "taubin": "taubin", "centroid": "centroid"
}
METHODS: Final[tuple[str, ...]] = tuple(str(m) for m in _METHODS)


def check_method(method: object) -> Method:
    """The method name itself, or ValueError listing the allowed ones."""
    try:
        return _METHODS[method]
    except (KeyError, TypeError):  # TypeError: not hashable
        allowed = ", ".join(repr(m) for m in METHODS)
        raise ValueError(f"unknown method {method!r}: expected one of {allowed}") from None


def _lsq(xs: list[float], ys: list[float]) -> list[float]:
    return tondra.fit_lsq(xs, ys)


def _nelder_mead(xs: list[float], ys: list[float]) -> list[float]:
    return tondra.fit_lsq(xs, ys, "nelder_mead")


_NATIVE: Final[dict[str, tuple[str, Callable[[list[float], list[float]], list[float]]]]] = {
    "lsq": ("fit_lsq", _lsq),
    "nelder_mead": ("fit_lsq(method='nelder_mead')", _nelder_mead),
    "taubin": ("taubin_svd", tondra.taubin_svd),
    "centroid": ("fit_geometrical", tondra.fit_geometrical),
}


def native_centre(method: Method, xs: list[float], ys: list[float]) -> tuple[float, float]:
    """The native fit's centre for `method` on the points, exactly as it returned it.

    The native module reports a failure of its numerical work as ``PanicException``, a
    ``BaseException`` meant to end a careless program; here it becomes :class:`FitError` with
    the same message, chained. Anything else (``KeyboardInterrupt`` above all) passes through.
    The centre is not checked: see :func:`result_problem`.
    """
    name, call = _NATIVE[method]
    try:
        cx, cy = call(xs, ys)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        raise FitError(f"the native fit {name} failed: {e}") from e
    return cx, cy


def _sum_last(a: FloatArray) -> FloatArray:
    """Sums along the last axis, one element at a time in index order from +0.0.

    A cumulative sum fixes the order (each partial sum is an output); adding +0.0 turns the one
    case where starting from the first element differs, an all-(-0.0) row, into +0.0.
    """
    out: FloatArray = a.cumsum(axis=-1)[..., -1] + 0.0
    return out


# The per-set arithmetic (a few dozen operations on each set's sums) is written once, for
# either numpy arrays of shape (G,) or plain floats: for a single set, numpy's per-call cost
# would be many times that of the native fit itself. Both kinds do IEEE double arithmetic with
# correctly rounded +, -, *, / and sqrt, so they give the same bits for the same set.
class _ArrayOps:
    @staticmethod
    def sqrt(a: FloatArray) -> FloatArray:
        out: FloatArray = np.sqrt(a)
        return out

    @staticmethod
    def div(a: FloatArray, b: FloatArray) -> FloatArray:
        with np.errstate(divide="ignore", invalid="ignore"):
            out: FloatArray = np.divide(a, b)
        return out

    @staticmethod
    def where(cond: BoolArray, a: FloatArray, b: FloatArray) -> FloatArray:
        out: FloatArray = np.where(cond, a, b)
        return out


class _FloatOps:
    @staticmethod
    def sqrt(a: float) -> float:
        return math.sqrt(a) if a >= 0.0 else math.nan

    @staticmethod
    def div(a: float, b: float) -> float:
        if b != 0.0:
            return a / b
        if a != a or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)

    @staticmethod
    def where(cond: bool, a: float, b: float) -> float:
        return a if cond else b


# Extreme scales. The statistics square distances from the centre, and the shape check squares
# offsets from the points' mean; in doubles those squares overflow beyond about 2^512 and lose
# their precision to underflow below about 2^-511. A set is therefore judged by a scale of its own
# and, outside [2^-400, 2^400], worked on instead as its offsets or coordinates times an exact
# power of two, with the results scaled back. For the statistics the scale is the mean distance r
# from the centre: the margin of 2^111 covers points up to 2^111 times farther out than r (a mean
# over n points is at least 1/n of its largest term) and residuals down to 2^-111 of r, far below
# the rounding of the distances themselves, whose squares then stay normal. For the shape check
# it is the sum of squared offsets from the mean, whose products with each other (at most 2^800)
# cannot overflow and, for any set that is a circle or close to a line, stay far above 2^-1022.
# Sets inside the range are computed exactly as they always were; the rescaled arithmetic is one
# function that every path calls, so that a set gets the same bits in all of them.
_LOW: Final = 2.0**-400
_HIGH: Final = 2.0**400


def out_of_range(value: float) -> bool:
    """Whether a set's scale (see above) asks for rescaled arithmetic. NaN does not: it comes
    from a non-finite centre, which no rescaling mends."""
    return value < _LOW or value > _HIGH


def ldexp(a: Any, k: int) -> Any:
    """a times 2^k, exactly unless the result over- or underflows (then inf or rounded, quietly)."""
    with np.errstate(over="ignore", under="ignore"):
        return np.ldexp(a, k)


def _offset_exponent(x: FloatArray, y: FloatArray, cx: float, cy: float) -> int | None:
    """k with the largest |x - cx|, |y - cy| in [2^k, 2^(k+1)); None when that is 0 or not finite.
    Halves are subtracted, which cannot overflow."""
    with np.errstate(all="ignore"):
        m = max(float(np.max(np.abs(x * 0.5 - cx * 0.5))), float(np.max(np.abs(y * 0.5 - cy * 0.5))))
    if not (m > 0.0 and math.isfinite(m)):
        return None
    return math.frexp(m)[1]


def rescaled_stats(
    x: FloatArray, y: FloatArray, cx: float, cy: float
) -> tuple[float, float, FloatArray, int] | None:
    """The statistics of one set (1-D arrays) whose scale is out of range: r, rms, the
    covariance in units of 4^k (it may not be representable itself) and k; None when the
    offsets give no scale (all zero, or a non-finite centre), where the plain results stand.

    The offsets are scaled by 2^-k so that the largest lies in [1, 2): large points are scaled
    before the subtraction, which then cannot overflow, small ones after it, which is then exact.
    Every operation on the scaled offsets is the plain one on the true offsets times a power of
    two, so the results are the plain results the offsets would give without over- or underflow.
    """
    k = _offset_exponent(x, y, cx, cy)
    if k is None:
        return None
    if k > 0:
        dx = ldexp(x, -k) - ldexp(cx, -k)
        dy = ldexp(y, -k) - ldexp(cy, -k)
    else:
        dx = ldexp(x - cx, -k)
        dy = ldexp(y - cy, -k)
    zero = np.zeros(1)
    with np.errstate(over="ignore", invalid="ignore", divide="ignore", under="ignore"):
        r, rms, cov = _plain_stats(dx[None, :], dy[None, :], zero, zero)
    return float(ldexp(r[0], k)), float(ldexp(rms[0], k)), cov[0], k


# Codes of shape_problems().
OK: Final = 0
COINCIDENT: Final = 1
COLLINEAR: Final = 2

SHAPE_MESSAGES: Final[dict[int, str]] = {
    COINCIDENT: "all points coincide: they determine no circle",
    COLLINEAR: "the points are collinear: no circle passes through them",
}

# Collinear means: the points' RMS distance from their principal line is at the rounding level
# of the coordinates themselves. Points rounded onto a line keep such a spread (a few ulps of
# the largest coordinate); anything clearly above it is a circle, however flat.
_COLLINEAR_ULPS: Final = 16.0
_EPS: Final = float(np.finfo(np.float64).eps)
# The smaller eigenvalue of the scatter matrix, found from its determinant, is off by a few ulps
# of the larger one; above this fraction of it the points are certainly not collinear in the
# sense above, and the exact spread across the line is not needed.
_FLAT_CANDIDATE: Final = 1e-6


def _principal_direction(a: Any, b: Any, c: Any, ops: Any) -> tuple[Any, Any, Any]:
    """Unit eigenvector (ex, ey) of [[a, b], [b, c]] for its larger eigenvalue, and whether the
    smaller one is small enough for the points to be collinear candidates.

    The eigenvector takes whichever of its two textbook forms is the better conditioned; it is
    NaN when the matrix is a multiple of the identity (every direction alike: no line at all).
    """
    half = (a - c) / 2.0
    lam = (a + c) / 2.0 + ops.sqrt(half * half + b * b)
    first = abs(lam - c) >= abs(lam - a)
    ex = ops.where(first, lam - c, b)
    ey = ops.where(first, b, lam - a)
    norm = ops.sqrt(ex * ex + ey * ey)
    # Written so that NaN (all points equal: lam = 0) counts as small.
    small = ops.where(ops.div(a * c - b * b, lam) > _FLAT_CANDIDATE * lam, False, True)
    return ops.div(ex, norm), ops.div(ey, norm), small


def shape_problems(xs: FloatArray, ys: FloatArray) -> npt.NDArray[np.int8]:
    """For each row of (G, n) point sets (n >= 1), OK, COINCIDENT or COLLINEAR.

    Collinear: the RMS distance of the points from their principal axis (through their mean)
    is at most a few ulps of the coordinates' magnitude (each weighted by how much it counts
    across that axis). The axis comes from the 2x2 scatter matrix
    with arithmetic only, so the decision for a set does not depend on the batch around it.
    """
    # Sets of extreme scale get infinities, NaN or zeros from their squares here, and are
    # decided again on rescaled coordinates; numpy need not warn about them.
    with np.errstate(over="ignore", invalid="ignore", divide="ignore", under="ignore"):
        codes, extreme = _shape_problems(xs, ys)
        for g in np.flatnonzero(extreme).tolist():
            codes[g] = _rescaled_shape_problem(xs[g], ys[g])
        return codes


def _rescaled_shape_problem(x: FloatArray, y: FloatArray) -> int:
    """shape_problems() for one set whose offsets from their mean are out of range: decided on
    the coordinates times the power of two that brings the largest into [0.5, 1). The decision
    does not change when all coordinates are scaled by a power of two (short of over- and
    underflow), so it is the one the plain arithmetic would make without them."""
    big = max(float(np.max(np.abs(x))), float(np.max(np.abs(y))))
    if big == 0.0:
        return COINCIDENT
    k = math.frexp(big)[1]
    code = int(_shape_problems(ldexp(x, -k)[None, :], ldexp(y, -k)[None, :])[0][0])
    if code == COINCIDENT and not (np.all(x == x[0]) and np.all(y == y[0])):
        # Points apart only by less than 2^-1074 of the largest coordinate: they differ along
        # one axis alone, far below the rounding of the other, which is a line.
        return COLLINEAR
    return code


def _shape_problems(xs: FloatArray, ys: FloatArray) -> tuple[npt.NDArray[np.int8], BoolArray]:
    """The codes by the plain arithmetic, and which sets are out of its range (their codes are
    not to be used)."""
    groups, count = xs.shape
    n = float(count)
    dx = xs - (_sum_last(xs) / n)[:, None]
    dy = ys - (_sum_last(ys) / n)[:, None]
    w = np.empty((groups, 3, count))
    np.multiply(dx, dx, out=w[:, 0])
    np.multiply(dx, dy, out=w[:, 1])
    np.multiply(dy, dy, out=w[:, 2])
    sums = _sum_last(w)
    # NaN (a mean that overflowed) is out of range too.
    extreme: BoolArray = ~((sums[:, 0] + sums[:, 2] >= _LOW) & (sums[:, 0] + sums[:, 2] <= _HIGH))
    if groups == 1:
        a, b, c = sums[0].tolist()
        ex, ey, small = _principal_direction(a, b, c, _FloatOps)
        if not small:
            return np.zeros(1, dtype=np.int8), extreme
        candidates = np.ones(1, dtype=bool)
    else:
        ex, ey, candidates = _principal_direction(sums[:, 0], sums[:, 1], sums[:, 2], _ArrayOps)
    across = dy * ex - dx * ey if groups == 1 else dy * ex[:, None] - dx * ey[:, None]
    spread = np.sqrt(_sum_last(across * across) / n)
    hi_x, lo_x = xs.max(axis=-1), xs.min(axis=-1)
    hi_y, lo_y = ys.max(axis=-1), ys.min(axis=-1)
    # The rounding of a coordinate of magnitude m is about eps * m; across the line, x counts
    # with the weight |ey| and y with |ex|.
    rounding = np.maximum(hi_x, -lo_x) * np.abs(ey) + np.maximum(hi_y, -lo_y) * np.abs(ex)
    same = (hi_x == lo_x) & (hi_y == lo_y)
    # A NaN spread (no principal axis) is no line.
    flat = candidates & (spread <= _COLLINEAR_ULPS * _EPS * rounding)
    codes: npt.NDArray[np.int8] = np.where(
        same, COINCIDENT, np.where(flat, COLLINEAR, OK)
    ).astype(np.int8)
    return codes, extreme


def result_problem(cx: float, cy: float, r: float) -> str | None:
    """Why a fit's centre and radius are no circle (not finite), or None."""
    if math.isfinite(cx) and math.isfinite(cy) and math.isfinite(r):
        return None
    return f"the fit gave no finite circle: centre ({cx!r}, {cy!r}), radius {r!r}"


def _covariance(s: Any, n: float, count: int, ops: Any) -> tuple[Any, ...]:
    """The six distinct entries (00, 01, 02, 11, 12, 22) of sigma^2 (J^T J)^-1 from the sums
    (see, suu, suv, svv, su, sv), by cofactors of the symmetric
    [[suu, suv, su], [suv, svv, sv], [su, sv, n]]."""
    see, suu, suv, svv, su, sv = s
    c00 = svv * n - sv * sv
    c01 = su * sv - suv * n
    c02 = suv * sv - su * svv
    c11 = suu * n - su * su
    c12 = suv * su - suu * sv
    c22 = suu * svv - suv * suv
    det = suu * c00 + suv * c01 + su * c02
    sigma2 = see / (n - 3.0) if count > 3 else see * math.nan
    k = ops.div(sigma2, det)
    return (k * c00, k * c01, k * c02, k * c11, k * c12, k * c22)


def circle_stats(
    xs: FloatArray, ys: FloatArray, cx: FloatArray, cy: FloatArray
) -> tuple[FloatArray, FloatArray, FloatArray, npt.NDArray[np.int64]]:
    """Radius, rms residual and covariance for a batch of G point sets of n points each.

    Parameters
    ----------
    xs, ys : (G, n) float64 arrays, C-contiguous
        The points of each set (n >= 1).
    cx, cy : (G,) float64 arrays
        The centre of each set.

    Returns
    -------
    r : (G,) array
        Mean distance d_i = |p_i - c| of the points from the centre: for a given centre, the
        radius that minimises sum (d_i - r)^2.
    rms : (G,) array
        sqrt(mean e_i^2) of the residuals e_i = d_i - r.
    cov : (G, 3, 3) array
        Covariance of (cx, cy, r): sigma^2 (J^T J)^-1, where J is the Jacobian of the residuals
        with respect to (cx, cy, r) at the fitted circle (rows -u_i, -v_i, -1 with (u_i, v_i)
        the unit vector from the centre to the point) and sigma^2 = sum e_i^2 / (n - 3). All
        NaN when n <= 3, where the residuals leave no degrees of freedom to estimate sigma.
        In units of 4^k: see `k`.
    k : (G,) int array
        0, or for a set of extreme scale the power of two in which its covariance is given
        (the covariance is ``cov * 4**k``, its square roots ``sqrt(cov) * 2**k``): a circle of
        radius 1e200 has standard errors that are doubles but variances that are not.

    Notes
    -----
    The result for one set is the same, bit for bit, whatever other sets share the batch.
    A point exactly at the centre has no direction; its row of J gets u = v = 0. A set whose
    mean distance from the centre is outside [2^-400, 2^400] is computed on its offsets scaled
    by a power of two (see rescaled_stats), so that its squares neither overflow nor underflow.
    """
    with np.errstate(over="ignore", invalid="ignore", divide="ignore", under="ignore"):
        r, rms, cov = _plain_stats(xs, ys, cx, cy)
    k = np.zeros(r.shape[0], dtype=np.int64)
    for g in np.flatnonzero((r < _LOW) | (r > _HIGH)).tolist():
        scaled = rescaled_stats(xs[g], ys[g], float(cx[g]), float(cy[g]))
        if scaled is not None:
            r[g], rms[g], cov[g], k[g] = scaled
    return r, rms, cov, k


def _plain_stats(
    xs: FloatArray, ys: FloatArray, cx: FloatArray, cy: FloatArray
) -> tuple[FloatArray, FloatArray, FloatArray]:
    groups, count = xs.shape
    n = float(count)
    dx = xs - cx[:, None]
    dy = ys - cy[:, None]
    d = np.sqrt(dx * dx + dy * dy)
    r = _sum_last(d) / n
    w = np.empty((groups, 6, count))
    e, u, v = w[:, 0], w[:, 4], w[:, 5]
    np.subtract(d, r[:, None], out=e)
    # d = 0 only where dx = dy = 0, so dividing by 1 there gives the zero direction.
    safe = np.where(d > 0.0, d, 1.0)
    np.divide(dx, safe, out=u)
    np.divide(dy, safe, out=v)
    np.multiply(u, u, out=w[:, 1])
    np.multiply(u, v, out=w[:, 2])
    np.multiply(v, v, out=w[:, 3])
    np.multiply(e, e, out=e)
    s = _sum_last(w)
    cov = np.empty((groups, 3, 3))
    if groups == 1:
        entries: tuple[Any, ...] = _covariance(s[0].tolist(), n, count, _FloatOps)
    else:
        entries = _covariance(tuple(s.T), n, count, _ArrayOps)
    for k, (i, j) in enumerate(((0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2))):
        cov[:, i, j] = cov[:, j, i] = entries[k]
    rms: FloatArray = np.sqrt(s[:, 0] / n)
    return r, rms, cov


# Up to this many points, one set is handled in plain floats point by point (the loops below)
# rather than in numpy, whose fixed cost per call dominates there. The loops do the very
# operations of the batch code in the same order, so the bits are the same.
SMALL: Final = 64


def small_shape_problem(xs: list[float], ys: list[float]) -> int:
    """shape_problems() for one set given as lists of floats (at least one point)."""
    # The native centroid is each coordinate summed in index order from +0.0 and divided by the
    # count, the batch code's mean to the bit, at a tenth of the cost of the loop.
    mx, my = native_centre("centroid", xs, ys)
    a = b = c = 0.0
    for x, y in zip(xs, ys):
        dx = x - mx
        dy = y - my
        a += dx * dx
        b += dx * dy
        c += dy * dy
    if _LOW <= a + c <= _HIGH and not _principal_direction(a, b, c, _FloatOps)[2]:
        return OK
    # Collinear candidates and sets of extreme scale are rare: the batch code decides them.
    return int(shape_problems(np.array([xs]), np.array([ys]))[0])


def small_circle_stats(
    xs: list[float], ys: list[float], cx: float, cy: float
) -> tuple[float, float, tuple[float, ...], int]:
    """circle_stats() for one set given as lists of floats: r, rms, the 9 entries of cov and k."""
    r, rms, cov = _small_plain_stats(xs, ys, cx, cy)
    if r < _LOW or r > _HIGH:
        scaled = rescaled_stats(np.array(xs), np.array(ys), cx, cy)
        if scaled is not None:
            return scaled[0], scaled[1], tuple(scaled[2].ravel().tolist()), scaled[3]
    return r, rms, cov, 0


def _small_plain_stats(
    xs: list[float], ys: list[float], cx: float, cy: float
) -> tuple[float, float, tuple[float, ...]]:
    # The direction sums need no radius, so they run in the first pass; each sum still takes
    # its terms in index order.
    ds: list[float] = []
    total = suu = suv = svv = su = sv = 0.0
    sqrt = math.sqrt
    try:
        for x, y in zip(xs, ys):
            dx = x - cx
            dy = y - cy
            d = sqrt(dx * dx + dy * dy)
            total += d
            ds.append(d)
            u = dx / d
            v = dy / d
            suu += u * u
            suv += u * v
            svv += v * v
            su += u
            sv += v
    except ZeroDivisionError:
        # A point exactly at the centre: again with the guard that gives it the batch code's
        # zero direction, which would cost time on every point if always there.
        return _small_stats_guarded(xs, ys, cx, cy)
    return _small_stats_end(ds, total, (suu, suv, svv, su, sv), len(xs))


def _small_stats_guarded(
    xs: list[float], ys: list[float], cx: float, cy: float
) -> tuple[float, float, tuple[float, ...]]:
    """small_circle_stats() when a distance is 0 (a point at the centre, or squares that
    underflow): divided by 1 there, as in the batch code."""
    ds: list[float] = []
    total = suu = suv = svv = su = sv = 0.0
    for x, y in zip(xs, ys):
        dx = x - cx
        dy = y - cy
        d = math.sqrt(dx * dx + dy * dy)
        total += d
        ds.append(d)
        safe = d if d > 0.0 else 1.0
        u = dx / safe
        v = dy / safe
        suu += u * u
        suv += u * v
        svv += v * v
        su += u
        sv += v
    return _small_stats_end(ds, total, (suu, suv, svv, su, sv), len(xs))


def _small_stats_end(
    ds: list[float], total: float, direction: tuple[float, float, float, float, float],
    count: int,
) -> tuple[float, float, tuple[float, ...]]:
    """The radius, the second pass over the distances, and the covariance."""
    n = float(count)
    r = total / n
    see = 0.0
    for d in ds:
        e = d - r
        see += e * e
    c00, c01, c02, c11, c12, c22 = _covariance((see, *direction), n, count, _FloatOps)
    cov = (c00, c01, c02, c01, c11, c12, c02, c12, c22)
    return r, math.sqrt(see / n), cov


@dataclass(frozen=True, slots=True)
class Circle:
    """A fitted circle, with how well the points fit it and how sure its parameters are.

    Attributes
    ----------
    cx, cy : float
        Centre, exactly as the native fit returned it.
    r : float
        Mean distance of the points from the centre (the radius that the least-squares
        objective implies for this centre).
    rms : float
        Root mean square of the residuals d_i - r, d_i the points' distances from the centre.
    n : int
        Number of points fitted.
    method : str
        The method that found the centre: "lsq", "nelder_mead", "taubin" or "centroid".

    Examples
    --------
    >>> import tondrakit
    >>> c = tondrakit.fit([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26])
    >>> round(c.cx, 4), round(c.cy, 4), round(c.r, 4), round(c.rms, 4)
    (9.8876, 3.6875, 27.3504, 0.8208)
    >>> [round(s, 3) for s in c.stderr]
    [7.215, 7.048, 9.226]
    >>> c.residuals([9.8876 + 30.0], [3.6875]).round(3)
    array([2.65])
    """

    cx: float
    cy: float
    r: float
    rms: float
    n: int
    method: str
    # The covariance of (cx, cy, r), row by row, in units of 4^cov_exponent; see `cov`.
    cov_entries: tuple[float, ...] = field(repr=False)
    # Nonzero only for circles of extreme size, whose variances may not be doubles.
    cov_exponent: int = field(default=0, repr=False)

    @property
    def center(self) -> tuple[float, float]:
        """The centre as ``(cx, cy)``."""
        return (self.cx, self.cy)

    @property
    def cov(self) -> FloatArray:
        """Covariance matrix of (cx, cy, r), 3x3 (a new array each time).

        sigma^2 (J^T J)^-1 with J the Jacobian of the geometric residuals d_i - r with respect
        to (cx, cy, r) at the fitted circle and sigma^2 = sum (d_i - r)^2 / (n - 3): the
        first-order estimate for independent noise of equal spread on every point. NaN when
        n <= 3. For a circle of extreme size its entries may overflow to infinity or underflow
        to zero (variances of a circle of radius 1e200, say); `stderr` does not.
        """
        cov = np.array(self.cov_entries, dtype=np.float64).reshape(3, 3)
        if self.cov_exponent:
            out: FloatArray = ldexp(cov, 2 * self.cov_exponent)
            return out
        return cov

    @property
    def stderr(self) -> tuple[float, float, float]:
        """Standard errors ``(s_cx, s_cy, s_r)``: square roots of the covariance's diagonal."""
        c = self.cov_entries
        se = (_FloatOps.sqrt(c[0]), _FloatOps.sqrt(c[4]), _FloatOps.sqrt(c[8]))
        if self.cov_exponent:
            k = self.cov_exponent
            return (float(ldexp(se[0], k)), float(ldexp(se[1], k)), float(ldexp(se[2], k)))
        return se

    def residuals(self, xs: npt.ArrayLike, ys: npt.ArrayLike | None = None) -> FloatArray:
        """Signed distances of any points from the circle, |p - c| - r (outside positive).

        Points are given as for :func:`tondrakit.fit`: two 1-D array-likes or one (n, 2).
        """
        x, y = points(xs, ys, min_points=0)
        if out_of_range(self.r):
            return self._scaled_residuals(x, y)
        dx = x - self.cx
        dy = y - self.cy
        out: FloatArray = np.sqrt(dx * dx + dy * dy) - self.r
        return out

    def _scaled_residuals(self, x: FloatArray, y: FloatArray) -> FloatArray:
        """residuals() of a circle of extreme size, on the offsets scaled by the power of two
        that brings its radius into [1, 2) (before the subtraction when large, after it when
        small; see rescaled_stats)."""
        k = math.frexp(self.r)[1] - 1
        with np.errstate(over="ignore", under="ignore"):
            if k > 0:
                dx = ldexp(x, -k) - ldexp(self.cx, -k)
                dy = ldexp(y, -k) - ldexp(self.cy, -k)
            else:
                dx = ldexp(x - self.cx, -k)
                dy = ldexp(y - self.cy, -k)
            out: FloatArray = ldexp(np.sqrt(dx * dx + dy * dy) - ldexp(self.r, -k), k)
        return out


@dataclass(frozen=True, slots=True)
class RobustFit:
    """The result of :func:`tondrakit.fit_robust`.

    Attributes
    ----------
    circle : Circle
        The final fit on the inliers alone (its ``n`` is their number).
    inliers : numpy.ndarray of bool
        For each input point, whether `circle` was fitted to it: within `threshold` of the
        circle, and not alone along it far from the other inliers.
    trials : int
        Number of 3-point samples drawn.
    threshold : float
        The inlier threshold used, given or estimated.
    """

    circle: Circle
    inliers: BoolArray = field(compare=False)
    trials: int
    threshold: float
