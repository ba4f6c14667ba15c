"""Spheres and circles in space, on many sets: exactness on noise-free caps and arcs, the cost
reached on noisy ones against a precise reference solver, and the standard errors' calibration.

    PYTHONPATH=build/cpp/python python bench/bench_space_accuracy.py [--sets N]

Exact: caps of half-angle 10 to 180 degrees and arcs of 5 to 360 degrees, radii 1e-3 to 1e3,
centres up to 1e4 radii from the origin, random orientations; the largest error of any
parameter, in units of the radius. Noisy (1% noise): scipy's least_squares (tolerances 1e-15)
started from the truth and from the algebraic fit gives the reference cost; a set counts as
reached when the kit's cost is within 1e-9 of the lower of the two, or below it.
"""

import argparse
import math

import numpy as np
from scipy.optimize import least_squares

import tondrakit
from bench_space import scipy_sphere as sphere_reference


def rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    return q * np.sign(np.diag(r))


def cap(rng, half_angle, n):
    polar = np.arccos(1.0 - rng.uniform(0, 1, n) * (1.0 - np.cos(np.radians(half_angle))))
    azimuth = rng.uniform(0, 2 * np.pi, n)
    return np.column_stack(
        [np.sin(polar) * np.cos(azimuth), np.sin(polar) * np.sin(azimuth), np.cos(polar)]
    )


def arc(rng, span, n):
    t = rng.uniform(0, np.radians(span), n)
    return np.column_stack([np.cos(t), np.sin(t), np.zeros(n)])


def placed(rng, unit):
    """The unit shape turned, scaled and moved; with its centre, radius and normal."""
    r = 10.0 ** rng.uniform(-3, 3)
    turn = rotation(rng)
    centre = rng.normal(size=3)
    centre *= r * 10.0 ** rng.uniform(0, 4) / np.linalg.norm(centre)
    return unit @ turn.T * r + centre, centre, r, turn[:, 2]


def sphere_cost(p, v):
    return float(np.sum((np.linalg.norm(p - v[:3], axis=1) - v[3]) ** 2))


def circle_distances(p, v):
    """True distances from points to the circle (centre v[:3], normal by angles v[3:5], r v[5])."""
    theta, phi = v[3], v[4]
    n = np.array([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta)])
    q = p - v[:3]
    h = q @ n
    rho = np.linalg.norm(q - np.outer(h, n), axis=1)
    return np.sqrt(h * h + (rho - v[5]) ** 2)


def circle_params(centre, normal, r):
    normal = normal / np.linalg.norm(normal)
    return np.array([*centre, math.acos(max(-1.0, min(1.0, normal[2]))),
                     math.atan2(normal[1], normal[0]), r])


def circle_reference(p, start):
    return least_squares(lambda v: circle_distances(p, v), start, xtol=1e-15, ftol=1e-15,
                         gtol=1e-15).x


def exact(rng, sets):
    worst_sphere = 0.0
    for _ in range(sets):
        half = rng.uniform(10, 180)
        p, centre, r, _ = placed(rng, cap(rng, half, int(rng.integers(4, 200))))
        s = tondrakit.fit_sphere(p)
        worst_sphere = max(worst_sphere, np.max(np.abs(np.array([*s.center, s.r]) -
                                                       [*centre, r])) / r)
    print(f"noise-free caps, {sets} sets: largest parameter error {worst_sphere:.1e} r")
    for method in ("projected", "geometric"):
        worst = 0.0
        for _ in range(sets):
            span = rng.uniform(5, 360)
            p, centre, r, normal = placed(rng, arc(rng, span, int(rng.integers(3, 200))))
            c = tondrakit.fit_circle3d(p, method=method)
            # The normal's sign is the fit's convention: compare the line it spans.
            normal_off = min(np.linalg.norm(np.array(c.normal) - normal),
                             np.linalg.norm(np.array(c.normal) + normal))
            off = max(np.max(np.abs(np.array(c.center) - centre)) / r,
                      abs(c.r - r) / r, normal_off)
            worst = max(worst, off)
        print(f"noise-free arcs, {method}, {sets} sets: largest parameter error {worst:.1e} r")


def noisy_spheres(rng, sets):
    reached = above_algebraic = 0
    for _ in range(sets):
        half = rng.uniform(10, 180)
        unit = cap(rng, half, int(rng.integers(8, 200)))
        p, centre, r, _ = placed(rng, unit)
        p = p + 0.01 * r * rng.normal(size=p.shape)
        ours = tondrakit.fit_sphere(p)
        algebraic = tondrakit.fit_sphere(p, method="algebraic")
        a = np.array([*algebraic.center, algebraic.r])
        best = min(sphere_cost(p, sphere_reference(p, np.array([*centre, r]))),
                   sphere_cost(p, sphere_reference(p, a)))
        cost = sphere_cost(p, np.array([*ours.center, ours.r]))
        reached += cost <= best * (1 + 1e-9)
        above_algebraic += cost > sphere_cost(p, a)
    print(f"noisy caps (1%), {sets} sets: reference cost reached in {reached / sets:.1%},"
          f" above the algebraic fit's in {above_algebraic}")


def noisy_circles(rng, sets):
    reached = 0
    for _ in range(sets):
        span = rng.uniform(5, 360)
        p, centre, r, normal = placed(rng, arc(rng, span, int(rng.integers(6, 200))))
        p = p + 0.01 * r * rng.normal(size=p.shape)
        ours = tondrakit.fit_circle3d(p, method="geometric")
        projected = tondrakit.fit_circle3d(p, method="projected")
        starts = [circle_params(centre, normal, r),
                  circle_params(np.array(projected.center), np.array(projected.normal),
                                projected.r)]
        best = min(float(np.sum(circle_distances(p, circle_reference(p, s)) ** 2))
                   for s in starts)
        cost = float(np.sum(circle_distances(
            p, circle_params(np.array(ours.center), np.array(ours.normal), ours.r)) ** 2))
        reached += cost <= best * (1 + 1e-9)
    print(f"noisy arcs (1%), geometric, {sets} sets: reference cost reached in"
          f" {reached / sets:.1%}")


def calibration(rng, sets):
    for n in (20, 200):
        for half in (60, 180):
            unit = cap(rng, half, n)
            fits = [tondrakit.fit_sphere(unit * 5.0 + 0.05 * rng.normal(size=unit.shape))
                    for _ in range(sets)]
            spread = np.std([[*f.center, f.r] for f in fits], axis=0)
            predicted = np.sqrt(np.mean([f.stderr ** 2 for f in fits], axis=0))
            print(f"sphere n={n}, cap {half}: predicted/actual stderr "
                  + " ".join(f"{v:.2f}" for v in predicted / spread))
        for span in (120, 360):
            fits = []
            for _ in range(sets):
                p = arc(rng, span, n) * 5.0
                fits.append(tondrakit.fit_circle3d(p + 0.05 * rng.normal(size=p.shape)))
            spread = np.std([[*f.center, f.r] for f in fits], axis=0)
            predicted = np.sqrt(np.mean([f.stderr ** 2 for f in fits], axis=0))
            print(f"circle n={n}, arc {span}: predicted/actual stderr "
                  + " ".join(f"{v:.2f}" for v in predicted / spread))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sets", type=int, default=1000)
    sets = parser.parse_args().sets
    rng = np.random.default_rng(2027)
    exact(rng, sets)
    noisy_spheres(rng, sets)
    noisy_circles(rng, sets)
    calibration(rng, sets)


if __name__ == "__main__":
    main()
