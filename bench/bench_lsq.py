"""fit_lsq side by side with its peers, every case of a table timed in turns in one process:

  n = 20, a 120-degree arc: fit_lsq (L-BFGS) and Nelder-Mead as multiples of one taubin_svd call
  on the same points (the fixed cost of a small fit);
  n = 10^5, a quarter arc with 1% noise: scipy's least_squares (analytic Jacobian, residuals
  d_i - mean d, from the centroid) as a multiple of fit_lsq.

Each table runs on lists and on float64 numpy arrays."""

import math

import numpy as np

import tondra
from reference import arc, geometric_fit, in_turns


def bench_arc(n, span_deg, noise, seed):
    """n points on an arc of radius 20 at (100, -40), Gaussian noise of `noise` radii. The start
    (0.3 radians, exactly) keeps the data, and so the solvers' iteration counts, those of the
    earlier figures."""
    return arc(n, span_deg, cx=100.0, cy=-40.0, r=20.0, noise=noise, seed=seed,
               start_deg=17.188733853924695)


def small_fits(kind, xs, ys):
    (t_taubin, t_lbfgs, t_nm), _ = in_turns([
        lambda: tondra.taubin_svd(xs, ys),
        lambda: tondra.fit_lsq(xs, ys),
        lambda: tondra.fit_lsq(xs, ys, "nelder_mead"),
    ], rounds=15, calls=200)
    print(f"  {kind:<6} taubin_svd {t_taubin * 1e6:7.2f} us | fit_lsq {t_lbfgs * 1e6:7.2f} us = "
          f"{t_lbfgs / t_taubin:5.2f}x (target <= 3) | nelder_mead {t_nm * 1e6:8.2f} us = "
          f"{t_nm / t_taubin:6.1f}x (target <= 55)")


def large_fits(kind, xs, ys):
    (t_ours, t_scipy), (ours, fit) = in_turns([
        lambda: tondra.fit_lsq(xs, ys),
        lambda: geometric_fit(xs, ys),
    ], rounds=7)
    theirs = fit.x
    gap = math.hypot(ours[0] - theirs[0], ours[1] - theirs[1]) / 20.0
    print(f"  {kind:<6} fit_lsq {t_ours * 1e3:7.2f} ms | scipy least_squares {t_scipy * 1e3:7.2f} ms"
          f" ({fit.nfev} evaluations): fit_lsq {t_scipy / t_ours:5.2f}x faster (target >= 2),"
          f" centres differ by {gap:.1e} r")


def main():
    xs, ys = bench_arc(20, 120.0, 0.01, seed=1)
    print("n = 20, 120-degree arc, 1% noise (ratios to one taubin_svd call):")
    small_fits("lists", xs, ys)
    small_fits("arrays", np.array(xs), np.array(ys))
    xs, ys = bench_arc(100_000, 90.0, 0.01, seed=2)
    print("n = 10^5, quarter arc, 1% noise (scipy from the centroid, analytic Jacobian):")
    large_fits("lists", xs, ys)
    large_fits("arrays", np.array(xs), np.array(ys))


if __name__ == "__main__":
    main()
