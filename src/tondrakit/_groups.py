"""tondrakit.fit_groups: one circle per group of a table of points.

The table is grouped with pandas (keys sorted, each group's rows in table order), its points
gathered group after group into arrays of the kit's own, and every group fitted by the engine,
which lets go of the interpreter's lock and works on several threads. Each group's result is
the one ``fit`` (or ``fit_robust``) gives on that group's points, bit for bit.
"""

from __future__ import annotations

import sys
import warnings
from collections.abc import Hashable
from concurrent.futures import Executor, Future
from dataclasses import dataclass
from typing import Any, Final, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _batch, _engine
from ._batch import Columns
from ._columns import column, coordinates, frame_of, row_name
from ._errors import FitError
from ._options import (
    Method, OnError, Options, check_executor, check_flag, check_options, check_weights, check_workers,
)
from ._status import NOT_FINITE, TOO_FEW, fit_error, input_error

__all__ = ["fit_groups"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
IntArray: TypeAlias = "npt.NDArray[np.int64]"

# The result's numeric columns, in order; the robust ones, `inliers` and `error` follow when
# asked for.
COLUMNS: Final[tuple[str, ...]] = (
    "cx", "cy", "r", "rms", "n", "stderr_cx", "stderr_cy", "stderr_r",
)
# A robust fit's threshold, the samples it drew and the group's number of points (n counts the
# inliers).
ROBUST_COLUMNS: Final[tuple[str, ...]] = ("threshold", "trials", "points")
# Points per task given to an executor: far more to fit than to send.
_TASK_POINTS: Final = 1 << 16
# Points per step of the progress bar.
_PROGRESS_POINTS: Final = 1 << 16
# Integer keys spanning at most this many values per row are their own codes (no hashing).
_DENSE_SPAN_PER_ROW: Final = 4


@dataclass(frozen=True, slots=True)
class Grouped:
    """A table's points in group order: group g is x[offsets[g]:offsets[g + 1]] (and y), its
    points in table order. x and y are the kit's own copies."""

    keys: pd.Index
    offsets: IntArray
    x: FloatArray
    y: FloatArray
    w: FloatArray | None = None  # the weights, in the same order
    # The table and its columns (x, y, by), which name a bad point's row in messages.
    source: tuple[pd.DataFrame, Hashable, Hashable, Hashable] | None = None

    @property
    def sizes(self) -> IntArray:
        return np.diff(self.offsets)

    def group_points(self, g: int) -> tuple[FloatArray, FloatArray]:
        """The points of group g (in key order), in table order."""
        a, b = int(self.offsets[g]), int(self.offsets[g + 1])
        return self.x[a:b], self.y[a:b]


def _weights(frame: pd.DataFrame, name: Hashable) -> FloatArray:
    """The weight column as float64, each weight finite and not negative (the row named)."""
    w = coordinates(frame, name, "weights")
    for bad, rule in ((~np.isfinite(w), "be finite"), (w < 0.0, "not be negative")):
        rows = np.flatnonzero(bad)
        if rows.size:
            i = int(rows[0])
            raise ValueError(
                f"column {name!r} (weights), {row_name(frame, i)}: {float(w[i])!r}:"
                f" weights must {rule}"
            )
    return np.require(w, np.float64, ["C", "A"])


def _sorted_numbers(values: npt.NDArray[Any]) -> bool:
    """Whether the keys are plain numbers (no NaN) that never decrease."""
    kind = values.dtype.kind
    if values.shape[0] == 0 or kind not in "iuf":
        return False
    with np.errstate(invalid="ignore"):
        return bool(np.all(values[1:] >= values[:-1])) and not (kind == "f" and np.isnan(values[0]))


def _dense_codes(values: npt.NDArray[Any]) -> tuple[npt.NDArray[np.int64], int] | None:
    """Integer keys as their own codes, less the smallest, and that smallest; None unless they
    span at most _DENSE_SPAN_PER_ROW values per row (so the empty codes cost little)."""
    if values.dtype.kind not in "iu" or values.shape[0] == 0:
        return None
    low, high = int(values.min()), int(values.max())
    if high - low + 1 > _DENSE_SPAN_PER_ROW * values.shape[0] + 1024 or high >= 1 << 63:
        return None
    return np.subtract(values, low, dtype=np.int64, casting="unsafe"), low


def group(
    frame: pd.DataFrame, x: Hashable, y: Hashable, by: Hashable, workers: int = 1,
    weights: Hashable | None = None,
) -> Grouped:
    """The table's points in group order, keys sorted, each group's rows in table order (moved
    on two threads when `workers` allows), with their weights from the column `weights`."""
    xs = coordinates(frame, x, "x")
    ys = coordinates(frame, y, "y")
    ws = None if weights is None else _weights(frame, weights)
    keys_column = column(frame, by, "by")
    values = keys_column.to_numpy()
    if _sorted_numbers(values):
        # Keys already in order (a partition of a frame indexed by them, say): the groups are
        # the runs of equal keys, and the rows are in group order as they stand.
        starts = np.flatnonzero(values[1:] != values[:-1]) + 1
        offsets = np.concatenate(([0], starts, [values.shape[0]])).astype(np.int64)
        keys = pd.Index(values[offsets[:-1]], name=by)
        return Grouped(
            keys, offsets, np.array(xs, dtype=np.float64), np.array(ys, dtype=np.float64),
            None if ws is None else ws.copy(), (frame, x, y, by),
        )
    dense = _dense_codes(values)
    uniques: Any = None
    if dense is not None:
        # Integers of a narrow range are their own codes, less the smallest; codes no row has
        # are groups of no points, dropped once the rows are in place.
        codes = dense[0]
        counts = np.bincount(codes).astype(np.int64)
    else:
        try:
            # Keys that are sequences make pandas warn while it sorts them; sorted they are.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                codes, uniques = pd.factorize(keys_column, sort=True)
        except TypeError as e:
            raise TypeError(f"the keys in column {by!r} cannot be sorted: {e}") from None
        missing = np.flatnonzero(codes < 0)
        if missing.size:
            raise ValueError(
                f"column {by!r} (by) has no key in {row_name(frame, int(missing[0]))}:"
                " every point needs a group"
            )
        counts = np.bincount(codes, minlength=len(uniques)).astype(np.int64)
    offsets = np.zeros(counts.shape[0] + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    # One stable counting sort in the engine: fresh arrays of the kit's own, whatever the order
    # of the rows.
    gx, gy = _engine.gather(
        np.require(xs, np.float64, ["C", "A"]), np.require(ys, np.float64, ["C", "A"]),
        np.require(codes, np.int64, ["C", "A"]), offsets, workers,
    )
    gw = None
    if ws is not None:
        gw = np.frombuffer(_engine.gather(ws, ws, np.require(codes, np.int64, ["C", "A"]),
                                          offsets, 1)[0])
    if dense is None:
        keys = pd.Index(uniques, name=by)
    else:
        used = counts > 0
        keys = pd.Index((np.flatnonzero(used) + dense[1]).astype(values.dtype), name=by)
        offsets = np.concatenate(([0], offsets[1:][used]))
    return Grouped(keys, offsets, np.frombuffer(gx), np.frombuffer(gy), gw, (frame, x, y, by))


def fit_chunk(
    x: FloatArray, y: FloatArray, offsets: IntArray, w: FloatArray | None, options: Options,
    workers: int,
) -> Columns:
    """The fits of the groups of one chunk (offsets from 0): an executor's task."""
    return _batch.run(x, y, offsets, options.method, workers, options.robust, w, options.bounds)


def _chunks(offsets: IntArray, target_points: int) -> list[tuple[int, int]]:
    """Runs of whole groups (first, stop) of about target_points points each."""
    total = int(offsets[-1])
    marks = np.arange(target_points, total, target_points)
    cuts = np.unique(np.searchsorted(offsets, marks, side="left"))
    ngroups = offsets.shape[0] - 1
    inner = [int(c) for c in cuts.tolist() if 0 < c < ngroups]
    bounds = [0, *inner, ngroups]
    return list(zip(bounds[:-1], bounds[1:]))


def _chunk_args(
    grouped: Grouped, first: int, stop: int
) -> tuple[FloatArray, FloatArray, IntArray, FloatArray | None]:
    a, b = int(grouped.offsets[first]), int(grouped.offsets[stop])
    w = None if grouped.w is None else grouped.w[a:b]
    return grouped.x[a:b], grouped.y[a:b], grouped.offsets[first : stop + 1] - a, w


def _join(parts: list[Columns]) -> Columns:
    if len(parts) == 1:
        return parts[0]
    messages: dict[int, str] = {}
    start = 0
    for part in parts:
        messages.update({start + g: text for g, text in part.messages.items()})
        start += part.status.shape[0]
    names: tuple[str, ...] = tuple(Columns.__dataclass_fields__)[:-1]
    arrays: list[Any] = [np.concatenate([getattr(p, name) for p in parts]) for name in names]
    joined: Columns = cast(Any, Columns)(*arrays, messages)
    return joined


# What a task may raise as it is: the kit's own errors. Anything else the executor raises (a
# cancelled future, a lost worker) is its failure, not the data's, and comes as a ValueError
# chained to it.
_TASK_ERRORS: Final = (ValueError, TypeError, MemoryError)


def _submit(executor: Executor, *args: Any) -> Future[Columns]:
    try:
        future: object = executor.submit(fit_chunk, *args)
    except _TASK_ERRORS:
        raise
    except Exception as e:
        raise ValueError(f"the executor refused a task: {e!r}") from e
    if not (callable(getattr(future, "result", None)) and callable(getattr(future, "cancel", None))):
        raise TypeError(f"the executor's submit returned {type(future).__name__}, not a future")
    return cast("Future[Columns]", future)  # pyright: ignore


def _result(future: Future[Columns]) -> Columns:
    try:
        columns = future.result()
    except _TASK_ERRORS:
        raise
    except Exception as e:
        raise ValueError(f"the executor's task failed: {e!r}") from e
    if not isinstance(columns, Columns):  # pyright: ignore
        raise TypeError(f"the executor's task returned {type(columns).__name__}, not the fits")
    return columns


def _run(
    grouped: Grouped, options: Options, workers: int, executor: Executor | None, progress: bool
) -> Columns:
    target = _TASK_POINTS if executor is not None else _PROGRESS_POINTS if progress else 0
    chunks = _chunks(grouped.offsets, target) if target else [(0, len(grouped.keys))]
    bar: Any = None
    if progress:
        from tqdm.auto import tqdm

        bar = tqdm(total=len(grouped.keys), unit="group", file=sys.stderr, dynamic_ncols=True)
    try:
        if executor is None:
            parts: list[Columns] = []
            for first, stop in chunks:
                parts.append(fit_chunk(*_chunk_args(grouped, first, stop), options, workers))
                if bar is not None:
                    bar.update(stop - first)
            return _join(parts)
        futures: list[Future[Columns]] = []
        try:
            for first, stop in chunks:
                futures.append(_submit(executor, *_chunk_args(grouped, first, stop), options, workers))
            results: list[Columns] = []
            for (first, stop), future in zip(chunks, futures):
                results.append(_result(future))
                if bar is not None:
                    bar.update(stop - first)
            return _join(results)
        except BaseException:
            for future in futures:
                future.cancel()
            raise
    finally:
        if bar is not None:
            bar.close()


def _key_text(key: object) -> str:
    item = getattr(key, "item", None)
    if callable(item) and not isinstance(key, (str, bytes)):
        try:
            key = item()
        except (TypeError, ValueError):
            pass
    return repr(key)


def _not_finite(
    grouped: Grouped, g: int, source: tuple[pd.DataFrame, Hashable, Hashable, Hashable]
) -> BaseException | None:
    """The error for a group with a missing or infinite coordinate, naming its row by label;
    None when its coordinates are all finite."""
    frame, x, y, by = source
    for name, role, values in zip((x, y), ("x", "y"), grouped.group_points(g)):
        bad = np.flatnonzero(~np.isfinite(values))
        if bad.size:
            # The group's rows in table order, as its points are.
            rows = np.flatnonzero((frame[by] == grouped.keys[g]).to_numpy())
            value = float(values[bad[0]])
            return ValueError(f"column {name!r} ({role}), {row_name(frame, int(rows[bad[0]]))} is"
                              f" {value!r}: coordinates must be finite")
    return None


def _group_error(grouped: Grouped, columns: Columns, g: int, options: Options) -> BaseException:
    """The error fit (or fit_robust) raises on group g's points."""
    status = int(columns.status[g])
    named = None if status != NOT_FINITE or grouped.source is None else _not_finite(grouped, g, grouped.source)
    if named is not None:
        return named
    if status in (TOO_FEW, NOT_FINITE):
        error = input_error(*grouped.group_points(g))
        if grouped.w is not None and str(error) == "the points failed the input checks":
            # Points enough, but too few of positive weight.
            a, b = int(grouped.offsets[g]), int(grouped.offsets[g + 1])
            try:
                check_weights(grouped.w[a:b], b - a)
            except ValueError as e:
                return e
        return error
    return fit_error(status, columns.failure(g, options.method, options.bounds is not None))


def _assemble(grouped: Grouped, columns: Columns, options: Options, on_error: OnError) -> pd.DataFrame:
    """The result table, rows in key order."""
    failed = np.flatnonzero(columns.status != 0)
    if on_error == "raise" and failed.size:
        g = int(failed[0])
        error = _group_error(grouped, columns, g, options)
        raise FitError(f"group {_key_text(grouped.keys[g])}: {error}") from error
    se = columns.stderr()
    data: dict[str, Any] = {
        "cx": columns.cx, "cy": columns.cy, "r": columns.r, "rms": columns.rms, "n": columns.n,
        "stderr_cx": se[0], "stderr_cy": se[1], "stderr_r": se[2],
    }
    data = {name: np.array(values) for name, values in data.items()}
    if failed.size:
        for name in COLUMNS:
            if name != "n":
                data[name][failed] = np.nan
        data["n"][failed] = grouped.sizes[failed]
    keys = grouped.keys
    if options.robust is not None:
        data["threshold"] = np.array(columns.threshold)
        data["trials"] = np.array(columns.trials)
        data["points"] = grouped.sizes.astype(np.int64)
        masks: list[object] = [None] * len(keys)
        ok = columns.status == 0
        for g in np.flatnonzero(ok).tolist():
            masks[g] = columns.inliers[grouped.offsets[g] : grouped.offsets[g + 1]].copy()
        data["inliers"] = pd.Series(masks, dtype=object, index=keys)
    if on_error == "nan":
        errors: list[str | None] = [None] * len(keys)
        for g in failed.tolist():
            errors[g] = str(_group_error(grouped, columns, g, options))
        # object, not text: a fitted group's entry stays None rather than becoming NaN
        data["error"] = pd.Series(errors, dtype=object, index=keys)
    return pd.DataFrame(data, index=keys)


def empty_result(keys: pd.Index, robust: bool, on_error: OnError) -> pd.DataFrame:
    """The result's columns and dtypes with no rows (also the layout a lazy frame promises)."""
    data: dict[str, object] = {}
    for name in COLUMNS:
        data[name] = np.empty(0, dtype=np.int64 if name == "n" else np.float64)
    if robust:
        for name in ROBUST_COLUMNS:
            data[name] = np.empty(0, dtype=np.float64 if name == "threshold" else np.int64)
        data["inliers"] = np.empty(0, dtype=object)
    if on_error == "nan":
        data["error"] = np.empty(0, dtype=object)
    return pd.DataFrame(data, index=keys[:0])


def _threads(workers: int | None, executor: Executor | None) -> int:
    """The threads to work on: by default the CPUs this process may use, one beside an
    executor (its tasks have threads of their own)."""
    return check_workers(1 if workers is None and executor is not None else workers)


def fit_grouped(
    grouped: Grouped,
    options: Options,
    on_error: OnError,
    executor: Executor | None = None,
    progress: bool = False,
    workers: int | None = None,
    roundness: str | None = None,
) -> pd.DataFrame:
    """fit_groups() on a table already grouped."""
    if len(grouped.keys) == 0:
        empty = empty_result(grouped.keys, options.robust is not None, on_error)
        if roundness is not None:
            from ._roundness import add_empty_columns

            add_empty_columns(empty)
        return empty
    columns = _run(grouped, options, _threads(workers, executor), executor, progress)
    table = _assemble(grouped, columns, options, on_error)
    if roundness is not None:
        _add_roundness(table, grouped, roundness, on_error, _threads(workers, None))
    return table


def _add_roundness(
    table: pd.DataFrame, grouped: Grouped, reference: str, on_error: OnError, workers: int
) -> None:
    """The chosen reference circle's columns beside each group's fit (see fit_groups)."""
    from ._roundness import roundness_columns

    cx = table["cx"].to_numpy(dtype=np.float64)
    cy = table["cy"].to_numpy(dtype=np.float64)
    columns, errors = roundness_columns(
        grouped.x, grouped.y, grouped.offsets, reference, cx, cy, workers
    )
    fitted = ~np.isnan(cx)
    for g, error in enumerate(errors):
        if error is not None and fitted[g] and on_error == "raise":
            raise FitError(f"group {_key_text(grouped.keys[g])}: {error}")
    for name, values in columns.items():
        if name == "support":
            supports = [v if fitted[g] else None for g, v in enumerate(cast("list[object]", values))]
            table[name] = pd.Series(supports, dtype=object, index=table.index)
        else:
            column = cast("npt.NDArray[np.float64]", values)
            column[~fitted] = np.nan
            table[name] = column
    if on_error == "nan":
        merged = [
            e if e is not None else (r if f else None)
            for e, r, f in zip(table["error"], errors, fitted)
        ]
        table["error"] = pd.Series(merged, dtype=object, index=table.index)


def fit_frame(
    frame: pd.DataFrame,
    x: Hashable,
    y: Hashable,
    by: Hashable,
    options: Options,
    on_error: OnError,
    executor: Executor | None = None,
    progress: bool = False,
    workers: int | None = None,
    roundness: str | None = None,
) -> pd.DataFrame:
    """fit_groups() on a DataFrame with checked options."""
    grouped = group(frame, x, y, by, _threads(workers, executor), options.weights)
    return fit_grouped(grouped, options, on_error, executor, progress, workers, roundness)


def fit_groups(
    data: object,
    *,
    x: Hashable = "x",
    y: Hashable = "y",
    by: Hashable = "group",
    method: Method = "geometric",
    robust: bool = False,
    threshold: float | None = None,
    on_error: OnError = "raise",
    workers: int | None = None,
    executor: Executor | None = None,
    progress: bool = False,
    weights: Hashable | None = None,
    radius: float | None = None,
    radius_bounds: tuple[float | None, float | None] | None = None,
    roundness: str | None = None,
) -> pd.DataFrame:
    """Fits one circle to each group of points of a table.

    Parameters
    ----------
    data : pandas.DataFrame or anything ``pandas.DataFrame(data)`` accepts
        One row per point, with the columns named by `x`, `y` and `by`.
    x, y : column names, default "x" and "y"
        The coordinates: numbers (text is refused, even when it spells one).
    by : column name, default "group"
        The group of each point. Every row needs one; keys must be sortable.
    method : {"geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid"}
        As for :func:`tondrakit.fit`.
    robust : bool
        Fit each group with :func:`tondrakit.fit_robust` (its defaults, and `threshold`).
    threshold : float, optional
        The robust fits' inlier threshold; estimated per group when left out.
    on_error : {"raise", "nan"}
        "raise": the first group (in key order) whose points give no circle raises
        :class:`FitError` naming its key, chained to the error ``fit`` would have raised.
        "nan": that group's row is NaN and the column ``error`` holds the message.
    workers : int, optional
        Threads to fit on: by default as many as the CPUs this process may use (one inside an
        `executor`'s tasks). The interpreter's lock is let go while they work, and Ctrl-C stops
        them within about 0.1 s. The results are the same, bit for bit, for any number.
    executor : concurrent.futures.Executor, optional
        Fit on it instead, in chunks of whole groups (a ``ProcessPoolExecutor``, say, or a
        cluster's executor); the results are the same, bit for bit, as without one.
    progress : bool
        Show a progress bar (tqdm) on standard error.
    weights : column name, optional
        The column of each point's weight (finite, not negative), as `weights` of
        :func:`tondrakit.fit`; a group needs 3 points of positive weight.
    radius, radius_bounds : optional
        A known radius, or bounds on it, for every group: as for :func:`tondrakit.fit`.
    roundness : {"minimum_zone", "least_squares", "circumscribed", "inscribed"}, optional
        Also each group's reference circle of roundness, as :func:`tondrakit.roundness` gives
        it, on the engine's threads: the columns ``ref_cx, ref_cy, inner, outer, ront`` and
        ``support`` (the support points' positions among the group's rows). Least squares
        takes the group's fitted centre. A group whose points hold no such circle raises
        :class:`FitError`, or with ``on_error="nan"`` has NaN there and its message in ``error``.

    Returns
    -------
    pandas.DataFrame
        One row per group, indexed by the group key (sorted, named after `by`), with columns
        ``cx, cy, r, rms, n, stderr_cx, stderr_cy, stderr_r``; when `robust`, then
        ``threshold`` (the one each group used), ``trials`` (the samples drawn), ``points``
        (the group's rows) and ``inliers`` (each group's boolean mask over its rows, in table
        order); and ``error`` (the message, or None) when ``on_error="nan"``. Each row holds exactly what ``tondrakit.fit`` (or
        ``fit_robust``) returns on that group's points in table order; ``n`` is the number of
        points the fit used (the inliers of a robust fit; all of a failed group's points).

    Raises
    ------
    ValueError
        A missing column, a row without a group key, a bad option, an executor's task that
        failed (chained to the executor's own error).
    TypeError
        A coordinate that is not a number, keys that cannot be sorted, an executor without
        ``submit`` or whose ``submit`` returns no future.
    FitError
        With ``on_error="raise"``: a group's points give no circle (the message starts with
        ``group <key>:``).

    Examples
    --------
    >>> import pandas as pd
    >>> import tondrakit
    >>> table = pd.DataFrame({
    ...     "hole": ["a"] * 4 + ["b"] * 4,
    ...     "x": [1.0, 0.0, -1.0, 0.0, 12.0, 10.0, 8.0, 10.0],
    ...     "y": [0.0, 1.0, 0.0, -1.0, 5.0, 7.0, 5.0, 3.0],
    ... })
    >>> circles = tondrakit.fit_groups(table, by="hole", method="taubin")
    >>> circles[["cx", "cy", "r", "n"]].round(6)
           cx   cy    r  n
    hole
    a     0.0  0.0  1.0  4
    b    10.0  5.0  2.0  4
    >>> tondrakit.fit_groups(table.iloc[:6], by="hole", on_error="nan")["error"].tolist()
    [None, 'need at least 3 points, got 2']
    """
    options, checked_on_error = check_options(
        method, robust, threshold, on_error, weights, radius, radius_bounds
    )
    if workers is not None:
        check_workers(workers)
    checked_executor = check_executor(executor)
    checked_progress = check_flag("progress", progress)
    if roundness is not None:
        from ._roundness import check_reference

        roundness = check_reference(roundness)
    frame = frame_of(data)
    return fit_frame(
        frame, x, y, by, options, checked_on_error, checked_executor, checked_progress, workers,
        roundness,
    )
