"""Weights, a known radius and radius bounds, measured: every case in turns in one process.

  facts: on random sets, the largest departure from what must hold exactly (a weight of 0 is
        the point left out, integer weights are repeated points, scaling the weights changes
        nothing, bounds (R, R) are radius=R, bounds around the free minimum give it), in units
        of the radius (target <= 1e-12);
  cost: a weighted geometric fit against the plain one at n = 20 and 2000, and fit_groups with
        a weight column against without (target <= 1.25x);
  minimum: weighted, fixed-radius and bounded fits against scipy.optimize.least_squares on the
        scaled residuals (bounded where needed, started from the truth and from Taubin's fit),
        cost relative to the better of the two (target <= 1e-9 in every set);
  calibration: weights 1/sigma_i^2 with sigma_i differing up to 10x, mean predicted stderr
        against the spread of the fitted values (target 0.9 to 1.1), and the centre error of
        the weighted fit against the unweighted (target <= 0.75x);
  samples: a robust fit with a known radius against the free one (target <= 0.5x).

Options: --sets N (default 1000) for the facts and the minimum, --calibration N (default 2000)."""

import argparse
import math

import numpy as np
import pandas as pd
from scipy.optimize import least_squares

import tondrakit
from kit_cases import contaminated_arc
from reference import in_turns


def arc(rng, n, span_deg, sigma):
    """n points evenly along an arc of the unit circle at the origin, each coordinate with
    Gaussian noise of its own sigma_i."""
    steps = n if span_deg >= 360 else n - 1
    t = np.radians(span_deg) * np.arange(n) / steps
    return np.cos(t) + sigma * rng.normal(size=n), np.sin(t) + sigma * rng.normal(size=n)


def departure(a, b, scale):
    return max(abs(getattr(a, k) - getattr(b, k)) for k in ("cx", "cy", "r", "rms")) / scale


def facts(sets):
    print(f"Exact facts ({sets} sets of 20 points, arcs of 10 to 360 degrees, noise 1 % of r),"
          " largest departure in units of r (target <= 1e-12):")
    rng = np.random.default_rng(3)
    worst = dict.fromkeys(("weight 0", "integer weights", "scaled weights", "(R, R)",
                           "bounds around"), 0.0)
    for _ in range(sets):
        xs, ys = arc(rng, 20, float(rng.uniform(10.0, 360.0)), np.full(20, 0.01))
        w = rng.uniform(0.5, 2.0, 20)
        base = tondrakit.fit(xs, ys, weights=w)
        scale = base.r
        dropped = w.copy()
        dropped[rng.integers(0, 20, 3)] = 0.0
        kept = dropped > 0
        worst["weight 0"] = max(worst["weight 0"], departure(
            tondrakit.fit(xs, ys, weights=dropped),
            tondrakit.fit(xs[kept], ys[kept], weights=dropped[kept]), scale))
        counts = rng.integers(1, 4, 20)
        worst["integer weights"] = max(worst["integer weights"], departure(
            tondrakit.fit(xs, ys, weights=counts),
            tondrakit.fit(np.repeat(xs, counts), np.repeat(ys, counts)), scale))
        worst["scaled weights"] = max(worst["scaled weights"], departure(
            base, tondrakit.fit(xs, ys, weights=w * 37.25), scale))
        radius = base.r * float(rng.uniform(0.8, 1.2))
        worst["(R, R)"] = max(worst["(R, R)"], departure(
            tondrakit.fit(xs, ys, weights=w, radius_bounds=(radius, radius)),
            tondrakit.fit(xs, ys, weights=w, radius=radius), scale))
        worst["bounds around"] = max(worst["bounds around"], departure(
            tondrakit.fit(xs, ys, weights=w, radius_bounds=(0.5 * base.r, 2.0 * base.r)), base,
            scale))
    for name, value in worst.items():
        print(f"  {name:16s} {value:.1e}")


def cost_ratios():
    print("Cost of a weighted fit against the plain one (best of rounds, in turns):")
    rng = np.random.default_rng(1)
    for n in (20, 2000):
        xs, ys = arc(rng, n, 120.0, np.full(n, 0.01))
        w = rng.uniform(0.5, 2.0, n)
        calls = 2000 if n == 20 else 50
        (plain, weighted), _ = in_turns(
            [lambda: tondrakit.fit(xs, ys), lambda: tondrakit.fit(xs, ys, weights=w)], 7, calls
        )
        print(f"  n = {n:5d}: {weighted / plain:5.2f}x  ({plain * 1e6:8.1f} us plain,"
              f" {weighted * 1e6:8.1f} us weighted; target <= 1.25x)")
    groups, n = 2000, 20
    parts = []
    for g in range(groups):
        xs, ys = arc(rng, n, 120.0, np.full(n, 0.01))
        parts.append(pd.DataFrame({"group": g, "x": xs + g, "y": ys, "w": rng.uniform(0.5, 2, n)}))
    table = pd.concat(parts, ignore_index=True)
    (plain, weighted), _ = in_turns(
        [lambda: tondrakit.fit_groups(table, workers=1),
         lambda: tondrakit.fit_groups(table, weights="w", workers=1)], 5
    )
    print(f"  fit_groups, {groups} groups of {n}: {weighted / plain:5.2f}x with a weight column"
          " (target <= 1.25x)")


def cost(xs, ys, w, cx, cy, r):
    d = np.hypot(xs - cx, ys - cy)
    return float(np.sum(w * (d - r) ** 2))


def reference(xs, ys, w, lo, hi, starts):
    """The lowest cost least_squares reaches from the starts, on sqrt(w_i) (d_i - r)."""
    sw = np.sqrt(w)
    best = math.inf
    tight = dict(xtol=1e-15, ftol=1e-15, gtol=1e-15)
    for cx, cy, r in starts:
        if lo == hi:
            res = least_squares(lambda p: sw * (np.hypot(xs - p[0], ys - p[1]) - lo), [cx, cy],
                                method="lm", **tight)
            best = min(best, cost(xs, ys, w, res.x[0], res.x[1], lo))
            continue
        residuals = lambda p: sw * (np.hypot(xs - p[0], ys - p[1]) - p[2])  # noqa: E731
        if lo > 0.0 or math.isfinite(hi):
            inner = min(max(r, lo + 1e-9 * max(lo, 1.0)), hi * (1.0 - 1e-9))
            res = least_squares(residuals, [cx, cy, inner], bounds=([-np.inf, -np.inf, lo],
                                [np.inf, np.inf, hi]), method="trf", **tight)
        else:
            res = least_squares(residuals, [cx, cy, r], method="lm", **tight)
        best = min(best, cost(xs, ys, w, *res.x))
    return best


def minimum(sets):
    print(f"Cost at the minimum against least_squares ({sets} sets of 20 points, arcs of 10 to 360"
          " degrees, noise 1 % of r, sigma_i up to 10x apart, weights 1/sigma_i^2):")
    rng = np.random.default_rng(2)
    worst = {}
    above = {}
    for _ in range(sets):
        n = 20
        sigma = 0.01 * rng.uniform(1.0, 10.0, n) / 5.5
        xs, ys = arc(rng, n, float(rng.uniform(10.0, 360.0)), sigma)
        w = 1.0 / sigma**2
        taubin = tondrakit.fit(xs, ys, method="taubin")
        starts = [(0.0, 0.0, 1.0), (taubin.cx, taubin.cy, taubin.r)]
        free = tondrakit.fit(xs, ys, weights=w)
        hi = 0.95 * free.r
        cases = {
            "weighted": (dict(weights=w), 0.0, math.inf),
            "radius": (dict(weights=w, radius=1.0), 1.0, 1.0),
            "bounded": (dict(weights=w, radius_bounds=(None, hi)), 0.0, hi),
        }
        for name, (options, lo, top) in cases.items():
            c = tondrakit.fit(xs, ys, **options)
            ours = cost(xs, ys, w, c.cx, c.cy, c.r)
            best = reference(xs, ys, w, lo, top, starts)
            excess = (ours - best) / best
            worst[name] = max(worst.get(name, -math.inf), excess)
            above[name] = above.get(name, 0) + (excess > 1e-9)
    for name in worst:
        print(f"  {name:9s}: worst (ours - reference) / reference {worst[name]: .2e};"
              f" sets above 1e-9: {above[name]} (target 0)")


def calibration(sets):
    print(f"Calibration, weights 1/sigma_i^2, sigma_i in [0.002, 0.02] ({sets} sets per case):")
    for n in (20, 200):
        for span in (120.0, 360.0):
            rng = np.random.default_rng(n + int(span))
            fitted, predicted, err_w, err_u = [], [], [], []
            for _ in range(sets):
                sigma = rng.uniform(0.002, 0.02, n)
                xs, ys = arc(rng, n, span, sigma)
                c = tondrakit.fit(xs, ys, weights=1.0 / sigma**2)
                u = tondrakit.fit(xs, ys)
                fitted.append((c.cx, c.cy, c.r))
                predicted.append(c.stderr)
                err_w.append(math.hypot(c.cx, c.cy))
                err_u.append(math.hypot(u.cx, u.cy))
            ratio = np.mean(predicted, axis=0) / np.std(fitted, axis=0, ddof=1)
            print(f"  n = {n:3d}, {span:3.0f} deg: predicted / actual spread cx {ratio[0]:.3f},"
                  f" cy {ratio[1]:.3f}, r {ratio[2]:.3f} (target 0.9 to 1.1); centre error"
                  f" weighted / unweighted {np.mean(err_w) / np.mean(err_u):.3f} (target <= 0.75)")


def samples():
    print("Samples drawn by a robust fit, known radius against free (200 points, 120 deg,"
          " given threshold 3 % of r, 100 sets):")
    for outliers in (0.3, 0.6):
        rng = np.random.default_rng(int(outliers * 100))
        free = known = 0
        for _ in range(100):
            xs, ys, _, (_, _, r) = contaminated_arc(rng, 200, 120.0, outliers)
            free += tondrakit.fit_robust(xs, ys, threshold=0.03 * r).trials
            known += tondrakit.fit_robust(xs, ys, threshold=0.03 * r, radius=r).trials
        print(f"  {outliers:.0%} outliers: {known / free:5.2f}x ({known / 100:.0f} against"
              f" {free / 100:.0f} per fit, in batches of 64; target <= 0.5x)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sets", type=int, default=1000)
    parser.add_argument("--calibration", type=int, default=2000)
    args = parser.parse_args()
    facts(args.sets)
    cost_ratios()
    minimum(args.sets)
    calibration(args.calibration)
    samples()


if __name__ == "__main__":
    main()
