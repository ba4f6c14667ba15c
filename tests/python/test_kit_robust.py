"""tondrakit.fit_robust on seeded contaminated arcs: accuracy, the inliers it finds, the
threshold it estimates, repeatability, and its errors."""

import math

import numpy as np
import pytest

import tondrakit
from helpers import contaminated_arc


def centre_error(result, truth):
    cx, cy, r = truth
    return math.hypot(result.circle.cx - cx, result.circle.cy - cy) / r


class TestAccuracy:
    @pytest.mark.parametrize(("span", "outliers", "bound"), [(120.0, 0.3, 0.02), (120.0, 0.5, 0.05), (60.0, 0.3, 0.1)])
    def test_centre_and_inliers_on_contaminated_arcs(self, span, outliers, bound):
        # noise 1 % of r: fit_lsq on the true inliers alone errs by about 0.004 r (120 degrees)
        # and 0.01 r (60 degrees); the bounds allow the worst of these 10 sets.
        rng = np.random.default_rng(20261207)
        for _ in range(10):
            xs, ys, inlier, truth = contaminated_arc(rng, span_deg=span, outliers=outliers)
            result = tondrakit.fit_robust(xs, ys)
            assert centre_error(result, truth) < bound
            assert abs(result.circle.r / truth[2] - 1.0) < 2 * bound
            # About 1 % of the true inliers lie beyond 2.5 sigma; a few outliers fall in the band.
            assert np.count_nonzero(inlier & ~result.inliers) <= 0.05 * np.count_nonzero(inlier)
            assert np.count_nonzero(result.inliers & ~inlier) <= 8
            assert result.circle.n == np.count_nonzero(result.inliers)

    def test_estimated_threshold_is_two_and_a_half_noise_deviations(self):
        rng = np.random.default_rng(4)
        thresholds = []
        for _ in range(10):
            xs, ys, _, (_, _, r) = contaminated_arc(rng, noise=0.02)
            thresholds.append(tondrakit.fit_robust(xs, ys).threshold / r)
        assert np.median(thresholds) == pytest.approx(2.5 * 0.02, rel=0.1)

    def test_a_lone_point_near_the_circle_far_from_the_arc_is_an_outlier(self):
        t = np.radians(np.linspace(0.0, 90.0, 60))
        xs = np.append(np.cos(t), [-1.0, 0.0, 3.0])  # the first extra point lies on the circle
        ys = np.append(np.sin(t), [0.0, 0.0, 3.0])
        result = tondrakit.fit_robust(xs, ys, threshold=0.01)
        assert result.inliers.tolist() == [True] * 60 + [False] * 3
        assert result.circle.r == pytest.approx(1.0, abs=1e-9)  # the L-BFGS tolerance

    def test_no_outliers_fits_all_points_as_fit_does(self):
        rng = np.random.default_rng(9)
        xs, ys, _, _ = contaminated_arc(rng, outliers=0.0)
        result = tondrakit.fit_robust(xs, ys, method="taubin")
        assert result.inliers.all()
        assert result.circle == tondrakit.fit(xs, ys, method="taubin")


class TestTrials:
    def test_the_same_seed_repeats_the_result(self):
        xs, ys, _, _ = contaminated_arc(np.random.default_rng(1), outliers=0.5)
        first, again = tondrakit.fit_robust(xs, ys), tondrakit.fit_robust(xs, ys)
        assert first == again and (first.inliers == again.inliers).all()

    def test_given_threshold_is_kept_and_trials_stop_early(self):
        xs, ys, _, (_, _, r) = contaminated_arc(np.random.default_rng(1), outliers=0.3)
        result = tondrakit.fit_robust(xs, ys, threshold=0.025 * r)
        assert result.threshold == 0.025 * r
        # 70 % inliers need log(0.001) / log(1 - 0.7^3) = 17 samples: one batch.
        assert result.trials == 64

    def test_max_trials_bounds_the_samples(self):
        xs, ys, _, _ = contaminated_arc(np.random.default_rng(1), outliers=0.8)
        assert tondrakit.fit_robust(xs, ys, max_trials=5).trials == 5

    def test_no_sample_with_a_circle_raises_fit_error(self):
        # 100 points on a line and one off it: a single sample is collinear but for 3 %.
        xs, ys = list(range(100)) + [0], [0] * 100 + [1]
        with pytest.raises(tondrakit.FitError, match="no sample of 3 points determines a circle"):
            tondrakit.fit_robust(xs, ys, max_trials=1, seed=0)


class TestErrors:
    @pytest.mark.parametrize("threshold", [0.0, -1.0, math.nan, math.inf])
    def test_threshold_must_be_positive_and_finite(self, threshold):
        with pytest.raises(ValueError, match="threshold must be a positive finite number"):
            tondrakit.fit_robust([0, 1, 0, -1], [1, 0, -1, 0], threshold=threshold)

    @pytest.mark.parametrize(
        ("options", "error", "message"),
        [
            ({"threshold": "1"}, TypeError, "threshold must be a number or None, not str"),
            ({"confidence": 1.0}, ValueError, "confidence must lie strictly between 0 and 1"),
            ({"max_trials": 0}, ValueError, "max_trials must be at least 1, got 0"),
            ({"max_trials": 2.5}, TypeError, "max_trials must be an int, not float"),
            ({"method": "ransac"}, ValueError, "unknown method 'ransac'"),
        ],
    )
    def test_bad_options(self, options, error, message):
        with pytest.raises(error, match=message):
            tondrakit.fit_robust([0, 1, 0, -1], [1, 0, -1, 0], **options)

    def test_bad_points_are_refused_as_by_fit(self):
        with pytest.raises(ValueError, match=r"xs\[1\] is nan"):
            tondrakit.fit_robust([0, math.nan, 0], [1, 0, -1])
        with pytest.raises(tondrakit.FitError, match="collinear"):
            tondrakit.fit_robust([0, 1, 2, 3], [0, 1, 2, 3])
