"""taubin_svd against fit_geometrical (all conversion) and the same computation in numpy, side by
side on 10^6 points of a noisy arc given as lists and as float64 arrays, plus the fixed cost of a
20-point call."""

import math

import numpy as np
import tondra
from reference import arc, in_turns, numpy_taubin


def noisy_arc(n, seed=1):
    """n points over 115 degrees of the circle of radius 12 at (30, -5), 1% noise."""
    return arc(n, 115.0, cx=30.0, cy=-5.0, r=12.0, noise=0.01, seed=seed, start_deg=23.0)


def main():
    xs, ys = noisy_arc(1_000_000)
    x, y = np.array(xs), np.array(ys)
    times, results = in_turns([
        lambda: tondra.fit_geometrical(xs, ys),
        lambda: tondra.taubin_svd(xs, ys),
        lambda: numpy_taubin(xs, ys),
        lambda: tondra.fit_geometrical(x, y),
        lambda: tondra.taubin_svd(x, y),
        lambda: numpy_taubin(x, y),
    ], rounds=9)
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
    (t_small,), _ = in_turns([lambda: tondra.taubin_svd(small_x, small_y)], rounds=5, calls=1000)
    print(f"n = 20:   taubin_svd      {t_small * 1e6:8.2f} us per call")


if __name__ == "__main__":
    main()
