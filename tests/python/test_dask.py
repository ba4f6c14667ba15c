"""tondrakit.dask.fit_groups on a real distributed cluster (two worker processes on loopback,
started and closed here): the pandas function's rows, errors that reach the client, and nothing
that hangs (every wait is bounded)."""

import concurrent.futures
import logging

import numpy as np
import pandas as pd
import pytest

import tondrakit
from test_groups import circle_table, failing_table

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
import tondrakit.dask  # noqa: E402 - after the skip above

# Generous: two worker processes start in a few seconds even on a busy machine.
WAIT_SECONDS = 180


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
    ) as cluster, distributed.Client(cluster, timeout=WAIT_SECONDS) as c:
        yield c


def compute(client, lazy):
    return client.compute(lazy).result(timeout=WAIT_SECONDS)


def bounded(call):
    """Runs call() in a thread and waits at most WAIT_SECONDS for it: a hang fails the test."""
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(call).result(timeout=WAIT_SECONDS)


def as_pandas(got):
    """A Dask result with the pandas function's Python objects: messages (None for a fitted
    group) and masks as numpy arrays, not text."""
    changed = {}
    if "error" in got.columns:
        changed["error"] = pd.Series([None if pd.isna(e) else str(e) for e in got["error"]],
                                     index=got.index, dtype=object)
    if "inliers" in got.columns:
        changed["inliers"] = pd.Series([None if pd.isna(m) else np.array([c == "1" for c in m])
                                        for m in got["inliers"]], index=got.index, dtype=object)
    return got.assign(**changed)


def assert_same_fits(got, expected, rows_by_key=False):
    """`rows_by_key`: a frame indexed by the key names a bad row by its key, pandas by its label."""
    got = as_pandas(got)
    if rows_by_key and "error" in got.columns:
        expected = expected.assign(error=expected["error"].str.replace(r", row \S+ is", ", row ? is", regex=True))
        got = got.assign(error=got["error"].str.replace(r", row \S+ is", ", row ? is", regex=True))
    if "inliers" in expected.columns:
        for key in expected.index:
            mask = expected.loc[key, "inliers"]
            if mask is None:
                assert got.loc[key, "inliers"] is None
            else:
                np.testing.assert_array_equal(got.loc[key, "inliers"], mask)
        got, expected = got.drop(columns="inliers"), expected.drop(columns="inliers")
    pd.testing.assert_frame_equal(got, expected)


def table():
    keys = [f"s{k:03}" for k in range(120)]
    return pd.concat([failing_table(), circle_table(np.random.default_rng(20), [20] * 120, keys=keys)],
                     ignore_index=True).sample(frac=1.0, random_state=4)


class TestSameAsPandas:
    def test_a_shuffled_frame_gives_the_pandas_rows(self, client):
        ddf = dd.from_pandas(table(), npartitions=5)
        lazy = tondrakit.dask.fit_groups(ddf, on_error="nan")
        got = compute(client, lazy)
        # The pandas function on the same data as Dask holds it (its text columns are Arrow's).
        expected = tondrakit.fit_groups(compute(client, ddf), on_error="nan")
        assert_same_fits(got.sort_index(), expected)

    def test_a_frame_partitioned_by_the_key_keeps_its_order(self, client):
        data = table().sort_values("group", kind="stable").set_index("group")
        ddf = dd.from_pandas(data, npartitions=4)
        assert ddf.known_divisions
        lazy = tondrakit.dask.fit_groups(ddf, on_error="nan", method="taubin")
        assert lazy.known_divisions
        expected = tondrakit.fit_groups(compute(client, ddf).reset_index(), on_error="nan", method="taubin")
        assert_same_fits(compute(client, lazy), expected, rows_by_key=True)

    def test_robust_fits_and_their_masks(self, client):
        data = circle_table(np.random.default_rng(21), [30] * 6)
        got = compute(client, tondrakit.dask.fit_groups(dd.from_pandas(data, npartitions=3), robust=True))
        expected = tondrakit.fit_groups(data, robust=True)
        assert_same_fits(got.sort_index(), expected)
        # The masks as text put back on the rows as the pandas function's masks are.
        assert tondrakit.inlier_rows(got, data).equals(tondrakit.inlier_rows(expected, data))


class TestParquet:
    @pytest.mark.parametrize("options", [{}, {"robust": True}, {"on_error": "nan"},
                                         {"robust": True, "on_error": "nan"}])
    @pytest.mark.parametrize("by_key", [False, True], ids=["shuffled", "indexed by the key"])
    def test_every_kind_of_result_is_written_and_read_back(self, client, tmp_path, options, by_key):
        pytest.importorskip("pyarrow")
        data = table() if options.get("on_error") == "nan" else circle_table(np.random.default_rng(22), [25] * 9)
        ddf = dd.from_pandas(data, npartitions=3)
        if by_key:
            ddf = ddf.set_index("group")
        lazy = tondrakit.dask.fit_groups(ddf, **options)
        # The promised layout is the layout of every partition, exactly.
        pd.testing.assert_series_equal(lazy.dtypes, compute(client, lazy).dtypes)
        lazy.to_parquet(tmp_path / "circles")
        back = pd.read_parquet(tmp_path / "circles").sort_index()
        frame = compute(client, ddf.reset_index() if by_key else ddf)
        expected = tondrakit.fit_groups(frame, **options)
        back.index = back.index.astype(expected.index.dtype)  # text keys: pandas' own kind on reading
        assert_same_fits(back, expected, rows_by_key=by_key)
        if options.get("robust"):
            assert (back["points"] == frame.groupby("group").size()).all()


class TestErrors:
    def test_the_fit_error_reaches_compute_with_its_key(self, client):
        lazy = tondrakit.dask.fit_groups(dd.from_pandas(table(), npartitions=5))
        with pytest.raises(tondrakit.FitError, match="^group '[bdfh]': "):
            bounded(lazy.compute)
        # Each partition stops at its own first failure; whichever the client hears of first wins.
        with pytest.raises(tondrakit.FitError, match="^group '[bdfh]': "):
            compute(client, lazy)

    def test_problems_with_the_frame_are_found_before_anything_runs(self):
        ddf = dd.from_pandas(table(), npartitions=2)
        with pytest.raises(ValueError, match="no column 'hole' for by in the data; its columns are: 'group', 'x', 'y'"):
            tondrakit.dask.fit_groups(ddf, by="hole")
        with pytest.raises(ValueError, match="unknown on_error"):
            tondrakit.dask.fit_groups(ddf, on_error="ignore")
        with pytest.raises(TypeError, match="must be a dask.dataframe.DataFrame"):
            tondrakit.dask.fit_groups(table())


class TestWithoutDask:
    def test_importing_it_names_the_extra_to_install(self, monkeypatch):
        import importlib
        import sys

        monkeypatch.setitem(sys.modules, "dask.dataframe", None)  # as if not installed
        monkeypatch.delitem(sys.modules, "tondrakit.dask")
        with pytest.raises(ImportError, match=r"pip install 'tondra\[dask\]'"):
            importlib.import_module("tondrakit.dask")
