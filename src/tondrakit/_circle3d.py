"""tondrakit.fit_circle3d: a circle in space."""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Final, Literal

import numpy as np
import numpy.typing as npt

from . import _engine
from ._errors import FitError
from ._results import Made, maker
from ._options import check_code
from ._space import space_points
from ._status import COINCIDENT, COLLINEAR, LINE_LIKE, NO_FINITE_CIRCLE, failure_text
from ._sphere import read_only
from ._validate import FloatArray

__all__ = ["Circle3D", "fit_circle3d"]

Convention = Literal["projected", "geometric"]
_CODES: Final[dict[str, int]] = {"projected": 0, "geometric": 1}
_SIXTEEN: Final = struct.Struct("=16d")

# The engine's statuses a circle in space can end with.
_FAILURES: Final = (COINCIDENT, COLLINEAR, LINE_LIKE, NO_FINITE_CIRCLE)


@dataclass(frozen=True, slots=True, eq=False, init=False)
class Circle3D(Made):
    """A circle fitted to points in space.

    Attributes
    ----------
    cx, cy, cz : float
        Centre.
    nx, ny, nz : float
        Unit normal of the circle's plane, its component of largest magnitude positive.
    r : float
        Radius.
    rms : float
        Root mean square of the points' true distances from the circle, in either convention.
    n : int
        Number of points fitted.
    cov : ndarray
        The 4x4 covariance of (cx, cy, cz, r) (read-only), from the true distances' Jacobian in
        centre, normal and radius, with sigma^2 their sum of squares over 2n - 6; NaN for 3
        points.
    converged : bool
        Whether the fit reached its minimum to the rounding of the data.
    iterations : int
        Levenberg-Marquardt's iterations, of the plane's fit and then in space.
    arc : float
        The angle in radians, in [0, 2 pi], that the points cover about the centre in the
        circle's plane.
    method : str
        The convention of the fit.
    """

    cx: float
    cy: float
    cz: float
    nx: float
    ny: float
    nz: float
    r: float
    rms: float
    n: int
    cov: FloatArray
    converged: bool
    iterations: int
    arc: float
    method: str

    @property
    def center(self) -> tuple[float, float, float]:
        """The centre as ``(cx, cy, cz)``."""
        return (self.cx, self.cy, self.cz)

    @property
    def normal(self) -> tuple[float, float, float]:
        """The unit normal as ``(nx, ny, nz)``."""
        return (self.nx, self.ny, self.nz)

    @property
    def stderr(self) -> FloatArray:
        """Standard errors of (cx, cy, cz, r): the square roots of `cov`'s diagonal."""
        return read_only(np.sqrt(np.diagonal(self.cov).copy()))


_make: Final = maker(Circle3D)


def fit_circle3d(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, zs: npt.ArrayLike | None = None, *,
    method: Convention = "projected",
) -> Circle3D:
    """Fits a circle to points in space.

    Parameters
    ----------
    xs, ys, zs : array-like of numbers
        The points' coordinates, three 1-D sequences of equal length; or all points as one
        (n, 3) array-like `xs`. At least 3 points, all finite.
    method : {"projected", "geometric"}
        The convention. "projected" (the default, the convention of dimensional metrology): the
        least-squares plane of the points, then the kit's geometric circle of the points
        projected on it. "geometric": the circle that minimises the sum of the squared true
        distances from the points to it in space, by Levenberg-Marquardt from the projected
        circle. The two agree on points that lie on a circle.

    Returns
    -------
    Circle3D

    Raises
    ------
    ValueError
        Bad shapes, unequal lengths, fewer than 3 points, a NaN or infinite coordinate, an
        unknown method.
    TypeError
        Coordinates that are not numbers.
    FitError
        The points coincide or are collinear, or fit a line better than any circle.

    Examples
    --------
    >>> import tondrakit
    >>> c = tondrakit.fit_circle3d([[1, 0, 5], [0, 1, 5], [-1, 0, 5], [0, -1, 5]])
    >>> [round(v, 12) for v in (*c.center, *c.normal, c.r)]
    [0.0, 0.0, 5.0, 0.0, 0.0, 1.0, 1.0]
    """
    code = check_code("method", method, _CODES)
    x, y, z = space_points(xs, ys, zs, 3)
    (status, cx, cy, cz, nx, ny, nz, r, rms, cov, n, iterations, converged,
     arc) = _engine.fit_circle3d(x, y, z, code)
    if status in _FAILURES:
        raise FitError(failure_text(status, centre=(cx, cy, cz), r=r))
    if status != 0:
        raise FitError(f"the circle fit stopped (status {status})")
    return _make(
        cx, cy, cz, nx, ny, nz, r, rms, n,
        read_only(np.array(_SIXTEEN.unpack(cov)).reshape(4, 4)), converged, iterations, arc,
        method,
    )
