"""tondrakit.fit_sphere: exact caps recovered, flat data refused, the minimum reached."""

import numpy as np
import pytest
from scipy.optimize import least_squares

import tondrakit


def rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    return q * np.sign(np.diag(r))


def cap(rng, centre, r, half_angle, n, noise=0.0):
    """n points on a spherical cap of the given half-angle (degrees) about a random axis."""
    polar = np.arccos(1.0 - rng.uniform(0.0, 1.0, n) * (1.0 - np.cos(np.radians(half_angle))))
    azimuth = rng.uniform(0.0, 2.0 * np.pi, n)
    unit = np.column_stack(
        [np.sin(polar) * np.cos(azimuth), np.sin(polar) * np.sin(azimuth), np.cos(polar)]
    )
    return np.asarray(centre) + r * unit @ rotation(rng).T + noise * r * rng.normal(size=(n, 3))


def cost(p, c, r):
    return float(np.sum((np.linalg.norm(p - c, axis=1) - r) ** 2))


@pytest.mark.parametrize("half_angle", [10, 45, 90, 180])
@pytest.mark.parametrize("r", [1e-3, 1.0, 1e3])
def test_exact_caps_are_recovered_in_any_place_and_size(half_angle, r):
    rng = np.random.default_rng(half_angle)
    for far in (0.0, 1e4):
        centre = far * r * rotation(rng)[0] + r * rng.normal(size=3)
        p = cap(rng, centre, r, half_angle, 40)
        for method in ("geometric", "algebraic"):
            s = tondrakit.fit_sphere(p, method=method)
            assert np.max(np.abs(np.array(s.center) - centre)) <= 1e-9 * r, (method, far)
            assert abs(s.r - r) <= 1e-9 * r
            assert s.converged and s.n == 40 and s.method == method
            assert np.max(np.abs(s.residuals)) <= 1e-9 * r


def test_geometric_sphere_is_the_least_squares_minimum_on_noisy_caps():
    rng = np.random.default_rng(7)
    for trial in range(12):
        half_angle = [30, 60, 120][trial % 3]
        p = cap(rng, [3.0, -2.0, 50.0], 2.5, half_angle, 30, noise=0.01)
        s = tondrakit.fit_sphere(p[:, 0], p[:, 1], p[:, 2])
        assert s.converged and s.iterations >= 1
        best = least_squares(
            lambda q: np.linalg.norm(p - q[:3], axis=1) - q[3], [3.0, -2.0, 50.0, 2.5],
            xtol=1e-15, ftol=1e-15, gtol=1e-15,
        ).x
        ours = cost(p, s.center, s.r)
        assert ours <= cost(p, best[:3], best[3]) * (1 + 1e-9)
        np.testing.assert_allclose([*s.center, s.r], best, rtol=0, atol=1e-6)
        # The algebraic sphere is a worse fit of the same points.
        a = tondrakit.fit_sphere(p, method="algebraic")
        assert ours <= cost(p, a.center, np.mean(np.linalg.norm(p - a.center, axis=1)))
        assert s.rms == pytest.approx(np.sqrt(ours / 30), rel=1e-9)


def test_covariance_predicts_the_spread_of_the_fits():
    rng = np.random.default_rng(3)
    centre, r, noise = np.array([1.0, 2.0, 3.0]), 5.0, 0.02
    axis_points = cap(rng, centre, r, 90, 60)
    fits = [tondrakit.fit_sphere(axis_points + noise * r * rng.normal(size=(60, 3)))
            for _ in range(400)]
    actual = np.std([[*f.center, f.r] for f in fits], axis=0)
    predicted = np.sqrt(np.mean([np.diagonal(f.cov) for f in fits], axis=0))
    np.testing.assert_allclose(predicted, actual, rtol=0.15)
    np.testing.assert_allclose(fits[0].stderr, np.sqrt(np.diagonal(fits[0].cov)))
    assert fits[0].cov.shape == (4, 4) and not fits[0].cov.flags.writeable


def test_points_without_a_unique_sphere_are_refused():
    rng = np.random.default_rng(5)
    flat = rng.normal(size=(20, 2)) @ rotation(rng)[:2] + [1e3, 2e3, -5e2]
    with pytest.raises(tondrakit.FitError, match="one plane: no unique sphere"):
        tondrakit.fit_sphere(flat)
    line = np.outer(np.arange(10.0), [1.0, 2.0, 3.0])
    with pytest.raises(tondrakit.FitError, match="one plane"):
        tondrakit.fit_sphere(line, method="algebraic")
    with pytest.raises(tondrakit.FitError, match="coincide"):
        tondrakit.fit_sphere([[1, 2, 3]] * 5)
    with pytest.raises(ValueError, match="at least 4 points"):
        tondrakit.fit_sphere([0, 1, 0], [0, 0, 1], [1, 0, 0])
    with pytest.raises(ValueError, match=r"zs\[1\] is nan"):
        tondrakit.fit_sphere([0, 1, 0, 2], [0, 0, 1, 2], [1, np.nan, 0, 2])
    with pytest.raises(ValueError, match="method"):
        tondrakit.fit_sphere(cap(rng, [0, 0, 0], 1, 90, 10), method="hyper")


def test_sphere_is_immutable_and_four_points_give_no_covariance():
    s = tondrakit.fit_sphere([[1, 0, 0], [0, 1, 0], [0, 0, 1], [-1, 0, 0]])
    assert np.allclose(s.center, (0, 0, 0), atol=1e-15) and s.r == pytest.approx(1.0)
    assert np.isnan(s.cov).all()
    with pytest.raises(AttributeError):
        s.r = 2.0  # type: ignore[misc]
