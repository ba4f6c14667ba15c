"""The fitted circle, and the words for every way a fit can fail.

The engine computes everything; a result arrives as one tuple, (status, detail, cx, cy, r, rms,
cov, cov_exponent, n, iterations, converged, arc, message), and a Circle keeps that tuple as it
came, so that making one costs next to nothing.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field
from typing import Any, Final, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _engine
from ._errors import FitError
from ._options import METHODS
from ._validate import points

__all__ = ["METHODS", "Circle", "RobustFit"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
BoolArray: TypeAlias = "npt.NDArray[np.bool_]"
Result: TypeAlias = "tuple[Any, ...]"

# The engine's status codes.
OK: Final = 0
TOO_FEW: Final = 1
NOT_FINITE: Final = 2
COINCIDENT: Final = 3
COLLINEAR: Final = 4
NO_FINITE_CIRCLE: Final = 5
FIT_FAILED: Final = 6
NO_SAMPLE: Final = 7
TOO_FEW_INLIERS: Final = 8
INLIERS_NO_CIRCLE: Final = 9
LINE_LIKE: Final = 10
CANCELLED: Final = 11
NO_MEMORY: Final = 12
NO_CIRCLE_IN_BOUNDS: Final = 13

# The name under which each method's failure is reported.
_FIT_NAMES: Final[dict[str, str]] = {
    "lsq": "the native fit fit_lsq",
    "nelder_mead": "the native fit fit_lsq(method='nelder_mead')",
    "taubin": "the native fit taubin_svd",
    "centroid": "the native fit fit_geometrical",
}


def failure_text(
    status: int, detail: int, method: str, cx: float, cy: float, r: float, n: int,
    trials: int, threshold: float, message: str | None, bounded: bool = False,
) -> str:
    """The message of a failed fit (not of bad input: see input_error); `bounded`: the fit had
    radius bounds."""
    if status == COINCIDENT:
        return "all points coincide: they determine no circle"
    if status == COLLINEAR:
        return "the points are collinear: no circle passes through them"
    if status == NO_FINITE_CIRCLE:
        return f"the fit gave no finite circle: centre ({cx!r}, {cy!r}), radius {r!r}"
    if status == FIT_FAILED:
        return f"{_FIT_NAMES.get(method, f'the fit {method}')} failed: {message}"
    if status == LINE_LIKE:
        return "the points fit a line better than any circle"
    if status == NO_SAMPLE and bounded:
        return f"no sample gives a circle within the radius bounds ({trials} samples)"
    if status == NO_SAMPLE:
        return f"no sample of 3 points determines a circle ({trials} samples, all collinear)"
    if status == TOO_FEW_INLIERS:
        return (
            f"the best sample has only {n} inliers within {threshold!r}: too few for a circle"
        )
    if status == INLIERS_NO_CIRCLE:
        inner = failure_text(detail, OK, method, cx, cy, r, n, trials, threshold, message, bounded)
        return f"the {n} inliers determine no circle: {inner}"
    if status == NO_MEMORY:
        return "out of memory while fitting"
    if status == NO_CIRCLE_IN_BOUNDS:
        return (
            f"no circle within the radius bounds fits the points: the nearest, of radius {r!r},"
            " leaves an rms residual larger than its radius"
        )
    return f"the fit stopped (status {status})"


def input_error(x: FloatArray, y: FloatArray) -> BaseException:
    """The error the input checks give for points the engine found too few or not finite."""
    try:
        points(x, y)
    except (TypeError, ValueError) as e:
        return e
    return ValueError("the points failed the input checks")


def fit_error(status: int, text: str) -> Exception:
    """The exception for a failed fit: FitError, or MemoryError when memory ran out."""
    return MemoryError(text) if status == NO_MEMORY else FitError(text)


def check_result(result: Result, method: str) -> None:
    """Raises the error of a failed single fit (points already checked)."""
    status = result[0]
    if status == OK:
        return
    raise fit_error(
        status,
        failure_text(
            status, result[1], method, result[2], result[3], result[4], result[8], 0, math.nan,
            result[12],
        ),
    )


# The covariance travels as the bytes of its nine doubles, row by row.
_NINE: Final = struct.Struct("=9d")
_DIAGONAL: Final = struct.Struct("=d24xd24xd")


def _sqrt(v: float) -> float:
    return math.sqrt(v) if v >= 0.0 else math.nan


def _ldexp(v: float, k: int) -> float:
    """v 2^k, infinite where that is beyond the doubles (math.ldexp raises there)."""
    try:
        return math.ldexp(v, k)
    except OverflowError:
        return math.copysign(math.inf, v)


class Circle:
    """A fitted circle, with how well the points fit it and how sure its parameters are.

    Attributes
    ----------
    cx, cy : float
        Centre; for the native methods exactly as the native fit returns it.
    r : float
        Mean distance of the points from the centre (the radius that the least-squares
        objective implies for this centre).
    rms : float
        Root mean square of the residuals d_i - r, d_i the points' distances from the centre.
    n : int
        Number of points fitted.
    method : str
        The method that found the centre.
    stderr, cov
        Standard errors of (cx, cy, r) and their covariance (see `cov`).
    converged : bool
        Whether the centre is a least-squares minimum (see `converged`).
    iterations : int or None
        The solver's iterations, for the methods that have them.
    arc : float
        The angle, in radians, that the points cover about the centre.

    Examples
    --------
    >>> import tondrakit
    >>> c = tondrakit.fit([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26])
    >>> round(c.cx, 4), round(c.cy, 4), round(c.r, 4), round(c.rms, 4)
    (9.8876, 3.6875, 27.3504, 0.8208)
    >>> [round(s, 3) for s in c.stderr]
    [7.215, 7.048, 9.226]
    >>> c.converged, round(c.arc, 4)
    (True, 1.0449)
    >>> c.residuals([9.8876 + 30.0], [3.6875]).round(3)
    array([2.65])
    """

    __slots__ = ("_v", "_m")
    _v: Result
    _m: str

    def __init__(
        self, cx: float, cy: float, r: float, rms: float, n: int, method: str,
        cov: npt.ArrayLike | None = None, *, converged: bool = False,
        iterations: int | None = None, arc: float = math.nan,
    ) -> None:
        entries = _NINE.pack(*(
            (math.nan,) * 9 if cov is None else np.asarray(cov, dtype=np.float64).reshape(9)
        ))
        _set_v(self, (OK, OK, float(cx), float(cy), float(r), float(rms), entries, 0, int(n),
                      -1 if iterations is None else int(iterations), bool(converged),
                      float(arc), None))
        _set_m(self, str(method))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Circle is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Circle is immutable: cannot delete {name!r}")

    @property
    def cx(self) -> float:
        """x of the centre."""
        cx: float = self._v[2]
        return cx

    @property
    def cy(self) -> float:
        """y of the centre."""
        cy: float = self._v[3]
        return cy

    @property
    def r(self) -> float:
        """Radius: the mean distance of the points from the centre."""
        r: float = self._v[4]
        return r

    @property
    def rms(self) -> float:
        """Root mean square of the residuals d_i - r."""
        rms: float = self._v[5]
        return rms

    @property
    def n(self) -> int:
        """Number of points fitted."""
        n: int = self._v[8]
        return n

    @property
    def method(self) -> str:
        """The method that found the centre."""
        return self._m

    @property
    def converged(self) -> bool:
        """Whether the centre is a least-squares minimum of sum (d_i - r)^2: the Gauss-Newton
        step there is shorter than 1e-8 of the data's size (or than rounding allows) and no
        direction curves down. False where a solver stopped short (the native L-BFGS on short
        arcs, say), at a saddle, and for the algebraic fits' centres, which are near a minimum
        but not at it. For "lsq", "nelder_mead" and "geometric", whose centre is meant to be
        the minimum, `cov` and `stderr` are NaN where this is False: the first-order
        covariance describes a minimum only."""
        converged: bool = self._v[10]
        return converged

    @property
    def iterations(self) -> int | None:
        """Iterations of the method's solver; None for the methods without one."""
        iterations: int = self._v[9]
        return None if iterations < 0 else iterations

    @property
    def arc(self) -> float:
        """The angle in radians, in [0, 2 pi], that the points cover about the centre: 2 pi less
        the largest empty angular gap between them."""
        arc: float = self._v[11]
        return arc

    @property
    def center(self) -> tuple[float, float]:
        """The centre as ``(cx, cy)``."""
        return (self._v[2], self._v[3])

    @property
    def cov(self) -> FloatArray:
        """Covariance matrix of (cx, cy, r), 3x3 (a new array each time).

        sigma^2 (J^T J)^-1 with J the Jacobian of the geometric residuals d_i - r with respect
        to (cx, cy, r) at the fitted circle and sigma^2 = sum (d_i - r)^2 / (n - 3): the
        first-order estimate for independent noise of equal spread on every point. NaN when
        n <= 3. For a circle of extreme size its entries may overflow to infinity or underflow
        to zero (variances of a circle of radius 1e200, say); `stderr` does not.
        """
        cov = np.frombuffer(self._v[6], dtype=np.float64).reshape(3, 3).copy()
        k: int = self._v[7]
        if k:
            with np.errstate(over="ignore", under="ignore"):
                scaled: FloatArray = np.ldexp(cov, 2 * k)
            return scaled
        return cov

    @property
    def stderr(self) -> tuple[float, float, float]:
        """Standard errors ``(s_cx, s_cy, s_r)``: square roots of the covariance's diagonal."""
        c = _DIAGONAL.unpack(self._v[6])
        k: int = self._v[7]
        se = (_sqrt(c[0]), _sqrt(c[1]), _sqrt(c[2]))
        if k:
            return (_ldexp(se[0], k), _ldexp(se[1], k), _ldexp(se[2], k))
        return se

    def residuals(self, xs: npt.ArrayLike, ys: npt.ArrayLike | None = None) -> FloatArray:
        """Signed distances of any points from the circle, |p - c| - r (outside positive).

        Points are given as for :func:`tondrakit.fit`: two 1-D array-likes or one (n, 2).
        """
        x, y = points(xs, ys, min_points=0)
        out: FloatArray = np.frombuffer(
            _engine.residuals(x, y, self._v[2], self._v[3], self._v[4]), dtype=np.float64
        )
        return out

    def _key(self) -> tuple[object, ...]:
        v = self._v
        return (v[2], v[3], v[4], v[5], v[8], self._m, v[6], v[7])

    def __eq__(self, other: object) -> bool:
        if type(other) is not Circle:
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        v = self._v
        return (
            f"Circle(cx={v[2]!r}, cy={v[3]!r}, r={v[4]!r}, rms={v[5]!r}, n={v[8]!r},"
            f" method={self._m!r})"
        )

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, (self._v, self._m))


# The slots' own setters, which Circle's __setattr__ does not stand in the way of.
_set_v = Circle.__dict__["_v"].__set__
_set_m = Circle.__dict__["_m"].__set__


def make_circle(result: Result, method: str) -> Circle:
    """A Circle around an engine result, without copying it."""
    circle = object.__new__(Circle)
    _set_v(circle, result)
    _set_m(circle, method)
    return circle


def _restore(result: Result, method: str) -> Circle:
    return make_circle(result, method)


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
