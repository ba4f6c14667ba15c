"""Demonstration: the three circle fits on real-looking data, then a robust fit.

The data imitate a survey of a round feature of which only part is accessible: 60 points taken
along a 120-degree arc of a circle of radius 8.5 m centred at (412.30, -87.65), with 5 cm of
measurement noise on each coordinate. Prints each fit's centre, its distance from the true
centre and the radius it implies, and draws the points with the three fitted circles.

Then 30 stray points (returns off other objects) are added around the feature, and
tondrakit.fit and tondrakit.fit_robust are compared: the second picture marks the points the
robust fit took for outliers and shows the centre's uncertainty.

Then a short arc: 30 points along 25 degrees of the same circle with 17 cm of noise, where the
curvature barely shows. tondrakit.fit with the methods lsq, taubin, hyper and geometric are
compared, and the third picture draws their circles: the geometric fit finds the circle while
fit_lsq's L-BFGS heads off towards a straight line and stops there, unconverged.

Last, the coins of scikit-image's sample image are found by their edges and fitted one circle
each with tondrakit.fit_groups, plainly and robustly, and drawn over the image (demo/coins.py).

    python demo/demo.py [--out PATH] [--robust-out PATH] [--short-out PATH] [--coins-out PATH]
                        [--points N] [--seed S]
"""

from __future__ import annotations

import argparse
import math
import os
import random
import sys
import time

import numpy as np

import tondra
import tondrakit

TRUE_CENTRE = (412.30, -87.65)
TRUE_RADIUS = 8.5
ARC_DEGREES = 120.0
NOISE = 0.05
STRAYS = 30
# The short arc: its span, points and noise (2 % of the radius). On such surveys fit_lsq ends far
# from the least-squares circle now and then; SHORT_SEED is one of them.
SHORT_DEGREES = 25.0
SHORT_POINTS = 30
SHORT_NOISE = 0.17
SHORT_SEED = 36
SHORT_METHODS = ("lsq", "taubin", "hyper", "geometric")


def survey(points: int, seed: int) -> tuple[list[float], list[float]]:
    rng = random.Random(seed)
    start = math.radians(200.0)
    span = math.radians(ARC_DEGREES)
    xs, ys = [], []
    for i in range(points):
        t = start + span * i / (points - 1)
        xs.append(TRUE_CENTRE[0] + TRUE_RADIUS * math.cos(t) + rng.gauss(0.0, NOISE))
        ys.append(TRUE_CENTRE[1] + TRUE_RADIUS * math.sin(t) + rng.gauss(0.0, NOISE))
    return xs, ys


def mean_radius(xs: list[float], ys: list[float], centre: list[float]) -> float:
    return sum(math.hypot(x - centre[0], y - centre[1]) for x, y in zip(xs, ys)) / len(xs)


def run_fits(xs: list[float], ys: list[float]) -> dict[str, list[float] | None]:
    fits = {
        "fit_geometrical": lambda: tondra.fit_geometrical(xs, ys),
        "taubin_svd": lambda: tondra.taubin_svd(xs, ys),
        "fit_lsq (lbfgs)": lambda: tondra.fit_lsq(xs, ys),
        "fit_lsq (nelder_mead)": lambda: tondra.fit_lsq(xs, ys, "nelder_mead"),
    }
    results: dict[str, list[float] | None] = {}
    print(f"{'fit':<24}{'cx':>14}{'cy':>14}{'off by':>10}{'radius':>10}{'time':>11}")
    for name, fit in fits.items():
        started = time.perf_counter()
        try:
            centre = fit()
        except BaseException as exc:  # a PanicException derives from BaseException
            if type(exc).__name__ != "PanicException":
                raise
            print(f"{name:<24}  unavailable: {exc}")
            results[name] = None
            continue
        elapsed = time.perf_counter() - started
        off = math.hypot(centre[0] - TRUE_CENTRE[0], centre[1] - TRUE_CENTRE[1])
        radius = mean_radius(xs, ys, centre)
        print(f"{name:<24}{centre[0]:>14.4f}{centre[1]:>14.4f}{off:>10.4f}{radius:>10.4f}"
              f"{elapsed * 1e6:>9.0f}us")
        results[name] = centre
    return results


def draw(xs: list[float], ys: list[float], results: dict[str, list[float] | None], out: str) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture drawn")
        return
    fig, ax = plt.subplots(figsize=(7, 7))
    ax.plot(xs, ys, ".", color="black", label="surveyed points")
    colours = {"fit_geometrical": "tab:gray", "taubin_svd": "tab:blue",
               "fit_lsq (lbfgs)": "tab:red", "fit_lsq (nelder_mead)": "tab:green"}
    styles = {"fit_lsq (nelder_mead)": ":"}
    for name, centre in results.items():
        if centre is None:
            continue
        radius = mean_radius(xs, ys, centre)
        circle = plt.Circle(centre, radius, fill=False, color=colours[name],
                            linestyle=styles.get(name, "-"), linewidth=1.2)
        ax.add_patch(circle)
        ax.plot(*centre, "+", color=colours[name], markersize=12, label=f"{name} centre")
    ax.plot(*TRUE_CENTRE, "x", color="orange", markersize=10, label="true centre")
    ax.set_aspect("equal")
    ax.set_xlim(TRUE_CENTRE[0] - 1.4 * TRUE_RADIUS, TRUE_CENTRE[0] + 1.4 * TRUE_RADIUS)
    ax.set_ylim(TRUE_CENTRE[1] - 1.4 * TRUE_RADIUS, TRUE_CENTRE[1] + 1.4 * TRUE_RADIUS)
    ax.set_title(f"{len(xs)} points on a {ARC_DEGREES:.0f}° arc, noise {NOISE * 100:.0f} cm")
    ax.legend(loc="upper right", fontsize=8)
    ax.grid(True, linewidth=0.3)
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    print(f"picture: {out}")


def contaminate(xs: list[float], ys: list[float], seed: int) -> tuple[list[float], list[float]]:
    """The survey with STRAYS points uniform over the feature's bounding box enlarged 1.5 times."""
    rng = random.Random(seed + 1)
    half = 1.5 * TRUE_RADIUS
    sx = [TRUE_CENTRE[0] + rng.uniform(-half, half) for _ in range(STRAYS)]
    sy = [TRUE_CENTRE[1] + rng.uniform(-half, half) for _ in range(STRAYS)]
    return xs + sx, ys + sy


def robust_fits(xs: list[float], ys: list[float]) -> tuple[tondrakit.Circle, tondrakit.RobustFit]:
    plain = tondrakit.fit(xs, ys)
    started = time.perf_counter()
    robust = tondrakit.fit_robust(xs, ys)
    elapsed = time.perf_counter() - started
    print(f"{'fit':<24}{'cx':>14}{'cy':>14}{'off by':>10}{'radius':>10}{'s_cx':>8}{'s_cy':>8}"
          f"{'s_r':>8}")
    for name, c in (("tondrakit.fit", plain), ("tondrakit.fit_robust", robust.circle)):
        off = math.hypot(c.cx - TRUE_CENTRE[0], c.cy - TRUE_CENTRE[1])
        s_cx, s_cy, s_r = c.stderr
        print(f"{name:<24}{c.cx:>14.4f}{c.cy:>14.4f}{off:>10.4f}{c.r:>10.4f}{s_cx:>8.4f}"
              f"{s_cy:>8.4f}{s_r:>8.4f}")
    strays_in = sum(robust.inliers[len(xs) - STRAYS:])
    print(f"fit_robust: {robust.circle.n} inliers of {len(xs)} points ({strays_in} of the"
          f" {STRAYS} strays among them), threshold {robust.threshold * 100:.1f} cm,"
          f" {robust.trials} samples, {elapsed * 1e3:.1f} ms")
    return plain, robust


def draw_robust(xs: list[float], ys: list[float], plain: tondrakit.Circle,
                robust: tondrakit.RobustFit, out: str) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.patches import Ellipse
    except ImportError:
        print("matplotlib is not installed: no picture drawn")
        return
    fig, ax = plt.subplots(figsize=(7, 7))
    inside = robust.inliers
    ax.plot([x for x, k in zip(xs, inside) if k], [y for y, k in zip(ys, inside) if k], ".",
            color="black", label="inliers")
    ax.plot([x for x, k in zip(xs, inside) if not k], [y for y, k in zip(ys, inside) if not k],
            "x", color="tab:red", label="outliers (fit_robust)")
    c = robust.circle
    ax.add_patch(plt.Circle(plain.center, plain.r, fill=False, color="tab:gray", linestyle="--",
                            label="tondrakit.fit (all points)"))
    ax.add_patch(plt.Circle(c.center, c.r, fill=False, color="tab:red",
                            label="tondrakit.fit_robust"))
    ax.plot(*plain.center, "+", color="tab:gray", markersize=12)
    ax.plot(*c.center, "+", color="tab:red", markersize=12)
    ax.plot(*TRUE_CENTRE, "x", color="orange", markersize=10, label="true centre")
    ax.set_aspect("equal")
    ax.set_xlim(TRUE_CENTRE[0] - 1.6 * TRUE_RADIUS, TRUE_CENTRE[0] + 1.6 * TRUE_RADIUS)
    ax.set_ylim(TRUE_CENTRE[1] - 1.6 * TRUE_RADIUS, TRUE_CENTRE[1] + 1.6 * TRUE_RADIUS)
    ax.set_title(f"{len(xs) - STRAYS} surveyed points and {STRAYS} strays")
    ax.legend(loc="upper right", fontsize=8)
    ax.grid(True, linewidth=0.3)

    # The centre's uncertainty is centimetres on a picture of metres: a zoomed inset shows the
    # 95 % confidence ellipse of the centre from the covariance (chi-square, 2 degrees of
    # freedom: 5.991).
    cov = c.cov[:2, :2]
    values, vectors = np.linalg.eigh(cov)  # ascending: the major axis last
    minor, major = 2.0 * np.sqrt(5.991 * values)
    angle = math.degrees(math.atan2(vectors[1, 1], vectors[0, 1]))
    inset = ax.inset_axes((0.03, 0.63, 0.34, 0.34))
    inset.add_patch(Ellipse(c.center, major, minor, angle=angle, fill=False, color="tab:red"))
    inset.plot(*c.center, "+", color="tab:red", markersize=10)
    inset.plot(*TRUE_CENTRE, "x", color="orange", markersize=9)
    reach = 0.65 * major + math.hypot(c.cx - TRUE_CENTRE[0], c.cy - TRUE_CENTRE[1])
    inset.set_xlim(c.cx - reach, c.cx + reach)
    inset.set_ylim(c.cy - reach, c.cy + reach)
    inset.set_aspect("equal")
    inset.tick_params(labelsize=6)
    inset.locator_params(nbins=3)
    inset.set_title("centre, 95 % ellipse", fontsize=7)
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    print(f"picture: {out}")


def short_arc(seed: int) -> tuple[list[float], list[float]]:
    rng = random.Random(seed)
    start = math.radians(250.0)
    span = math.radians(SHORT_DEGREES)
    xs, ys = [], []
    for i in range(SHORT_POINTS):
        t = start + span * i / (SHORT_POINTS - 1)
        xs.append(TRUE_CENTRE[0] + TRUE_RADIUS * math.cos(t) + rng.gauss(0.0, SHORT_NOISE))
        ys.append(TRUE_CENTRE[1] + TRUE_RADIUS * math.sin(t) + rng.gauss(0.0, SHORT_NOISE))
    return xs, ys


def short_arc_fits(xs: list[float], ys: list[float]) -> dict[str, tondrakit.Circle]:
    circles = {}
    print(f"{'method':<24}{'cx':>14}{'cy':>14}{'off by':>12}{'radius':>12}  converged")
    for method in SHORT_METHODS:
        c = tondrakit.fit(xs, ys, method=method)
        off = math.hypot(c.cx - TRUE_CENTRE[0], c.cy - TRUE_CENTRE[1])
        # The algebraic fits are no least-squares minimum, and do not claim to be.
        converged = "" if method in ("taubin", "hyper") else str(c.converged)
        print(f"{method:<24}{c.cx:>14.4g}{c.cy:>14.4g}{off:>12.4g}{c.r:>12.4g}  {converged}")
        circles[method] = c
    # How often a survey like this one sends fit_lsq astray, on the same arc, noise and points.
    astray = 0
    surveys = 300
    for seed in range(surveys):
        x, y = short_arc(seed)
        lsq = tondrakit.fit(x, y, method="lsq")
        best = tondrakit.fit(x, y, method="geometric")
        astray += math.hypot(lsq.cx - best.cx, lsq.cy - best.cy) > 0.1 * TRUE_RADIUS
    print(f"of {surveys} such surveys (seeds 0 to {surveys - 1}), fit_lsq ended more than a tenth"
          f" of the radius from the geometric fit's centre in {astray}")
    return circles


def arc_of(c: tondrakit.Circle, near: tuple[float, float],
           reach: float) -> tuple[np.ndarray, np.ndarray]:
    """Points of circle c within about `reach` of the point `near`: the whole circle when it is
    small, else the part of a huge one (a fit heading for a line) that crosses the picture."""
    towards = math.atan2(near[1] - c.cy, near[0] - c.cx)
    half = min(math.pi, 2.0 * reach / c.r)
    t = towards + np.linspace(-half, half, 721)
    return c.cx + c.r * np.cos(t), c.cy + c.r * np.sin(t)


def draw_short_arc(xs: list[float], ys: list[float], circles: dict[str, tondrakit.Circle],
                   out: str) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture drawn")
        return
    fig, ax = plt.subplots(figsize=(7, 7))
    reach = 1.4 * TRUE_RADIUS
    colours = {"lsq": "tab:red", "taubin": "tab:blue", "hyper": "tab:green",
               "geometric": "black"}
    styles = {"taubin": "--", "hyper": ":"}
    t = np.linspace(0.0, 2.0 * math.pi, 721)
    ax.plot(TRUE_CENTRE[0] + TRUE_RADIUS * np.cos(t), TRUE_CENTRE[1] + TRUE_RADIUS * np.sin(t),
            color="orange", linewidth=4, alpha=0.35, label="true circle")
    ax.plot(xs, ys, ".", color="black", label="surveyed points")
    for method, c in circles.items():
        cx, cy = arc_of(c, TRUE_CENTRE, 3.0 * reach)
        note = "" if method in ("taubin", "hyper") else (
            ", converged" if c.converged else ", not converged")
        ax.plot(cx, cy, color=colours[method], linestyle=styles.get(method, "-"), linewidth=1.2,
                label=f"{method} (r {c.r:.4g} m{note})")
        if abs(c.cx - TRUE_CENTRE[0]) < reach and abs(c.cy - TRUE_CENTRE[1]) < reach:
            ax.plot(c.cx, c.cy, "+", color=colours[method], markersize=12)
    ax.plot(*TRUE_CENTRE, "x", color="orange", markersize=10, label="true centre")
    ax.set_aspect("equal")
    ax.set_xlim(TRUE_CENTRE[0] - reach, TRUE_CENTRE[0] + reach)
    ax.set_ylim(TRUE_CENTRE[1] - reach, TRUE_CENTRE[1] + reach)
    ax.set_title(f"{len(xs)} points on a {SHORT_DEGREES:.0f}° arc,"
                 f" noise {SHORT_NOISE * 100:.0f} cm")
    ax.legend(loc="upper right", fontsize=8)
    ax.grid(True, linewidth=0.3)
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    print(f"picture: {out}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "out", "fits.png"))
    parser.add_argument("--robust-out",
                        default=os.path.join(os.path.dirname(__file__), "out", "robust.png"))
    parser.add_argument("--short-out",
                        default=os.path.join(os.path.dirname(__file__), "out", "short_arc.png"))
    parser.add_argument("--coins-out",
                        default=os.path.join(os.path.dirname(__file__), "out", "coins.png"))
    parser.add_argument("--points", type=int, default=60)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    xs, ys = survey(args.points, args.seed)
    print(f"true centre ({TRUE_CENTRE[0]:.4f}, {TRUE_CENTRE[1]:.4f}), radius {TRUE_RADIUS}")
    results = run_fits(xs, ys)
    draw(xs, ys, results, args.out)

    print(f"\nthe same survey with {STRAYS} stray points around the feature:")
    all_xs, all_ys = contaminate(xs, ys, args.seed)
    plain, robust = robust_fits(all_xs, all_ys)
    draw_robust(all_xs, all_ys, plain, robust, args.robust_out)

    print(f"\n{SHORT_POINTS} points on a {SHORT_DEGREES:.0f}-degree arc of the same circle,"
          f" noise {SHORT_NOISE * 100:.0f} cm:")
    sx, sy = short_arc(SHORT_SEED)
    circles = short_arc_fits(sx, sy)
    draw_short_arc(sx, sy, circles, args.short_out)

    print("\nthe coins of scikit-image's sample image, one circle each:")
    try:
        import matplotlib  # noqa: F401
        import skimage  # noqa: F401
    except ImportError as e:
        print(f"{e.name} is not installed: no coins (pip install -r requirements/demo.txt)")
        return 0
    import coins  # demo/coins.py, beside this file

    return coins.main(args.coins_out)


if __name__ == "__main__":
    sys.exit(main())
