"""tondrakit.fit_sphere: the sphere through points in space."""

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
from ._status import COINCIDENT, COPLANAR, NO_FINITE_CIRCLE, OK, failure_text
from ._validate import FloatArray

__all__ = ["Sphere", "fit_sphere"]

SphereMethod = Literal["geometric", "algebraic"]
_CODES: Final[dict[str, int]] = {"geometric": 0, "algebraic": 1}

_SIXTEEN: Final = struct.Struct("=16d")


def read_only(a: FloatArray) -> FloatArray:
    a.flags.writeable = False
    return a


@dataclass(frozen=True, slots=True, eq=False, init=False)
class Sphere(Made):
    """A fitted sphere, with how well the points fit it and how sure its parameters are.

    Attributes
    ----------
    cx, cy, cz : float
        Centre.
    r : float
        Radius: for "geometric" the mean distance of the points from the centre, for
        "algebraic" the algebraic fit's own.
    rms : float
        Root mean square of the residuals d_i - r.
    n : int
        Number of points fitted.
    residuals : ndarray
        The signed distances d_i - r of the points from the sphere (read-only).
    cov : ndarray
        The 4x4 covariance of (cx, cy, cz, r), sigma^2 (J^T J)^-1 with sigma^2 the residuals'
        sum of squares over n - 4 (read-only); NaN for 4 points.
    converged : bool
        Whether the centre is a least-squares minimum of sum (d_i - r)^2 to the rounding of
        the data (for "algebraic": whether its centre happens to be one, as on exact points).
    iterations : int or None
        Levenberg-Marquardt's iterations for "geometric"; None for "algebraic".
    method : str
        The method that found the sphere.
    """

    cx: float
    cy: float
    cz: float
    r: float
    rms: float
    n: int
    residuals: FloatArray
    cov: FloatArray
    converged: bool
    iterations: int | None
    method: str

    @property
    def center(self) -> tuple[float, float, float]:
        """The centre as ``(cx, cy, cz)``."""
        return (self.cx, self.cy, self.cz)

    @property
    def stderr(self) -> FloatArray:
        """Standard errors of (cx, cy, cz, r): the square roots of `cov`'s diagonal."""
        return read_only(np.sqrt(np.diagonal(self.cov).copy()))

    def __repr__(self) -> str:
        return (
            f"Sphere(cx={self.cx!r}, cy={self.cy!r}, cz={self.cz!r}, r={self.r!r}, "
            f"rms={self.rms!r}, n={self.n}, method={self.method!r}, converged={self.converged!r})"
        )


_make: Final = maker(Sphere)


def fit_sphere(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, zs: npt.ArrayLike | None = None, *,
    method: SphereMethod = "geometric",
) -> Sphere:
    """Fits a sphere to points in space.

    Parameters
    ----------
    xs, ys, zs : array-like of numbers
        The points' coordinates, three 1-D sequences of equal length; or all points as one
        (n, 3) array-like `xs`, with `ys` and `zs` left out. At least 4 points, all finite.
    method : {"geometric", "algebraic"}
        "geometric" (the default): the sphere that minimises the sum of squared distances
        (|p_i - c| - r)^2, by Levenberg-Marquardt from the algebraic fit, converged to the
        rounding of the data. "algebraic": the sphere whose equation the points satisfy best in
        least squares, one linear solve; biased towards smaller spheres on partial caps.

    Returns
    -------
    Sphere

    Raises
    ------
    ValueError
        Bad shapes, unequal lengths, fewer than 4 points, a NaN or infinite coordinate, an
        unknown method.
    TypeError
        Coordinates that are not numbers.
    FitError
        The points coincide, or lie on one plane (or line): no unique sphere passes through
        them; or the sphere found is not finite.

    Examples
    --------
    >>> import tondrakit
    >>> s = tondrakit.fit_sphere([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, 0, 1], [0, 0, -1]])
    >>> [round(v, 12) for v in (s.cx, s.cy, s.cz, s.r, s.rms)], s.converged
    ([0.0, 0.0, 0.0, 1.0, 0.0], True)
    """
    code = check_code("method", method, _CODES)
    x, y, z = space_points(xs, ys, zs, 4)
    status, cx, cy, cz, r, rms, cov, n, iterations, converged = _engine.fit_sphere(x, y, z, code)
    if status in (COINCIDENT, COPLANAR, NO_FINITE_CIRCLE):
        raise FitError(failure_text(status, centre=(cx, cy, cz), r=r, shape="sphere"))
    if status != OK:
        raise FitError(f"the sphere fit stopped (status {status})")
    with np.errstate(over="ignore", invalid="ignore"):
        d = np.sqrt((x - cx) ** 2 + (y - cy) ** 2 + (z - cz) ** 2) - r
    return _make(
        cx, cy, cz, r, rms, n, read_only(d),
        read_only(np.array(_SIXTEEN.unpack(cov)).reshape(4, 4)), converged,
        None if iterations < 0 else iterations, method,
    )



