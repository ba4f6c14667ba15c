"""fit_lsq end to end: methods, warnings on fd 2, accuracy against an independent geometric fit,
equivariance and reproducibility, degenerate data."""

import math

import pytest

import tondra
from helpers import arc, panic_type, run_child
from reference import geometric_centre

METHODS = ["lbfgs", "nelder_mead"]

# Geometric least-squares centres of two published data sets.
GANDER_GOLUB_STREBEL = ([1, 2, 5, 7, 9, 3], [7, 6, 8, 7, 5, 7], (4.739782, 2.983533))
COOKBOOK_ARC = ([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26], (9.887566, 3.687497))
# What each method panics with when a coordinate is not finite.
NON_FINITE_PANIC = {
    "lbfgs": "Found params",
    "nelder_mead": 'called `Result::unwrap()` on an `Err` value: Potential bug: "`NelderMead`: '
                   'Reached unreachable point.". This is potentially a bug. Please file a report '
                   "on https://github.com/tondra-project/tondra/issues",
}


class TestMethods:
    @pytest.mark.parametrize("method", ["LBFGS", "Nelder-Mead", "", "lbfgs ", "nelder-mead"])
    def test_unknown_method_panics_not_yet_implemented(self, method):
        with pytest.raises(panic_type(), match="^not yet implemented$"):
            tondra.fit_lsq([0.0, 1.0, 2.0], [1.0, 0.0, 1.0], method)

    def test_none_and_absent_method_mean_lbfgs(self):
        xs, ys = COOKBOOK_ARC[:2]
        expected = tondra.fit_lsq(xs, ys, "lbfgs")
        assert tondra.fit_lsq(xs, ys) == expected
        assert tondra.fit_lsq(xs, ys, None) == expected
        assert tondra.fit_lsq(xs, ys, method=None) == expected

    def test_method_may_be_given_by_keyword(self):
        xs, ys = COOKBOOK_ARC[:2]
        assert tondra.fit_lsq(ys=ys, method="nelder_mead", xs=xs) == tondra.fit_lsq(xs, ys, "nelder_mead")

    @pytest.mark.parametrize("method", METHODS)
    def test_result_is_a_fresh_list_of_two_floats(self, method):
        xs, ys = COOKBOOK_ARC[:2]
        a = tondra.fit_lsq(xs, ys, method)
        b = tondra.fit_lsq(xs, ys, method)
        assert type(a) is list and len(a) == 2 and all(type(v) is float for v in a)
        assert a == b and a is not b


class TestWarnings:
    """The two warnings go straight to fd 2, without a line break."""

    def stderr_of(self, call):
        child = run_child(f"""
            import sys, io
            sys.stderr = io.StringIO()   # the warnings must bypass the host's stream
            import tondra
            {call}
        """)
        assert child.returncode == 0, child.stderr
        return child.stderr

    def test_length_mismatch_warns_and_fits_the_common_points(self):
        err = self.stderr_of("print(tondra.fit_lsq([0, 2, 0, -2, 9], [2, 0, -2, 0]))")
        assert err == b"The number of x and y points must be the same."

    def test_exactly_ten_thousand_points_do_not_warn(self):
        assert self.stderr_of("tondra.fit_lsq(list(range(10000)), [(i * 7) % 13 for i in range(10000)], 'nelder_mead')") == b""

    def test_more_than_ten_thousand_x_values_warn_for_nelder_mead_only(self):
        call = "xs = list(range(10001)); ys = [(i * 7) % 13 for i in range(10001)]; tondra.fit_lsq(xs, ys, {})"
        assert self.stderr_of(call.format("'nelder_mead'")) == (
            b"The number of points is too high. Might lead to performance issues")
        assert self.stderr_of(call.format("'lbfgs'")) == b""

    def test_both_warnings_run_together_length_first(self):
        err = self.stderr_of("tondra.fit_lsq(list(range(10001)), [(i * 7) % 13 for i in range(10000)], 'nelder_mead')")
        assert err == (b"The number of x and y points must be the same."
                       b"The number of points is too high. Might lead to performance issues")


class TestPublishedData:
    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("data", [GANDER_GOLUB_STREBEL, COOKBOOK_ARC], ids=["ggs", "cookbook"])
    def test_geometric_centre_of_published_data(self, method, data):
        xs, ys, (cx, cy) = data
        got = tondra.fit_lsq(xs, ys, method)
        if method == "lbfgs":
            assert got == pytest.approx([cx, cy], abs=1e-6)
        else:
            # Nelder-Mead stops on the spread of its vertex costs, flat near the minimum: it is
            # held to 1e-6 of the radius.
            r = sum(math.hypot(x - cx, y - cy) for x, y in zip(xs, ys)) / len(xs)
            assert math.hypot(got[0] - cx, got[1] - cy) <= 1e-6 * r


WELL_POSED = [
    # centre x, centre y, radius, span in degrees, points, noise (fraction of r)
    (0.0, 0.0, 1.0, 360, 24, 0.0),
    (3.0, 4.0, 5.0, 90, 20, 0.0),
    (3.0, 4.0, 5.0, 45, 10, 0.0),
    (3.0, 4.0, 5.0, 120, 50, 0.01),
    (1000.0, -2000.0, 5.0, 90, 40, 0.01),
    (-7.0, 2.5, 1e-3, 180, 30, 0.02),
    (0.0, 0.0, 1e4, 60, 100, 0.005),
    (1e4, 1e4, 3.0, 270, 200, 0.05),
    (0.5, 0.25, 2.0, 45, 15, 0.03),
]


class TestAccuracy:
    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("case", WELL_POSED, ids=lambda c: f"c{c[0]:g},{c[1]:g}-r{c[2]:g}-{c[3]}deg")
    def test_agrees_with_an_independent_geometric_fit(self, method, case):
        cx, cy, r, span_deg, n, noise = case
        xs, ys = arc(n, span_deg, cx, cy, r, noise, seed=n, start_deg=17.0)
        expected = geometric_centre(xs, ys).x
        got = tondra.fit_lsq(xs, ys, method)
        assert math.hypot(got[0] - expected[0], got[1] - expected[1]) <= 1e-6 * r
        if noise == 0.0:
            assert math.hypot(got[0] - cx, got[1] - cy) <= 1e-6 * r

    @pytest.mark.parametrize("method", METHODS)
    def test_scaling_by_a_power_of_two_scales_the_result_exactly(self, method):
        xs, ys = arc(37, 100, 3.0, -4.0, 5.0, noise=0.02, seed=3, start_deg=17.0)
        base = tondra.fit_lsq(xs, ys, method)
        for k in (-20, -3, 1, 7, 30):
            f = 2.0 ** k
            scaled = tondra.fit_lsq([x * f for x in xs], [y * f for y in ys], method)
            assert scaled == [base[0] * f, base[1] * f]

    @pytest.mark.parametrize("method", METHODS)
    def test_translation_moves_the_result_with_the_data(self, method):
        xs, ys = arc(40, 150, r=2.0, noise=0.02, seed=5, start_deg=17.0)
        base = tondra.fit_lsq(xs, ys, method)
        dx, dy = 12345.5, -6789.25
        moved = tondra.fit_lsq([x + dx for x in xs], [y + dy for y in ys], method)
        assert moved == pytest.approx([base[0] + dx, base[1] + dy], abs=1e-6 * 2.0)

    @pytest.mark.parametrize("method", METHODS)
    def test_same_data_give_the_same_bits(self, method):
        xs, ys = arc(500, 200, 1.0, 2.0, 3.0, noise=0.05, seed=11, start_deg=17.0)
        first = tondra.fit_lsq(xs, ys, method)
        for _ in range(3):
            assert tondra.fit_lsq(list(xs), tuple(ys), method) == first


class TestDegenerateData:
    def test_no_points(self):
        assert tondra.fit_lsq([], []) == [0.0, 0.0]
        got = tondra.fit_lsq([], [], "nelder_mead")
        assert len(got) == 2 and all(math.isnan(v) for v in got)

    @pytest.mark.parametrize("method", METHODS)
    def test_a_single_point_is_its_own_centre(self, method):
        assert tondra.fit_lsq([2.5], [-1.0], method) == [2.5, -1.0]

    def test_equal_points_give_their_common_point(self):
        got = tondra.fit_lsq([0.1] * 7, [0.3] * 7, "nelder_mead")
        assert got == pytest.approx([0.1, 0.3], abs=1e-15)

    @pytest.mark.parametrize("method", METHODS)
    @pytest.mark.parametrize("bad", ["nan", "inf", "-inf"])
    def test_non_finite_coordinates_panic_promptly(self, method, bad):
        # Run in a child with a timeout: a hang must fail the test, not block the suite.
        child = run_child(f"""
            import tondra
            xs = [0.0, 1.0, 2.0, float('{bad}'), 4.0]
            ys = [1.0, 0.0, 1.0, 2.0, 3.0]
            try:
                print(tondra.fit_lsq(xs, ys, '{method}'))
            except BaseException as exc:
                print(type(exc).__name__, exc.args)
        """, timeout=30)
        assert child.returncode == 0, child.stderr
        assert child.stdout.decode() == f"PanicException {(NON_FINITE_PANIC[method],)!r}\n"
