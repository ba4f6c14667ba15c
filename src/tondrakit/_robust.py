"""tondrakit.fit_robust: one circle from points of which some are outliers.

Sample consensus on minimal samples. Each trial draws 3 distinct points, takes the circle
through them (their circumcircle) and scores it by a truncated quadratic, sum min(e_i^2, t^2)
over all points with e_i the point's distance from the circle: an MSAC score, which, unlike a
plain count of inliers, prefers among circles with the same inliers the one they fit best.
The work is the engine's, in C++. Trials run in batches of 64 and stop once, at the inlier ratio w of the best circle so far,
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

import numpy as np
import numpy.typing as npt

from . import _batch
from ._circle import RobustFit, make_robust_fit
from ._options import (
    DEFAULT_CONFIDENCE, DEFAULT_MAX_TRIALS, DEFAULT_SEED, Method, RobustOptions, check_knowns,
    check_method, check_weights,
)
from ._status import fit_error
from ._validate import points

__all__ = ["fit_robust"]


def fit_robust(
    xs: npt.ArrayLike,
    ys: npt.ArrayLike | None = None,
    *,
    threshold: float | None = None,
    method: Method = "geometric",
    confidence: float = DEFAULT_CONFIDENCE,
    max_trials: int = DEFAULT_MAX_TRIALS,
    seed: int | None = DEFAULT_SEED,
    weights: npt.ArrayLike | None = None,
    radius: float | None = None,
    radius_bounds: tuple[float | None, float | None] | None = None,
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
    method : {"geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid"}
        The fit used on the inliers (see :func:`tondrakit.fit`).
    confidence : float
        Probability, between 0 and 1, with which the trials should include a sample of inliers
        only; with the inlier ratio w of the best circle so far, about
        log(1 - confidence) / log(1 - w^3) trials are drawn (in batches of 64).
    max_trials : int
        Upper bound on the number of samples.
    seed : int or None
        Seed of the samples, an int in [0, 2**64). The default is fixed, so that a call repeats
        exactly; None draws a fresh seed.
    weights : array-like of numbers, optional
        One weight per point, as for :func:`tondrakit.fit`: a point of weight 0 takes no part
        (it is never sampled and never an inlier); a sample's circle is scored by
        sum w_i min(e_i^2, t^2), and the inliers are fitted with their weights.
    radius : float, optional
        The known radius ("geometric" only): a sample of 2 points proposes both circles of
        that radius through them, so that about log(1 - confidence) / log(1 - w^2) samples are
        needed rather than log(1 - confidence) / log(1 - w^3); the refits hold it.
    radius_bounds : (lo, hi), optional
        Bounds on the radius ("geometric" only), either None for no bound: a sample's circle
        outside them is rejected before it is scored, and the refits keep within them (see
        :func:`tondrakit.fit`).

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
        positive and finite, a confidence outside (0, 1), max_trials below 1, bad weights or
        radius bounds (as for :func:`tondrakit.fit`).
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
    options = RobustOptions.check(threshold, confidence, max_trials, seed)
    knowns = check_knowns(checked, weights is not None, radius, radius_bounds)
    x, y = points(xs, ys)
    w = None if weights is None else check_weights(weights, x.shape[0])
    offsets = np.array([0, x.shape[0]], dtype=np.int64)
    # points() may hand back the caller's own array; the engine reads a copy of its own.
    columns = _batch.run(x.copy(), y.copy(), offsets, checked, 1, options, w, knowns.bounds)
    status = int(columns.status[0])
    if status:
        raise fit_error(status, columns.failure(0, checked, knowns.bounds is not None))
    return make_robust_fit(
        columns.circle(0, checked), columns.inliers.copy(), int(columns.trials[0]),
        float(columns.threshold[0]),
    )
