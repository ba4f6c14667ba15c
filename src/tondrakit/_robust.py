"""tondrakit.fit_robust: one circle from points of which some are outliers.

Sample consensus on minimal samples. Each trial draws 3 distinct points, takes the circle
through them (their circumcircle) and scores it by a truncated quadratic, sum min(e_i^2, t^2)
over all points with e_i the point's distance from the circle: an MSAC score, which, unlike a
plain count of inliers, prefers among circles with the same inliers the one they fit best.
Trials run in vectorised batches and stop once, at the inlier ratio w of the best circle so far,
a sample of 3 inliers would have been drawn with the requested confidence,
N = log(1 - confidence) / log(1 - w^3), or at max_trials. The best circle's inliers
(|e_i| <= t) are then fitted with the chosen method; the inliers are decided again from that
fit and refitted until they no longer change (at most _MAX_ROUNDS rounds).

Deciding the inliers again also drops candidates that lie nearly alone along the circle, far
from the other inliers. Outliers spread over the plane fall near the circle now and then; away
from the arc the inliers occupy, such a point weighs heavily on the fit (on a short arc it alone
can set the radius), and its being near the fitted circle pulls that circle towards it. Dropping
a true inlier that happens to lie alone costs little; keeping such outliers made the median
centre error on 60-degree arcs with 30 % outliers five times that of a fit on the true inliers.

Without a given threshold, t = 2.5 sigma, with sigma a robust scale of the residuals: first
1.4826 (1 + 5 / (n - 3)) median |e_i| over all points for the best circle of the first batch
(the median absolute residual made consistent for Gaussian noise, with the usual small-sample
factor), then, from each fitted circle, the median |e_i| of the inliers it was fitted to, made
consistent for Gaussian noise truncated at 2.5 sigma. The first estimate is inflated by the
outliers; the refinement removes that without letting them back in (a root mean square would
grow with every outlier inside the band, and the band with it).

All the work on samples is done in the points' own frame (centred on their mean and scaled by
their RMS distance from it, found on the coordinates scaled by a power of two), so it is the
same for data near the origin or far from it, and for data of any size.
"""

from __future__ import annotations

import math
import operator
from typing import Final, SupportsFloat, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

from ._circle import BoolArray, Circle, FloatArray, Method, RobustFit, check_method, shape_problems
from ._circle import SHAPE_MESSAGES, ldexp
from ._errors import FitError
from ._fit import fit_arrays
from ._validate import points

__all__ = ["fit_robust"]

_BATCH: Final = 64
# Inlier threshold in units of the noise's standard deviation: a Gaussian residual exceeds it in
# 1.2 % of cases.
_K: Final = 2.5
# median(|e| given |e| <= 2.5 sigma) / sigma for Gaussian e: Phi^-1(1/2 + (2 Phi(2.5) - 1) / 4).
# The median, not the root mean square: outliers that fall within the band are spread evenly
# across it and would inflate the mean square, and with it the next threshold.
_TRUNCATED_MEDIAN: Final = 0.6647512
_MAD_TO_SIGMA: Final = 1.4826
_MAX_ROUNDS: Final = 10
# An inlier candidate with fewer than _SUPPORT candidates (itself included) within this many
# median gaps along the circle is taken for an outlier that happens to lie near the circle.
# Far from the other inliers, such a point would weigh heavily on the fit (on a short arc it
# alone can set the radius), so a wrong one costs much; a right one dropped costs little.
_REACH_GAPS: Final = 10.0
_SUPPORT: Final = 3
# A sample's circle of radius above this many times the points' spread is a line to every
# purpose (its points lie within 1e-6 of their spread of a straight line).
_MAX_RADIUS: Final = 1e6
# Noise-free data give residuals at rounding level; the estimated threshold stays above it.
_MIN_THRESHOLD: Final = 1e-9


def _triples(rng: np.random.Generator, n: int, count: int) -> npt.NDArray[np.intp]:
    """`count` samples of 3 distinct indices below n, each uniform over all such triples."""
    a = rng.integers(0, n, count)
    b = rng.integers(0, n - 1, count)
    c = rng.integers(0, n - 2, count)
    b += b >= a  # skips a
    lo, hi = np.minimum(a, b), np.maximum(a, b)
    c += c >= lo  # skips lo, then hi, in increasing order
    c += c >= hi
    return np.stack((a, b, c), axis=1)


def _circumcircles(
    x: FloatArray, y: FloatArray, idx: npt.NDArray[np.intp]
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Centres and radii of the circles through the points of each sample; NaN radius for a
    sample whose points are (nearly) collinear."""
    ax, ay = x[idx[:, 0]], y[idx[:, 0]]
    bx, by = x[idx[:, 1]] - ax, y[idx[:, 1]] - ay
    cx, cy = x[idx[:, 2]] - ax, y[idx[:, 2]] - ay
    b2 = bx * bx + by * by
    c2 = cx * cx + cy * cy
    with np.errstate(divide="ignore", invalid="ignore"):
        twice_area = 2.0 * (bx * cy - by * cx)
        ux = (cy * b2 - by * c2) / twice_area
        uy = (bx * c2 - cx * b2) / twice_area
    r = np.sqrt(ux * ux + uy * uy)
    r[~(r <= _MAX_RADIUS)] = np.nan
    return ax + ux, ay + uy, r


def _abs_residuals(
    x: FloatArray, y: FloatArray, cx: FloatArray, cy: FloatArray, r: FloatArray
) -> FloatArray:
    """(samples, n) distances of every point from every sample's circle."""
    dx = x - cx[:, None]
    dy = y - cy[:, None]
    out: FloatArray = np.abs(np.sqrt(dx * dx + dy * dy) - r[:, None])
    return out


def _initial_scale(abs_e: FloatArray) -> float:
    n = int(abs_e.shape[0])
    return _MAD_TO_SIGMA * (1.0 + 5.0 / max(n - 3, 1)) * float(np.median(abs_e))


def _refined_threshold(abs_e: FloatArray, inliers: BoolArray, floor: float) -> float:
    """2.5 sigma, sigma from the median absolute residual of the inliers, made consistent for
    Gaussian noise truncated at 2.5 sigma."""
    inside = abs_e[inliers]
    if inside.shape[0] <= 3:
        return floor
    return max(_K * float(np.median(inside)) / _TRUNCATED_MEDIAN, floor)


def _drop_isolated(
    x: FloatArray, y: FloatArray, cx: float, cy: float, candidates: BoolArray
) -> BoolArray:
    """The candidates without those that lie nearly alone along the circle: fewer than
    _SUPPORT candidates (themselves included) within _REACH_GAPS times the median angular gap
    between neighbouring candidates on either side."""
    where = np.flatnonzero(candidates)
    count = where.shape[0]
    if count <= _SUPPORT:
        return candidates
    raw = np.arctan2(y[where] - cy, x[where] - cx)
    order = np.argsort(raw, kind="stable")
    angle = raw[order]
    gaps = np.diff(angle, append=angle[0] + 2.0 * math.pi)  # the last one round to the first
    reach = _REACH_GAPS * float(np.median(gaps))
    ring = np.concatenate((angle - 2.0 * math.pi, angle, angle + 2.0 * math.pi))
    near = np.searchsorted(ring, angle + reach, side="right") - np.searchsorted(
        ring, angle - reach, side="left"
    )
    alone = near < _SUPPORT
    if not alone.any():
        return candidates
    kept = candidates.copy()
    kept[where[order[alone]]] = False
    return kept


def _trials_needed(inlier_ratio: float, confidence: float) -> float:
    p_good = inlier_ratio**3
    if p_good >= 1.0:
        return 1.0
    if p_good <= 0.0:
        return math.inf
    return math.ceil(math.log(1.0 - confidence) / math.log1p(-p_good))


def _check_options(
    threshold: object, confidence: object, max_trials: object
) -> tuple[float | None, float, int]:
    """The options as their types, checked (they are typed, but may come from anywhere)."""
    if threshold is not None:
        if isinstance(threshold, bool) or not isinstance(threshold, (int, float, np.number)):
            raise TypeError(f"threshold must be a number or None, not {type(threshold).__name__}")
        value = float(cast(SupportsFloat, threshold))
        if not (math.isfinite(value) and value > 0.0):
            raise ValueError(f"threshold must be a positive finite number, got {value!r}")
        limit: float | None = value
    else:
        limit = None
    if isinstance(confidence, bool) or not isinstance(confidence, (int, float, np.number)):
        raise TypeError(f"confidence must be a number, not {type(confidence).__name__}")
    probability = float(cast(SupportsFloat, confidence))
    if not 0.0 < probability < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {probability!r}")
    if isinstance(max_trials, bool):
        raise TypeError("max_trials must be an int, not bool")
    try:
        trials = operator.index(cast(SupportsIndex, max_trials))
    except TypeError:
        raise TypeError(f"max_trials must be an int, not {type(max_trials).__name__}") from None
    if trials < 1:
        raise ValueError(f"max_trials must be at least 1, got {trials}")
    return limit, probability, trials


def fit_robust(
    xs: npt.ArrayLike,
    ys: npt.ArrayLike | None = None,
    *,
    threshold: float | None = None,
    method: Method = "lsq",
    confidence: float = 0.999,
    max_trials: int = 2000,
    seed: int | None = 0,
) -> RobustFit:
    """Fits a circle to points of which some may be outliers.

    Draws samples of 3 points, scores the circle through each by a truncated quadratic (MSAC)
    and fits the best one's inliers with `method`, deciding the inliers again from that fit and
    refitting until they settle. A point within the threshold but nearly alone along the
    circle, far from the other inliers, is not taken as an inlier: such a point is more likely
    an outlier that fell near the circle, and would weigh heavily on the fit.

    Parameters
    ----------
    xs, ys : array-like of numbers
        The points, as for :func:`tondrakit.fit`: two 1-D sequences or one (n, 2) array `xs`.
    threshold : float, optional
        Largest distance from the circle of an inlier, in the points' units. By default it is
        estimated from the data as 2.5 sigma, sigma a robust estimate of the inliers' noise:
        1.4826 (1 + 5 / (n - 3)) times the median absolute residual of the best sample's circle
        over all points, then, from each fit, the median absolute residual of the inliers it
        was fitted to divided by 0.6648 (its value for Gaussian noise cut at 2.5 sigma); never
        below 1e-9 of the points' spread.
    method : {"lsq", "nelder_mead", "taubin", "centroid"}
        The fit used on the inliers (see :func:`tondrakit.fit`).
    confidence : float
        Probability, between 0 and 1, with which the trials should include a sample of inliers
        only; with the inlier ratio w of the best circle so far, about
        log(1 - confidence) / log(1 - w^3) trials are drawn (in batches of 64).
    max_trials : int
        Upper bound on the number of samples.
    seed : int or None
        Seed of the sample generator (numpy's default). The default is fixed, so that a call
        repeats exactly; None draws fresh entropy.

    Returns
    -------
    RobustFit
        ``circle`` (the fit on the inliers), ``inliers`` (a bool per point: the points that
        circle was fitted to), ``trials`` (samples drawn, in batches of 64) and ``threshold``
        (the one used).

    Raises
    ------
    ValueError
        Bad points (as for :func:`tondrakit.fit`), an unknown method, a threshold that is not
        positive and finite, a confidence outside (0, 1), max_trials below 1.
    TypeError
        Coordinates or options that are not numbers.
    FitError
        The points determine no circle, no sample finds one, or its inliers determine none.

    Examples
    --------
    >>> import numpy as np
    >>> import tondrakit
    >>> t = np.linspace(0.0, 2.0, 40)                  # radians
    >>> xs, ys = 3.0 + 2.0 * np.cos(t), -1.0 + 2.0 * np.sin(t)
    >>> xs[::8], ys[::8] = [9.0, -4.0, 0.5, 7.0, 2.0], [5.0, 3.0, -6.0, 0.0, 8.0]
    >>> result = tondrakit.fit_robust(xs, ys)
    >>> c = result.circle
    >>> round(c.cx, 9), round(c.cy, 9), round(c.r, 9), c.n
    (3.0, -1.0, 2.0, 35)
    >>> np.flatnonzero(~result.inliers)
    array([ 0,  8, 16, 24, 32])
    """
    checked = check_method(method)
    limit, confidence, max_trials = _check_options(threshold, confidence, max_trials)
    x, y = points(xs, ys)
    n = x.shape[0]
    code = int(shape_problems(x[None, :], y[None, :])[0])
    if code:
        raise FitError(SHAPE_MESSAGES[code])
    rng = np.random.default_rng(seed)

    # The points' own frame for the samples, found on the coordinates times the power of two
    # 2^-p that brings the largest into [0.5, 1), whose squares neither overflow nor underflow
    # at any scale of the data. A power of two changes no bit of the frame: the scaled mean and
    # spread are the plain ones times 2^-p, and their ratios are the same.
    p = math.frexp(max(float(np.max(np.abs(x))), float(np.max(np.abs(y)))))[1]
    sx: FloatArray = ldexp(x, -p)
    sy: FloatArray = ldexp(y, -p)
    mx, my = float(sx.mean()), float(sy.mean())
    spread = math.sqrt(float(np.mean((sx - mx) ** 2 + (sy - my) ** 2)))
    px, py = (sx - mx) / spread, (sy - my) / spread
    scale = float(ldexp(spread, p))  # in the points' units
    floor = _MIN_THRESHOLD * scale
    t = None if limit is None else float(ldexp(limit, -p)) / spread

    best_score = math.inf
    best_residuals: FloatArray | None = None
    trials = 0
    needed: float = max_trials
    while trials < min(needed, max_trials):
        count = int(min(_BATCH, max_trials - trials))
        trials += count
        ccx, ccy, rr = _circumcircles(px, py, _triples(rng, n, count))
        valid = ~np.isnan(rr)
        if not valid.any():
            continue
        abs_e = _abs_residuals(px, py, ccx[valid], ccy[valid], rr[valid])
        if t is None:
            medians = np.median(abs_e, axis=1)
            t = max(_K * _initial_scale(abs_e[int(np.argmin(medians))]), _MIN_THRESHOLD)
        cut: float = t
        scores = np.minimum(abs_e * abs_e, cut * cut).sum(axis=1)
        k = int(np.argmin(scores))
        if scores[k] < best_score:
            best_score = float(scores[k])
            best_residuals = abs_e[k]
            ratio = float(np.count_nonzero(abs_e[k] <= cut)) / n
            needed = _trials_needed(ratio, confidence)
    if best_residuals is None or t is None:
        raise FitError(
            f"no sample of 3 points determines a circle ({trials} samples, all collinear)"
        )

    threshold_used = float(ldexp(t * spread, p))
    inliers: BoolArray = best_residuals <= t
    # (isolated candidates of the sample's circle are dropped only from the first fit on)
    circle: Circle | None = None
    for _ in range(_MAX_ROUNDS):
        chosen = int(np.count_nonzero(inliers))
        if chosen < 3:
            raise FitError(
                f"the best sample has only {chosen} inliers within {threshold_used!r}: too few"
                " for a circle"
            )
        try:
            circle = fit_arrays(x[inliers], y[inliers], checked)
        except FitError as e:
            raise FitError(f"the {chosen} inliers determine no circle: {e}") from e
        abs_e = np.abs(circle.residuals(x, y))
        if limit is None:
            threshold_used = _refined_threshold(abs_e, inliers, floor)
        again = _drop_isolated(x, y, circle.cx, circle.cy, abs_e <= threshold_used)
        if np.array_equal(again, inliers):
            break
        inliers = again
    assert circle is not None
    return RobustFit(circle, inliers, trials, threshold_used)
