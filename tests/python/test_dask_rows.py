"""tondrakit.dask names a bad row as the pandas function does, by its label in the frame given,
as a plain value (the synchronous scheduler: what is checked is the task's message)."""

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
import tondrakit.dask  # noqa: E402 - after the skip above


def stems():
    rng = np.random.default_rng(8)
    table = pd.DataFrame({"stem": np.repeat(np.arange(12), 6), "x": rng.uniform(0, 1, 72),
                          "y": rng.uniform(0, 1, 72)})
    table.index = table.index + 100  # labels that are not positions in any partition
    return table


def compute(lazy):
    return lazy.compute(scheduler="sync")


class TestRowsInMessages:
    def test_a_shuffled_frame_names_the_row_by_its_label(self):
        table = stems()
        table.loc[130, "x"] = np.inf
        with pytest.raises(tondrakit.FitError, match=r"^group 5: "):
            compute(tondrakit.dask.fit_groups(dd.from_pandas(table, npartitions=3), by="stem"))
        keys = stems().astype({"stem": float})
        keys.loc[107, "stem"] = np.nan
        with pytest.raises(ValueError, match=r"^column 'stem' \(by\) has no key in row 107: every point needs a group$"):
            compute(tondrakit.dask.fit_groups(dd.from_pandas(keys, npartitions=3), by="stem"))

    def test_a_frame_indexed_by_the_key_names_the_row_by_its_key(self):
        table = stems().astype({"x": object})
        table.loc[130, "x"] = "far"
        import dask

        with dask.config.set({"dataframe.convert-string": False}):  # keep the numbers numbers
            indexed = dd.from_pandas(table.set_index("stem"), npartitions=3, sort=True)
        with pytest.raises(TypeError, match=r"^column 'x' \(x\), row 5: 'far' is not a number$"):
            compute(tondrakit.dask.fit_groups(indexed, by="stem"))

    def test_a_frame_indexed_by_the_key_gives_the_pandas_rows(self):
        table = stems()
        got = compute(tondrakit.dask.fit_groups(dd.from_pandas(table.set_index("stem"), npartitions=3), by="stem"))
        pd.testing.assert_frame_equal(got, tondrakit.fit_groups(table, by="stem"))
