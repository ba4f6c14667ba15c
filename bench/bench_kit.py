"""tondrakit side by side with what users would use instead, every case timed in turns:

  robust fits on 200-point arcs with outliers: fit_robust against scikit-image's
  ransac(CircleModel) (min_samples=3, max_trials=200, given the threshold fit_robust used) and
  against fit_lsq on the true inliers alone (what no robust fit can beat by much);
  the uncertainty: mean predicted stderr against the spread of 2000 repeated fits per row.

What the kit's engine costs and saves (fit against the bare call, fit_groups, Dask) is
bench_engine.py's.

Errors are centre errors in units of the true radius; ratios are medians over the data sets."""

import math
import time
import warnings

import numpy as np

import tondra
import tondrakit
from kit_cases import contaminated_arc, noisy_arc

ROBUST_SETS = 100


def skimage_circle(xs, ys, threshold, seed):
    from skimage.measure import CircleModel, ransac

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # deprecations inside the peer, not ours to fix
        model, _ = ransac(np.column_stack((xs, ys)), CircleModel, min_samples=3,
                          residual_threshold=threshold, max_trials=200, rng=seed)
    if model is None:
        return math.nan, math.nan
    centre = getattr(model, "center", None)
    return (centre[0], centre[1]) if centre is not None else (model.params[0], model.params[1])


def robust_case(span, outliers):
    rng = np.random.default_rng(1000 + int(span) + int(100 * outliers))
    err_kit, err_peer, err_best, t_kit, t_peer = [], [], [], [], []
    for k in range(ROBUST_SETS):
        xs, ys, inlier, (cx, cy, r) = contaminated_arc(rng, span_deg=span, outliers=outliers)
        result = {}

        def ours():
            result["kit"] = tondrakit.fit_robust(xs, ys)

        def theirs():
            result["peer"] = skimage_circle(xs, ys, result["kit"].threshold, seed=k)

        ours()  # the threshold the peer gets, and a warm start for both
        calls = (ours, theirs) if k % 2 == 0 else (theirs, ours)
        times = {}
        for fn in calls:
            started = time.perf_counter()
            fn()
            times[fn] = time.perf_counter() - started
        t_kit.append(times[ours])
        t_peer.append(times[theirs])
        fit = result["kit"].circle
        err_kit.append(math.hypot(fit.cx - cx, fit.cy - cy) / r)
        px, py = result["peer"]
        err_peer.append(math.hypot(px - cx, py - cy) / r if math.isfinite(px) else math.inf)
        bx, by = tondra.fit_lsq(xs[inlier].tolist(), ys[inlier].tolist())
        err_best.append(math.hypot(bx - cx, by - cy) / r)
    kit, peer, best = np.median(err_kit), np.median(err_peer), np.median(err_best)
    print(f"  {span:5.0f} deg, {outliers:3.0%} outliers: median error fit_robust {kit:.4f} r,"
          f" ransac {peer:.4f} r, fit_lsq on true inliers {best:.4f} r")
    print(f"      fit_robust / true-inlier fit {kit / best:5.2f}x (target <= 1.5) |"
          f" fit_robust / ransac {kit / peer:5.2f}x (target <= 0.6) |"
          f" time {np.median(t_kit) * 1e3:6.2f} ms vs {np.median(t_peer) * 1e3:6.2f} ms ="
          f" {np.median(t_kit) / np.median(t_peer):5.3f}x")
    worst = np.percentile(err_kit, 90), np.percentile(err_peer, 90)
    print(f"      90th percentile error: fit_robust {worst[0]:.4f} r, ransac {worst[1]:.4f} r;"
          f" ransac found nothing in {sum(not math.isfinite(e) for e in err_peer)} of {ROBUST_SETS}")


def calibration():
    print(f"{'n':>5} {'arc':>5} | predicted / empirical standard deviation of cx, cy, r"
          " (2000 data sets; target 0.9 to 1.1)")
    for n in (20, 50, 200):
        for span in (60.0, 120.0, 360.0):
            rng = np.random.default_rng(n * 1000 + int(span))
            values, predicted = [], []
            for _ in range(2000):
                c = tondrakit.fit(*noisy_arc(rng, n, span, noise=0.01))
                values.append((c.cx, c.cy, c.r))
                predicted.append(c.stderr)
            empirical = np.array(values).std(axis=0, ddof=1)
            mean_predicted = np.array(predicted).mean(axis=0)
            ratio = mean_predicted / empirical
            flag = "" if np.all(np.abs(ratio - 1.0) <= 0.1) else "   <- outside 10 %"
            print(f"{n:5d} {span:5.0f} | " + "  ".join(
                f"{name} {p:.2e}/{e:.2e} = {q:5.3f}"
                for name, p, e, q in zip(("cx", "cy", "r"), mean_predicted, empirical, ratio)) + flag)


def main():
    print(f"Robust fits, 200 points, noise 1% of r, outliers uniform over the circle's bounding box"
          f" enlarged 1.5x ({ROBUST_SETS} data sets each):")
    for span, outliers in ((120.0, 0.3), (120.0, 0.5), (60.0, 0.3)):
        robust_case(span, outliers)
    print("Uncertainty: tondrakit.fit stderr against repeated fits, noise 1% of r:")
    calibration()


if __name__ == "__main__":
    main()
