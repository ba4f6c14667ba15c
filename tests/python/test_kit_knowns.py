"""Weights, a known radius and radius bounds: the facts that hold whatever the solver (a weight
of 0 removes a point, integer weights repeat it, weights are relative, bounds that meet are a
known radius, bounds that hold the free minimum change nothing), bounds never broken, and the
options refused alike everywhere."""

import io
import math

import numpy as np
import pandas as pd
import pytest

import tondrakit
from helpers import contaminated_arc, noisy_arc

# Two fits of one problem by different roads (plain and weighted, say) agree to rounding, in
# units of the radius.
AGREE = 1e-12
SETS = 100


def random_sets(seed, count=SETS, n=20):
    """count arcs of 10 to 360 degrees, n points, 1 % noise, with a radius in [0.5, 20]."""
    rng = np.random.default_rng(seed)
    for _ in range(count):
        r = float(rng.uniform(0.5, 20.0))
        centre = tuple(rng.uniform(-50.0, 50.0, 2))
        xs, ys = noisy_arc(rng, n, float(rng.uniform(10.0, 360.0)), 0.01, centre, r)
        yield rng, xs, ys


def assert_same_circle(a, b, tolerance=AGREE):
    scale = a.r
    for name in ("cx", "cy", "r", "rms"):
        assert abs(getattr(a, name) - getattr(b, name)) <= tolerance * scale, (name, a, b)


class TestWeights:
    def test_a_weight_of_zero_removes_the_point(self):
        for rng, xs, ys in random_sets(1):
            w = rng.uniform(0.5, 2.0, xs.size)
            w[rng.integers(0, xs.size, 3)] = 0.0
            kept = w > 0
            a = tondrakit.fit(xs, ys, weights=w)
            b = tondrakit.fit(xs[kept], ys[kept], weights=w[kept])
            assert a == b and a.n == int(kept.sum())

    def test_integer_weights_repeat_the_points(self):
        for rng, xs, ys in random_sets(2):
            counts = rng.integers(1, 4, xs.size)
            for method in ("geometric", "hyper", "taubin", "centroid"):
                a = tondrakit.fit(xs, ys, weights=counts, method=method)
                b = tondrakit.fit(np.repeat(xs, counts), np.repeat(ys, counts), method=method)
                assert_same_circle(a, b)

    def test_equal_weights_give_the_plain_fit(self):
        for _, xs, ys in random_sets(3):
            a = tondrakit.fit(xs, ys, weights=np.full(xs.size, 0.3))
            assert_same_circle(a, tondrakit.fit(xs, ys))
            assert np.allclose(a.stderr, tondrakit.fit(xs, ys).stderr, rtol=1e-9, atol=0.0)

    def test_scaling_all_weights_changes_nothing(self):
        for rng, xs, ys in random_sets(4):
            w = rng.uniform(0.1, 10.0, xs.size)
            a = tondrakit.fit(xs, ys, weights=w)
            b = tondrakit.fit(xs, ys, weights=w * 37.25)
            assert_same_circle(a, b)
            assert np.allclose(a.stderr, b.stderr, rtol=1e-9, atol=0.0)
            # A power of two changes no bit.
            assert tondrakit.fit(xs, ys, weights=w * 1024.0) == a

    def test_the_weighted_radius_and_rms_are_the_weighted_means(self):
        _, xs, ys = next(random_sets(5, 1))
        w = np.linspace(1.0, 3.0, xs.size)
        c = tondrakit.fit(xs, ys, weights=w)
        d = np.hypot(xs - c.cx, ys - c.cy)
        assert c.r == pytest.approx(np.sum(w * d) / np.sum(w), rel=1e-13)
        assert c.rms == pytest.approx(math.sqrt(np.sum(w * (d - c.r) ** 2) / np.sum(w)), rel=1e-9)

    def test_a_heavy_point_pulls_the_circle_through_it(self):
        xs, ys = noisy_arc(np.random.default_rng(6), 30, 120.0, 0.02)
        w = np.ones(xs.size)
        w[10] = 1e6
        c = tondrakit.fit(xs, ys, weights=w)
        assert abs(math.hypot(xs[10] - c.cx, ys[10] - c.cy) - c.r) < 1e-4 * c.r


class TestRadius:
    def test_known_radius_is_held_with_no_uncertainty(self):
        xs, ys = noisy_arc(np.random.default_rng(7), 25, 90.0, 0.01, (3.0, -2.0), 5.0)
        c = tondrakit.fit(xs, ys, radius=5.0)
        assert c.r == 5.0 and c.converged
        assert c.stderr[2] == 0.0 and (c.cov[2] == 0.0).all() and (c.cov[:, 2] == 0.0).all()
        assert c.stderr[0] > 0.0 and c.stderr[1] > 0.0
        assert math.hypot(c.cx - 3.0, c.cy + 2.0) < 0.05

    def test_the_centre_minimises_the_cost_at_that_radius(self):
        xs, ys = noisy_arc(np.random.default_rng(8), 25, 150.0, 0.02, (0.0, 0.0), 2.0)
        c = tondrakit.fit(xs, ys, radius=2.1)

        def cost(cx, cy):
            return np.sum((np.hypot(xs - cx, ys - cy) - 2.1) ** 2)

        best = cost(c.cx, c.cy)
        for dx, dy in [(1e-5, 0), (-1e-5, 0), (0, 1e-5), (0, -1e-5)]:
            assert cost(c.cx + dx, c.cy + dy) > best

    def test_bounds_that_meet_are_the_known_radius(self):
        for rng, xs, ys in random_sets(9, 30):
            r = tondrakit.fit(xs, ys).r * float(rng.uniform(0.8, 1.2))
            w = rng.uniform(0.5, 2.0, xs.size)
            assert tondrakit.fit(xs, ys, radius_bounds=(r, r)) == tondrakit.fit(xs, ys, radius=r)
            assert tondrakit.fit(xs, ys, weights=w, radius_bounds=(r, r)) == tondrakit.fit(
                xs, ys, weights=w, radius=r
            )


class TestBounds:
    def test_bounds_around_the_free_minimum_give_it(self):
        for rng, xs, ys in random_sets(10):
            free = tondrakit.fit(xs, ys)
            assert tondrakit.fit(xs, ys, radius_bounds=(0.5 * free.r, 2.0 * free.r)) == free
            assert tondrakit.fit(xs, ys, radius_bounds=(None, free.r)) == free
            w = rng.uniform(0.5, 2.0, xs.size)
            weighted = tondrakit.fit(xs, ys, weights=w)
            assert tondrakit.fit(xs, ys, weights=w, radius_bounds=(free.r / 3, None)) == weighted

    def test_a_bound_beyond_the_free_minimum_holds_the_radius_on_it(self):
        for rng, xs, ys in random_sets(11, 30):
            free = tondrakit.fit(xs, ys)
            hi = 0.9 * free.r
            held = tondrakit.fit(xs, ys, radius_bounds=(None, hi))
            # The constrained minimum, not the free centre with its radius clipped.
            assert_same_circle(held, tondrakit.fit(xs, ys, radius=hi))
            clipped = np.sum((np.hypot(xs - free.cx, ys - free.cy) - hi) ** 2)
            assert held.rms**2 * xs.size <= clipped * (1 + 1e-12)
            assert held.converged

    def test_no_bound_is_ever_broken(self):
        rng = np.random.default_rng(12)
        cases = []
        for _ in range(150):
            n = int(rng.integers(3, 40))
            kind = rng.integers(0, 4)
            if kind == 0:  # nearly straight
                xs = rng.uniform(-1, 1, n)
                ys = 1e-6 * rng.normal(size=n)
            elif kind == 1:  # a cloud
                xs, ys = rng.normal(size=(2, n))
            elif kind == 2:  # a tiny short arc far away
                xs, ys = noisy_arc(rng, n, float(rng.uniform(1, 20)), 0.05, (1e6, -1e6), 1e-3)
            else:  # two clusters
                xs = np.concatenate([rng.normal(0, 0.01, n), rng.normal(5, 0.01, n)])
                ys = np.concatenate([rng.normal(0, 0.01, n), rng.normal(0, 0.01, n)])
            scale = float(np.ptp(xs) + np.ptp(ys)) or 1.0
            lo = scale * float(rng.choice([0.0, 0.01, 0.3, 2.0, 1e3]))
            hi = lo * float(rng.choice([1.0, 1.5, 10.0])) if lo else scale * float(rng.uniform(0.05, 5))
            w = rng.uniform(0.0, 3.0, xs.size) if rng.integers(0, 2) else None
            cases.append((xs, ys, w, lo, hi))
        for xs, ys, w, lo, hi in cases:
            try:
                c = tondrakit.fit(xs, ys, weights=w, radius_bounds=(lo, hi))
            except (tondrakit.FitError, ValueError):
                continue
            assert lo <= c.r <= hi, (lo, c.r, hi)

    def test_an_upper_bound_far_below_the_spread_finds_no_circle(self):
        xs, ys = noisy_arc(np.random.default_rng(13), 40, 360.0, 0.01, (0.0, 0.0), 10.0)
        with pytest.raises(tondrakit.FitError, match="no circle within the radius bounds"):
            tondrakit.fit(xs, ys, radius_bounds=(None, 2.0))

    def test_points_on_a_line_get_a_circle_only_under_an_upper_bound(self):
        # Pairs of points mirrored across a line fit that line better than any circle.
        xs = np.repeat(np.linspace(-5.0, 5.0, 15), 2)
        ys = 0.01 * (-1.0) ** np.arange(30)
        for options in [dict(radius_bounds=(1.0, None)), dict(weights=np.ones(30))]:
            with pytest.raises(tondrakit.FitError, match="line"):
                tondrakit.fit(xs, ys, **options)
        assert tondrakit.fit(xs, ys, radius_bounds=(1.0, 100.0)).r == 100.0


# What every entry point must refuse, with the message it must give.
REFUSALS = [
    (dict(weights=[1.0, 1.0]), ValueError, "weights has 2 entries for 6 points"),
    (dict(weights=[1, 1, 1, 1, 1, -1]), ValueError, r"weights\[5\] is -1.0: weights must not be negative"),
    (dict(weights=[1, 1, 1, 1, 1, math.nan]), ValueError, r"weights\[5\] is nan: weights must be finite"),
    (dict(weights=[0] * 6), ValueError, "weights are all 0"),
    (dict(weights=[1, 1, 0, 0, 0, 0]), ValueError, "need at least 3 points of positive weight, got 2"),
    (dict(weights=[1, 1, 1, 1, 1, "a"]), TypeError, r"weights\[5\] = 'a' \(str\) is not a number"),
    (dict(radius=-1.0), ValueError, "radius must be a positive finite number, got -1.0"),
    (dict(radius=math.inf), ValueError, "radius must be a positive finite number, got inf"),
    (dict(radius="2"), TypeError, "radius must be a number or None, not str"),
    (dict(radius=2.0, radius_bounds=(1, 3)), ValueError, "give radius or radius_bounds, not both"),
    (dict(radius_bounds=(3.0, 1.0)), ValueError, r"radius_bounds \(3.0, 1.0\): the lower bound exceeds the upper"),
    (dict(radius_bounds=(-1.0, None)), ValueError, "lower bound must be a finite number >= 0, got -1.0"),
    (dict(radius_bounds=(None, 0.0)), ValueError, "upper bound must be a positive number, got 0.0"),
    (dict(radius_bounds=5.0), TypeError, "radius_bounds must be a pair"),
    (dict(weights=[1] * 6, method="lsq"), ValueError, "method 'lsq' takes no weights"),
    (dict(weights=[1] * 6, method="nelder_mead"), ValueError, "method 'nelder_mead' takes no weights"),
    (dict(radius=2.0, method="hyper"), ValueError, "radius and radius_bounds apply to method 'geometric' only, not 'hyper'"),
]
COOKBOOK_ARC = ([36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26])


class TestRefusals:
    @pytest.mark.parametrize(("options", "error", "message"), REFUSALS)
    @pytest.mark.parametrize("entry", [tondrakit.fit, tondrakit.fit_robust])
    def test_every_function_refuses_alike(self, entry, options, error, message):
        with pytest.raises(error, match=message):
            entry(*COOKBOOK_ARC, **options)


class TestRobust:
    def test_a_weight_of_zero_removes_the_point(self):
        rng = np.random.default_rng(20)
        xs, ys, _, _ = contaminated_arc(rng, 120, 120.0, 0.3)
        w = rng.uniform(0.5, 2.0, xs.size)
        w[::7] = 0.0
        kept = w > 0
        a = tondrakit.fit_robust(xs, ys, weights=w)
        b = tondrakit.fit_robust(xs[kept], ys[kept], weights=w[kept])
        assert a.circle == b.circle and a.trials == b.trials
        assert not a.inliers[~kept].any() and (a.inliers[kept] == b.inliers).all()

    def test_a_known_radius_is_kept_and_needs_fewer_samples(self):
        rng = np.random.default_rng(21)
        free_trials = known_trials = 0
        for _ in range(10):
            xs, ys, inlier, (cx, cy, r) = contaminated_arc(rng, 200, 120.0, 0.6)
            free = tondrakit.fit_robust(xs, ys, threshold=0.03 * r)
            known = tondrakit.fit_robust(xs, ys, threshold=0.03 * r, radius=r)
            assert known.circle.r == r and known.circle.stderr[2] == 0.0
            assert math.hypot(known.circle.cx - cx, known.circle.cy - cy) < 0.02 * r
            assert (known.inliers <= inlier).mean() > 0.95
            free_trials += free.trials
            known_trials += known.trials
        # With 40 % inliers a pair of them is drawn 2.5 times as often as a triple.
        assert known_trials <= free_trials / 2

    def test_bounds_hold_for_the_samples_and_the_refit(self):
        rng = np.random.default_rng(22)
        for _ in range(10):
            xs, ys, _, (_, _, r) = contaminated_arc(rng, 150, 60.0, 0.3)
            lo, hi = 1.05 * r, 1.2 * r  # the truth lies outside
            result = tondrakit.fit_robust(xs, ys, radius_bounds=(lo, hi))
            assert lo <= result.circle.r <= hi

    def test_no_sample_within_the_bounds_is_said_so(self):
        xs, ys = noisy_arc(np.random.default_rng(23), 30, 360.0, 0.01, (0.0, 0.0), 1.0)
        with pytest.raises(tondrakit.FitError, match="no sample gives a circle within the radius bounds"):
            tondrakit.fit_robust(xs, ys, radius_bounds=(50.0, 60.0), max_trials=64)


def weighted_table(seed=30, groups=6):
    """Groups of noisy arcs with a weight column, rows shuffled."""
    rng = np.random.default_rng(seed)
    parts = []
    for g in range(groups):
        xs, ys = noisy_arc(rng, 25, float(rng.uniform(60.0, 360.0)), 0.02, (3.0 * g, -g), 1.0 + g)
        w = rng.uniform(0.0, 4.0, xs.size)
        parts.append(pd.DataFrame({"group": g, "x": xs, "y": ys, "w": w}))
    return pd.concat(parts, ignore_index=True).sample(frac=1.0, random_state=1)


class TestGroups:
    @pytest.mark.parametrize(
        "options", [{}, dict(radius_bounds=(None, 2.5)), dict(radius=3.0), dict(robust=True)]
    )
    def test_every_row_is_fit_on_its_group_with_its_weights(self, options):
        table = weighted_table()
        rows = tondrakit.fit_groups(table, weights="w", **options)
        robust = options.pop("robust", False)
        for g, part in table.groupby("group"):
            if robust:
                expected = tondrakit.fit_robust(part.x, part.y, weights=part.w).circle
            else:
                expected = tondrakit.fit(part.x, part.y, weights=part.w, **options)
            got = rows.loc[g]
            assert (got.cx, got.cy, got.r, got.rms, got.n) == (
                expected.cx, expected.cy, expected.r, expected.rms, expected.n
            )
            assert (got.stderr_cx, got.stderr_r) == (expected.stderr[0], expected.stderr[2])

    def test_a_table_in_group_order_gives_the_same_rows(self):
        table = weighted_table()
        shuffled = tondrakit.fit_groups(table, weights="w", radius_bounds=(None, 2.5))
        ordered = tondrakit.fit_groups(
            table.sort_values("group", kind="stable"), weights="w", radius_bounds=(None, 2.5)
        )
        pd.testing.assert_frame_equal(shuffled, ordered)

    def test_bad_weights_name_the_row(self):
        table = weighted_table()
        label = table.index[4]
        table.loc[label, "w"] = -2.0
        with pytest.raises(ValueError, match=rf"column 'w' \(weights\), row {label}: -2.0: weights must not be negative"):
            tondrakit.fit_groups(table, weights="w")
        with pytest.raises(ValueError, match="no column 'v' for weights"):
            tondrakit.fit_groups(table, weights="v")

    def test_a_group_with_too_few_weighted_points_says_so(self):
        table = weighted_table()
        table.loc[table.group == 2, "w"] = 0.0
        table.loc[table.index[table.group == 2][:2], "w"] = 1.0
        rows = tondrakit.fit_groups(table, weights="w", on_error="nan")
        assert rows.loc[2, "error"] == "need at least 3 points of positive weight, got 2"
        assert rows["error"].isna().sum() == len(rows) - 1

    def test_dask_gives_the_pandas_rows(self):
        dd = pytest.importorskip("dask.dataframe")
        import tondrakit.dask

        table = weighted_table()
        expected = tondrakit.fit_groups(table, weights="w", radius_bounds=(None, 2.5))
        lazy = tondrakit.dask.fit_groups(
            dd.from_pandas(table, npartitions=3), weights="w", radius_bounds=(None, 2.5)
        )
        pd.testing.assert_frame_equal(lazy.compute(scheduler="sync").sort_index(), expected)
        indexed = dd.from_pandas(table.set_index("group").sort_index(), npartitions=2)
        by_index = tondrakit.dask.fit_groups(indexed, weights="w", radius_bounds=(None, 2.5))
        pd.testing.assert_frame_equal(by_index.compute(scheduler="sync"), expected)


# The refusals that do not depend on how the weights are given, for the table functions too.
OPTION_REFUSALS = [case for case in REFUSALS if "weights" not in case[0]] + [
    (dict(weights="w", method="lsq"), ValueError, "method 'lsq' takes no weights"),
]


def table_entry(**options):
    table = pd.DataFrame({"group": 1, "x": COOKBOOK_ARC[0], "y": COOKBOOK_ARC[1], "w": 1.0})
    return tondrakit.fit_groups(table, **options)


def dask_entry(**options):
    dd = pytest.importorskip("dask.dataframe")
    import tondrakit.dask

    table = pd.DataFrame({"group": 1, "x": COOKBOOK_ARC[0], "y": COOKBOOK_ARC[1], "w": 1.0})
    return tondrakit.dask.fit_groups(dd.from_pandas(table, npartitions=1), **options)


class TestTableRefusals:
    @pytest.mark.parametrize(("options", "error", "message"), OPTION_REFUSALS)
    @pytest.mark.parametrize("entry", [table_entry, dask_entry])
    def test_every_table_function_refuses_alike(self, entry, options, error, message):
        with pytest.raises(error, match=message):
            entry(**options)


def command(tmp_path, capsys, table, *args):
    from tondrakit._cli import main

    path = tmp_path / "points.csv"
    table.to_csv(path, index=False)
    status = main([str(path), *args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


class TestCommand:
    @pytest.mark.parametrize(
        ("args", "options"),
        [
            (["-w", "w"], dict(weights="w")),
            (["-w", "w", "--radius-max", "2.5"], dict(weights="w", radius_bounds=(None, 2.5))),
            (["--radius", "3", "--robust"], dict(radius=3.0, robust=True)),
            (["--radius-min", "1.5"], dict(radius_bounds=(1.5, None))),
        ],
    )
    def test_the_command_writes_fit_groups_rows(self, tmp_path, capsys, args, options):
        table = weighted_table()
        status, out, err = command(tmp_path, capsys, table, *args)
        assert (status, err) == (0, "")
        expected = tondrakit.fit_groups(pd.read_csv(tmp_path / "points.csv"), **options)
        got = pd.read_csv(io.StringIO(out), index_col="group")
        for name in ("cx", "cy", "r", "n"):
            assert np.array_equal(got[name].to_numpy(), expected[name].to_numpy()), name

    @pytest.mark.parametrize(
        ("args", "message"),
        [
            (["--radius", "-1"], "--radius: radius must be a positive finite number, got -1.0"),
            (["--radius", "2", "--radius-max", "3"], "--radius: give radius or radius_bounds, not both"),
            (["--radius-min", "3", "--radius-max", "1"], "--radius-min/--radius-max: radius_bounds (3.0, 1.0): the lower bound exceeds the upper"),
            (["--radius", "x"], "--radius: 'x' is not a number"),
            (["-w", "w", "--method", "lsq"], "--method: method 'lsq' takes no weights"),
            (["--radius", "2", "--method", "taubin"], "--method: radius and radius_bounds apply to method 'geometric' only, not 'taubin'"),
            (["-w", "v"], "no column 'v' (choose one with -w)"),
        ],
    )
    def test_the_command_refuses_as_the_functions_do(self, tmp_path, capsys, args, message):
        status, out, err = command(tmp_path, capsys, weighted_table(), *args)
        assert status == 2 and out == ""
        assert message in err

    def test_a_negative_weight_is_named_by_its_line(self, tmp_path, capsys):
        table = weighted_table().reset_index(drop=True)
        table.loc[3, "w"] = -1.5
        status, _, err = command(tmp_path, capsys, table, "-w", "w")
        assert status == 2
        assert "line 5: column 'w' holds '-1.5': weights must not be negative" in err
