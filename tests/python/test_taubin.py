"""taubin_svd: accuracy against an independent computation, faults, degenerate data."""

import math
import random

import numpy as np
import pytest

import tondra
from helpers import arc, panic_type, run_child
from reference import numpy_taubin


class TestResults:
    def test_points_on_an_arc_give_its_centre(self):
        xs, ys = arc(20, 86, 3.0, 4.0, 5.0, start_deg=11.0)
        assert tondra.taubin_svd(xs, ys) == pytest.approx([3.0, 4.0], abs=1e-12)

    def test_evenly_spaced_whole_circle_gives_its_centroid(self):
        xs, ys = arc(36, 360, -2.0, 7.0, 3.0)
        assert tondra.taubin_svd(xs, ys) == pytest.approx([-2.0, 7.0], abs=1e-12)

    def test_three_points_determine_the_circle(self):
        assert tondra.taubin_svd([1.0, -1.0, 0.0], [0.0, 0.0, 1.0]) == pytest.approx([0.0, 0.0], abs=1e-14)

    @pytest.mark.parametrize("seed", range(6))
    def test_noisy_arcs_agree_with_numpy(self, seed):
        rng = random.Random(seed)
        cx, cy, r = rng.uniform(-100, 100), rng.uniform(-100, 100), rng.uniform(0.5, 50)
        xs, ys = arc(rng.randint(5, 400), rng.uniform(45, 360), cx, cy, r, noise=0.05, seed=seed,
                     start_deg=11.0)
        expected = numpy_taubin(xs, ys)
        got = tondra.taubin_svd(xs, ys)
        assert math.hypot(got[0] - expected[0], got[1] - expected[1]) <= 1e-9 * r

    def test_accepts_any_sequences_and_returns_a_fresh_list(self):
        xs, ys = arc(9, 115, start_deg=11.0)
        a = tondra.taubin_svd(tuple(xs), np.asarray(ys))
        b = tondra.taubin_svd(xs, ys)
        assert a == b and a is not b and all(type(v) is float for v in a)


class TestFaults:
    @pytest.mark.parametrize("xs, ys", [([1.0, 2.0, 3.0], [1.0, 2.0]), ([], [1.0]), ([1.0], [])])
    def test_unequal_lengths_panic_with_the_shape_error(self, xs, ys):
        with pytest.raises(panic_type()) as info:
            tondra.taubin_svd(xs, ys)
        assert str(info.value) == ("called `Result::unwrap()` on an `Err` value: "
                                   "ShapeError/IncompatibleShape: incompatible shapes")

    def test_module_keeps_working_after_a_fault(self):
        with pytest.raises(panic_type()):
            tondra.taubin_svd([1.0], [])
        assert tondra.taubin_svd([1.0, -1.0, 0.0], [0.0, 0.0, 1.0]) == pytest.approx([0.0, 0.0], abs=1e-14)


DEGENERATE = {
    "no points": ([], []),
    "one point": ([1.5], [2.5]),
    "three equal points": ([2.0, 2.0, 2.0], [-1.0, -1.0, -1.0]),
    "a nan coordinate": ([0.0, 1.0, float("nan"), 3.0], [1.0, 0.0, 1.0, 2.0]),
    "an infinite coordinate": ([0.0, 1.0, 2.0, 3.0], [1.0, float("inf"), 1.0, 2.0]),
}


class TestDegenerateData:
    @pytest.mark.parametrize("name", DEGENERATE)
    def test_data_without_a_circle_give_nan_promptly(self, name):
        xs, ys = DEGENERATE[name]
        # In a child with a timeout: LAPACK has been seen to spin forever on such input.
        child = run_child(f"""
            import tondra
            print(tondra.taubin_svd({xs!r}, {ys!r}))
        """.replace("nan", "float('nan')").replace("inf", "float('inf')"), timeout=30)
        assert child.returncode == 0, child.stderr
        assert child.stdout.decode().strip() == "[nan, nan]"

    # Data on one line have no circle of finite radius: the centre runs off to infinity, or is
    # the middle of the data when they are only two distinct points repeated.
    @pytest.mark.parametrize("xs, ys, centre", [
        ([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 2.0, 3.0], "[inf, -inf]"),     # on one line
        ([0.0, 1.0, 0.0, 1.0], [0.0, 1.0, 0.0, 1.0], "[0.5, 0.5]"),      # two distinct points
        ([0.0, 1.0, 1e200, 3.0], [1.0, 0.0, 1.0, 2.0], "[nan, -inf]"),   # on one line to working precision
    ], ids=["line", "two-points", "line-to-precision"])
    def test_data_without_a_unique_circle_give_their_exact_centre(self, xs, ys, centre):
        child = run_child(f"import tondra; print(tondra.taubin_svd({xs!r}, {ys!r}))", timeout=30)
        assert child.returncode == 0, child.stderr
        assert child.stdout.decode() == centre + "\n"
