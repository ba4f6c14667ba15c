"""What the fits in space share: the frame's exact scaling, the ways to pass points, the
covariance's calibration and fits of large sets on threads."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tondrakit

from test_kit_circle3d import arc3d
from test_kit_sphere import cap


def values(fit):
    names = ("cx", "cy", "cz", "r", "rms")
    if hasattr(fit, "nx"):
        names += ("nx", "ny", "nz", "arc")
    return [getattr(fit, name) for name in names] + list(fit.cov.ravel()) + [fit.iterations]


FITS = [
    (tondrakit.fit_sphere, "geometric"), (tondrakit.fit_sphere, "algebraic"),
    (tondrakit.fit_circle3d, "projected"), (tondrakit.fit_circle3d, "geometric"),
]


@pytest.mark.parametrize(("fit", "method"), FITS)
def test_scaling_by_a_power_of_two_scales_every_result_exactly(fit, method):
    rng = np.random.default_rng(4)
    p = cap(rng, [2.0, 3.0, -1.0], 1.5, 70, 25, noise=0.01)
    if fit is tondrakit.fit_circle3d:
        p = arc3d(rng, [2.0, 3.0, -1.0], 1.5, 200, 25, noise=0.01)[0]
    base = fit(p, method=method)
    for k in (-600, -7, 9, 500):
        scaled = fit(np.ldexp(p, k), method=method)
        expected = [np.ldexp(v, k) for v in values(base)[:5]]
        assert values(scaled)[:5] == expected
        if fit is tondrakit.fit_circle3d:
            assert scaled.normal == base.normal and scaled.arc == base.arc
        assert np.array_equal(scaled.cov, np.ldexp(base.cov, 2 * k))
        assert scaled.iterations == base.iterations


@pytest.mark.parametrize(("fit", "method"), FITS)
def test_points_as_one_array_or_three_sequences_give_the_same_bits(fit, method):
    rng = np.random.default_rng(6)
    p = cap(rng, [0.5, 0.0, 9.0], 2.0, 120, 12, noise=0.02)
    one = fit(p.tolist(), method=method)
    three = fit(list(p[:, 0]), tuple(p[:, 1]), np.asfortranarray(p)[:, 2], method=method)
    assert values(one) == values(three)


def test_bad_shapes_are_named():
    with pytest.raises(ValueError, match=r"xs has shape \(5, 2\)"):
        tondrakit.fit_sphere(np.zeros((5, 2)))
    with pytest.raises(ValueError, match="give xs, ys and zs"):
        tondrakit.fit_circle3d([1, 2, 3], [4, 5, 6])
    with pytest.raises(ValueError, match="differ in length"):
        tondrakit.fit_sphere([1, 2, 3, 4], [1, 2, 3, 4], [1, 2, 3])
    with pytest.raises(TypeError, match="not a number"):
        tondrakit.fit_circle3d([1, "a", 3], [1, 2, 3], [0, 0, 1])


def test_circle_covariance_predicts_the_spread_of_the_fits():
    rng = np.random.default_rng(8)
    clean, _ = arc3d(rng, [1.0, -2.0, 4.0], 3.0, 120, 200)
    for method in ("projected", "geometric"):
        fits = [tondrakit.fit_circle3d(clean + 0.03 * rng.normal(size=clean.shape), method=method)
                for _ in range(300)]
        actual = np.std([[*f.center, f.r] for f in fits], axis=0)
        predicted = np.sqrt(np.mean([np.diagonal(f.cov) for f in fits], axis=0))
        np.testing.assert_allclose(predicted, actual, rtol=0.15)


def test_large_sets_on_threads_give_the_bits_of_a_lone_call():
    rng = np.random.default_rng(9)
    sets = [cap(rng, [1.0, 2.0, 3.0], 4.0, 150, 5000, noise=0.01) for _ in range(4)]
    alone = [values(tondrakit.fit_sphere(p)) + values(tondrakit.fit_circle3d(p)) for p in sets]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(
            lambda p: values(tondrakit.fit_sphere(p)) + values(tondrakit.fit_circle3d(p)), sets))
    assert together == alone
