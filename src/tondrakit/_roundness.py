"""tondrakit.roundness: the reference circles of roundness and the deviation about each."""

from __future__ import annotations

import math

from dataclasses import dataclass
from typing import TYPE_CHECKING, Final, Literal, TypeAlias, overload

import numpy as np
import numpy.typing as npt

from . import _engine
from ._errors import FitError
from ._fit import fit
from ._options import REFERENCES, Reference, check_reference
from ._results import Made, maker
from ._status import failure_text
from ._validate import points

if TYPE_CHECKING:
    import pandas as pd

__all__ = [
    "GROUP_COLUMNS", "RoundnessCircle", "add_empty_columns", "roundness", "roundness_columns",
]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"

# Each reference's code in the engine; least squares asks it about the kit's own centre.
_CODES: Final[dict[str, int]] = {
    "least_squares": 0, "minimum_zone": 1, "circumscribed": 2, "inscribed": 3,
}

# The columns fit_groups adds, in order; all float64 but `support` (tuples of indices).
GROUP_COLUMNS: Final = ("ref_cx", "ref_cy", "inner", "outer", "ront", "support")

# The engine's roundness statuses.
_SHAPE: Final = 1
_NOT_ENCLOSED: Final = 2


@dataclass(frozen=True, slots=True, init=False)
class RoundnessCircle(Made):
    """One reference circle of a profile, and the profile's roundness deviation about it.

    Attributes
    ----------
    reference : str
        "least_squares", "minimum_zone", "circumscribed" or "inscribed".
    cx, cy : float
        The reference's centre.
    r : float
        Its radius: the least-squares radius (mean distance from the centre), the
        circumscribed circle's (``outer``), the inscribed circle's (``inner``), or for the
        minimum zone the mean of its two radii.
    inner, outer : float
        The smallest and largest distance of a point from the centre: the two concentric
        circles about it that hold the profile between them (for the zone, its two circles).
    ront : float
        The roundness deviation: ``outer - inner`` (for the minimum zone, its width, the
        smallest of any centre), rounded once.
    support : tuple of int
        Indices of the points that fix the reference: 2 or 3 points on the circumscribed
        circle, 3 on the inscribed one, 4 on the zone's two circles (two on each, or three on
        one and one on the other); for least squares, the farthest and the nearest point
        (the peak and the valley).

    Examples
    --------
    >>> import tondrakit
    >>> c = tondrakit.roundness([0, 4, 2, 2], [0, 0, 3, 1], reference="circumscribed")
    >>> [round(v, 12) for v in (c.cx, c.cy, c.r)], c.support
    ([2.0, 0.833333333333, 2.166666666667], (0, 1, 2))
    """

    reference: str
    cx: float
    cy: float
    r: float
    inner: float
    outer: float
    ront: float
    support: tuple[int, ...]

    @property
    def center(self) -> tuple[float, float]:
        """``(cx, cy)``."""
        return (self.cx, self.cy)


_make: Final = maker(RoundnessCircle)


@overload
def roundness(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, *, reference: Reference = "minimum_zone",
) -> RoundnessCircle: ...
@overload
def roundness(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, *, reference: Literal["all"],
) -> dict[str, RoundnessCircle]: ...
def roundness(
    xs: npt.ArrayLike, ys: npt.ArrayLike | None = None, *,
    reference: Reference | Literal["all"] = "minimum_zone",
) -> RoundnessCircle | dict[str, RoundnessCircle]:
    """The reference circle of a profile's roundness, with the roundness deviation about it.

    Parameters
    ----------
    xs, ys : array-like of numbers
        The profile's points, as for :func:`fit`: two 1-D sequences of equal length, or one
        (n, 2) array-like `xs`. At least 3 points, all finite, in any order.
    reference : {"minimum_zone", "least_squares", "circumscribed", "inscribed", "all"}
        "minimum_zone" (the default): the two concentric circles closest together with every
        point between them. "least_squares": the circle of :func:`fit` (the geometric fit).
        "circumscribed": the smallest circle around every point. "inscribed": the largest
        circle with no point inside it that the points go round. "all": a dict of the four,
        by these names.

    Returns
    -------
    RoundnessCircle or dict of them
        Centre, radius, inner and outer radius, the deviation ``ront`` and the support points.

    Raises
    ------
    ValueError, TypeError
        Bad points, as for :func:`fit`; an unknown reference.
    FitError
        The points coincide or are collinear (for "least_squares" also where :func:`fit`
        raises); for "inscribed", the points go round no circle.

    Notes
    -----
    Except least squares, the circles are found exactly, not by iterating to a tolerance: each
    is fixed by its support points, and these are found by trying every candidate support in
    a subset of the points, taking in the points that the subset's answer leaves outside until
    there are none (Welzl's algorithm for the circumscribed circle). Which point lies on which
    side of which circle is decided in extended precision on the points less the middle of
    their bounding box, scaled by a power of two: cocircular points and ties lie on the circle,
    every point lies between ``inner`` and ``outer`` as returned, and scaling the points by a
    power of two scales every length by it exactly.

    "Inscribed" requires the points to go round the centre: three points on the circle hold
    it from all sides (the centre lies inside their triangle), and no point lies inside it.
    The largest such circle is taken: for up to 40 points the largest of all; beyond, the
    largest about its own centre, which on lobed and noisy profiles is the largest of all, but
    in a cloud of points a larger empty circle may lie away from it. Points on an arc of less
    than a half turn hold none.

    Examples
    --------
    >>> import tondrakit
    >>> zone = tondrakit.roundness([2, 0, -2, 0, 1, -1, -1, 1], [0, 2, 0, -2, 1, 1, -1, -1])
    >>> zone.center, zone.inner, zone.outer, round(zone.ront, 12)
    ((0.0, 0.0), 1.4142135623730951, 2.0, 0.585786437627)
    """
    name = check_reference(reference, allow_all=True)
    x, y = points(xs, ys)
    if name == "all":
        return {ref: _one(x, y, ref) for ref in REFERENCES}
    return _one(x, y, name)


def _one(x: FloatArray, y: FloatArray, reference: str) -> RoundnessCircle:
    cx = cy = 0.0
    r: float | None = None
    if reference == "least_squares":
        circle = fit(x, y)
        cx, cy, r = circle.cx, circle.cy, circle.r
    status, shape, cx, cy, inner, outer, ront, support = _engine.roundness(
        x, y, _CODES[reference], cx, cy
    )
    if status == _SHAPE:
        raise FitError(failure_text(shape, method="roundness", centre=(cx, cy), r=0.0, n=len(x), threshold=0.0))
    if status == _NOT_ENCLOSED:
        raise FitError("the points go round no circle: there is no inscribed circle")
    if not all(math.isfinite(v) for v in (cx, cy, inner, outer, ront)):
        # Points near the top of the doubles whose circle lies beyond them.
        raise FitError(
            f"the {reference} circle is not finite: centre ({cx!r}, {cy!r}), radii {inner!r}"
            f" to {outer!r}"
        )
    if r is None:
        middle = (inner + outer) / 2
        if math.isinf(middle):  # both near the top of the doubles: halved first, exactly
            middle = inner / 2 + outer / 2
        r = {"minimum_zone": middle, "circumscribed": outer}.get(reference, inner)
    return _make(reference, cx, cy, r, inner, outer, ront, tuple(support))


def add_empty_columns(table: pd.DataFrame) -> None:
    """The columns fit_groups adds, without rows, added to an empty result."""
    for name in GROUP_COLUMNS:
        table[name] = np.empty(0, dtype=object if name == "support" else np.float64)


def roundness_columns(
    x: FloatArray, y: FloatArray, offsets: npt.NDArray[np.int64], reference: str,
    cx: FloatArray, cy: FloatArray, workers: int,
) -> tuple[dict[str, object], list[str | None]]:
    """The columns fit_groups adds for one reference, one entry per group (the engine's threads
    do the work), and each group's error message or None. `cx`, `cy` are the groups' fitted
    centres, which least squares takes as its own."""
    about = reference == "least_squares"
    empty = np.empty(0, dtype=np.float64)
    status, shape, rx, ry, inner, outer, ront, support = _engine.roundness_batch(
        x, y, offsets, _CODES[reference],
        np.require(cx, np.float64, ["C", "A"]) if about else empty,
        np.require(cy, np.float64, ["C", "A"]) if about else empty,
        workers,
    )
    codes = np.frombuffer(status, dtype=np.int8)
    shapes = np.frombuffer(shape, dtype=np.int8)
    indices = np.frombuffer(support, dtype=np.int64).reshape(-1, 4)
    errors: list[str | None] = [None] * codes.shape[0]
    supports: list[object] = [None] * codes.shape[0]
    for g in range(codes.shape[0]):
        if codes[g] == 0:
            supports[g] = tuple(int(i) for i in indices[g] if i >= 0)
        elif codes[g] == _SHAPE:
            errors[g] = failure_text(int(shapes[g]), method="roundness", centre=(0.0, 0.0), r=0.0, threshold=0.0)
        elif codes[g] == _NOT_ENCLOSED:
            errors[g] = "the points go round no circle: there is no inscribed circle"
        else:
            errors[g] = "the roundness of these points could not be computed"
    columns: dict[str, object] = {
        "ref_cx": np.frombuffer(rx).copy(), "ref_cy": np.frombuffer(ry).copy(),
        "inner": np.frombuffer(inner).copy(), "outer": np.frombuffer(outer).copy(),
        "ront": np.frombuffer(ront).copy(), "support": supports,
    }
    return columns, errors
