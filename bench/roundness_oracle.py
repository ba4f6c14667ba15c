"""An independent oracle for the reference circles of roundness: every candidate support of 2,
3 and 4 points tried on the whole set. Each candidate centre is computed exactly in fractions
and rounded once; the distances are then float64. Cubic to quintic in n: for small sets only.
Shared by the tests and by bench/bench_roundness.py."""

import itertools
import math
import random
from fractions import Fraction

import numpy as np

# Relative slack of "inside" and "on": the oracle's distances are rounded once or twice.
SLACK = 1e-12


def _circumcentre(a, b, c):
    (ax, ay), (bx, by), (cx, cy) = a, b, c
    bx, by, cx, cy = bx - ax, by - ay, cx - ax, cy - ay
    det = 2 * (bx * cy - by * cx)
    if det == 0:
        return None
    b2, c2 = bx * bx + by * by, cx * cx + cy * cy
    return (ax + (cy * b2 - by * c2) / det, ay + (bx * c2 - cx * b2) / det)


def _bisectors_meet(a, b, c, d):
    n1 = (b[0] - a[0], b[1] - a[1])
    n2 = (d[0] - c[0], d[1] - c[1])
    h1 = (b[0] * b[0] + b[1] * b[1] - a[0] * a[0] - a[1] * a[1]) / 2
    h2 = (d[0] * d[0] + d[1] * d[1] - c[0] * c[0] - c[1] * c[1]) / 2
    det = n1[0] * n2[1] - n1[1] * n2[0]
    if det == 0:
        return None
    return ((h1 * n2[1] - n1[1] * h2) / det, (n1[0] * h2 - h1 * n2[0]) / det)


def _exact(xs, ys):
    return [(Fraction(x), Fraction(y)) for x, y in zip(xs, ys)]


def _distances(xs, ys, centres):
    """Distances of every point from every centre: one row per centre."""
    cx = np.array([float(c[0]) for c in centres])[:, None]
    cy = np.array([float(c[1]) for c in centres])[:, None]
    return np.hypot(np.asarray(xs, float)[None, :] - cx, np.asarray(ys, float)[None, :] - cy)


def circumscribed(xs, ys):
    """The smallest radius of a circle through 2 or 3 of the points holding all of them."""
    p = _exact(xs, ys)
    centres = [((a[0] + b[0]) / 2, (a[1] + b[1]) / 2) for a, b in itertools.combinations(p, 2)]
    centres += [c for t in itertools.combinations(p, 3) if (c := _circumcentre(*t))]
    d = _distances(xs, ys, centres)
    return float(d.max(axis=1).min())


def zone(xs, ys):
    """The smallest width of a zone centred where three points are equally far, or where the
    bisectors of two disjoint pairs meet."""
    p = _exact(xs, ys)
    centres = [c for t in itertools.combinations(p, 3) if (c := _circumcentre(*t))]
    for a, b, c, d in itertools.combinations(p, 4):
        for pairs in (((a, b), (c, d)), ((a, c), (b, d)), ((a, d), (b, c))):
            if (m := _bisectors_meet(*pairs[0], *pairs[1])) is not None:
                centres.append(m)
    d = _distances(xs, ys, centres)
    return float((d.max(axis=1) - d.min(axis=1)).min())


def inscribed(xs, ys):
    """The largest radius of an empty circle through 3 of the points whose points on it go
    round its centre; None when there is none."""
    p = _exact(xs, ys)
    best = None
    px, py = np.asarray(xs, float), np.asarray(ys, float)
    for t in itertools.combinations(p, 3):
        c = _circumcentre(*t)
        if c is None:
            continue
        r = float(math.dist((float(t[0][0]), float(t[0][1])), (float(c[0]), float(c[1]))))
        if best is not None and r <= best:
            continue
        d = np.hypot(px - float(c[0]), py - float(c[1]))
        if (d < r * (1 - SLACK)).any():
            continue
        on = [i for i in range(len(p)) if abs(d[i] - r) <= r * SLACK]
        if _round(px[on] - float(c[0]), py[on] - float(c[1])):
            best = r
    return best


def _round(dx, dy):
    """Whether offsets go round the origin: no line through it has them all on one side."""
    angles = np.sort(np.arctan2(dy, dx))
    gaps = np.diff(np.concatenate([angles, [angles[0] + 2 * math.pi]]))
    return bool(gaps.max() < math.pi * (1 - 1e-9))


def lobed(n, lobes, amplitude, noise=0.0, seed=0, cx=0.0, cy=0.0, r=1.0, phase=0.0):
    """n points at random angles on r (1 + amplitude cos(lobes t + phase)) about (cx, cy), with
    Gaussian radial noise of `noise` radii: a profile such as centreless grinding leaves."""
    rng = random.Random(seed)
    xs, ys = [], []
    for _ in range(n):
        t = rng.uniform(0, 2 * math.pi)
        rad = r * (1 + amplitude * math.cos(lobes * t + phase) + rng.gauss(0, noise))
        xs.append(cx + rad * math.cos(t))
        ys.append(cy + rad * math.sin(t))
    return xs, ys
