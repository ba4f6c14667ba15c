"""tondrakit.inlier_rows: a robust table's masks back on the rows they came from."""

import numpy as np
import pandas as pd
import pytest

import tondrakit


def stray_table(seed=12):
    """Three groups on circles, a quarter of each group's points strays; rows shuffled, with an
    index of labels that are neither positions nor in order."""
    rng = np.random.default_rng(seed)
    parts = []
    for key, n in (("p", 30), ("q", 24), ("r", 40)):
        t = rng.uniform(0, 2 * np.pi, n)
        x, y = 5 * len(parts) + np.cos(t) + rng.normal(0, 0.01, n), np.sin(t) + rng.normal(0, 0.01, n)
        strays = n // 4
        x[:strays], y[:strays] = rng.uniform(-3, 3, strays) + 5 * len(parts), rng.uniform(-3, 3, strays)
        parts.append(pd.DataFrame({"stem": key, "x": x, "y": y}))
    table = pd.concat(parts, ignore_index=True).sample(frac=1.0, random_state=seed, ignore_index=True)
    table.index = [f"row{k}" for k in rng.permutation(len(table))]
    return table


class TestInlierRows:
    def test_each_row_is_what_fit_robust_says_of_it_in_its_group(self):
        table = stray_table()
        flags = tondrakit.inlier_rows(tondrakit.fit_groups(table, by="stem", robust=True), table)
        assert flags.index.equals(table.index) and flags.name == "inlier" and flags.dtype == bool
        for key, rows in table.groupby("stem", sort=False):
            expected = tondrakit.fit_robust(rows["x"].to_numpy(), rows["y"].to_numpy()).inliers
            np.testing.assert_array_equal(flags.loc[rows.index].to_numpy(), expected)
            assert 0 < (~expected).sum()

    def test_a_group_without_a_circle_has_no_inliers(self):
        table = pd.concat([stray_table(), pd.DataFrame({"stem": ["z", "z"], "x": [0.0, 1.0], "y": [0.0, 1.0]},
                                                       index=["a", "b"])])
        result = tondrakit.fit_groups(table, by="stem", robust=True, on_error="nan")
        flags = tondrakit.inlier_rows(result, table, by="stem")
        assert not flags.loc[["a", "b"]].any() and flags.sum() == result["n"].iloc[:3].sum()

    def test_data_that_was_not_fitted_is_refused(self):
        table = stray_table()
        result = tondrakit.fit_groups(table, by="stem", robust=True)
        with pytest.raises(ValueError, match="group 'p' has 31 rows in the data but 30 in its inlier mask"):
            tondrakit.inlier_rows(result, pd.concat([table, table[table["stem"] == "p"].iloc[:1]]))
        with pytest.raises(ValueError, match="has the key 'w', which the table of fits does not have"):
            tondrakit.inlier_rows(result, table.replace({"stem": {"q": "w"}}))
        with pytest.raises(ValueError, match="no column 'group' for by in the data"):
            tondrakit.inlier_rows(result, table, by="group")
        with pytest.raises(ValueError, match=r"comes from fit_groups\(..., robust=True\)"):
            tondrakit.inlier_rows(tondrakit.fit_groups(table, by="stem"), table)
