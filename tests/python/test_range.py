"""The fits over the whole range of finite doubles: exact power-of-two equivariance, translation,
swapped axes, non-finite data, arrays against lists, and the overflow and underflow cases that
once gave wrong centres, NaN or panics."""

import faulthandler
import math
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tondra
from helpers import arc, panic_type

FITS = {
    "lbfgs": lambda xs, ys: tondra.fit_lsq(xs, ys, "lbfgs"),
    "nelder_mead": lambda xs, ys: tondra.fit_lsq(xs, ys, "nelder_mead"),
    "taubin": tondra.taubin_svd,
}
SMALLEST_NORMAL = sys.float_info.min
PROPERTY = settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def scaled(values, k):
    return [math.ldexp(v, k) for v in values]


def exponent_range(values):
    """The k for which every 2^k * v is exactly a normal double (or zero)."""
    nonzero = [abs(v) for v in values if v != 0.0]
    low = -1022 - math.frexp(min(nonzero))[1] + 1
    high = 1024 - math.frexp(max(nonzero))[1]
    return low, high


# Arcs of 60 to 360 degrees, a little noise, radius and position of order one: the coordinates
# span no more than a few powers of two, so every scaling within exponent_range is exact.
@st.composite
def arcs(draw, min_points=5, max_points=40):
    n = draw(st.integers(min_points, max_points))
    r = draw(st.floats(0.25, 4.0))
    cx = draw(st.floats(-8.0, 8.0))
    cy = draw(st.floats(-8.0, 8.0))
    start_deg = draw(st.floats(0.0, 360.0))
    span_deg = draw(st.floats(60.0, 360.0))
    xs, ys = arc(n, span_deg, cx, cy, r, start_deg=start_deg)
    jitter = draw(st.lists(st.floats(-0.01, 0.01), min_size=2 * n, max_size=2 * n))
    return [x + r * j for x, j in zip(xs, jitter[:n])], [y + r * j for y, j in zip(ys, jitter[n:])], r


class TestPowerOfTwoEquivariance:
    @PROPERTY
    @given(data=arcs(), fit=st.sampled_from(sorted(FITS)), where=st.floats(0.0, 1.0))
    def test_scaling_the_data_scales_the_centre_bit_for_bit(self, data, fit, where):
        xs, ys, _ = data
        base = FITS[fit](xs, ys)
        low, high = exponent_range(xs + ys + base)
        k = round(low + where * (high - 1 - low))
        assert FITS[fit](scaled(xs, k), scaled(ys, k)) == scaled(base, k)

    @pytest.mark.parametrize("fit", sorted(FITS))
    def test_the_extreme_exponents_scale_exactly(self, fit):
        xs, ys = arc(12, 115, 3.0, -1.0, 2.0, start_deg=6.0)
        base = FITS[fit](xs, ys)
        low, high = exponent_range(xs + ys + base)
        for k in (low, low + 1, high - 2, high - 1):
            assert FITS[fit](scaled(xs, k), scaled(ys, k)) == scaled(base, k), k


class TestOtherSymmetries:
    # Translation is not bit-exact: the mean of the moved data and the centre mapped back are
    # rounded at the offset's magnitude. With the data on a grid of 2^-20 and offsets on the same
    # grid the moved data are exact, so only that rounding (relative to the offset) and the
    # solvers' own tolerance (relative to the radius) separate the two centres.
    @PROPERTY
    @given(data=arcs(), fit=st.sampled_from(sorted(FITS)),
           tx=st.integers(-2**40, 2**40), ty=st.integers(-2**40, 2**40))
    def test_translation_by_exact_offsets_moves_the_centre_with_the_data(self, data, fit, tx, ty):
        xs, ys, r = data
        xs = [round(math.ldexp(x, 20)) * 2.0**-20 for x in xs]
        ys = [round(math.ldexp(y, 20)) * 2.0**-20 for y in ys]
        dx, dy = tx * 2.0**-20, ty * 2.0**-20
        base = FITS[fit](xs, ys)
        moved = FITS[fit]([x + dx for x in xs], [y + dy for y in ys])
        solver = 1e-6 if fit == "nelder_mead" else 1e-9
        tolerance = solver * r + 1e-11 * max(abs(dx), abs(dy))
        assert math.hypot(moved[0] - base[0] - dx, moved[1] - base[1] - dy) <= tolerance

    # L-BFGS treats the two coordinates alike (its sums over a point's two coordinates have two
    # terms, and two-term sums do not depend on their order), so swapping is exact.
    @PROPERTY
    @given(data=arcs(), k=st.integers(-900, 900))
    def test_swapping_the_axes_swaps_the_lbfgs_centre_exactly(self, data, k):
        xs, ys, _ = data
        xs, ys = scaled(xs, k), scaled(ys, k)
        cx, cy = tondra.fit_lsq(xs, ys)
        assert tondra.fit_lsq(ys, xs) == [cy, cx]

    @PROPERTY
    @given(data=arcs(max_points=20), k=st.integers(-1000, 1000), offset=st.integers(0, 10),
           step=st.integers(1, 3), fit=st.sampled_from(["geometrical"] + sorted(FITS)))
    def test_arrays_give_the_bits_of_lists(self, data, k, offset, step, fit):
        xs, ys = scaled(data[0], k), scaled(data[1], k)
        f = tondra.fit_geometrical if fit == "geometrical" else FITS[fit]
        # Strided views inside larger arrays, as well as fresh contiguous ones.
        bx = np.zeros(offset + step * len(xs))
        by = np.full(offset + step * len(ys), 7.0)
        bx[offset::step], by[offset::step] = xs, ys
        expected = f(xs, ys)
        for ax, ay in ((np.array(xs), np.array(ys)), (bx[offset::step], by[offset::step])):
            got = f(ax, ay)
            assert np.array_equal(np.array(got), np.array(expected), equal_nan=True)
            assert [v.hex() for v in got] == [v.hex() for v in expected]


class TestNonFiniteData:
    # Each call must end; a hang (LAPACK and line searches have been seen to spin on NaN) kills the
    # run through the watchdog instead of blocking it.
    @PROPERTY
    @given(data=arcs(max_points=12), bad=st.sampled_from([math.nan, math.inf, -math.inf]),
           where=st.integers(0, 23), k=st.integers(-1000, 1000))
    def test_nan_or_infinity_anywhere_fails_as_before(self, data, bad, where, k):
        xs, ys = scaled(data[0], k), scaled(data[1], k)
        values = xs if where % 2 == 0 else ys
        values[(where // 2) % len(values)] = bad
        faulthandler.dump_traceback_later(60, exit=True)
        try:
            assert all(math.isnan(v) for v in tondra.taubin_svd(xs, ys))
            for method in ("lbfgs", "nelder_mead"):
                with pytest.raises(panic_type()):
                    tondra.fit_lsq(xs, ys, method)
        finally:
            faulthandler.cancel_dump_traceback_later()


class TestOverflowAndUnderflow:
    EIGHT = arc(8, 360, 3.0, -1.0, 2.0)

    @pytest.mark.parametrize("method", ["nelder_mead", "lbfgs"])
    @pytest.mark.parametrize("k", [511, 512, 1000, -600, -1000])
    def test_eight_point_circle_far_out_of_range_no_longer_panics(self, method, k):
        xs, ys = self.EIGHT
        base = tondra.fit_lsq(xs, ys, method)
        assert tondra.fit_lsq(scaled(xs, k), scaled(ys, k), method) == scaled(base, k)

    @pytest.mark.parametrize("k", [511, 600, -600, -1000])
    def test_taubin_no_longer_returns_nan_far_out_of_range(self, k):
        xs, ys = self.EIGHT
        assert tondra.taubin_svd(scaled(xs, k), scaled(ys, k)) == scaled(tondra.taubin_svd(xs, ys), k)

    @pytest.mark.parametrize("method", ["nelder_mead", "lbfgs"])
    def test_quarter_arc_of_1000_points_at_1e153_is_not_fitted_by_its_centroid(self, method):
        xs, ys = arc(1000, 90, 3e153, -1e153, 2e153)
        cx, cy = tondra.fit_lsq(xs, ys, method)
        assert math.hypot(cx - 3e153, cy + 1e153) <= 1e-6 * 2e153

    def test_million_point_arc_at_1e152_is_not_fitted_by_its_centroid(self):
        t = np.linspace(0.0, np.pi / 2, 10**6)
        cx, cy = tondra.fit_lsq((3.0 + 2.0 * np.cos(t)) * 1e152, (-1.0 + 2.0 * np.sin(t)) * 1e152)
        assert math.hypot(cx - 3e152, cy + 1e152) <= 1e-6 * 2e152

    @pytest.mark.parametrize("fit", sorted(FITS))
    def test_coordinates_whose_sums_overflow_give_their_centre(self, fit):
        # Every coordinate is finite, but their sums and means pass the largest double.
        xs, ys = arc(30, 230, 1.5e308, -1.5e308, 1e307, start_deg=11.0)
        cx, cy = FITS[fit](xs, ys)
        assert math.hypot(cx / 1e307 - 15.0, cy / 1e307 + 15.0) <= 1e-6
