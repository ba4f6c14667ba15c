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
from kit_cases import contaminated_arc
from tondrakit._circle import circle_stats, shape_problems
import tondrakit._groups as groups
from tondrakit._groups import _maybe_flat, _stats

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
        result = tondrakit.fit_groups(table, by="hole", robust=True, threshold=0.2)
        assert list(result.index) == ["a", "b", "c"]
        for key, part in table.groupby("hole"):
            robust = tondrakit.fit_robust(part["x"].to_numpy(), part["y"].to_numpy(), threshold=0.2)
            assert same_bits(result.loc[key, FLOATS], row_of(robust.circle))
            assert result.loc[key, "n"] == robust.circle.n
            np.testing.assert_array_equal(result.loc[key, "inliers"], robust.inliers)


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

    def test_the_garbage_collector_is_left_as_it_was(self):
        import gc

        table = circle_table(np.random.default_rng(18), [8] * 20)
        tondrakit.fit_groups(table)
        assert gc.isenabled()
        gc.disable()
        try:
            tondrakit.fit_groups(table)
            assert not gc.isenabled()
        finally:
            gc.enable()

    def test_bad_options_name_the_allowed_values(self):
        table = circle_table(np.random.default_rng(10), [5])
        with pytest.raises(ValueError, match="unknown method 'lbfgs'"):
            tondrakit.fit_groups(table, method="lbfgs")
        with pytest.raises(ValueError, match="unknown on_error 'skip': expected one of 'raise', 'nan'"):
            tondrakit.fit_groups(table, on_error="skip")
        with pytest.raises(ValueError, match="threshold applies to robust fits only"):
            tondrakit.fit_groups(table, threshold=0.1)
        with pytest.raises(ValueError, match="threshold must be positive"):
            tondrakit.fit_groups(table, robust=True, threshold=0.0)


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

    def test_the_first_failing_key_wins_though_groups_run_in_order_of_size(self, monkeypatch):
        monkeypatch.setattr(groups, "_SERIAL_CHUNK_POINTS", 64)  # many chunks
        rng = np.random.default_rng(17)
        keys = [f"k{k:02}" for k in range(1, 40)]
        table = circle_table(rng, list(rng.integers(5, 25, len(keys))), keys=keys)
        line = np.linspace(0.0, 1.0, 30)
        flat = pd.DataFrame({"group": "a", "x": line, "y": 2 * line})  # first key, largest group
        short = pd.DataFrame({"group": "z", "x": [0.0, 1.0], "y": [1.0, 0.0]})  # fitted first
        table = pd.concat([short, table, flat], ignore_index=True)
        for executor in (None, concurrent.futures.ThreadPoolExecutor(2)):
            with pytest.raises(tondrakit.FitError, match="^group 'a': the points are collinear"):
                tondrakit.fit_groups(table, executor=executor)
            if executor is not None:
                executor.shutdown()

    def test_nan_rows_carry_fits_message_and_leave_the_others_alone(self):
        table = failing_table()
        result = tondrakit.fit_groups(table, on_error="nan")
        expected = expected_rows(table)
        for key, outcome in expected.items():
            row = result.loc[key]
            if isinstance(outcome, Exception):
                assert row["error"] == str(outcome), key
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


class TestUnalignedData:
    def test_coordinates_not_aligned_in_memory_are_read_all_the_same(self):
        # As a message's bytes can hold them after deserialisation, at any offset.
        table = circle_table(np.random.default_rng(16), [20] * 30).sort_values("group", kind="stable")
        grouped = groups.group(table, "x", "y", "group")
        chunk_x, chunk_y = grouped.points(0, len(grouped.keys))
        raw = bytearray(8 * len(table) + 3)
        offset = memoryview(raw)[3:]
        xs = np.frombuffer(offset, dtype=np.float64)
        xs[:] = chunk_x
        assert not xs.flags["ALIGNED"]
        options = groups.Options("lsq", False, None)
        aligned = groups.fit_chunk(chunk_x, chunk_y, grouped.sizes, options)
        moved = groups.fit_chunk(xs, chunk_y, grouped.sizes, options)
        assert aligned.values.tobytes() == moved.values.tobytes() and not moved.failures


class PanicException(BaseException):
    """Stands in for the native module's panic, which valid points do not provoke."""


class TestNativePanic:
    def test_a_panic_in_one_group_is_fits_error_for_that_group_only(self, monkeypatch):
        import tondrakit._circle as circle

        table = circle_table(np.random.default_rng(15), [20] * 12)
        expected = tondrakit.fit_groups(table, on_error="nan")
        victim = table[table["group"] == 5]["x"].to_numpy()

        def panicking(fit):
            def call(xs, ys, *args):
                if np.array_equal(np.asarray(xs, dtype=float), victim):
                    raise PanicException("capacity overflow")
                return fit(xs, ys, *args)
            return call

        monkeypatch.setitem(groups._NATIVE_CALLS, "lsq", panicking(groups._NATIVE_CALLS["lsq"]))
        name, native = circle._NATIVE["lsq"]
        monkeypatch.setitem(circle._NATIVE, "lsq", (name, panicking(native)))
        result = tondrakit.fit_groups(table, on_error="nan")
        assert result.loc[5, "error"] == "the native fit fit_lsq failed: capacity overflow"
        assert result.loc[5, FLOATS].isna().all()
        pd.testing.assert_frame_equal(result.drop(index=5), expected.drop(index=5))
        with pytest.raises(tondrakit.FitError, match="^group 5: the native fit fit_lsq failed") as caught:
            tondrakit.fit_groups(table)
        assert type(caught.value.__cause__.__cause__) is PanicException


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

    def test_the_shared_block_is_gone_after_every_run_and_optional(self, monkeypatch):
        # Points reach a process pool through shared memory; nothing may be left behind (also
        # after a failure), and a system without room for it must still get the result.
        def blocks():
            return {name for name in os.listdir("/dev/shm") if name.startswith("psm_")}

        table = pd.concat([failing_table(), circle_table(np.random.default_rng(15), [25] * 300,
                                                          keys=[f"z{k:03}" for k in range(300)])])
        serial = tondrakit.fit_groups(table, on_error="nan")
        before = blocks()
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            with pytest.raises(tondrakit.FitError, match="^group 'b'"):
                tondrakit.fit_groups(table, executor=pool)
            assert blocks() == before
            reserved = []

            def no_room(fd, offset, length):
                reserved.append(length)
                raise OSError(errno.ENOSPC, "No space left on device")

            monkeypatch.setattr(os, "posix_fallocate", no_room)
            pooled = tondrakit.fit_groups(table, on_error="nan", executor=pool)
        assert reserved == [16 * len(table)] and blocks() == before
        pd.testing.assert_frame_equal(pooled, serial)

    def test_every_layout_of_chunk_reaches_the_pool_unchanged(self):
        # Rows already grouped with one size (a transposed copy), grouped with sizes that differ,
        # and shuffled: each is written into the shared block its own way.
        rng = np.random.default_rng(18)
        same = circle_table(rng, [20] * 700).sort_values("group", kind="stable")
        mixed = circle_table(rng, list(rng.integers(3, 40, 500)))
        tables = [same, mixed.sort_values("group", kind="stable"), mixed]
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            for table in tables:
                pd.testing.assert_frame_equal(tondrakit.fit_groups(table, executor=pool), tondrakit.fit_groups(table))

    def test_threads_and_a_progress_bar_change_nothing(self, capsys):
        table = circle_table(np.random.default_rng(13), [15] * 300)
        serial = tondrakit.fit_groups(table)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            threaded = tondrakit.fit_groups(table, executor=pool, progress=True)
        pd.testing.assert_frame_equal(threaded, serial)
        assert "300/300" in capsys.readouterr().err


class TestBatchedStatistics:
    """The batched statistics give, set by set, the bits of the kit's own (which fit uses)."""

    def sets(self):
        rng = np.random.default_rng(14)
        for n in (3, 4, 5, 20, 33):
            xs = rng.normal(size=(40, n)) * rng.uniform(1e-3, 1e3, (40, 1)) + rng.uniform(-1e4, 1e4, (40, 1))
            ys = rng.normal(size=(40, n)) * rng.uniform(1e-3, 1e3, (40, 1))
            xs[0] = xs[0, 0]  # coincident x: a vertical line
            ys[1] = 2.0 * xs[1] + 1.0  # rounded onto a line
            xs[2], ys[2] = 1.5, -0.25  # all coincident
            yield xs, ys

    def test_statistics_equal_the_kits_set_by_set(self):
        for xs, ys in self.sets():
            cx, cy = xs.mean(axis=1), ys.mean(axis=1)
            cx[3], cy[3] = xs[3, 0], ys[3, 0]  # a point exactly at the centre
            r, rms, se_cx, se_cy, se_r = _stats(np.ascontiguousarray(xs.T), np.ascontiguousarray(ys.T), cx, cy)
            for g in range(xs.shape[0]):
                r1, rms1, cov1, _ = circle_stats(xs[g:g + 1], ys[g:g + 1], cx[g:g + 1], cy[g:g + 1])
                with np.errstate(invalid="ignore"):
                    expected = [r1[0], rms1[0], *np.sqrt(np.diag(cov1[0]))]
                assert same_bits([r[g], rms[g], se_cx[g], se_cy[g], se_r[g]], expected), (xs.shape, g)

    def test_only_sets_the_shape_check_might_reject_are_sent_to_it(self):
        for xs, ys in self.sets():
            maybe = _maybe_flat(np.ascontiguousarray(xs.T), np.ascontiguousarray(ys.T))
            codes = np.array([shape_problems(xs[g:g + 1], ys[g:g + 1])[0] for g in range(xs.shape[0])])
            assert not np.any(codes[~maybe]), xs.shape
            assert maybe[:3].all() and not maybe[4:].any()

    def test_sets_passed_by_three_points_pass_the_shape_check(self):
        # Lines with noise across them from far below to far above the check's few ulps, far
        # from the origin or not, at every scale the three-point test takes on.
        rng = np.random.default_rng(17)
        passed = plain = 0
        for n in (3, 4, 5, 20, 33):
            for scale in (1e-150, 1e-6, 1.0, 1e6, 1e150):
                t = rng.uniform(-1.0, 1.0, (300, n))
                angle = rng.uniform(0.0, np.pi, (300, 1))
                level = rng.uniform(-19.0, -3.0, 300)
                across = rng.normal(size=(300, n)) * 10.0 ** level[:, None]
                shift = rng.uniform(-1e4, 1e4, (300, 2)) * (rng.uniform(size=(300, 1)) < 0.5)
                xs = scale * (shift[:, :1] + t * np.cos(angle) - across * np.sin(angle))
                ys = scale * (shift[:, 1:] + t * np.sin(angle) + across * np.cos(angle))
                round_ = groups._surely_round(np.ascontiguousarray(xs.T), np.ascontiguousarray(ys.T))
                codes = shape_problems(xs, ys)
                assert not np.any(codes[round_]), (n, scale)
                if abs(math.log10(scale)) < 100:  # extreme scales are left to the full test
                    passed += int(round_[level > -5.0].sum())
                    plain += int((level > -5.0).sum())
        assert passed > 0.95 * plain  # and it does pass sets that are plainly not lines
