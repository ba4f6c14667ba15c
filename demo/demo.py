"""Demonstration: the three circle fits on real-looking data.

The data imitate a survey of a round feature of which only part is accessible: 60 points taken
along a 120-degree arc of a circle of radius 8.5 m centred at (412.30, -87.65), with 5 cm of
measurement noise on each coordinate. Prints each fit's centre, its distance from the true
centre and the radius it implies, and draws the points with the three fitted circles.

    python demo/demo.py [--out PATH] [--points N] [--seed S]
"""

from __future__ import annotations

import argparse
import math
import os
import random
import sys
import time

import tondra

TRUE_CENTRE = (412.30, -87.65)
TRUE_RADIUS = 8.5
ARC_DEGREES = 120.0
NOISE = 0.05


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "out", "fits.png"))
    parser.add_argument("--points", type=int, default=60)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    xs, ys = survey(args.points, args.seed)
    print(f"true centre ({TRUE_CENTRE[0]:.4f}, {TRUE_CENTRE[1]:.4f}), radius {TRUE_RADIUS}")
    results = run_fits(xs, ys)
    draw(xs, ys, results, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
