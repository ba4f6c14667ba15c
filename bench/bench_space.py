"""Spheres and circles in space: accuracy against a precise reference, and speed against numpy's
one linear solve and scipy's least_squares (analytic Jacobian), in one run.

    PYTHONPATH=build/cpp/python python bench/bench_space.py
"""

import time

import numpy as np
from scipy.optimize import least_squares

import tondrakit


def cap(rng, r, half_angle, n, noise):
    polar = np.arccos(1.0 - rng.uniform(0, 1, n) * (1.0 - np.cos(np.radians(half_angle))))
    azimuth = rng.uniform(0, 2 * np.pi, n)
    unit = np.column_stack(
        [np.sin(polar) * np.cos(azimuth), np.sin(polar) * np.sin(azimuth), np.cos(polar)]
    )
    return r * unit + noise * rng.normal(size=(n, 3))


def numpy_sphere(p):
    """The algebraic sphere by one linear least-squares solve."""
    a = np.column_stack([2 * p, np.ones(len(p))])
    b = np.sum(p * p, axis=1)
    s = np.linalg.lstsq(a, b, rcond=None)[0]
    return s[:3], np.sqrt(s[3] + s[:3] @ s[:3])


def scipy_sphere(p, start):
    def residuals(v):
        return np.linalg.norm(p - v[:3], axis=1) - v[3]

    def jacobian(v):
        q = p - v[:3]
        d = np.linalg.norm(q, axis=1)
        return np.column_stack([-q / d[:, None], -np.ones(len(p))])

    return least_squares(residuals, start, jac=jacobian, xtol=1e-15, ftol=1e-15, gtol=1e-15).x


def cost(p, c, r):
    return float(np.sum((np.linalg.norm(p - c, axis=1) - r) ** 2))


def per_call(f, repeat=2000):
    best = np.inf
    for _ in range(3):
        t = time.perf_counter()
        for _ in range(repeat):
            f()
        best = min(best, (time.perf_counter() - t) / repeat)
    return best


def main():
    rng = np.random.default_rng(2026)
    # A sphere target in a scan: a near-hemisphere of 457 points, r = 3.6 mm, 0.02 mm noise.
    p = cap(rng, 3.6, 80, 457, 0.02) + [120.0, -40.0, 15.0]
    g = tondrakit.fit_sphere(p)
    a = tondrakit.fit_sphere(p, method="algebraic")
    c, r = numpy_sphere(p)
    ref = scipy_sphere(p, [*g.center, g.r])
    print("near-hemisphere, 457 points, r 3.6 mm, noise 0.02 mm")
    ratio = cost(p, g.center, g.r) / cost(p, ref[:3], ref[3])
    for name, centre, radius in (("geometric", g.center, g.r), ("algebraic", a.center, a.r)):
        off = np.linalg.norm(np.array(centre) - ref[:3])
        print(f"  {name}  centre off the reference {off:.2e} mm,"
              f" r off {abs(radius - ref[3]):.2e} mm")
    print(f"  geometric cost / reference cost {ratio:.12f}")
    print(f"  numpy solve centre off the reference {np.linalg.norm(c - ref[:3]):.2e} mm,"
          f" r off {abs(r - ref[3]):.2e} mm")

    q = cap(rng, 1.0, 90, 20, 0.01) + [3.0, 1.0, -2.0]
    ours = per_call(lambda: tondrakit.fit_sphere(q))
    solve = per_call(lambda: numpy_sphere(q))
    start = np.array([*numpy_sphere(q)[0], numpy_sphere(q)[1]])
    sci = per_call(lambda: scipy_sphere(q, start), 200)
    print("sphere, n = 20 (time per fit)")
    print(f"  fit_sphere {ours * 1e6:.1f} us, numpy one solve {solve * 1e6:.1f} us"
          f" ({solve / ours:.2f}x), scipy least_squares {sci * 1e6:.0f} us ({sci / ours:.0f}x)")

    t = np.linspace(0, 2.0, 20)
    arc = np.column_stack([np.cos(t), np.sin(t), 0.3 * np.cos(t)])
    arc += 0.005 * rng.normal(size=(20, 3))
    for method in ("projected", "geometric"):
        dt = per_call(lambda: tondrakit.fit_circle3d(arc, method=method))
        print(f"circle in space, n = 20, {method}: {dt * 1e6:.1f} us")


if __name__ == "__main__":
    main()
