"""What tondra is checked and measured against, shared by the benchmarks beside it and by the
Python tests: the synthetic arcs both use, the same fits written independently with numpy and
scipy, the cost they minimise, and the timers. Angles are in degrees throughout."""

import math
import random
import time

import numpy as np
from scipy.optimize import least_squares


def arc(n, span_deg, cx=0.0, cy=0.0, r=1.0, noise=0.0, seed=0, start_deg=0.0, rng=None):
    """n points on the circle of centre (cx, cy) and radius r, from start_deg over span_deg
    degrees, each coordinate with Gaussian noise of `noise` radii drawn from Random(seed) (or from
    `rng` when given, for callers that draw a series from one stream). Both ends lie on the arc;
    a span of 360 degrees or more closes the circle, so its points do not repeat the first."""
    rng = random.Random(seed) if rng is None else rng
    start, span = math.radians(start_deg), math.radians(span_deg)
    steps = n if span_deg >= 360 else max(n - 1, 1)
    xs, ys = [], []
    for i in range(n):
        t = start + span * i / steps
        xs.append(cx + r * math.cos(t) + rng.gauss(0.0, noise * r))
        ys.append(cy + r * math.sin(t) + rng.gauss(0.0, noise * r))
    return xs, ys


def centroid(xs, ys):
    """The mean of each coordinate over its own count, summed in index order from +0.0 (not
    math.fsum or sum(), which compensate); NaN for an empty coordinate."""
    def mean(values):
        total = 0.0
        for v in values:
            total += float(v)
        return total / len(values) if len(values) else math.nan

    return [mean(xs), mean(ys)]


def cost(xs, ys, c):
    """The geometric objective at centre c: the squared spread of the distances about their mean."""
    d = np.hypot(np.asarray(xs, dtype=float) - c[0], np.asarray(ys, dtype=float) - c[1])
    return float(np.sum((d - d.mean()) ** 2))


def geometric_fit(xs, ys, start=None, **options):
    """Geometric least squares by scipy: residuals d_i - mean(d) with an analytic Jacobian,
    started from `start` (default: the centroid). Returns scipy's result object."""
    x = np.asarray(xs, dtype=float)
    y = np.asarray(ys, dtype=float)

    def residuals(c):
        d = np.hypot(x - c[0], y - c[1])
        return d - d.mean()

    def jacobian(c):
        d = np.hypot(x - c[0], y - c[1])
        j = np.column_stack(((c[0] - x) / d, (c[1] - y) / d))
        return j - j.mean(axis=0)

    if start is None:
        start = [x.mean(), y.mean()]
    return least_squares(residuals, start, jac=jacobian, **options)


def algebraic_centre(xs, ys):
    """The algebraic (Kasa) centre, a start close to the answer on any well-posed arc."""
    x = np.asarray(xs, dtype=float)
    y = np.asarray(ys, dtype=float)
    a = np.column_stack((x, y, np.ones_like(x)))
    b, c, _ = np.linalg.lstsq(a, x * x + y * y, rcond=None)[0]
    return [b / 2, c / 2]


def geometric_centre(xs, ys):
    """The geometric centre to the last digit scipy can give: Levenberg-Marquardt from the
    algebraic centre with every tolerance at 1e-15. Returns scipy's result object."""
    return geometric_fit(xs, ys, start=algebraic_centre(xs, ys), method="lm", x_scale="jac",
                         xtol=1e-15, ftol=1e-15, gtol=1e-15)


def numpy_taubin(xs, ys):
    """Taubin's fit in its SVD form, written with numpy."""
    x = np.asarray(xs, dtype=float)
    y = np.asarray(ys, dtype=float)
    mx, my = x.mean(), y.mean()
    u = x - mx
    v = y - my
    z = u * u + v * v
    zbar = z.mean()
    r = math.sqrt(zbar)
    m = np.column_stack(((z - zbar) / (2 * r), u, v))
    p = np.linalg.svd(m, full_matrices=False)[2][2]
    a = p[0] / (2 * r)
    return [mx - p[1] / (2 * a), my - p[2] / (2 * a)]


def in_turns(cases, rounds, calls=1):
    """The best time per call of each case over `rounds` rounds, and each case's last result; the
    cases are taken in turns so that they share the machine's mood."""
    best = [math.inf] * len(cases)
    results = [None] * len(cases)
    for _ in range(rounds):
        for k, fn in enumerate(cases):
            started = time.perf_counter()
            for _ in range(calls):
                results[k] = fn()
            best[k] = min(best[k], (time.perf_counter() - started) / calls)
    return best, results
