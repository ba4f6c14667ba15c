"""tondrakit.fit_groups: one circle per group of a table of points.

The table is grouped with pandas (keys sorted, each group's rows in table order), its points
gathered group after group into arrays of the kit's own, and every group fitted by the engine,
which lets go of the interpreter's lock and works on several threads. Each group's result is
the one ``fit`` (or ``fit_robust``) gives on that group's points, bit for bit.
"""

from __future__ import annotations

from collections.abc import Hashable
from concurrent.futures import Executor

import pandas as pd

from ._assembly import add_roundness, assemble, empty_result
from ._columns import frame_of
from ._grouping import group
from ._options import Method, OnError, Options, check_executor, check_flag, check_options
from ._scheduling import run, threads

__all__ = ["empty_result", "fit_frame", "fit_groups"]


def fit_frame(
    frame: pd.DataFrame, x: Hashable, y: Hashable, by: Hashable, options: Options,
    on_error: OnError, executor: Executor | None = None, progress: bool = False,
    workers: int | None = None,
) -> pd.DataFrame:
    """fit_groups() on a DataFrame with checked options: what the function, Dask's tasks and the
    command share."""
    grouped = group(frame, x, y, by, threads(workers, executor), options.weights)
    if len(grouped.keys) == 0:
        empty = empty_result(grouped.keys, options.robust is not None, on_error)
        if options.roundness is not None:
            from ._roundness import add_empty_columns

            add_empty_columns(empty)
        return empty
    columns = run(grouped, options, threads(workers, executor), executor, progress)
    table = assemble(grouped, columns, options, on_error)
    if options.roundness is not None:
        add_roundness(table, grouped, options.roundness, on_error, threads(workers, None))
    return table


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
        method, robust, threshold, on_error, weights, radius, radius_bounds, workers=workers,
        roundness=roundness,
    )
    checked_executor = check_executor(executor)
    checked_progress = check_flag("progress", progress)
    return fit_frame(
        frame_of(data), x, y, by, options, checked_on_error, checked_executor, checked_progress,
        workers,
    )
