"""tondrakit.fit and Circle: the native centre to the bit, radius, rms and covariance checked
against independent computations, and every input error."""

import math
import warnings
from fractions import Fraction

import numpy as np
import pytest

import tondra
import tondrakit
from helpers import noisy_arc

COOKBOOK_ARC = ([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26])
NATIVE = {
    "lsq": lambda xs, ys: tondra.fit_lsq(xs, ys),
    "nelder_mead": lambda xs, ys: tondra.fit_lsq(xs, ys, "nelder_mead"),
    "taubin": tondra.taubin_svd,
    "centroid": tondra.fit_geometrical,
}


def bits(*values):
    return [float(v).hex() for v in values]


class TestCentre:
    @pytest.mark.parametrize("n", [40, 100])  # small sets take another road
    @pytest.mark.parametrize("method", list(NATIVE))
    def test_centre_is_the_native_result_bit_for_bit(self, method, n):
        xs, ys = noisy_arc(np.random.default_rng(3), n, 90.0, centre=(12.5, -3.0), r=7.0)
        circle = tondrakit.fit(xs, ys, method=method)
        assert bits(circle.cx, circle.cy) == bits(*NATIVE[method](xs.tolist(), ys.tolist()))
        assert circle.method == method and circle.n == n

    def test_every_form_of_the_points_gives_the_same_circle(self):
        xs, ys = COOKBOOK_ARC
        expected = tondrakit.fit(xs, ys)
        pairs = np.column_stack((xs, ys))
        for args in [
            (tuple(xs), tuple(ys)),
            (np.array(xs, dtype=np.int32), np.array(ys, dtype=np.float32)),
            (pairs,),
            (pairs.tolist(),),
            (np.asfortranarray(pairs),),
            ([Fraction(v) for v in xs], (float(v) for v in ys)),
        ]:
            assert tondrakit.fit(*args) == expected

    def test_centre_is_the_center_property(self):
        circle = tondrakit.fit(*COOKBOOK_ARC)
        assert circle.center == (circle.cx, circle.cy)


class TestRadiusAndQuality:
    @pytest.mark.parametrize("n", [60, 150])
    def test_radius_and_rms_match_a_direct_computation(self, n):
        xs, ys = noisy_arc(np.random.default_rng(5), n, 200.0, noise=0.05, centre=(1e3, 2e3), r=3.0)
        circle = tondrakit.fit(xs, ys)
        d = [math.hypot(x - circle.cx, y - circle.cy) for x, y in zip(xs, ys)]
        r = math.fsum(d) / len(d)
        rms = math.sqrt(math.fsum((v - r) ** 2 for v in d) / len(d))
        # Both sides round each distance once; the sums differ only in their rounding.
        assert circle.r == pytest.approx(r, rel=1e-12)
        assert circle.rms == pytest.approx(rms, rel=1e-9)
        np.testing.assert_allclose(circle.residuals(xs, ys), np.array(d) - r, rtol=0, atol=1e-12)

    def test_points_on_a_circle_have_zero_rms_and_exact_radius(self):
        t = np.radians(np.arange(0, 360, 30))
        circle = tondrakit.fit(2.0 + 5.0 * np.cos(t), -1.0 + 5.0 * np.sin(t), method="taubin")
        assert circle.r == pytest.approx(5.0, rel=1e-14)
        assert circle.rms < 1e-14

    def test_residuals_take_any_points_and_are_signed(self):
        circle = tondrakit.fit([1, 0, -1, 0], [0, 1, 0, -1], method="taubin")
        np.testing.assert_allclose(circle.residuals([[3, 0], [0, 0.5]]), [2.0, -0.5], atol=1e-15)
        assert circle.residuals([], []).shape == (0,)


class TestCovariance:
    def test_matches_the_inverse_of_a_finite_difference_jacobian(self):
        xs, ys = noisy_arc(np.random.default_rng(8), 30, 120.0, noise=0.02, r=4.0)
        circle = tondrakit.fit(xs, ys)
        p0 = np.array([circle.cx, circle.cy, circle.r])

        def residuals(p):
            return np.hypot(xs - p[0], ys - p[1]) - p[2]

        h = 1e-6
        jac = np.column_stack([(residuals(p0 + h * e) - residuals(p0 - h * e)) / (2 * h) for e in np.eye(3)])
        e = residuals(p0)
        expected = (e @ e / (len(xs) - 3)) * np.linalg.inv(jac.T @ jac)
        np.testing.assert_allclose(circle.cov, expected, rtol=1e-6)
        assert circle.stderr == pytest.approx(np.sqrt(np.diag(expected)), rel=1e-6)

    def test_three_points_leave_no_degrees_of_freedom(self):
        circle = tondrakit.fit([0, 1, 0], [1, 0, -1])
        assert np.isnan(circle.cov).all() and all(math.isnan(s) for s in circle.stderr)

    def test_predicted_errors_match_the_spread_of_repeated_fits(self):
        # 400 data sets: the empirical standard deviation itself is uncertain by about
        # 1/sqrt(2 * 400) = 3.5 %, so 12 % leaves room for that and the first-order model.
        rng = np.random.default_rng(11)
        fits = [tondrakit.fit(*noisy_arc(rng, 50, 120.0, noise=0.01)) for _ in range(400)]
        values = np.array([(c.cx, c.cy, c.r) for c in fits])
        predicted = np.array([c.stderr for c in fits]).mean(axis=0)
        np.testing.assert_allclose(predicted, values.std(axis=0, ddof=1), rtol=0.12)


class TestForms:
    def test_small_lists_and_arrays_give_the_same_circle(self):
        xs, ys = noisy_arc(np.random.default_rng(6), 30, 75.0, centre=(-4.0, 9.0), r=2.0)
        small = tondrakit.fit(xs.tolist(), ys.tolist())
        fitted = tondrakit.fit_robust(xs, ys, threshold=1.0).circle  # all inliers: the array path
        assert small.cov.tobytes() == fitted.cov.tobytes() and small == fitted


class TestExtremeScales:
    """Circles far too small or too large for the plain squares of their distances (beyond
    2^-511 to 2^511) are measured as well as ordinary ones."""

    @staticmethod
    def arc(n):
        return noisy_arc(np.random.default_rng(21), n, 150.0, noise=0.01, centre=(0.3, -0.2), r=1.0)

    @staticmethod
    def summary(circle):
        return (circle.r, circle.rms, *circle.stderr)

    # n = 20 goes through the plain-float loops, 100 through the arrays.
    @pytest.mark.parametrize("n", [20, 100])
    @pytest.mark.parametrize("exponent", [-1000, -664, -532, 532, 664, 1000])
    def test_power_of_two_scaling_scales_every_result_exactly(self, exponent, n):
        xs, ys = self.arc(n)
        plain = tondrakit.fit(xs.tolist(), ys.tolist(), method="lsq")
        big_or_small = [np.ldexp(v, exponent).tolist() for v in (xs, ys)]
        scaled = tondrakit.fit(*big_or_small, method="lsq")
        # The native centre scales exactly, so everything derived from it does too.
        assert bits(scaled.cx, scaled.cy) == bits(*tondra.fit_lsq(*big_or_small))
        assert bits(*self.summary(scaled)) == bits(*np.ldexp(self.summary(plain), exponent))
        # So does the kit's own geometric fit, which works in the data's frame.
        plain, scaled = (tondrakit.fit(*points) for points in ((xs, ys), big_or_small))
        assert bits(scaled.cx, scaled.cy, *self.summary(scaled)) == bits(
            *np.ldexp((plain.cx, plain.cy, *self.summary(plain)), exponent)
        )
        assert scaled.converged and scaled.arc == plain.arc
        residuals = scaled.residuals(*big_or_small)
        assert residuals.tobytes() == np.ldexp(plain.residuals(xs, ys), exponent).tobytes()

    @pytest.mark.parametrize("scale", [1e-200, 1e-160, 1e160, 1e200])
    def test_decimal_scales_give_the_scaled_radius_and_errors(self, scale):
        xs, ys = self.arc(100)
        plain = tondrakit.fit(xs, ys)
        scaled = tondrakit.fit(xs * scale, ys * scale)
        # Points times 1e200 are rounded, and L-BFGS stops within its tolerances of the optimum
        # on each; measured: centres, radii and errors agree to a few 1e-9.
        np.testing.assert_allclose(np.array(self.summary(scaled)) / scale, self.summary(plain), rtol=1e-7)

    def test_fit_groups_rows_equal_fit_bit_for_bit(self):
        sets = [(np.ldexp(v, e) for v in self.arc(n)) for e in (-700, 0, 700) for n in (20, 100)]
        sets = [tuple(s) for s in sets]
        table = {
            "x": np.concatenate([x for x, _ in sets]),
            "y": np.concatenate([y for _, y in sets]),
            "group": np.repeat(np.arange(len(sets)), [len(x) for x, _ in sets]),
        }
        rows = tondrakit.fit_groups(table)
        for g, (x, y) in enumerate(sets):
            c = tondrakit.fit(x, y)
            expected = (c.cx, c.cy, c.r, c.rms, *c.stderr)
            assert bits(*rows.loc[g, ["cx", "cy", "r", "rms", "stderr_cx", "stderr_cy", "stderr_r"]]) == bits(*expected)

    def test_a_robust_fit_scales_exactly_too(self):
        xs, ys = self.arc(100)
        xs[::9], ys[::9] = 2.0, 1.5  # outliers
        plain = tondrakit.fit_robust(xs, ys)
        scaled = tondrakit.fit_robust(np.ldexp(xs, -700), np.ldexp(ys, -700))
        assert np.array_equal(scaled.inliers, plain.inliers) and scaled.trials == plain.trials
        assert bits(scaled.threshold, *self.summary(scaled.circle)) == bits(
            *np.ldexp((plain.threshold, *self.summary(plain.circle)), -700)
        )

    def test_points_near_the_largest_double_fit_quietly(self):
        t = np.linspace(0.0, 5.0, 30)
        xs, ys = 1e308 + 5e307 * np.cos(t), 5e307 * np.sin(t)  # their sums overflow
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            circle = tondrakit.fit(xs, ys)
            robust = tondrakit.fit_robust(xs, ys).circle
            rows = tondrakit.fit_groups({"x": xs, "y": ys, "group": 0})
        # Points on the circle up to the rounding of each coordinate.
        assert circle.r == pytest.approx(5e307, rel=1e-13) and circle.stderr[2] < 1e294
        assert robust == circle and bits(rows["r"][0], rows["stderr_r"][0]) == bits(circle.r, circle.stderr[2])

    @pytest.mark.parametrize("scale", [1e-300, 1e-200, 1e-160, 1e160, 1e200, 1e300])
    @pytest.mark.parametrize("n", [5, 100])
    def test_collinear_points_stay_collinear(self, scale, n):
        t = np.linspace(-1.0, 1.0, n)
        # Rounded onto the line at that scale: not exactly collinear, but at rounding level.
        xs, ys = (0.1 * t + 0.3) * scale, (0.7 * t - 0.2) * scale
        with pytest.raises(tondrakit.FitError, match="collinear"):
            tondrakit.fit(xs.tolist(), ys.tolist())
        with pytest.raises(tondrakit.FitError, match="collinear"):
            tondrakit.fit_robust(xs, ys)
        errors = tondrakit.fit_groups({"x": xs, "y": ys, "group": 0}, on_error="nan")["error"]
        assert "collinear" in errors[0]


class TestErrors:
    @pytest.mark.parametrize(
        ("args", "message"),
        [
            (([0, 1, 2], [0, 1]), "xs and ys differ in length: 3 and 2"),
            (([0, 1], [0, 1]), "need at least 3 points, got 2"),
            (([[0, 1, 2]],), r"xs has shape \(1, 3\): without ys"),
            (([[0, 1], [1, 0], [2, 2]], [0, 1, 2]), r"xs has shape \(3, 2\): expected a 1-D"),
            (([0, 1, 2], [0, math.nan, 2]), r"ys\[1\] is nan: coordinates must be finite"),
            (([[0, 1], [1, 0], [2, -math.inf]],), r"xs\[2, 1\] is -inf"),
            (([0, 1, 10**400], [0, 1, 2]), r"xs\[2\] = 1000.* is too large for a float"),
        ],
    )
    def test_bad_points_raise_value_error_naming_the_problem(self, args, message):
        with pytest.raises(ValueError, match=message) as info:
            tondrakit.fit(*args)
        assert type(info.value) is ValueError

    @pytest.mark.parametrize(
        ("xs", "message"),
        [
            ([0, 1, "2"], r"xs\[2\] = '2' \(str\) is not a number"),
            ([0, None, 2], r"xs\[1\] = None \(NoneType\) is not a number"),
            ([0, 1, 2j], r"xs\[2\] = 2j \(complex\) is not a number"),
            ("012", "xs must be a sequence of numbers, not str"),
            (5.0, "xs must be a sequence of numbers, not float"),
            ({0: 1, 1: 2, 2: 3}, "xs must be a sequence of numbers, not dict"),
        ],
    )
    def test_things_that_are_not_numbers_raise_type_error(self, xs, message):
        with pytest.raises(TypeError, match=message):
            tondrakit.fit(xs, [0, 1, 2])

    def test_unknown_method_lists_the_allowed_ones(self):
        with pytest.raises(ValueError, match="unknown method 'lbfgs': expected one of 'geometric', 'hyper', 'lsq', 'nelder_mead', 'taubin', 'centroid'"):
            tondrakit.fit(*COOKBOOK_ARC, method="lbfgs")

    @pytest.mark.parametrize(
        ("xs", "ys", "message"),
        [
            ([2, 2, 2, 2], [3, 3, 3, 3], "all points coincide"),
            ([0, 1, 2, 3], [1, 3, 5, 7], "the points are collinear"),
            ([0.1, 0.2, 0.3], [0.3, 0.6, 0.9], "the points are collinear"),  # collinear up to rounding
            ([1e12, 1e12 + 1, 1e12 + 2], [5, 5, 5], "the points are collinear"),
        ],
    )
    @pytest.mark.parametrize("method", list(NATIVE))
    def test_points_that_determine_no_circle_raise_fit_error(self, xs, ys, message, method):
        with pytest.raises(tondrakit.FitError, match=message):
            tondrakit.fit(xs, ys, method=method)

    def test_a_flat_but_real_circle_far_from_the_origin_is_fitted(self):
        circle = tondrakit.fit([1e12, 1e12 + 1, 1e12 + 2], [5, 5, 5.0001])
        assert circle.cy > 100

    def test_fit_error_is_a_value_error(self):
        assert issubclass(tondrakit.FitError, ValueError)


class TestResultObjects:
    """What a caller gets back: named, immutable fields, made by the fits alone."""

    def results(self):
        xs, ys = noisy_arc(np.random.default_rng(5), 40, 200.0, centre=(2.0, 1.0), r=3.0)
        sphere_points = [[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, 0, 1], [0, 0, -1.5]]
        return {
            tondrakit.Circle: tondrakit.fit(xs, ys),
            tondrakit.RobustFit: tondrakit.fit_robust(xs, ys),
            tondrakit.Sphere: tondrakit.fit_sphere(sphere_points),
            tondrakit.Circle3D: tondrakit.fit_circle3d(xs, ys, np.zeros_like(xs)),
            tondrakit.RoundnessCircle: tondrakit.roundness(xs, ys),
        }

    def test_no_caller_can_make_one(self):
        for kind, made in self.results().items():
            with pytest.raises(TypeError, match=f"{kind.__name__} objects are made by the kit"):
                kind()
            with pytest.raises(TypeError, match=f"{kind.__name__} objects are made by the kit"):
                kind(*(getattr(made, name) for name in kind.__dataclass_fields__))

    def test_fields_cannot_be_set_or_deleted(self):
        for kind, made in self.results().items():
            for name in kind.__dataclass_fields__:
                with pytest.raises(AttributeError):
                    setattr(made, name, 1.0)
                with pytest.raises(AttributeError):
                    delattr(made, name)
        circle = tondrakit.fit(*COOKBOOK_ARC)
        with pytest.raises(AttributeError, match="Circle is immutable: cannot set 'cx'"):
            circle.cx = 0.0

    def test_pickles_and_copies_are_equal_and_keep_every_field(self):
        import copy
        import pickle

        for made in self.results().values():
            for again in (pickle.loads(pickle.dumps(made)), copy.copy(made), copy.deepcopy(made)):
                for name in type(made).__dataclass_fields__:
                    assert np.array_equal(getattr(again, name), getattr(made, name)), name
        circle = self.results()[tondrakit.Circle]
        again = pickle.loads(pickle.dumps(circle))
        assert again == circle and hash(again) == hash(circle)
        assert bits(*again.stderr) == bits(*circle.stderr)

    def test_a_circle_pickled_by_the_previous_release_loads_with_its_values(self):
        import pickle

        # pickle.dumps(tondrakit.fit(*COOKBOOK_ARC), protocol=4), as the release before the
        # named fields wrote it: the engine's tuple and the method.
        old = bytes.fromhex(
            "800495b9000000000000008c11746f6e6472616b69742e5f636972636c65948c085f726573746f72"
            "65949394284b004b00474023c66f2008ad1447400d7ffe96ece24847403b59b6a4ba3dd0473fea44"
            "32c03c448b4348abd343a4b8064a40627a7f4818ae48406f73eae4088150c0627a7f4818ae4840aa"
            "cdfcb271d648403af455ead01b50c06f73eae4088150c03af455ead01b50c0f57a1a01cc47554094"
            "4b004b064b0c88473ff0b7d4c87dbaf84e74948c0967656f6d657472696394869452942e"
        )
        loaded = pickle.loads(old)
        circle = tondrakit.fit(*COOKBOOK_ARC)
        assert (loaded.n, loaded.method, loaded.converged) == (6, "geometric", True)
        assert loaded.termination is None
        # The pickled values came from another build: equal to rounding, not to the bit.
        for name in ("cx", "cy", "r", "rms", "arc", "cov", "stderr"):
            assert np.allclose(getattr(loaded, name), getattr(circle, name), rtol=1e-12,
                               atol=0), name

    def test_repr_names_the_fit_and_whether_it_converged(self):
        circle = tondrakit.fit(*COOKBOOK_ARC, method="taubin")
        assert repr(circle) == (
            f"Circle(cx={circle.cx!r}, cy={circle.cy!r}, r={circle.r!r}, rms={circle.rms!r},"
            f" n=6, method='taubin', converged=False, termination=None)"
        )
        assert "converged=True" in repr(tondrakit.fit_sphere([[1, 0, 0], [-1, 0, 0], [0, 1, 0],
                                                             [0, 0, 1], [0, 0, -1]]))

    def test_termination_says_why_the_solver_stopped(self):
        for method in ("geometric", "lsq", "nelder_mead", "hyper", "taubin", "centroid"):
            circle = tondrakit.fit(*COOKBOOK_ARC, method=method)
            solver = circle.iterations is not None
            assert circle.termination == ("converged" if solver else None), method
        # Points all but on a line: the simplex shrinks along it until its budget runs out.
        near_a_line = ([0, 1, 2, 3, 4, 5], [0, 1e-3, 0, 1e-3, 0, 1e-3])
        circle = tondrakit.fit(*near_a_line, method="nelder_mead")
        assert circle.termination == "iteration limit" and not circle.converged
        assert repr(circle).endswith("converged=False, termination='iteration limit')")

    def test_stderr_is_the_root_of_the_covariance_diagonal(self):
        circle = self.results()[tondrakit.Circle]
        assert circle.stderr == tuple(math.sqrt(v) for v in np.diag(circle.cov))
        assert np.array_equal(circle.cov, circle.cov.T)


def test_the_kit_has_words_codes_and_a_reader_for_everything_the_engine_names():
    from tondrakit import _engine
    from tondrakit._circle import check_result, circle_of
    from tondrakit._options import METHOD_CODES, check_method
    from tondrakit._status import INPUT_STATUSES, TERMINATION_WORDS, failure_text

    # Every status has its own words (bad input: the input checks' words).
    for code, name in enumerate(_engine.STATUSES):
        if name != "ok" and code not in INPUT_STATUSES:
            assert not failure_text(code).startswith("the fit stopped"), name
    # Every reason an iterative fit stops has its words.
    assert len(TERMINATION_WORDS) == len(_engine.TERMINATIONS)
    assert all(word for name, word in zip(_engine.TERMINATIONS, TERMINATION_WORDS) if name != "none")
    # Every method is accepted, under the code the engine knows it by.
    for code, name in enumerate(_engine.METHODS):
        assert check_method(name) == name and METHOD_CODES[name] == code
    assert len(METHOD_CODES) == len(_engine.METHODS)
    # Every field of a result reaches the Circle or the error: changing it changes what is seen.
    result = _engine.fit_one(*COOKBOOK_ARC, METHOD_CODES["geometric"])
    at = {name: i for i, name in enumerate(_engine.RESULT_FIELDS)}

    def seen(fields):
        try:
            check_result(fields, "geometric")
        except ValueError as e:
            return str(e)
        c = circle_of(fields, "geometric")
        return (repr(c), c.iterations, c.arc, c.cov.tobytes(), c.stderr)

    for name, i in at.items():
        if name in ("status", "detail", "message"):  # below
            continue
        changed = list(result)
        value = result[i]
        changed[i] = (not value if isinstance(value, bool) else value + 1 if
                      isinstance(value, (int, float)) else bytes(reversed(value)))
        assert seen(tuple(changed)) != seen(result), name
    failed = list(result)
    failed[at["status"]] = _engine.STATUSES.index("inliers_no_circle")
    failed[at["detail"]] = _engine.STATUSES.index("fit_failed")
    failed[at["message"]] = "the sentinel"
    assert seen(tuple(failed)) == (
        "the 6 inliers determine no circle: the fit geometric failed: the sentinel"
    )
