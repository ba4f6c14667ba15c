"""How the kit's fitting methods do against their targets: accuracy, speed and calibration.

  arcs         noise-free arcs of 1 to 360 degrees, radii 1e-3 to 1e3, some far from the origin:
               the geometric centre and radius to 1e-9 of the radius
  noisy        short noisy arcs: the geometric cost against a precise reference solver (scipy's
               Levenberg-Marquardt on (cx, cy, r) with every tolerance at 1e-15) started from
               Taubin's centre and from the true centre; line-like verdicts; NaN stderr
  published    three published data sets, to every digit printed there
  hyper        Hyper's radius on whole circles against Taubin's (the mean distance)
  speed        fit(method="geometric") / fit(method="lsq"); fit_groups(method="geometric") on 2
               workers against a bare loop of tondra.fit_lsq
  calibration  the geometric fit's predicted standard errors against the spread of repeated fits
  methods      every method on arcs of 5 to 360 degrees: centre error, failures, relative time
               (the table in the README's "Which fit")

Timings are ratios of cases run in turns (the order rotating from round to round), each the
median over the rounds of the ratio within a round: the machine is shared. Beside the figures
that involve threads stands CPU time / wall time of this process (2.0: two cores kept busy).

    PYTHONPATH=build/<dir>/python python bench/bench_methods.py [--only PART ...] [--quick]
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import time
import warnings
from collections.abc import Callable

import numpy as np
import pandas as pd
from scipy.optimize import least_squares

import tondra
import tondrakit

PARTS = ("arcs", "noisy", "published", "hyper", "speed", "calibration", "methods")
METHODS = ("geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid")
LEAST_SQUARES = ("geometric", "lsq", "nelder_mead")

# Divides the number of data sets and rounds with --quick (a smoke run, not figures to quote).
SCALE = 1


def scaled(count: int, least: int = 2) -> int:
    return max(least, count // SCALE)


def verdict(ok: bool) -> str:
    return "PASS" if ok else "MISS"


# ----------------------------------------------------------------------------------------------
# Data and the reference


def arc_points(rng: np.random.Generator, n: int, span_deg: float, centre: tuple[float, float],
               r: float, noise: float = 0.0, start: float | None = None):
    """n points evenly along an arc of span_deg degrees from a random (or given) start angle, both
    ends on the arc (a closed circle at 360, its points not repeating), each coordinate with
    Gaussian noise of noise * r."""
    steps = n if span_deg >= 360 else n - 1
    phase = rng.uniform(0.0, 2.0 * math.pi) if start is None else start
    t = phase + math.radians(span_deg) * np.arange(n) / steps
    xs = centre[0] + r * np.cos(t)
    ys = centre[1] + r * np.sin(t)
    if noise > 0.0:
        xs = xs + rng.normal(0.0, noise * r, n)
        ys = ys + rng.normal(0.0, noise * r, n)
    return xs, ys


def random_circle(rng: np.random.Generator) -> tuple[tuple[float, float], float]:
    """A centre in [-10, 10]^2 and a radius in [1, 10]."""
    cx, cy = rng.uniform(-10.0, 10.0, 2)
    return (float(cx), float(cy)), float(rng.uniform(1.0, 10.0))


def cost(xs: np.ndarray, ys: np.ndarray, cx: float, cy: float, r: float) -> float:
    """sum (d_i - r)^2, the geometric cost of a circle."""
    return float(np.sum((np.hypot(xs - cx, ys - cy) - r) ** 2))


def line_cost(xs: np.ndarray, ys: np.ndarray) -> float:
    """The total-least-squares line's cost: the smallest singular value of the centred points,
    squared."""
    centred = np.column_stack((xs - xs.mean(), ys - ys.mean()))
    return float(np.linalg.svd(centred, compute_uv=False)[-1] ** 2)


def reference(xs: np.ndarray, ys: np.ndarray, centre: tuple[float, float]) -> float:
    """The cost at the circle scipy's Levenberg-Marquardt reaches on (cx, cy, r) from `centre`
    (its radius the mean distance), every tolerance at 1e-15."""

    def residuals(p: np.ndarray) -> np.ndarray:
        return np.hypot(xs - p[0], ys - p[1]) - p[2]

    def jacobian(p: np.ndarray) -> np.ndarray:
        d = np.hypot(xs - p[0], ys - p[1])
        return np.column_stack(((p[0] - xs) / d, (p[1] - ys) / d, -np.ones_like(xs)))

    start = [centre[0], centre[1], float(np.hypot(xs - centre[0], ys - centre[1]).mean())]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # overflowing trial steps of a run heading for a line
        result = least_squares(residuals, start, jac=jacobian, method="lm", xtol=1e-15,
                               ftol=1e-15, gtol=1e-15)
    value = cost(xs, ys, *result.x)
    return value if math.isfinite(value) else math.inf


# ----------------------------------------------------------------------------------------------
# Timing


def in_turns(cases: dict[str, Callable[[], object]], n_rounds: int,
             calls: int = 1) -> dict[str, tuple[list[float], list[float]]]:
    """Each case warmed up once, then n_rounds rounds in which each is called `calls` times, the
    cases in turns from a different first one every round. Per case: wall and CPU seconds per
    call, one value per round."""
    names = list(cases)
    for name in names:
        cases[name]()
    times: dict[str, tuple[list[float], list[float]]] = {name: ([], []) for name in names}
    for k in range(n_rounds):
        for name in names[k % len(names):] + names[: k % len(names)]:
            fn = cases[name]
            cpu = time.process_time()
            started = time.perf_counter()
            for _ in range(calls):
                fn()
            wall = time.perf_counter() - started
            times[name][0].append(wall / calls)
            times[name][1].append((time.process_time() - cpu) / calls)
    return times


def ratio(a: list[float], b: list[float]) -> tuple[float, float, float]:
    """a's time over b's: the median and quartiles of the ratios within rounds."""
    values = sorted(x / y for x, y in zip(a, b))
    if len(values) < 4:
        return statistics.median(values), values[0], values[-1]
    q1, q2, q3 = statistics.quantiles(values, n=4)
    return q2, q1, q3


def load(times: tuple[list[float], list[float]]) -> float:
    """CPU time / wall time, the median over the rounds."""
    return statistics.median(c / w for w, c in zip(*times))


def show_ratio(value: tuple[float, float, float]) -> str:
    return f"{value[0]:6.3f}x [{value[1]:.3f}-{value[2]:.3f}]"


# ----------------------------------------------------------------------------------------------
# arcs: noise-free data


def part_arcs() -> None:
    print("\n== arcs: noise-free, 20 points; largest |error| of cx, cy, r over the cases, in units"
          " of r (target <= 1e-9)")
    rng = np.random.default_rng(1)
    radii = [10.0 ** k for k in range(-3, 4)]
    for span in (1.0, 5.0, 20.0, 90.0, 360.0):
        worst, cases, failures = 0.0, 0, []
        for r in radii:
            centres = [(0.0, 0.0), (3.7 * r, -2.2 * r)]
            if span >= 20.0:
                centres += [(1e4 * r * 0.6, -1e4 * r * 0.8), (-1e4 * r, 0.0)]
            for centre in centres:
                for start in (0.0, 1.3, 4.0):
                    xs, ys = arc_points(rng, 20, span, centre, r, start=start)
                    cases += 1
                    try:
                        c = tondrakit.fit(xs, ys, method="geometric")
                    except tondrakit.FitError as e:
                        failures.append(f"r={r:g} centre={centre}: {e}")
                        continue
                    error = max(abs(c.cx - centre[0]), abs(c.cy - centre[1]), abs(c.r - r)) / r
                    worst = max(worst, error if math.isfinite(error) else math.inf)
        far = ", centres up to 1e4 r away" if span >= 20.0 else ""
        ok = worst <= 1e-9 and not failures
        print(f"  {span:5.0f} deg ({cases:3d} cases{far}): worst error {worst:.2e} r,"
              f" failures {len(failures)}  {verdict(ok)}")
        for line in failures[:3]:
            print(f"      {line}")


# ----------------------------------------------------------------------------------------------
# noisy: short arcs against the reference


def part_noisy() -> None:
    sets = scaled(1000, 20)
    print(f"\n== noisy: 20 points, noise 1 % of r, {sets} sets per arc (random centre in"
          " [-10, 10]^2, radius 1 to 10, start angle); reference = scipy LM on (cx, cy, r),"
          " tolerances 1e-15")
    print("  arc | above ref(Taubin) by >1e-9 | line-like (of them wrong) | ref(true) lower"
          " by >1e-9 | not converged | NaN stderr & converged | median iterations")
    for span in (5.0, 10.0, 20.0):
        rng = np.random.default_rng(100 + int(span))
        above, line_like, wrong_line, true_lower, not_converged, nan_stderr = 0, 0, 0, 0, 0, 0
        iterations = []
        for _ in range(sets):
            centre, r = random_circle(rng)
            xs, ys = arc_points(rng, 20, span, centre, r, noise=0.01)
            taubin = tondra.taubin_svd(xs, ys)
            from_taubin = reference(xs, ys, (taubin[0], taubin[1]))
            from_truth = reference(xs, ys, centre)
            try:
                c = tondrakit.fit(xs, ys, method="geometric")
            except tondrakit.FitError as e:
                if "line" not in str(e):
                    raise
                line_like += 1
                # Wrong only where the reference finds a circle that beats the best line.
                if min(from_taubin, from_truth) < line_cost(xs, ys) * (1.0 - 1e-9):
                    wrong_line += 1
                continue
            iterations.append(c.iterations)
            value = cost(xs, ys, c.cx, c.cy, c.r)
            above += value > from_taubin * (1.0 + 1e-9)
            true_lower += from_truth < value * (1.0 - 1e-9)
            not_converged += not c.converged
            nan_stderr += c.converged and any(math.isnan(s) for s in c.stderr)
        share = true_lower / sets
        print(f"  {span:3.0f} | {above:4d} {verdict(above == 0)} | {line_like:4d} ({wrong_line})"
              f" {verdict(wrong_line == 0)} | {share:6.2%} (target <= 3 %) {verdict(share <= 0.03)}"
              f" | {not_converged:4d} | {nan_stderr} {verdict(nan_stderr == 0)} |"
              f" {statistics.median(iterations) if iterations else math.nan:.0f}")


# ----------------------------------------------------------------------------------------------
# published: data sets with printed answers


PUBLISHED = (
    ([9, 35, -13, 10, 23, 0], [34, 10, 6, -14, 27, -10], ("10.50009", "9.65995"), "23.33353"),
    ([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26], ("9.887567", "3.687497"), "27.350443"),
    ([1, 2, 5, 7, 9, 3], [7, 6, 8, 7, 5, 7], ("4.739782", "2.983533"), "4.714226"),
)


def part_published() -> None:
    print("\n== published: the geometric fit to every digit printed")
    for xs, ys, (pcx, pcy), pr in PUBLISHED:
        c = tondrakit.fit(xs, ys, method="geometric")
        places = [len(text.split(".")[1]) for text in (pcx, pcy, pr)]
        got = [f"{value:.{p}f}" for value, p in zip((c.cx, c.cy, c.r), places)]
        ok = got == [pcx, pcy, pr]
        print(f"  x={xs}: ({got[0]}, {got[1]}), R {got[2]}  printed ({pcx}, {pcy}), R {pr}"
              f"  {verdict(ok)}")


# ----------------------------------------------------------------------------------------------
# hyper: radius bias on whole circles


def circles_table(rng: np.random.Generator, groups: int, n: int, span: float, noise: float):
    """groups sets of n points on arcs of `span` degrees of circles of radius 1 to 10, noise
    noise * r, one row per point; the true radii."""
    t0 = rng.uniform(0.0, 2.0 * math.pi, (groups, 1))
    steps = n if span >= 360 else n - 1
    t = t0 + math.radians(span) * np.arange(n) / steps
    cx = rng.uniform(-10.0, 10.0, (groups, 1))
    cy = rng.uniform(-10.0, 10.0, (groups, 1))
    r = rng.uniform(1.0, 10.0, (groups, 1))
    x = cx + r * np.cos(t) + rng.normal(0.0, noise, t.shape) * r
    y = cy + r * np.sin(t) + rng.normal(0.0, noise, t.shape) * r
    table = pd.DataFrame({"group": np.repeat(np.arange(groups), n), "x": x.ravel(),
                          "y": y.ravel()})
    return table, np.column_stack((cx, cy, r))


def part_hyper() -> None:
    sets = scaled(10_000, 100)
    print(f"\n== hyper: whole circles, 20 points, noise 5 % of r, {sets} sets: radius error"
          " (r_fit - r) / r")
    table, truth = circles_table(np.random.default_rng(5), sets, 20, 360.0, 0.05)
    errors = {}
    for method in ("hyper", "taubin", "geometric"):
        fitted = tondrakit.fit_groups(table, method=method)
        errors[method] = (fitted["r"].to_numpy() - truth[:, 2]) / truth[:, 2]
    spread = errors["taubin"].std(ddof=1) / math.sqrt(sets)
    for method, e in errors.items():
        print(f"  {method:9s} mean {e.mean():+.2e}  mean |error| {np.abs(e).mean():.2e}")
    bias = abs(errors["hyper"].mean()) / abs(errors["taubin"].mean())
    print(f"  |mean| hyper / taubin {bias:.3f} (target <= 0.5; a mean's own standard error here"
          f" is {spread:.1e})  {verdict(bias <= 0.5)}")


# ----------------------------------------------------------------------------------------------
# speed


def part_speed() -> None:
    print("\n== speed: fit(method='geometric') / fit(method='lsq'), same points (lists of"
          " floats), noise 1 % of r")
    rng = np.random.default_rng(7)
    for n, target, n_rounds, calls in ((20, 0.35, 300, 50), (2000, 0.5, 100, 5)):
        for span in (20.0, 120.0, 360.0):
            xs, ys = arc_points(rng, n, span, (100.0, -40.0), 20.0, noise=0.01)
            x, y = xs.tolist(), ys.tolist()
            times = in_turns({
                "geometric": lambda: tondrakit.fit(x, y, method="geometric"),
                "lsq": lambda: tondrakit.fit(x, y, method="lsq"),
                "centroid": lambda: tondrakit.fit(x, y, method="centroid"),
            }, scaled(n_rounds), calls)
            value = ratio(times["geometric"][0], times["lsq"][0])
            # The kit's cost without any iteration: no method can be faster than this.
            floor = ratio(times["centroid"][0], times["lsq"][0])
            g = tondrakit.fit(x, y, method="geometric")
            lsq = tondrakit.fit(x, y, method="lsq")
            print(f"  n={n:<5d} {span:3.0f} deg: {show_ratio(value)} (target <= {target})"
                  f" {verdict(value[0] <= target)}   iterations geometric {g.iterations},"
                  f" lsq {lsq.iterations}; floor fit(centroid) / fit(lsq) {floor[0]:.3f}x")
    groups_speed()


def pre_split(table: pd.DataFrame) -> tuple[list[list[float]], list[list[float]]]:
    """Each group's coordinates as two lists of floats: a bare loop's input."""
    keys = table["group"].to_numpy()
    cuts = np.flatnonzero(np.diff(keys)) + 1
    xs = np.split(table["x"].to_numpy(), cuts)
    ys = np.split(table["y"].to_numpy(), cuts)
    return [a.tolist() for a in xs], [b.tolist() for b in ys]


def engine_batch(table: pd.DataFrame) -> Callable[[int], object] | None:
    """The engine's batch alone (its private entry point) on a table whose rows are in group
    order, on a given number of threads; None if the engine has no such entry point."""
    try:
        from tondrakit import _engine
    except ImportError:
        return None
    if not hasattr(_engine, "fit_batch"):
        return None
    x = table["x"].to_numpy().copy()
    y = table["y"].to_numpy().copy()
    keys = table["group"].to_numpy()
    offsets = np.concatenate(([0], np.flatnonzero(np.diff(keys)) + 1, [keys.size])).astype(np.int64)
    geometric = 5  # the engine's code for the method

    def run(workers: int) -> object:
        return _engine.fit_batch(x, y, offsets, geometric, workers, None)

    return run


def groups_speed() -> None:
    groups = 100_000
    print(f"  fit_groups(method='geometric', workers=2) on {groups:,} groups of 20 points (rows"
          " shuffled) / a bare loop of tondra.fit_lsq over the groups pre-split into lists"
          " (target: 5x faster, a ratio <= 0.2)")
    for span in (360.0, 120.0):
        rng = np.random.default_rng(11 + int(span))
        table, _ = circles_table(rng, groups, 20, span, 0.01)
        xs, ys = pre_split(table)
        shuffled = table.iloc[rng.permutation(len(table))].reset_index(drop=True)
        fit = tondra.fit_lsq
        cases = {
            "bare": lambda: [fit(a, b) for a, b in zip(xs, ys)],
            "workers=2": lambda: tondrakit.fit_groups(shuffled, method="geometric", workers=2),
            "workers=1": lambda: tondrakit.fit_groups(shuffled, method="geometric", workers=1),
            # Where the time goes: the rows' grouping (absent when they come in key order), and
            # the batch's cost without any iteration (method "centroid").
            "in key order": lambda: tondrakit.fit_groups(table, method="geometric", workers=2),
            "centroid": lambda: tondrakit.fit_groups(shuffled, method="centroid", workers=2),
        }
        batch = engine_batch(table)
        if batch is not None:
            cases["batch, 1 thread"] = lambda: batch(1)
            cases["batch, 2 threads"] = lambda: batch(2)
        times = in_turns(cases, scaled(5))
        two = ratio(times["workers=2"][0], times["bare"][0])
        print(f"    {span:3.0f}-degree arcs: workers=2 / bare {show_ratio(two)} = {1 / two[0]:.1f}x"
              f" faster, CPU/wall {load(times['workers=2']):.2f}  {verdict(two[0] <= 0.2)}"
              f" (bare loop CPU/wall {load(times['bare']):.2f})")
        parts = [("workers=1", "workers=1"), ("in key order", "workers=2, rows in key order"),
                 ("centroid", "workers=2, method='centroid'")]
        if batch is not None:
            parts.append(("batch, 1 thread", "the engine's batch alone, 1 thread"))
        for name, what in parts:
            value = ratio(times[name][0], times["bare"][0])
            print(f"        {what:34s} / bare {show_ratio(value)},"
                  f" CPU/wall {load(times[name]):.2f}")
        if batch is not None:
            value = ratio(times["batch, 1 thread"][0], times["batch, 2 threads"][0])
            print(f"        the machine meanwhile: the engine's batch alone ran {show_ratio(value)}"
                  " as fast on 2 threads as on 1 (2.0 on two idle cores)")


# ----------------------------------------------------------------------------------------------
# calibration


def part_calibration() -> None:
    sets = scaled(2000, 50)
    print(f"\n== calibration: geometric fit, noise 1 % of r, {sets} sets per case; mean predicted"
          " stderr / standard deviation of the fitted values (target 0.9 to 1.1)")
    for n in (20, 50, 200):
        for span in (60.0, 120.0, 360.0):
            rng = np.random.default_rng(n * 1000 + int(span))
            values, predicted = [], []
            for _ in range(sets):
                xs, ys = arc_points(rng, n, span, (0.0, 0.0), 1.0, noise=0.01, start=0.0)
                c = tondrakit.fit(xs, ys, method="geometric")
                values.append((c.cx, c.cy, c.r))
                predicted.append(c.stderr)
            actual = np.array(values).std(axis=0, ddof=1)
            mean_predicted = np.nanmean(np.array(predicted), axis=0)
            ratios = mean_predicted / actual
            ok = bool(np.all(np.abs(ratios - 1.0) <= 0.1))
            print(f"  n={n:<4d} {span:3.0f} deg | " + "  ".join(
                f"{name} {q:5.3f}" for name, q in zip(("cx", "cy", "r"), ratios))
                + f"  {verdict(ok)}")


# ----------------------------------------------------------------------------------------------
# methods: the README's table


def part_methods() -> None:
    sets = scaled(500, 20)
    print(f"\n== methods: 20 points, noise 1 % of r, {sets} sets per arc; median centre error /"
          " r; failed (FitError) + not converged (least-squares methods); time per fit /"
          " geometric's (lists of floats)")
    print(f"  {'arc':>4} " + "".join(f"{m:>27s}" for m in METHODS))
    for span in (5.0, 20.0, 90.0, 360.0):
        rng = np.random.default_rng(200 + int(span))
        data = []
        for _ in range(sets):
            centre, r = random_circle(rng)
            xs, ys = arc_points(rng, 20, span, centre, r, noise=0.01)
            data.append((xs.tolist(), ys.tolist(), centre, r))
        cells = {}
        for method in METHODS:
            errors, failed, not_converged = [], 0, 0
            for xs, ys, centre, r in data:
                try:
                    c = tondrakit.fit(xs, ys, method=method)
                except tondrakit.FitError:
                    failed += 1
                    errors.append(math.inf)
                    continue
                errors.append(math.hypot(c.cx - centre[0], c.cy - centre[1]) / r)
                not_converged += method in LEAST_SQUARES and not c.converged
            cells[method] = (float(np.median(errors)), failed, not_converged)
        subset = data[: min(len(data), 100)]

        def timed(method: str) -> Callable[[], None]:
            def run() -> None:
                for xs, ys, _, _ in subset:
                    try:
                        tondrakit.fit(xs, ys, method=method)
                    except tondrakit.FitError:
                        pass
            return run

        times = in_turns({m: timed(m) for m in METHODS}, scaled(15, 3))
        row = []
        for method in METHODS:
            error, failed, not_converged = cells[method]
            relative = ratio(times[method][0], times["geometric"][0])[0]
            bad = f"{failed / sets:.0%}+{not_converged / sets:.0%}" if method in LEAST_SQUARES \
                else f"{failed / sets:.0%}"
            row.append(f"{error:9.2g} {bad:>8s} {relative:6.2f}x")
        print(f"  {span:4.0f} " + "".join(f"{cell:>27s}" for cell in row))


def main() -> None:
    global SCALE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", choices=PARTS,
                        help="run this part only (may be repeated)")
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the data sets and rounds: a smoke run")
    args = parser.parse_args()
    if args.quick:
        SCALE = 10
    load_now = os.getloadavg()
    print(f"machine: {os.cpu_count()} CPUs, load average {load_now[0]:.1f} (ratios only; the"
          " machine is shared)")
    parts = {"arcs": part_arcs, "noisy": part_noisy, "published": part_published,
             "hyper": part_hyper, "speed": part_speed, "calibration": part_calibration,
             "methods": part_methods}
    for name in args.only or PARTS:
        started = time.perf_counter()
        parts[name]()
        print(f"  ({name}: {time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
