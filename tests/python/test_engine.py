"""The kit's engine under load: it lets go of the interpreter's lock, serves several Python
threads at once, stops on Ctrl-C, gives the same bits for any number of workers, and every
entry point refuses a bad option with the same words."""

import concurrent.futures
import math
import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

import tondrakit


def arcs_table(groups, size=20, seed=0):
    rng = np.random.default_rng(seed)
    t = rng.uniform(0.0, 2.0, (groups, size))
    cx, cy = rng.uniform(-9, 9, (2, groups, 1))
    return pd.DataFrame({
        "group": np.repeat(np.arange(groups), size),
        "x": (cx + 2 * np.cos(t) + rng.normal(0, 0.02, t.shape)).ravel(),
        "y": (cy + 2 * np.sin(t) + rng.normal(0, 0.02, t.shape)).ravel(),
    }).sample(frac=1.0, random_state=1)


class TestThreads:
    def test_any_number_of_workers_and_an_executor_give_the_same_bits(self):
        table = arcs_table(3000)
        one = tondrakit.fit_groups(table, workers=1)
        for workers in (2, 3, 16):
            assert tondrakit.fit_groups(table, workers=workers).equals(one)
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            assert tondrakit.fit_groups(table, executor=pool).equals(one)
        part = table[table["group"] < 200]
        robust = tondrakit.fit_groups(part, robust=True, workers=1)
        again = tondrakit.fit_groups(part, robust=True, workers=4)
        assert robust.drop(columns="inliers").equals(again.drop(columns="inliers"))
        assert all(np.array_equal(a, b) for a, b in zip(robust["inliers"], again["inliers"]))

    def test_the_lock_is_let_go_while_the_engine_works(self):
        table = arcs_table(20000)
        ticks = 0
        done = threading.Event()

        def count():
            nonlocal ticks
            while not done.is_set():
                ticks += 1

        counter = threading.Thread(target=count)
        counter.start()
        try:
            start = ticks
            tondrakit.fit_groups(table, method="nelder_mead", workers=1)
            during = ticks - start
        finally:
            done.set()
            counter.join()
        # Held throughout, the counter would get no turn at all until the call returned.
        assert during > 10000

    def test_batches_from_several_python_threads_at_once(self):
        tables = [arcs_table(2000, seed=s) for s in range(4)]
        alone = [tondrakit.fit_groups(t, workers=1) for t in tables]
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            together = list(pool.map(lambda t: tondrakit.fit_groups(t, workers=2), tables))
        assert all(a.equals(b) for a, b in zip(alone, together))

    def test_ctrl_c_stops_a_long_batch_at_once(self):
        table = arcs_table(50000)
        main = threading.get_ident()
        sent = []

        def interrupt():
            sent.append(time.perf_counter())
            signal.pthread_kill(main, signal.SIGINT)

        timer = threading.Timer(0.5, interrupt)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            tondrakit.fit_groups(table, method="nelder_mead", workers=2)
        stopped = time.perf_counter()
        timer.join()
        assert sent and stopped - sent[0] < 0.5  # about 0.02 s, the poll, on a quiet machine


def threads_of_this_process():
    return len(os.listdir("/proc/self/task"))


def interrupted_after(seconds, call):
    """Sends SIGINT to this thread after `seconds`; the time the call took to raise
    KeyboardInterrupt (it fails if the call returns)."""
    main = threading.get_ident()
    timer = threading.Timer(seconds, lambda: signal.pthread_kill(main, signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
        timer.join()
    return time.perf_counter() - start


class TestCtrlCInsideOneFit:
    # Each call would run for 15 to 30 s; the signal comes after 0.3 s, and the call must
    # end well before it would have finished.
    def test_a_long_robust_fit(self):
        rng = np.random.default_rng(3)
        t = rng.uniform(0.0, 6.3, 2000)
        xs, ys = np.cos(t) + rng.normal(0, 0.01, 2000), np.sin(t) + rng.normal(0, 0.01, 2000)
        before = tondrakit.fit_robust(xs, ys, threshold=1e-9, max_trials=2000)
        threads = threads_of_this_process()
        assert interrupted_after(0.3, lambda: tondrakit.fit_robust(
            xs, ys, threshold=1e-9, max_trials=5_000_000)) < 5.0
        assert threads_of_this_process() == threads
        after = tondrakit.fit_robust(xs, ys, threshold=1e-9, max_trials=2000)
        assert after.circle == before.circle and np.array_equal(after.inliers, before.inliers)

    def test_a_long_nelder_mead_fit(self):
        rng = np.random.default_rng(4)
        t = rng.uniform(0.0, 6.3, 10**6)
        xs, ys = np.cos(t), np.sin(t) + rng.normal(0, 0.01, 10**6)
        small = (xs[:2000], ys[:2000])
        before = tondrakit.fit(*small, method="nelder_mead")
        assert interrupted_after(0.3, lambda: tondrakit.fit(xs, ys, method="nelder_mead")) < 5.0
        assert tondrakit.fit(*small, method="nelder_mead") == before

    # About 7 s for the whole profile here (far more under a sanitizer); both the single call and
    # the groups on two threads
    # (where a helper may be the one left on a long set) must stop long before that.
    @staticmethod
    def lobed_profile(n=3_000_000):
        rng = np.random.default_rng(5)
        t = rng.uniform(0.0, 2 * np.pi, n)
        r = 1 + 0.01 * np.cos(3 * t) + rng.normal(0, 1e-3, n)
        return r * np.cos(t), r * np.sin(t)

    def test_a_long_roundness(self):
        xs, ys = self.lobed_profile()
        assert interrupted_after(0.3, lambda: tondrakit.roundness(xs, ys, reference="inscribed")) < 5.0
        small = tondrakit.roundness(xs[:1000], ys[:1000], reference="minimum_zone")
        assert tondrakit.roundness(xs[:1000], ys[:1000], reference="minimum_zone") == small

    def test_long_roundness_groups_on_two_threads(self):
        xs, ys = self.lobed_profile()
        table = pd.DataFrame({"x": xs, "y": ys, "group": np.arange(len(xs)) % 2})
        threads = threads_of_this_process()
        assert interrupted_after(0.3, lambda: tondrakit.fit_groups(
            table, roundness="inscribed", workers=2)) < 5.0
        assert threads_of_this_process() == threads


BAD_OPTIONS = [
    ({"method": "ransac"}, ValueError, "unknown method 'ransac': expected one of"),
    ({"method": ["lsq"]}, ValueError, r"unknown method \['lsq'\]"),
    ({"threshold": -1.0}, ValueError, "threshold must be a positive finite number, got -1.0"),
    ({"threshold": math.nan}, ValueError, "threshold must be a positive finite number, got nan"),
    ({"threshold": True}, TypeError, "threshold must be a number or None, not bool"),
    ({"threshold": 1j}, TypeError, "threshold must be a number or None, not complex"),
]


class TestOptions:
    @pytest.mark.parametrize(("options", "error", "message"), BAD_OPTIONS)
    def test_every_entry_point_refuses_a_bad_option_alike(self, options, error, message):
        table = arcs_table(2)
        xs, ys = table["x"].to_numpy(), table["y"].to_numpy()
        robust_only = "threshold" in options
        calls = [lambda: tondrakit.fit_robust(xs, ys, **options),
                 lambda: tondrakit.fit_groups(table, robust=True, **options)]
        if not robust_only:
            calls.append(lambda: tondrakit.fit(xs, ys, **options))
        for call in calls:
            with pytest.raises(error, match=message):
                call()

    def test_workers_must_be_a_positive_int(self):
        table = arcs_table(2)
        with pytest.raises(ValueError, match="workers must be at least 1, got 0"):
            tondrakit.fit_groups(table, workers=0)
        with pytest.raises(TypeError, match="workers must be an int, not float"):
            tondrakit.fit_groups(table, workers=2.0)

    def test_complex_coordinates_are_refused_everywhere(self):
        xs = np.array([0, 1, 0, -1], dtype=object)
        xs[1] = 1 + 0j
        ys = [1.0, 0.0, -1.0, 0.0]
        with pytest.raises(TypeError, match="is not a number"):
            tondrakit.fit(xs, ys)
        with pytest.raises(TypeError, match="is not a number"):
            tondrakit.fit_groups({"x": xs, "y": ys, "group": 0})


@pytest.mark.skipif(not hasattr(memoryview, "__buffer__"), reason="Python buffers need 3.12")
def test_a_fit_started_inside_a_conversion_leaves_the_outer_one_alone():
    xs = [36.0, 36.0, 19.0, 18.0, 33.0, 26.0]
    ys = [14.0, 10.0, 28.0, 31.0, 18.0, 26.0]
    inner = []

    class Points:
        def __buffer__(self, flags):
            inner.append(tondrakit.fit([0.0, 1.0, 0.0, -1.0], [1.0, 0.0, -1.0, 0.0]))
            return memoryview(np.array(ys))

    assert tondrakit.fit(xs, Points()) == tondrakit.fit(xs, ys)
    assert inner[0].r == pytest.approx(1.0)


def test_arrays_that_start_at_any_byte_are_read_as_any_other():
    # Such arrays come out of pickle's out-of-band frames (Dask's, say); the engine reads
    # doubles in place, so the kit hands it aligned copies.
    t = np.linspace(0.0, 3.0, 20)

    def unaligned(values):
        out = np.ndarray(values.shape, dtype=np.float64, buffer=bytearray(8 * values.size + 3), offset=3)
        out[:] = values
        assert not out.flags.aligned
        return out

    xs, ys = unaligned(3 + np.cos(t)), unaligned(np.sin(t))
    expected = tondrakit.fit(np.array(xs), np.array(ys))
    assert tondrakit.fit(xs, ys) == expected
    assert tondrakit.fit_robust(xs, ys).circle == tondrakit.fit_robust(np.array(xs), np.array(ys)).circle
    assert expected.residuals(xs, ys).tobytes() == expected.residuals(np.array(xs), np.array(ys)).tobytes()
    rows = tondrakit.fit_groups(pd.DataFrame({"x": xs, "y": ys, "group": 0}, copy=False))
    assert rows["cx"][0] == expected.cx
