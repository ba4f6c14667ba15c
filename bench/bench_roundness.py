"""tondrakit.roundness measured: exactness on random profiles, and speed beside the kit's own
least-squares fit and beside a numpy/scipy smallest enclosing circle, every case timed in turns.

  exactness: random profiles (n from 3 to 2000: round, lobed, noisy, arcs, integer grids with
  ties): every point between the returned circles and the support points on them to rounding,
  and for n <= 10 the radius or width against the exhaustive oracle (roundness_oracle.py);
  speed: each reference on 10,000 points against tondrakit.fit on the same points; the
  circumscribed circle against scipy's convex hull and Nelder-Mead on the hull's vertices (its
  radius error reported too); fit_groups(roundness=...) against a Python loop of single calls.

  python bench/bench_roundness.py [profiles]     (default 1000)"""

import math
import random
import sys

import numpy as np
import pandas as pd
from scipy.optimize import minimize
from scipy.spatial import ConvexHull

import roundness_oracle as oracle
import tondrakit
from reference import in_turns

EXACT = ("minimum_zone", "circumscribed", "inscribed")


def profile(seed):
    rng = random.Random(seed)
    n = int(round(math.exp(rng.uniform(math.log(3), math.log(2000)))))
    kind = seed % 4
    if kind == 0:
        return "lobed", oracle.lobed(n, rng.randint(2, 15), rng.uniform(0, 0.05),
                                     rng.uniform(0, 0.01), seed, cx=rng.uniform(-50, 50), r=25.0)
    if kind == 1:
        return "round", oracle.lobed(n, 1, 0.0, rng.uniform(1e-6, 1e-2), seed)
    if kind == 2:
        span = rng.uniform(0.3, 2 * math.pi)
        t = [rng.uniform(0, span) for _ in range(n)]
        return "arc", ([math.cos(a) for a in t], [math.sin(a) for a in t])
    side = max(2, int(math.sqrt(n)))
    pts = {(rng.randint(-side, side), rng.randint(-side, side)) for _ in range(n)}
    return "grid", ([p[0] for p in pts], [p[1] for p in pts])


def check(xs, ys, c):
    """The largest miss of a point outside the circles and of a support point off its circle,
    in units of the outer radius."""
    d = np.hypot(np.asarray(xs) - c.cx, np.asarray(ys) - c.cy)
    outside = max(d.max() - c.outer, c.inner - d.min(), 0.0) / c.outer
    on = d[list(c.support)]
    off = np.minimum(abs(on - c.inner), abs(on - c.outer)).max() / c.outer
    return outside, off


def exactness(count):
    worst_out = worst_off = worst_oracle = 0.0
    solved = refused = 0
    for seed in range(count):
        _, (xs, ys) = profile(seed)
        for ref in EXACT:
            try:
                c = tondrakit.roundness(xs, ys, reference=ref)
            except ValueError:  # FitError, or a grid drawn with fewer than 3 distinct points
                refused += 1
                continue
            solved += 1
            out, off = check(xs, ys, c)
            worst_out, worst_off = max(worst_out, out), max(worst_off, off)
            if len(xs) <= 10:
                got = {"minimum_zone": c.ront, "circumscribed": c.outer, "inscribed": c.inner}[ref]
                want = {"minimum_zone": oracle.zone, "circumscribed": oracle.circumscribed,
                        "inscribed": oracle.inscribed}[ref](xs, ys)
                # Larger than the oracle's is worse, except for the inscribed radius.
                excess = (want - got) if ref == "inscribed" else (got - want)
                worst_oracle = max(worst_oracle, excess / c.outer)
    print(f"exactness, {count} profiles: {solved} circles, {refused} refused (no circle);"
          f" worst point outside {worst_out:.2g}, support off its circle {worst_off:.2g},"
          f" worse than the oracle by {worst_oracle:.2g} (units of the radius)")


def scipy_enclosing(xs, ys):
    pts = np.column_stack((xs, ys))
    hull = pts[ConvexHull(pts).vertices]
    res = minimize(lambda c: np.hypot(*(hull - c).T).max(), hull.mean(axis=0),
                   method="Nelder-Mead", options={"xatol": 1e-12, "fatol": 1e-12})
    return res.x, np.hypot(*(hull - res.x).T).max()


def speed():
    xs, ys = oracle.lobed(10_000, 3, 0.01, 0.002, seed=7, cx=3.0, r=20.0)
    x, y = np.array(xs), np.array(ys)
    cases = [lambda: tondrakit.fit(x, y)]
    cases += [lambda ref=ref: tondrakit.roundness(x, y, reference=ref) for ref in EXACT]
    cases.append(lambda: scipy_enclosing(x, y))
    best, results = in_turns(cases, rounds=7)
    for ref, t in zip(EXACT, best[1:4]):
        print(f"10,000 points: {ref} {t / best[0]:.1f}x the least-squares fit's time")
    mc = results[2]
    _, r = results[4]
    print(f"circumscribed: scipy hull + Nelder-Mead {best[4] / best[2]:.1f}x our time,"
          f" its radius off by {(r - mc.outer) / mc.outer:.1e} of it")


def groups():
    parts, singles = [], []
    for g in range(2000):
        xs, ys = oracle.lobed(60, 3 + g % 5, 0.01, 0.002, seed=g)
        parts.append(pd.DataFrame({"group": g, "x": xs, "y": ys}))
        singles.append((np.array(xs), np.array(ys)))
    table = pd.concat(parts, ignore_index=True)
    best, _ = in_turns([
        lambda: tondrakit.fit_groups(table, roundness="minimum_zone"),
        lambda: [tondrakit.roundness(x, y) for x, y in singles],
    ], rounds=3)
    print(f"2000 profiles of 60 points: a Python loop of single calls takes"
          f" {best[1] / best[0]:.1f}x fit_groups(roundness='minimum_zone')")


if __name__ == "__main__":
    exactness(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
    speed()
    groups()
