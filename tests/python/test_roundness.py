import math
import random

import numpy as np
import pytest
import roundness_oracle as oracle

import tondrakit
from tondrakit import FitError, roundness

REFERENCES = ("least_squares", "minimum_zone", "circumscribed", "inscribed")
EXACT = ("minimum_zone", "circumscribed", "inscribed")

# A few ulps of the radius: distances are rounded from the engine's extended precision, and
# the tests' own distances once more.
ROUNDING = 8e-16


def distances(xs, ys, c):
    return np.hypot(np.asarray(xs, float) - c.cx, np.asarray(ys, float) - c.cy)


def check_consistent(xs, ys, c):
    """Every point between the circles, the support points on them, RONt their difference."""
    d = distances(xs, ys, c)
    tol = ROUNDING * c.outer
    assert d.min() == pytest.approx(c.inner, abs=tol)
    assert d.max() == pytest.approx(c.outer, abs=tol)
    assert c.ront == pytest.approx(c.outer - c.inner, abs=tol)
    assert 2 <= len(c.support) <= 4 and list(c.support) == sorted(set(c.support))
    on = d[list(c.support)]
    if c.reference == "circumscribed":
        assert on == pytest.approx(np.full(len(on), c.outer), abs=tol)
    elif c.reference == "inscribed":
        assert on == pytest.approx(np.full(len(on), c.inner), abs=tol)
    else:
        assert np.minimum(abs(on - c.inner), abs(on - c.outer)).max() <= tol


class TestHandChecked:
    def test_a_squares_corners_have_one_circle(self):
        xs, ys = [1, -1, -1, 1], [1, 1, -1, -1]
        got = roundness(xs, ys, reference="all")
        for c in got.values():
            assert c.center == pytest.approx((0.0, 0.0), abs=1e-15)
            assert c.inner == pytest.approx(math.sqrt(2), rel=1e-15)
            assert c.ront <= 1e-15
        assert len(got["circumscribed"].support) == 2
        assert got["inscribed"].support == (0, 1, 2, 3)

    def test_an_acute_triangles_circumcircle_is_both_circumscribed_and_inscribed(self):
        xs, ys = [0, 4, 2], [0, 0, 3]
        for ref in ("circumscribed", "inscribed"):
            c = roundness(xs, ys, reference=ref)
            assert (c.cx, c.cy, c.r) == pytest.approx((2, 5 / 6, 13 / 6), rel=1e-15)
            assert c.support == (0, 1, 2)

    def test_an_obtuse_triangle_is_held_by_its_longest_side(self):
        c = roundness([0, 10, 5], [0, 0, 1], reference="circumscribed")
        assert (c.cx, c.cy, c.r, c.support) == (5.0, 0.0, 5.0, (0, 1))
        with pytest.raises(FitError, match="go round no circle"):
            roundness([0, 10, 5], [0, 0, 1], reference="inscribed")

    @pytest.mark.parametrize("lobes", [3, 5])
    def test_odd_lobes_about_the_origin_have_their_peaks_and_valleys_as_circles(self, lobes):
        # r = 1 + a cos(k t) at the peaks and valleys and between: by symmetry every reference
        # is centred on the origin, the zone 2a wide between radii 1 - a and 1 + a.
        a = 0.01
        t = np.arange(12 * lobes) * (2 * math.pi / (12 * lobes))
        rad = 1 + a * np.cos(lobes * t)
        xs, ys = rad * np.cos(t), rad * np.sin(t)
        got = roundness(xs, ys, reference="all")
        for c in got.values():
            assert c.center == pytest.approx((0, 0), abs=1e-14)
            assert (c.inner, c.outer) == pytest.approx((1 - a, 1 + a), rel=1e-14)
        assert got["minimum_zone"].ront == pytest.approx(2 * a, rel=1e-12)

    def test_lattice_points_on_one_circle_tie_without_an_error(self):
        # The 12 integer points at distance 5 from the origin, and the origin's distance exact.
        pts = [(x, y) for x in range(-5, 6) for y in range(-5, 6) if x * x + y * y == 25]
        xs, ys = [p[0] + 7 for p in pts], [p[1] - 3 for p in pts]
        for ref in REFERENCES:
            c = roundness(xs, ys, reference=ref)
            assert c.center == pytest.approx((7, -3), abs=1e-14)
            assert (c.inner, c.outer) == pytest.approx((5, 5), rel=1e-15)
            check_consistent(xs, ys, c)


class TestAgainstTheOracle:
    @pytest.mark.parametrize("seed", range(24))
    def test_random_small_profiles(self, seed):
        rng = random.Random(seed)
        n = rng.randint(5, 16)
        if seed % 4 == 3:
            # Integer grid points near a circle: many ties and cocircular sets.
            pts = {(round(6 * math.cos(t)), round(6 * math.sin(t)))
                   for t in (rng.uniform(0, 2 * math.pi) for _ in range(n))}
            xs, ys = [p[0] for p in pts], [p[1] for p in pts]
        else:
            xs, ys = oracle.lobed(n, rng.randint(2, 7), rng.uniform(0, 0.2), 0.01, seed,
                                  cx=rng.uniform(-5, 5), cy=rng.uniform(-5, 5))
        r = max(np.hypot(np.subtract(xs, np.mean(xs)), np.subtract(ys, np.mean(ys))))
        tol = 1e-12 * r
        mc = roundness(xs, ys, reference="circumscribed")
        assert mc.outer == pytest.approx(oracle.circumscribed(xs, ys), abs=tol)
        mz = roundness(xs, ys, reference="minimum_zone")
        assert mz.ront == pytest.approx(oracle.zone(xs, ys), abs=tol)
        best = oracle.inscribed(xs, ys)
        if best is None:
            with pytest.raises(FitError):
                roundness(xs, ys, reference="inscribed")
        else:
            mi = roundness(xs, ys, reference="inscribed")
            assert mi.inner == pytest.approx(best, abs=tol)
            check_consistent(xs, ys, mi)
        for c in (mc, mz):
            check_consistent(xs, ys, c)


    @pytest.mark.parametrize("seed", range(2))
    def test_the_inscribed_circle_of_a_profile_beyond_the_whole_set_search(self, seed):
        xs, ys = oracle.lobed(60, 4 + seed, 0.05, 0.01, seed)
        c = roundness(xs, ys, reference="inscribed")
        assert c.inner == pytest.approx(oracle.inscribed(xs, ys), abs=1e-12)


def noisy_lobes(n=300, seed=1):
    return oracle.lobed(n, 3, 0.02, 0.002, seed, cx=2.5, cy=-1.25, r=4.0)


class TestInvariance:
    def test_a_power_of_two_scales_every_length_exactly(self):
        xs, ys = noisy_lobes()
        for ref in EXACT:
            base = roundness(xs, ys, reference=ref)
            for k in (-600, -3, 40, 700):
                c = roundness(np.ldexp(xs, k), np.ldexp(ys, k), reference=ref)
                assert (c.cx, c.cy, c.inner, c.outer, c.ront) == tuple(
                    math.ldexp(v, k) for v in (base.cx, base.cy, base.inner, base.outer, base.ront)
                )
                assert c.support == base.support

    def test_translation_and_a_quarter_turn_move_the_circles_with_the_points(self):
        xs, ys = noisy_lobes()
        for ref in REFERENCES:
            base = roundness(xs, ys, reference=ref)
            moved = roundness(np.add(xs, 1000.0), np.subtract(ys, 64.0), reference=ref)
            turned = roundness(np.negative(ys), xs, reference=ref)
            assert moved.center == pytest.approx((base.cx + 1000, base.cy - 64), abs=1e-11)
            assert turned.center == pytest.approx((-base.cy, base.cx), abs=1e-12)
            for c in (moved, turned):
                assert (c.inner, c.outer) == pytest.approx((base.inner, base.outer), rel=1e-12)
                if ref != "least_squares":
                    assert c.support == base.support


class TestLargerProfiles:
    @pytest.mark.parametrize("n", [40, 2000])
    def test_every_point_lies_between_the_circles_and_the_zone_is_the_narrowest(self, n):
        xs, ys = oracle.lobed(n, 5, 0.01, 0.003, seed=n, cx=10.0, r=3.0)
        got = roundness(xs, ys, reference="all")
        for c in got.values():
            check_consistent(xs, ys, c)
        assert got["minimum_zone"].ront <= min(c.ront for c in got.values())
        assert got["circumscribed"].outer <= got["least_squares"].outer
        assert got["inscribed"].inner >= got["least_squares"].inner

    def test_least_squares_is_the_kits_fit(self):
        xs, ys = noisy_lobes()
        fit = tondrakit.fit(xs, ys)
        c = roundness(xs, ys, reference="least_squares")
        assert (c.cx, c.cy, c.r) == (fit.cx, fit.cy, fit.r)


class TestErrors:
    def test_collinear_points_have_no_reference(self):
        for ref in REFERENCES:
            with pytest.raises(FitError, match="collinear"):
                roundness([0, 1, 2, 3], [0, 1, 2, 3], reference=ref)

    @pytest.mark.parametrize(("xs", "ys"), [
        # A vertical line whose frame's middle overflowed to infinity, once a crash.
        ([1.7e308] * 20, [float(i) for i in range(20)]),
        # On one line to the frame's precision: once an internal fault.
        ([-6.787348181739176e179, -6.661736618651667e180, 7.142099796551237e179], [-1e308, 1e308, 0.0]),
    ])
    def test_points_on_a_line_at_the_ends_of_the_range_have_no_zone(self, xs, ys):
        with pytest.raises(FitError, match="collinear"):
            roundness(xs, ys, reference="minimum_zone")
        c = roundness(xs, ys, reference="circumscribed")
        assert all(math.isfinite(v) for v in (c.cx, c.cy, c.r, c.ront))

    def test_an_arc_short_of_a_half_turn_has_no_inscribed_circle(self):
        t = np.linspace(0, 2.5, 50)
        with pytest.raises(FitError, match="no inscribed circle"):
            roundness(np.cos(t), np.sin(t), reference="inscribed")

    def test_an_unknown_reference_lists_the_known(self):
        with pytest.raises(ValueError, match="unknown reference 'mz': expected one of 'least_sq"):
            roundness([0, 1, 0], [0, 0, 1], reference="mz")

    def test_results_are_immutable(self):
        c = roundness([0, 1, 0, 1], [0, 0, 1, 1])
        with pytest.raises(AttributeError):
            c.cx = 1.0  # type: ignore[misc]


class TestGroups:
    def table(self):
        import pandas as pd

        parts = []
        for g in range(6):
            xs, ys = oracle.lobed(30 + 7 * g, 3 + g % 3, 0.02, 0.003, seed=g, cx=g, cy=-g)
            parts.append(pd.DataFrame({"group": g, "x": xs, "y": ys}))
        return pd.concat(parts, ignore_index=True)

    @pytest.mark.parametrize("ref", REFERENCES)
    def test_each_group_equals_its_single_call_on_any_number_of_threads(self, ref):
        table = self.table()
        one = tondrakit.fit_groups(table, roundness=ref, workers=1)
        many = tondrakit.fit_groups(table, roundness=ref, workers=3)
        assert one.equals(many)
        for g, rows in table.groupby("group"):
            c = roundness(rows["x"], rows["y"], reference=ref)
            got = one.loc[g]
            assert (got.ref_cx, got.ref_cy, got.inner, got.outer, got.ront) == (
                c.cx, c.cy, c.inner, c.outer, c.ront)
            assert got.support == c.support

    def test_dask_gives_the_tables_columns_with_the_support_as_text(self):
        dd = pytest.importorskip("dask.dataframe")
        import tondrakit.dask

        table = self.table()
        want = tondrakit.fit_groups(table, roundness="circumscribed")
        lazy = tondrakit.dask.fit_groups(dd.from_pandas(table, npartitions=3),
                                         roundness="circumscribed")
        got = lazy.compute(scheduler="sync").sort_index()
        assert list(got.columns) == list(want.columns)
        assert got.drop(columns="support").equals(want.drop(columns="support"))
        assert got["support"].tolist() == [" ".join(map(str, s)) for s in want["support"]]
        empty = tondrakit.fit_groups(table.iloc[:0], roundness="inscribed")
        assert list(empty.columns) == list(want.columns)

    def test_a_group_without_an_inscribed_circle_is_named_or_left_nan(self):
        import pandas as pd

        t = np.linspace(0, 2.0, 20)
        arc = pd.DataFrame({"group": "arc", "x": np.cos(t), "y": np.sin(t)})
        table = pd.concat([self.table(), arc], ignore_index=True)
        with pytest.raises(FitError, match="group 'arc': the points go round no circle"):
            tondrakit.fit_groups(table, roundness="inscribed")
        got = tondrakit.fit_groups(table, roundness="inscribed", on_error="nan")
        assert math.isnan(got.loc["arc", "ront"]) and got.loc["arc", "support"] is None
        assert "no inscribed circle" in got.loc["arc", "error"]
        assert got.loc[0, "error"] is None


class TestPlot:
    @pytest.fixture(autouse=True)
    def agg(self):
        matplotlib = pytest.importorskip("matplotlib")
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        yield
        plt.close("all")

    def test_the_support_points_lie_on_the_drawn_circles_at_their_angles(self):
        xs, ys = oracle.lobed(200, 3, 0.01, 0.001, 3, cx=0.5, r=10.0)
        c = roundness(xs, ys)
        ax = tondrakit.plot(c, (xs, ys))
        assert ax.name == "polar"
        support = next(line for line in ax.lines if line.get_label() == "support points")
        angle, rho = support.get_data()
        s = list(c.support)
        want = np.arctan2(np.subtract(ys, c.cy)[s], np.subtract(xs, c.cx)[s])
        assert angle == pytest.approx(want, abs=1e-12)
        # Each support point on one of the drawn circles (inner or outer).
        circles = [float(line.get_ydata()[0]) for line in ax.lines if line.get_color() == "tab:red"]
        assert len(circles) == 2
        assert [min(abs(r - v) for v in circles) for r in rho] == pytest.approx(
            [0.0] * len(rho), abs=1e-9)

    def test_all_references_share_one_magnification_and_need_their_points(self):
        xs, ys = noisy_lobes()
        panels = tondrakit.plot(roundness(xs, ys, reference="all"), (xs, ys))
        assert len(panels) == 4
        assert len({p.get_title().split("magnification")[1] for p in panels}) == 1
        with pytest.raises(ValueError, match="pass them"):
            tondrakit.plot(roundness(xs, ys))
        with pytest.raises(ValueError, match="not among these 3 points"):
            tondrakit.plot(roundness(xs, ys), ([0, 1, 0], [0, 0, 1]))


class TestCommand:
    def test_the_roundness_columns_as_fit_groups_gives_them_and_a_bad_reference_named(
            self, tmp_path, capsys):
        import pandas as pd

        from tondrakit._cli import main

        table = TestGroups().table()
        path = tmp_path / "in.csv"
        table.to_csv(path, index=False)
        out = tmp_path / "out.parquet"
        pytest.importorskip("pyarrow")
        assert main([str(path), "--roundness", "inscribed", "-o", str(out)]) == 0
        got = pd.read_parquet(out)
        want = tondrakit.fit_groups(pd.read_csv(path), roundness="inscribed")
        assert got["ront"].tolist() == want["ront"].tolist()
        assert got["support"].tolist() == [" ".join(map(str, s)) for s in want["support"]]
        capsys.readouterr()
        assert main([str(path), "--roundness", "mz"]) == 2
        assert "--roundness: unknown reference 'mz'" in capsys.readouterr().err
