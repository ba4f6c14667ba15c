"""taubin_svd: accuracy against an independent computation, faults, degenerate data."""

import math
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tondra


def arc(cx, cy, r, radians, n, noise=0.0, seed=0, start=0.2):
    rng = random.Random(seed)
    xs, ys = [], []
    for i in range(n):
        t = start + radians * i / (n - 1)
        xs.append(cx + r * math.cos(t) + rng.gauss(0.0, noise))
        ys.append(cy + r * math.sin(t) + rng.gauss(0.0, noise))
    return xs, ys


def numpy_taubin(xs, ys):
    """The same algebraic fit written independently with numpy's SVD."""
    x = np.asarray(xs, dtype=float)
    y = np.asarray(ys, dtype=float)
    u = x - x.mean()
    v = y - y.mean()
    z = u * u + v * v
    zbar = z.mean()
    r = math.sqrt(zbar)
    m = np.column_stack(((z - zbar) / (2 * r), u, v))
    p = np.linalg.svd(m, full_matrices=False)[2][2]
    a = p[0] / (2 * r)
    return x.mean() - p[1] / (2 * a), y.mean() - p[2] / (2 * a)


def panic_type():
    try:
        tondra.fit_lsq([1.0], [1.0], "no such method")
    except BaseException as exc:  # noqa: B036
        return type(exc)
    raise AssertionError("no panic")


class TestResults:
    def test_points_on_an_arc_give_its_centre(self):
        xs, ys = arc(3.0, 4.0, 5.0, 1.5, 20)
        assert tondra.taubin_svd(xs, ys) == pytest.approx([3.0, 4.0], abs=1e-12)

    def test_evenly_spaced_whole_circle_gives_its_centroid(self):
        n = 36
        xs = [-2.0 + 3.0 * math.cos(2 * math.pi * i / n) for i in range(n)]
        ys = [7.0 + 3.0 * math.sin(2 * math.pi * i / n) for i in range(n)]
        assert tondra.taubin_svd(xs, ys) == pytest.approx([-2.0, 7.0], abs=1e-12)

    def test_three_points_determine_the_circle(self):
        assert tondra.taubin_svd([1.0, -1.0, 0.0], [0.0, 0.0, 1.0]) == pytest.approx([0.0, 0.0], abs=1e-14)

    @pytest.mark.parametrize("seed", range(6))
    def test_noisy_arcs_agree_with_numpy(self, seed):
        rng = random.Random(seed)
        cx, cy, r = rng.uniform(-100, 100), rng.uniform(-100, 100), rng.uniform(0.5, 50)
        xs, ys = arc(cx, cy, r, rng.uniform(0.8, 6.3), rng.randint(5, 400), 0.05 * r, seed=seed)
        expected = numpy_taubin(xs, ys)
        got = tondra.taubin_svd(xs, ys)
        assert math.hypot(got[0] - expected[0], got[1] - expected[1]) <= 1e-9 * r

    def test_accepts_any_sequences_and_returns_a_fresh_list(self):
        xs, ys = arc(0.0, 0.0, 1.0, 2.0, 9)
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
        child = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
            import tondra
            print(tondra.taubin_svd({xs!r}, {ys!r}))
        """).replace("nan", "float('nan')").replace("inf", "float('inf')")],
            capture_output=True, timeout=30)
        assert child.returncode == 0, child.stderr
        assert child.stdout.decode().strip() == "[nan, nan]"

    @pytest.mark.parametrize("xs, ys", [
        ([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 2.0, 3.0]),    # on one line
        ([0.0, 1.0, 0.0, 1.0], [0.0, 1.0, 0.0, 1.0]),    # two distinct points
        ([0.0, 1.0, 1e200, 3.0], [1.0, 0.0, 1.0, 2.0]),  # on one line to working precision
    ])
    def test_data_without_a_unique_circle_still_return_two_floats(self, xs, ys):
        child = subprocess.run([sys.executable, "-c",
                                f"import tondra; r = tondra.taubin_svd({xs!r}, {ys!r}); "
                                "assert len(r) == 2 and all(type(v) is float for v in r)"],
                               capture_output=True, timeout=30)
        assert child.returncode == 0, child.stderr
