"""tondrakit.fit_circle3d: exact arcs in space, both conventions, collinear points refused."""

import numpy as np
import pytest
from scipy.optimize import least_squares

import tondrakit


def frame(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    return q * np.sign(np.diag(r))


def arc3d(rng, centre, r, degrees, n, noise=0.0):
    """n points evenly along an arc in a random plane; returns them and the plane's normal."""
    axes = frame(rng)
    steps = n if degrees >= 360 else n - 1
    t = rng.uniform(0, 2 * np.pi) + np.radians(degrees) * np.arange(n) / steps
    p = np.asarray(centre) + r * (np.outer(np.cos(t), axes[0]) + np.outer(np.sin(t), axes[1]))
    return p + noise * r * rng.normal(size=p.shape), axes[2]


def distances(p, c, normal, r):
    q = p - c
    h = q @ normal
    rho = np.linalg.norm(q - np.outer(h, normal), axis=1)
    return np.concatenate([rho - r, h])


@pytest.mark.parametrize("degrees", [5, 45, 120, 360])
@pytest.mark.parametrize("r", [1e-3, 1.0, 1e3])
def test_exact_arcs_are_recovered_in_both_conventions(degrees, r):
    rng = np.random.default_rng(degrees)
    for far in (0.0, 1e4):
        centre = far * r * frame(rng)[0] + r * rng.normal(size=3)
        p, normal = arc3d(rng, centre, r, degrees, 25)
        fits = [tondrakit.fit_circle3d(p, method=m) for m in ("projected", "geometric")]
        for c in fits:
            assert np.max(np.abs(np.array(c.center) - centre)) <= 1e-9 * r, (c.method, far)
            assert abs(c.r - r) <= 1e-9 * r
            assert abs(abs(np.dot(c.normal, normal)) - 1.0) <= 1e-12
            assert c.normal[np.argmax(np.abs(c.normal))] > 0
            assert c.converged and c.rms <= 1e-9 * r
            covered = np.radians(degrees) * (1 if degrees < 360 else 24 / 25)
            assert c.arc == pytest.approx(covered, rel=1e-9)
        # The two conventions describe the same circle on points that lie on one.
        np.testing.assert_allclose(
            [*fits[0].center, *fits[0].normal, fits[0].r],
            [*fits[1].center, *fits[1].normal, fits[1].r], rtol=0, atol=1e-9 * max(r, 1.0),
        )


def test_geometric_circle_is_the_minimum_of_the_true_distances():
    rng = np.random.default_rng(11)
    for trial in range(8):
        p, _ = arc3d(rng, [5.0, -1.0, 20.0], 2.0, [90, 180, 360][trial % 3], 30, noise=0.01)
        g = tondrakit.fit_circle3d(p[:, 0], p[:, 1], p[:, 2], method="geometric")
        pr = tondrakit.fit_circle3d(p, method="projected")
        assert g.converged and g.iterations >= 1

        def residuals(v):
            n = v[3:6] / np.linalg.norm(v[3:6])
            return distances(p, v[:3], n, v[6])

        start = np.array([*pr.center, *pr.normal, pr.r])
        best = least_squares(residuals, start, xtol=1e-15, ftol=1e-15, gtol=1e-15).x
        ours = float(np.sum(distances(p, np.array(g.center), np.array(g.normal), g.r) ** 2))
        assert ours <= float(np.sum(residuals(best) ** 2)) * (1 + 1e-9)
        projected = distances(p, np.array(pr.center), np.array(pr.normal), pr.r)
        assert ours <= float(np.sum(projected**2))
        assert g.rms == pytest.approx(np.sqrt(ours / 30), rel=1e-9)
        assert g.cov.shape == (4, 4) and np.all(g.stderr > 0) and not g.cov.flags.writeable


def test_points_without_a_circle_are_refused():
    line = np.array([7.0, -3.0, 2.0]) + np.outer(np.linspace(-1, 1, 9), [1.0, 2.0, 3.0])
    for method in ("projected", "geometric"):
        with pytest.raises(tondrakit.FitError, match="collinear"):
            tondrakit.fit_circle3d(line, method=method)
    with pytest.raises(tondrakit.FitError, match="coincide"):
        tondrakit.fit_circle3d([[1, 2, 3]] * 4)
    with pytest.raises(ValueError, match="at least 3 points"):
        tondrakit.fit_circle3d([[0, 0, 0], [1, 0, 0]])
    with pytest.raises(ValueError, match="method"):
        tondrakit.fit_circle3d([[0, 0, 0], [1, 0, 0], [0, 1, 0]], method="algebraic")
    c = tondrakit.fit_circle3d([[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    assert c.r == pytest.approx(np.sqrt(2 / 3)) and np.isnan(c.cov).all()
