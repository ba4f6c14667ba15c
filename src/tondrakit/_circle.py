"""The fitted circle and the robust fit's result, as the engine's results make them.

A Circle holds the engine's values under their names; the covariance stays the bytes of its nine
doubles, scaled by a power of two, until it is asked for, so that making a Circle costs little
beside the fit.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass, field
from typing import Any, Final, NoReturn, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _engine
from ._results import Made, maker
from ._status import OK, TERMINATION_WORDS, failure_text, fit_error
from ._validate import points

__all__ = ["Circle", "RobustFit", "circle_of", "make_circle", "standard_errors"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
BoolArray: TypeAlias = "npt.NDArray[np.bool_]"
Result: TypeAlias = "tuple[Any, ...]"

# Where each field of the engine's single result is.
_AT: Final = {name: i for i, name in enumerate(_engine.RESULT_FIELDS)}
_STATUS: Final = _AT["status"]


def standard_errors(
    cov: FloatArray, exponent: npt.NDArray[np.int32]
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Standard errors of (cx, cy, r) of each row of covariances (m, 9), whose entries are the
    true ones over 4^exponent: the square roots of the diagonal, times 2^exponent (exactly)."""
    with np.errstate(invalid="ignore", over="ignore", under="ignore"):
        return (
            np.ldexp(np.sqrt(cov[:, 0]), exponent),
            np.ldexp(np.sqrt(cov[:, 4]), exponent),
            np.ldexp(np.sqrt(cov[:, 8]), exponent),
        )


class _CircleSlots(Made):
    """A Circle's storage, writable: a fit fills it at the speed of plain stores, then makes it
    a Circle, which refuses them (see make_circle)."""

    __slots__ = (
        "cx", "cy", "r", "rms", "n", "method", "converged", "iterations", "arc", "termination",
        "_cov", "_cov_exponent",
    )


@dataclass(init=False, repr=False, unsafe_hash=True)
class Circle(_CircleSlots):
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
    converged : bool
        Whether the centre is a least-squares minimum of sum (d_i - r)^2: the Gauss-Newton
        step there is shorter than 1e-8 of the data's size (or than rounding allows) and no
        direction curves down. False where a solver stopped short (the native L-BFGS on short
        arcs, say), at a saddle, and for the algebraic fits' centres, which are near a minimum
        but not at it. For "lsq", "nelder_mead" and "geometric", whose centre is meant to be
        the minimum, `cov` and `stderr` are NaN where this is False: the first-order
        covariance describes a minimum only.
    iterations : int or None
        Iterations of the method's solver; None for the methods without one.
    arc : float
        The angle in radians, in [0, 2 pi], that the points cover about the centre: 2 pi less
        the largest empty angular gap between them.
    termination : str or None
        Why the method's solver stopped: "converged" (its own stopping rule held), "iteration
        limit" (its budget ran out first), "no progress" (no step lowered the cost further),
        "diverged" (the centre ran off, as it does on points closer to a line than to any
        circle) or "not finite" (the cost could not be computed); None for the methods without
        a solver. Whether the centre is a least-squares minimum is `converged`, judged apart.
    stderr, cov
        Standard errors of (cx, cy, r) and their covariance (see `cov`).

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

    cx: float
    cy: float
    r: float
    rms: float
    n: int
    method: str
    converged: bool = field(compare=False)
    iterations: int | None = field(compare=False)
    arc: float = field(compare=False)
    termination: str | None = field(compare=False)
    # The covariance's nine doubles, row by row, over 4^_cov_exponent.
    _cov: bytes
    _cov_exponent: int

    __slots__ = ()

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError(f"Circle is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"Circle is immutable: cannot delete {name!r}")

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
        cov = np.frombuffer(self._cov, dtype=np.float64).reshape(3, 3).copy()
        if self._cov_exponent:
            with np.errstate(over="ignore", under="ignore"):
                scaled: FloatArray = np.ldexp(cov, 2 * self._cov_exponent)
            return scaled
        return cov

    @property
    def stderr(self) -> tuple[float, float, float]:
        """Standard errors ``(s_cx, s_cy, s_r)``: square roots of the covariance's diagonal."""
        se = standard_errors(
            np.frombuffer(self._cov, dtype=np.float64).reshape(1, 9),
            np.array([self._cov_exponent], dtype=np.int32),
        )
        return (float(se[0][0]), float(se[1][0]), float(se[2][0]))

    def residuals(self, xs: npt.ArrayLike, ys: npt.ArrayLike | None = None) -> FloatArray:
        """Signed distances of any points from the circle, |p - c| - r (outside positive).

        Points are given as for :func:`tondrakit.fit`: two 1-D array-likes or one (n, 2).
        """
        x, y = points(xs, ys, min_points=0)
        out: FloatArray = np.frombuffer(
            _engine.residuals(x, y, self.cx, self.cy, self.r), dtype=np.float64
        )
        return out

    def __repr__(self) -> str:
        return (
            f"Circle(cx={self.cx!r}, cy={self.cy!r}, r={self.r!r}, rms={self.rms!r},"
            f" n={self.n!r}, method={self.method!r}, converged={self.converged!r},"
            f" termination={self.termination!r})"
        )

    def __reduce__(self) -> tuple[Any, ...]:
        return (make_circle, _fields(self))


_fields: Final = operator.attrgetter(*Circle.__dataclass_fields__)
# The engine's fields a Circle takes, in its own order (the method comes from the caller).
_pick: Final = operator.itemgetter(*(
    _AT[name] for name in ("cx", "cy", "r", "rms", "n", "converged", "iterations", "arc",
                           "termination", "cov", "cov_exponent")
))
_new: Final[Any] = object.__new__


def make_circle(
    cx: float, cy: float, r: float, rms: float, n: int, method: str, converged: bool,
    iterations: int | None, arc: float, termination: str | None, cov: bytes, cov_exponent: int,
) -> Circle:
    """A Circle of these values (`cov`: the bytes of the nine doubles over 4^cov_exponent)."""
    made = _new(_CircleSlots)
    made.cx, made.cy, made.r, made.rms, made.n, made.method = cx, cy, r, rms, n, method
    made.converged, made.iterations, made.arc = converged, iterations, arc
    made.termination = termination
    made._cov, made._cov_exponent = cov, cov_exponent
    made.__class__ = Circle
    circle: Circle = made
    return circle


def circle_of(result: Result, method: str) -> Circle:
    """The Circle of a successful engine result (the engine's -1 iterations: none). Written for
    speed: it is most of what fit() adds to the engine's call."""
    cx, cy, r, rms, n, converged, iterations, arc, termination, cov, cov_exponent = _pick(result)
    code: int = termination
    # make_circle's stores, inline: a call fewer is a tenth of what a fit of 20 points adds.
    made = _new(_CircleSlots)
    made.cx, made.cy, made.r, made.rms, made.n, made.method = cx, cy, r, rms, n, method
    made.converged, made.iterations, made.arc = converged, None if iterations < 0 else iterations, arc
    made.termination, made._cov, made._cov_exponent = TERMINATION_WORDS[code], cov, cov_exponent
    made.__class__ = Circle
    circle: Circle = made
    return circle


def restore_unnamed(result: Result, method: str) -> Circle:
    """A Circle pickled as the engine's 13 fields of the time (status, detail, cx, cy, r, rms,
    cov, cov_exponent, n, iterations, converged, arc, message), which say nothing of why the
    solver stopped."""
    _, _, cx, cy, r, rms, cov, cov_exponent, n, iterations, converged, arc, _ = result
    return make_circle(cx, cy, r, rms, n, method, converged,
                       None if iterations < 0 else iterations, arc, None, cov, cov_exponent)


# The name those pickles call.
_restore = restore_unnamed


def check_result(result: Result, method: str) -> None:
    """Raises the error of a failed single fit (points already checked)."""
    status = result[_STATUS]
    if status == OK:
        return
    at = _AT
    raise fit_error(status, failure_text(
        status, detail=result[at["detail"]], method=method,
        centre=(result[at["cx"]], result[at["cy"]]), r=result[at["r"]], n=result[at["n"]],
        message=result[at["message"]],
    ))


@dataclass(frozen=True, slots=True, init=False)
class RobustFit(Made):
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


make_robust_fit: Final = maker(RobustFit)
