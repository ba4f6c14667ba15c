"""taubin_svd against fit_geometrical (all conversion) and the same computation in numpy, side by
side on 10^6 points of a noisy arc given as lists and as float64 arrays, plus the fixed cost of a
20-point call."""

import math
import random
import time

import numpy as np
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
    x, y = np.array(xs), np.array(ys)
    times, results = side_by_side([
        lambda: tondra.fit_geometrical(xs, ys),
        lambda: tondra.taubin_svd(xs, ys),
        lambda: numpy_taubin(xs, ys),
        lambda: tondra.fit_geometrical(x, y),
        lambda: tondra.taubin_svd(x, y),
        lambda: numpy_taubin(x, y),
    ])
    print("n = 10^6, cases in turns     lists        float64 arrays")
    print(f"  fit_geometrical       {times[0] * 1e3:8.2f} ms   {times[3] * 1e3:8.2f} ms")
    print(f"  taubin_svd            {times[1] * 1e3:8.2f} ms   {times[4] * 1e3:8.2f} ms")
    print(f"  numpy Taubin          {times[2] * 1e3:8.2f} ms   {times[5] * 1e3:8.2f} ms")
    print(f"  numpy / taubin_svd    {times[2] / times[1]:8.2f}x    {times[5] / times[4]:8.2f}x")
    print(f"  taubin / geometrical  {times[1] / times[0]:8.2f}x    {times[4] / times[3]:8.2f}x")
    for k in (0, 3):
        ours, theirs = results[k + 1], results[k + 2]
        gap = math.hypot(ours[0] - theirs[0], ours[1] - theirs[1])
        print(f"  {'lists' if k == 0 else 'arrays'}: centres differ by {gap:.2e}")
    small_x, small_y = noisy_arc(20)
    t_small, _ = best_of(lambda: [tondra.taubin_svd(small_x, small_y) for _ in range(1000)])
    print(f"n = 20:   taubin_svd      {t_small * 1e3:8.2f} us per call")


if __name__ == "__main__":
    main()
