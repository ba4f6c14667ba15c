"""tondrakit.fit_groups: each row equals fit (or fit_robust) on its group's points to the bit, the
grouping, both error modes, executors, and the batched statistics against the kit's own."""

import concurrent.futures
import errno
import math
import multiprocessing
import os

import numpy as np
import pandas as pd
import pytest

import tondrakit
from helpers import contaminated_arc
import tondrakit._groups as groups

FLOATS = ["cx", "cy", "r", "rms", "stderr_cx", "stderr_cy", "stderr_r"]


def circle_table(rng, sizes, keys=None, spans=None):
    """One group per size, points on arcs of random circles with 1% noise, rows shuffled."""
    keys = list(range(len(sizes))) if keys is None else keys
    parts = []
    for k, (key, n) in enumerate(zip(keys, sizes)):
        span = 2 * math.pi if spans is None else math.radians(spans[k])
        t = rng.uniform(0.0, span, n)
        cx, cy, r = rng.uniform(-50, 50), rng.uniform(-50, 50), rng.uniform(0.5, 20)
        parts.append(pd.DataFrame({
            "group": [key] * n,
            "x": cx + r * np.cos(t) + rng.normal(0, 0.01 * r, n),
            "y": cy + r * np.sin(t) + rng.normal(0, 0.01 * r, n),
        }))
    table = pd.concat(parts, ignore_index=True)
    return table.iloc[rng.permutation(len(table))].reset_index(drop=True)


def row_of(circle):
    return [circle.cx, circle.cy, circle.r, circle.rms, *circle.stderr]


def same_bits(got, expected):
    """Float lists equal bit for bit (NaN equal to NaN, -0.0 unequal to 0.0)."""
    return [v.hex() if not math.isnan(v) else "nan" for v in map(float, got)] == [
        v.hex() if not math.isnan(v) else "nan" for v in map(float, expected)]


def expected_rows(table, by="group", **options):
    """fit on each group's rows in table order: {key: (row or the exception)}."""
    out = {}
    for key, part in table.groupby(by, sort=True):
        try:
            out[key] = tondrakit.fit(part["x"].to_numpy(), part["y"].to_numpy(), **options)
        except ValueError as e:
            out[key] = e
    return out


class TestRowsEqualFit:
    @pytest.mark.parametrize("method", ["lsq", "nelder_mead", "taubin", "centroid"])
    def test_every_row_is_fit_on_its_group_bit_for_bit(self, method):
        rng = np.random.default_rng(5)
        sizes = [3, 4, 20, 20, 20, 7, 57, 4, 20, 11] * 3
        table = circle_table(rng, sizes, spans=rng.uniform(40, 360, len(sizes)))
        result = tondrakit.fit_groups(table, method=method)
        expected = expected_rows(table, method=method)
        assert list(result.index) == sorted(expected)
        for key, circle in expected.items():
            assert same_bits(result.loc[key, FLOATS], row_of(circle)), key
            assert result.loc[key, "n"] == circle.n
        assert list(result.columns) == ["cx", "cy", "r", "rms", "n", "stderr_cx", "stderr_cy", "stderr_r"]
        assert result.index.name == "group" and result["n"].dtype == np.int64

    def test_a_table_already_in_group_order_gives_the_same_rows(self):
        table = circle_table(np.random.default_rng(6), [20] * 50)
        ordered = table.sort_values("group", kind="stable")
        pd.testing.assert_frame_equal(tondrakit.fit_groups(ordered), tondrakit.fit_groups(table))

    def test_robust_rows_are_fit_robust_on_their_group(self):
        rng = np.random.default_rng(7)
        parts = []
        for key in ["b", "a", "c"]:
            xs, ys, _, _ = contaminated_arc(rng, n=60, outliers=0.25)
            parts.append(pd.DataFrame({"hole": key, "x": xs, "y": ys}))
        table = pd.concat(parts, ignore_index=True).sample(frac=1.0, random_state=1)
        for threshold in (0.2, None):  # given, and estimated for each group
            result = tondrakit.fit_groups(table, by="hole", robust=True, threshold=threshold)
            assert list(result.index) == ["a", "b", "c"]
            for key, part in table.groupby("hole"):
                robust = tondrakit.fit_robust(part["x"].to_numpy(), part["y"].to_numpy(), threshold=threshold)
                assert same_bits(result.loc[key, FLOATS], row_of(robust.circle))
                assert result.loc[key, "n"] == robust.circle.n
                np.testing.assert_array_equal(result.loc[key, "inliers"], robust.inliers)
                assert (result.loc[key, "threshold"], result.loc[key, "trials"], result.loc[key, "points"]) \
                    == (robust.threshold, robust.trials, len(part))


class TestGrouping:
    def test_keys_of_every_kind_are_sorted_into_the_index(self):
        rng = np.random.default_rng(8)
        base = circle_table(rng, [5, 6, 7, 8])
        for keys in ([30, -2, 7, 10**15], ["m", "a", "z", "b"], [2.5, -1.0, 0.0, 9.75]):
            table = base.assign(group=base["group"].map(dict(enumerate(keys))))
            result = tondrakit.fit_groups(table, method="taubin")
            assert list(result.index) == sorted(keys)
            expected = tondrakit.fit_groups(base, method="taubin").set_axis(
                [keys[k] for k in range(4)]).sort_index()
            assert np.array_equal(result[FLOATS].to_numpy(), expected[FLOATS].to_numpy())

    def test_column_names_and_any_table_pandas_accepts(self):
        table = circle_table(np.random.default_rng(9), [6, 6])
        data = {"E": table["x"].tolist(), "N": table["y"].tolist(), "stem": table["group"].tolist()}
        result = tondrakit.fit_groups(data, x="E", y="N", by="stem")
        assert result.index.name == "stem"
        pd.testing.assert_frame_equal(result.rename_axis("group"), tondrakit.fit_groups(table))

    def test_an_empty_table_gives_an_empty_result_with_the_columns(self):
        empty = pd.DataFrame({"group": pd.Series([], dtype=int), "x": [], "y": []})
        result = tondrakit.fit_groups(empty, on_error="nan")
        assert result.empty and list(result.columns)[-1] == "error"

    def test_bad_tables_name_the_problem(self):
        table = pd.DataFrame({"group": [1, 1, None], "x": [0.0, 1.0, 2.0], "y": [1.0, 0.0, 2.0]})
        with pytest.raises(ValueError, match=r"no column 'X' for x in the data; its columns are: 'group', 'x', 'y'"):
            tondrakit.fit_groups(table, x="X")
        with pytest.raises(ValueError, match=r"column 'group' \(by\) has no key in row 2"):
            tondrakit.fit_groups(table)
        text = table.assign(group=1, y=[1.0, "2", 3.0])
        with pytest.raises(TypeError, match=r"column 'y' \(y\), row 1: '2' is not a number"):
            tondrakit.fit_groups(text)
        with pytest.raises(TypeError, match=r"by must name one column, not \['group', 'x'\]"):
            tondrakit.fit_groups(table, by=["group", "x"])

    def test_bad_options_name_the_allowed_values(self):
        table = circle_table(np.random.default_rng(10), [5])
        with pytest.raises(ValueError, match="unknown method 'lbfgs'"):
            tondrakit.fit_groups(table, method="lbfgs")
        with pytest.raises(ValueError, match="unknown on_error 'skip': expected one of 'raise', 'nan'"):
            tondrakit.fit_groups(table, on_error="skip")
        with pytest.raises(ValueError, match="threshold applies to robust fits only"):
            tondrakit.fit_groups(table, threshold=0.1)
        with pytest.raises(ValueError, match="threshold must be a positive finite number"):
            tondrakit.fit_groups(table, robust=True, threshold=0.0)
        with pytest.raises(TypeError, match="executor must be None or have a submit method .*, not str: for threads, pass workers= instead"):
            tondrakit.fit_groups(table, executor="threads")
        with pytest.raises(TypeError, match=r"executor must be None or have a submit method \(.*\), not int$"):
            tondrakit.fit_groups(table, executor=4)
        with pytest.raises(TypeError, match="progress must be True or False, not 'yes'"):
            tondrakit.fit_groups(table, progress="yes")

    def test_what_is_not_a_table_is_refused_as_such(self):
        with pytest.raises(TypeError, match="data must be a pandas DataFrame .*, not NoneType"):
            tondrakit.fit_groups(None)
        dd = pytest.importorskip("dask.dataframe")
        lazy = dd.from_pandas(circle_table(np.random.default_rng(10), [5]), npartitions=1)
        for call in (lambda: tondrakit.fit_groups(lazy), lambda: tondrakit.inlier_rows(pd.DataFrame({"inliers": []}), lazy)):
            with pytest.raises(TypeError, match="data is a Dask DataFrame: fit it with tondrakit.dask.fit_groups"):
                call()

    def test_a_missing_coordinate_is_named_by_its_row_label(self):
        table = circle_table(np.random.default_rng(12), [6, 6], keys=["a", "b"])
        table.index = [f"p{k}" for k in range(12)]
        label = table.index[table["group"] == "b"][3]
        table.loc[label, "y"] = np.nan
        with pytest.raises(tondrakit.FitError, match=rf"^group 'b': column 'y' \(y\), row '{label}' is nan: coordinates must be finite$"):
            tondrakit.fit_groups(table)
        errors = tondrakit.fit_groups(table, on_error="nan")["error"]
        assert errors["b"] == f"column 'y' (y), row '{label}' is nan: coordinates must be finite"


def failing_table():
    """Good groups around one of 2 points, one collinear, one coincident, one with a NaN."""
    rng = np.random.default_rng(11)
    table = circle_table(rng, [12, 12, 12, 12, 12, 12], keys=["a", "c", "e", "g", "i", "k"])
    bad = pd.DataFrame({
        "group": ["b", "b", "d", "d", "d", "d", "f", "f", "f", "h", "h", "h"],
        "x": [0.0, 1.0, 0.0, 1.0, 2.0, 3.0, 5.0, 5.0, 5.0, 1.0, np.nan, 3.0],
        "y": [0.0, 1.0, 1.0, 3.0, 5.0, 7.0, 2.0, 2.0, 2.0, 0.0, 1.0, 0.0],
    })
    return pd.concat([table, bad], ignore_index=True).sample(frac=1.0, random_state=3)


class TestFailingGroups:
    def test_raise_names_the_first_failing_key_and_chains_fits_own_error(self):
        table = failing_table()
        with pytest.raises(tondrakit.FitError) as caught:
            tondrakit.fit_groups(table)
        assert str(caught.value) == "group 'b': need at least 3 points, got 2"
        assert type(caught.value.__cause__) is ValueError
        with pytest.raises(tondrakit.FitError, match="^group 'd': the points are collinear"):
            tondrakit.fit_groups(table[table["group"] != "b"])

    def test_nan_rows_carry_fits_message_and_leave_the_others_alone(self):
        table = failing_table()
        result = tondrakit.fit_groups(table, on_error="nan")
        expected = expected_rows(table)
        for key, outcome in expected.items():
            row = result.loc[key]
            if isinstance(outcome, Exception):
                # fit names the bad point by its place in the group; the table, by its row label
                label = table.index[table["x"].isna()][0]
                wanted = f"column 'x' (x), row {label} is nan: coordinates must be finite" if key == "h" else str(outcome)
                assert row["error"] == wanted, key
                assert all(math.isnan(v) for v in row[FLOATS]), key
            else:
                assert row["error"] is None
                assert same_bits(row[FLOATS], row_of(outcome)), key
        assert {k for k, v in expected.items() if isinstance(v, Exception)} == {"b", "d", "f", "h"}
        assert result.loc["b", "n"] == 2

    def test_failures_are_the_same_whatever_else_is_in_the_table(self):
        table = failing_table()
        alone = table[table["group"].isin(["d", "f"])]
        both = tondrakit.fit_groups(table, on_error="nan").loc[["d", "f"]]
        pd.testing.assert_frame_equal(tondrakit.fit_groups(alone, on_error="nan"), both)


class TestExecutors:
    def test_a_process_pool_gives_the_serial_result_and_errors(self):
        table = pd.concat([failing_table(), circle_table(np.random.default_rng(12), [20] * 400,
                                                          keys=[f"z{k:03}" for k in range(400)])])
        serial = tondrakit.fit_groups(table, on_error="nan")
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            pooled = tondrakit.fit_groups(table, on_error="nan", executor=pool)
            with pytest.raises(tondrakit.FitError, match="^group 'b': need at least 3 points, got 2$"):
                tondrakit.fit_groups(table, executor=pool)
        pd.testing.assert_frame_equal(pooled, serial)

    def test_threads_and_a_progress_bar_change_nothing(self, capsys):
        table = circle_table(np.random.default_rng(13), [15] * 300)
        serial = tondrakit.fit_groups(table)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            threaded = tondrakit.fit_groups(table, executor=pool, progress=True)
        pd.testing.assert_frame_equal(threaded, serial)
        assert "300/300" in capsys.readouterr().err


