import math

import pytest

import tondra
from helpers import arc
from reference import centroid


class TestGeometrical:
    @pytest.mark.parametrize(
        "xs, ys, centre",
        [
            ([0, 2], [0, 4], [1.0, 2.0]),
            ([1, 2, 3], [4, 5], [2.0, 4.5]),  # each coordinate over its own count
            ([3.5], [-2.25], [3.5, -2.25]),
            ([0.1, 0.2, 0.3], [0.0], [(0.1 + 0.2 + 0.3) / 3, 0.0]),  # index order from +0.0
        ],
    )
    def test_centroid(self, xs, ys, centre):
        assert tondra.fit_geometrical(xs, ys) == centre

    def test_empty_coordinates_give_nan(self):
        cx, cy = tondra.fit_geometrical([], [])
        assert math.isnan(cx) and math.isnan(cy)
        cx, cy = tondra.fit_geometrical([], [1])
        assert math.isnan(cx) and cy == 1.0

    def test_negative_zeros_sum_to_positive_zero(self):
        cx, cy = tondra.fit_geometrical([-0.0], [-0.0])
        assert math.copysign(1.0, cx) == 1.0 and math.copysign(1.0, cy) == 1.0

    def test_overflowing_sum_is_infinite(self):
        assert tondra.fit_geometrical([1e308, 1e308], [0.0]) == [math.inf, 0.0]

    def test_points_on_a_circle_centre_on_it(self):
        xs, ys = arc(12, 360, 3.0, -1.0, 2.0)
        cx, cy = tondra.fit_geometrical(xs, ys)
        assert cx == pytest.approx(3.0, abs=1e-12) and cy == pytest.approx(-1.0, abs=1e-12)

    def test_noisy_arc_gives_the_index_order_mean_to_the_bit(self):
        xs, ys = arc(1001, 75, 1e3, -3.0, 0.5, noise=0.1, seed=4)
        assert tondra.fit_geometrical(xs, ys[:-1]) == centroid(xs, ys[:-1])
