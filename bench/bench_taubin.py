"""taubin_svd against fit_geometrical (all conversion) and the same computation in numpy, side by
side on two lists of 10^6 floats (a noisy arc), plus the fixed cost of a 20-point call."""

import math
import random
import time

import tondra
from reference import best_of, numpy_taubin


def noisy_arc(n, seed=1):
    rng = random.Random(seed)
    xs, ys = [], []
    for i in range(n):
        t = 0.4 + 2.0 * i / n
        xs.append(30.0 + 12.0 * math.cos(t) + rng.gauss(0, 0.1))
        ys.append(-5.0 + 12.0 * math.sin(t) + rng.gauss(0, 0.1))
    return xs, ys


def side_by_side(cases, repeat=9):
    """Best time of each case, the cases timed in turns so that they share the machine's mood."""
    best = [math.inf] * len(cases)
    results = [None] * len(cases)
    for _ in range(repeat):
        for k, fn in enumerate(cases):
            started = time.perf_counter()
            results[k] = fn()
            best[k] = min(best[k], time.perf_counter() - started)
    return best, results


def main():
    xs, ys = noisy_arc(1_000_000)
    (t_geo, t_taubin, t_numpy), (_, ours, theirs) = side_by_side([
        lambda: tondra.fit_geometrical(xs, ys),
        lambda: tondra.taubin_svd(xs, ys),
        lambda: numpy_taubin(xs, ys),
    ])
    gap = math.hypot(ours[0] - theirs[0], ours[1] - theirs[1])
    print(f"n = 10^6: fit_geometrical {t_geo * 1e3:8.2f} ms")
    print(f"          taubin_svd      {t_taubin * 1e3:8.2f} ms  ({t_taubin / t_geo:.2f}x fit_geometrical)")
    print(f"          numpy Taubin    {t_numpy * 1e3:8.2f} ms  (taubin_svd is {t_numpy / t_taubin:.2f}x faster)")
    print(f"          centres differ by {gap:.2e}")
    small_x, small_y = noisy_arc(20)
    t_small, _ = best_of(lambda: [tondra.taubin_svd(small_x, small_y) for _ in range(1000)])
    print(f"n = 20:   taubin_svd      {t_small * 1e3:8.2f} us per call")


if __name__ == "__main__":
    main()
