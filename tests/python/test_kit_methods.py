"""The kit's own methods: the geometric fit right on every arc, Hyper's fit, and what every
Circle says about its fit (converged, iterations, arc)."""

import math

import numpy as np
import pandas as pd
import pytest

import tondrakit
from helpers import noisy_arc


class TestGeometric:
    @pytest.mark.parametrize(
        ("xs", "ys", "expected"),
        [
            ([9, 35, -13, 10, 23, 0], [34, 10, 6, -14, 27, -10], (10.50009, 9.65995, 23.33353)),
            ([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26], (9.887567, 3.687497, 27.350443)),
            ([1, 2, 5, 7, 9, 3], [7, 6, 8, 7, 5, 7], (4.739782, 2.983533, 4.714226)),
        ],
    )
    def test_published_data_to_every_printed_digit(self, xs, ys, expected):
        c = tondrakit.fit(xs, ys)
        digits = len(str(expected[0]).split(".")[1])
        assert (round(c.cx, digits), round(c.cy, digits), round(c.r, digits)) == expected
        assert c.converged and c.method == "geometric" and c.iterations >= 1

    @pytest.mark.parametrize("degrees", [1, 5, 20, 90, 360])
    @pytest.mark.parametrize("r", [1e-3, 1.0, 1e3])
    def test_exact_circles_on_every_arc(self, degrees, r):
        centres = [(0.3 * r, -0.2 * r)] + ([(1e4 * r, -7e3 * r)] if degrees >= 20 else [])
        for centre in centres:
            xs, ys = noisy_arc(np.random.default_rng(0), 20, degrees, 0.0, centre, r)
            c = tondrakit.fit(xs, ys)
            error = max(abs(c.cx - centre[0]), abs(c.cy - centre[1]), abs(c.r - r))
            assert error <= 1e-9 * r and c.converged
            assert c.arc == pytest.approx(math.radians(min(degrees, 360 * 19 / 20)), rel=1e-6)

    def test_points_nearer_a_line_than_any_circle_are_reported(self):
        zigzag = ([0.0, 1.0, 2.0, 3.0], [0.0, 1e-6, 0.0, 1e-6])  # the L-BFGS fit stops at a saddle
        with pytest.raises(tondrakit.FitError, match="fit a line better than any circle"):
            tondrakit.fit(*zigzag)
        table = pd.DataFrame({"x": zigzag[0], "y": zigzag[1], "group": 0})
        rows = tondrakit.fit_groups(table, on_error="nan")
        assert rows["error"][0] == "the points fit a line better than any circle"
        saddle = tondrakit.fit(*zigzag, method="lsq")
        assert not saddle.converged and math.isnan(saddle.stderr[0])

    def test_short_noisy_arcs_reach_the_minimum_where_lsq_stops_short(self):
        stopped = 0
        for seed in range(40):
            xs, ys = noisy_arc(np.random.default_rng(seed), 20, 10, 0.01, r=100.0)
            c = tondrakit.fit(xs, ys)
            assert c.converged and all(math.isfinite(s) and s > 0 for s in c.stderr)
            lsq = tondrakit.fit(xs, ys, method="lsq")
            cost = lambda k: float(np.sum(k.residuals(xs, ys) ** 2))  # noqa: E731
            assert cost(c) <= cost(lsq) * (1 + 1e-9)
            if not lsq.converged:
                stopped += 1
                assert all(math.isnan(s) for s in lsq.stderr)
        assert stopped > 0


class TestHyper:
    def test_its_radius_is_its_own_and_less_biased_than_taubins(self):
        rng = np.random.default_rng(3)
        errors = {"hyper": [], "taubin": []}
        for _ in range(400):
            t = rng.uniform(0.0, 2 * math.pi, 20)
            xs, ys = np.cos(t) + rng.normal(0, 0.05, 20), np.sin(t) + rng.normal(0, 0.05, 20)
            for method in errors:
                errors[method].append(tondrakit.fit(xs, ys, method=method).r - 1.0)
        assert abs(np.mean(errors["hyper"])) <= 0.5 * abs(np.mean(errors["taubin"]))
        c = tondrakit.fit(xs, ys, method="hyper")
        assert c.r != pytest.approx(float(np.mean(np.hypot(xs - c.cx, ys - c.cy))), rel=1e-12)
        assert c.iterations is None


class TestEveryMethod:
    @pytest.mark.parametrize("method", ["geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid"])
    def test_fit_and_fit_groups_give_the_same_bits(self, method):
        parts, circles = [], []
        for g in range(6):
            xs, ys = noisy_arc(np.random.default_rng(g), 15 + g, 30 + 60 * g, 0.01, (g, -g), 2.0 + g)
            parts.append(pd.DataFrame({"group": g, "x": xs, "y": ys}))
            circles.append(tondrakit.fit(xs, ys, method=method))
        table = pd.concat(parts[::-1])  # keys out of order, each group's rows in its own
        rows = tondrakit.fit_groups(table, method=method, workers=3)
        for g, c in enumerate(circles):
            got = rows.loc[g, ["cx", "cy", "r", "rms", "stderr_cx", "stderr_cy", "stderr_r"]]
            want = [c.cx, c.cy, c.r, c.rms, *c.stderr]
            assert [float(v).hex() for v in got] == [float(v).hex() for v in want]

    def test_arc_is_the_angle_the_points_cover(self):
        c = tondrakit.fit([1.0, 0.0, -1.0], [0.0, 1.0, 0.0], method="taubin")
        assert c.arc == pytest.approx(math.pi)
