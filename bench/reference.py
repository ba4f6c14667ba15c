"""What the benchmarks measure tondra against: the same fits written with numpy and scipy, and a
timer. Imported by the bench_*.py and survey_*.py scripts beside it."""

import math
import time

import numpy as np
from scipy.optimize import least_squares


def best_of(fn, repeat=5):
    """The best time of `repeat` calls of fn, and the last result."""
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - started)
    return min(times), result


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
