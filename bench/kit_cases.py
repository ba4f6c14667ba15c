"""Data sets for the kit's benchmarks and tests: arcs with outliers, drawn from a numpy Generator.

Angles are in degrees. Errors are measured in units of the true radius.
"""

from __future__ import annotations

import math

import numpy as np


def contaminated_arc(rng, n=200, span_deg=120.0, outliers=0.3, noise=0.01):
    """n points, of which round(outliers * n) are outliers uniform over the circle's bounding
    box enlarged 1.5 times (about its centre) and the rest lie on an arc of span_deg degrees
    with Gaussian noise of noise * r on each coordinate. The circle has a random centre in
    [-10, 10]^2, a radius in [1, 10] and a random start angle; the order of the points is
    shuffled. Returns xs, ys, the inlier mask and the true (cx, cy, r)."""
    cx, cy = rng.uniform(-10.0, 10.0, 2)
    r = float(rng.uniform(1.0, 10.0))
    bad = int(round(outliers * n))
    good = n - bad
    start = rng.uniform(0.0, 2.0 * math.pi)
    t = start + np.radians(span_deg) * np.linspace(0.0, 1.0, good)
    xs = np.empty(n)
    ys = np.empty(n)
    xs[:good] = cx + r * np.cos(t) + rng.normal(0.0, noise * r, good)
    ys[:good] = cy + r * np.sin(t) + rng.normal(0.0, noise * r, good)
    half = 1.5 * r
    xs[good:] = rng.uniform(cx - half, cx + half, bad)
    ys[good:] = rng.uniform(cy - half, cy + half, bad)
    inlier = np.arange(n) < good
    order = rng.permutation(n)
    return xs[order], ys[order], inlier[order], (float(cx), float(cy), r)


def noisy_arc(rng, n, span_deg, noise=0.01, centre=(0.0, 0.0), r=1.0):
    """n points evenly along an arc of span_deg degrees (a closed circle at 360) of the given
    circle, with Gaussian noise of noise * r on each coordinate."""
    steps = n if span_deg >= 360 else n - 1
    t = np.radians(span_deg) * np.arange(n) / steps
    xs = centre[0] + r * np.cos(t) + rng.normal(0.0, noise * r, n)
    ys = centre[1] + r * np.sin(t) + rng.normal(0.0, noise * r, n)
    return xs, ys
