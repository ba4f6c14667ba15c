"""Hostile input to the kit: its engine refuses what would take it out of bounds, data at the ends
of the double range give finite circles, and every entry point raises only ValueError, TypeError
(or FitError, a ValueError) for options, coordinates, executors, keys and column names."""

import concurrent.futures
import math
import warnings

import numpy as np
import pandas as pd
import pytest

import tondrakit
from tondrakit import _engine
from tondrakit._cli import main

ARC = np.array([0.0, 0.7, 1.4, 2.1, 2.8])
ONES = np.ones(5)


class TestEngineArguments:
    @pytest.mark.parametrize(("offsets", "message"), [
        ([10**9, 10**9 + 5], "offsets must start at 0"),
        ([0, 10, 20], "offsets must end at the number of points"),
        ([-1, 4], "offsets must start at 0"),
        ([0, 4, 2, 5], "offsets must not decrease"),
        ([], "offsets must have at least one entry"),
    ])
    def test_offsets_that_do_not_split_the_rows(self, offsets, message):
        offsets = np.array(offsets, dtype=np.int64)
        with pytest.raises(ValueError, match=f"gather: {message}"):
            _engine.gather(ONES, ONES, np.zeros(5, np.int64), offsets, 1)
        with pytest.raises(ValueError, match=f"fit_batch: {message}"):
            _engine.fit_batch(ONES, ONES, offsets, 0, 1, None)

    def test_codes_lengths_and_kinds(self):
        with pytest.raises(ValueError, match="a code lies outside the groups"):
            _engine.gather(ONES, ONES, np.full(5, 1, np.int64), np.array([0, 5]), 1)
        with pytest.raises(ValueError, match="x, y and codes differ in length"):
            _engine.gather(ONES, ONES, np.zeros(4, np.int64), np.array([0, 5]), 1)
        with pytest.raises(TypeError, match="gather: offsets must be .* int64"):
            _engine.gather(ONES, ONES, np.zeros(5, np.int64), np.array([0, 5], np.int32), 1)
        with pytest.raises(ValueError, match="residuals: x and y differ in length"):
            _engine.residuals(ONES, ONES[:4], 0.0, 0.0, 1.0)
        with pytest.raises(TypeError, match="residuals: r must be a float, not str"):
            _engine.residuals(ONES, ONES, 0.0, 0.0, "1")

    def test_options(self):
        three, ends = np.zeros(3), np.array([0, 3])
        with pytest.raises(TypeError, match="fit_batch: robust must be None or"):
            _engine.fit_batch(three, three, ends, 5, 1, "abc")
        for settings, what in [((0.0, 0.9, 10, 0), "threshold"), ((None, 1.0, 10, 0), "confidence"),
                               ((None, 0.9, 0, 0), "max_trials"), ((None, 0.9, 10, -1), "seed")]:
            with pytest.raises(ValueError, match=f"fit_batch: .*{what}"):
                _engine.fit_batch(three, three, ends, 5, 1, settings)
        for workers in (0, 2**63, 2**70):
            with pytest.raises(ValueError, match="workers must lie in"):
                _engine.fit_batch(three, three, ends, 5, workers, None)
        with pytest.raises(ValueError, match="fit_one: method must lie in"):
            _engine.fit_one([0.0, 1.0, 0.0], [1.0, 0.0, -1.0], 6)
        with pytest.raises(TypeError, match="method must be an int, not bool"):
            _engine.fit_one([0.0, 1.0, 0.0], [1.0, 0.0, -1.0], True)


class TestExtremeScales:
    @pytest.mark.parametrize("method", ["hyper", "taubin", "geometric", "lsq"])
    def test_a_circle_near_the_top_of_the_range_scales_with_it(self, method):
        # Scaling points by a power of two scales every result by it: compared with the same
        # points at a scale of one.
        xs, ys = np.cos(ARC), np.sin(ARC) + np.array([0, 1e-3, -1e-3, 2e-3, 0])
        k = 996  # 2^996 is about 6.7e299
        big = tondrakit.fit(np.ldexp(xs, k), np.ldexp(ys, k), method=method)
        unit = tondrakit.fit(xs, ys, method=method)
        for a, b in [(big.r, unit.r), (big.rms, unit.rms), (big.stderr[2], unit.stderr[2])]:
            assert math.ldexp(b, k) == pytest.approx(a, rel=1e-12)

    def test_weighted_hyper_near_the_top_of_the_range(self):
        xs, ys = np.cos(ARC), np.sin(ARC) + np.array([0, 1e-3, -1e-3, 2e-3, 0])
        weights = [1.0, 2.0, 1.0, 2.0, 1.0]
        big = tondrakit.fit(np.ldexp(xs, 996), np.ldexp(ys, 996), method="hyper", weights=weights)
        unit = tondrakit.fit(xs, ys, method="hyper", weights=weights)
        assert math.ldexp(unit.rms, 996) == pytest.approx(big.rms, rel=1e-12)

    def test_hyper_rows_of_a_table_are_finite(self):
        t = pd.DataFrame({"group": 0, "x": 1e300 * np.cos(ARC), "y": 1e300 * np.sin(ARC)})
        row = tondrakit.fit_groups(t, method="hyper").iloc[0]
        assert np.isfinite(row[["cx", "cy", "r", "rms"]].to_numpy(dtype=float)).all()

    def test_stderr_beyond_the_doubles_is_infinite(self):
        c = tondrakit.fit([1e308] * 21 + [0.0], [1e154] * 20 + [1.0, 1e154], method="lsq")
        assert all(s == math.inf or math.isnan(s) or s > 0 for s in c.stderr)
        assert math.inf in c.stderr

    def test_a_robust_threshold_on_subnormal_points_is_positive(self):
        tiny = 5e-324 * 1000
        result = tondrakit.fit_robust(tiny * np.array([0, 1, 0, -1, 0.0]), tiny * np.array([1, 0, -1, 0, 0.0]))
        assert result.threshold > 0.0


def arcs(groups=2):
    return pd.DataFrame({"group": np.repeat(np.arange(groups), 5),
                         "x": np.tile(np.cos(ARC), groups), "y": np.tile(np.sin(ARC), groups)})


class Refusing:
    def __init__(self, submit):
        self.submit = submit


def failed(error):
    future = concurrent.futures.Future()
    if isinstance(error, concurrent.futures.CancelledError):
        future.cancel()
    else:
        future.set_exception(error)
    return future


class TestOnlyOrdinaryErrors:
    @pytest.mark.parametrize(("options", "message"), [
        ({"threshold": 10**400}, "threshold must be a finite number"),
        ({"max_trials": 10**30}, "max_trials must be at most 2\\*\\*63 - 1"),
        ({"seed": 2**70}, "seed must be None or an int in"),
    ])
    def test_robust_options_beyond_range(self, options, message):
        with pytest.raises(ValueError, match=message):
            tondrakit.fit_robust(np.cos(ARC), np.sin(ARC), **options)

    def test_workers_beyond_range(self):
        with pytest.raises(ValueError, match="workers must be at most 65536"):
            tondrakit.fit_groups(arcs(), workers=2**63)

    def test_executors_that_are_none_or_fail(self):
        table = arcs()
        with pytest.raises(TypeError, match="executor must be None or have a submit method"):
            tondrakit.fit_groups(table, executor=object())
        with pytest.raises(TypeError, match="submit returned NoneType, not a future"):
            tondrakit.fit_groups(table, executor=Refusing(lambda *a: None))
        for error in (concurrent.futures.CancelledError(), IndexError("worker lost")):
            with pytest.raises(ValueError, match="the executor's task failed") as caught:
                tondrakit.fit_groups(table, executor=Refusing(lambda *a, e=error: failed(e)))
            assert caught.value.__cause__ is not None

    def test_inlier_rows_of_a_table_with_repeated_keys(self):
        table = arcs()
        fits = tondrakit.fit_groups(table, robust=True)
        with pytest.raises(ValueError, match="has a key more than once"):
            tondrakit.inlier_rows(pd.concat([fits, fits]), table)

    def test_dask_column_names_it_cannot_select(self):
        import dask.dataframe as dd

        import tondrakit.dask

        table = arcs()
        for columns in ([("x", 1), ("y", 1), ("group", 1)],
                        pd.MultiIndex.from_tuples([("x", 1), ("y", 1), ("group", 1)])):
            frame = table.set_axis(columns, axis=1)
            with pytest.raises(ValueError, match="column names must not be tuples"):
                tondrakit.dask.fit_groups(dd.from_pandas(frame, npartitions=1), x=("x", 1))
        frame = table.set_axis(["x", "x", "group"], axis=1)
        with pytest.raises(ValueError, match="the data has 2 columns named 'x'"):
            tondrakit.dask.fit_groups(dd.from_pandas(frame, npartitions=1))

    def test_no_warning_escapes_the_input_checks(self):
        huge = np.array([1.0, 2.0, 3.0], dtype=np.longdouble)
        huge[0] = np.longdouble(10) ** 400 if np.finfo(np.longdouble).max > 1e400 else np.inf
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(ValueError, match="coordinates must be finite"):
                tondrakit.fit(huge, [0.0, 1.0, 0.0])
            with pytest.raises(ValueError, match="coordinates must be finite"):
                tondrakit.fit([np.inf, -np.inf, 0.0], [0.0, 1.0, 0.0])
            with pytest.raises(ValueError, match="coordinates must be finite"):
                tondrakit.fit_groups({"x": huge, "y": [0.0, 1.0, 0.0], "group": 0})

    def test_the_command_answers_a_field_beyond_the_csv_limit_in_one_line(self, tmp_path, capsys):
        path = tmp_path / "in.csv"
        path.write_text("group,x,y\na,1,0\na," + "9" * 140_000 + ",1\na,-1,0\n")
        status = main([str(path)])
        err = capsys.readouterr().err
        assert status == 2 and err.count("\n") == 1 and "line" in err
