"""Circles for every group of a Dask DataFrame: :func:`fit_groups`, lazily, on any cluster.

Needs the extra ``tondra[dask]`` (``dask[distributed]`` and ``pyarrow``).

Why the kit and not the native module in a task: a failure inside the native fits is raised as
``PanicException``, a ``BaseException``. A task that lets one escape is reported by the worker, but
the client's ``.compute()`` or ``future.result()`` never returns: the exception breaks out of the
client's event loop instead of reaching the caller. Every task here raises ordinary exceptions
only (a group that gives no circle is a :class:`~tondrakit.FitError`, or a NaN row).
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any, Final, cast

import pandas as pd

import numpy as np

from ._columns import check_columns
from ._groups import empty_result, fit_frame
from ._inliers import mask_text
from ._options import Method, OnError, Options, check_options, check_workers
from ._roundness import add_empty_columns

try:
    import dask.dataframe as dd
except ImportError as e:  # pragma: no cover - exercised only without the extra
    raise ImportError(
        "tondrakit.dask needs Dask: install the extra with  pip install 'tondra[dask]'"
    ) from e

if TYPE_CHECKING:
    from dask.dataframe import DataFrame

__all__ = ["fit_groups"]


def _meta_of(frame: Any) -> pd.DataFrame:
    """The empty pandas frame that stands for a Dask frame's partitions."""
    meta: pd.DataFrame = frame._meta
    return meta


# Each row's place in the frame, (partition, row) as one integer, carried through a shuffle: the
# shuffle brings a group's rows together in no particular order, and the fit of a group depends
# on the order of its points in its last bits.
_PLACE: Final = "__tondrakit_place__"
_ROWS_PER_PARTITION: Final = 1 << 40
# Arrow's text, missing values as <NA>: what Dask makes of every column of text it reads.
TEXT: Final = pd.StringDtype("pyarrow")


def _tag_places(part: pd.DataFrame, partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    number = int(partition_info["number"]) if partition_info else 0
    places = np.arange(len(part), dtype=np.int64) + number * _ROWS_PER_PARTITION
    return part.assign(**{_PLACE: places})


def _arrow_columns(result: pd.DataFrame) -> pd.DataFrame:
    """The result with its columns of Python objects as text, a type Dask can describe exactly
    without data (its empty stand-in for an object column is a bare object, which no Parquet
    writer takes): `error` as is, each of `inliers` as one character per point ('1': an
    inlier), as the command writes it to CSV. (A column of Arrow lists would be written, but
    pandas and Dask cannot read one back.)"""
    changed: dict[str, pd.Series] = {}
    if "error" in result.columns:
        changed["error"] = result["error"].astype(TEXT)
    if "inliers" in result.columns:
        masks = [mask_text(m) for m in result["inliers"].tolist()]
        changed["inliers"] = pd.Series(masks, index=result.index, dtype=TEXT)
    if "support" in result.columns:
        # The support points' positions in the group, separated by spaces.
        texts = [None if s is None else " ".join(map(str, s)) for s in result["support"].tolist()]
        changed["support"] = pd.Series(texts, index=result.index, dtype=TEXT)
    return result.assign(**changed) if changed else result


def _fit_partition(
    part: pd.DataFrame, x: Hashable, y: Hashable, by: Hashable, options: Options, on_error: OnError,
    by_index: bool, workers: int,
) -> pd.DataFrame:
    """One partition's groups, whole ones only, fitted by the pandas function."""
    if by_index:
        # The key from the index and the coordinates as they are, without copying the partition.
        # The rows keep their labels (the keys), by which a message names a row: a position in
        # the partition would mean nothing to the caller.
        columns = {x: part[x].array, y: part[y].array, by: part.index.array}
        if options.weights is not None:
            columns[options.weights] = part[options.weights].array
        part = pd.DataFrame(columns, index=part.index.rename(None), copy=False)
    if _PLACE in part.columns:
        part = part.sort_values(_PLACE, kind="stable")
    return _arrow_columns(
        fit_frame(part, x, y, by, options, on_error, workers=workers)
    )


def fit_groups(
    ddf: DataFrame,
    *,
    x: Hashable = "x",
    y: Hashable = "y",
    by: Hashable = "group",
    method: Method = "geometric",
    robust: bool = False,
    threshold: float | None = None,
    on_error: OnError = "raise",
    workers: int = 1,
    weights: Hashable | None = None,
    radius: float | None = None,
    radius_bounds: tuple[float | None, float | None] | None = None,
    roundness: str | None = None,
) -> DataFrame:
    """Fits one circle to each group of a Dask DataFrame, lazily.

    The same as :func:`tondrakit.fit_groups` (same options, same columns, the same values bit
    for bit on the rows in the frame's order), one partition at a time. A group's rows must all be in one partition: a frame
    indexed by `by` with known divisions (as ``set_index(by)`` leaves it) already has them so,
    and its result keeps those divisions, sorted by key; any other frame is first shuffled on
    `by`, and then each result partition is sorted by key but the partitions are not in key
    order (``.compute().sort_index()`` gives the pandas function's order). The shuffle keeps
    each group's rows in the frame's order, which decides a fit's last bits; ``set_index``
    does not, so a frame indexed by it gives the fits of its rows as ``set_index`` left them.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame
        One row per point, with the columns `x`, `y` and `by` (or `by` as its index).
    x, y, by, method, robust, threshold, on_error, weights, radius, radius_bounds, roundness
        As for :func:`tondrakit.fit_groups` (``support`` as text: the positions separated by
        spaces).
    workers : int
        Threads of the engine in each task: one, since the cluster runs tasks side by side
        already (give more for a cluster of few tasks with cores to spare).

    Returns
    -------
    dask.dataframe.DataFrame
        One row per group, indexed by the key, with the columns of the pandas function; but
        ``error`` and ``inliers`` as Arrow's text, so that it writes to Parquet and reads back as
        it stands: ``error`` <NA> for a fitted group, each of ``inliers`` a string of 0 and 1,
        one character per row of the group (1: an inlier; ``inlier_rows`` and ``plot`` take
        it). Nothing runs until
        it is computed; then a group
        that gives no circle raises :class:`~tondrakit.FitError` naming its key (``on_error=
        "raise"``) or gives a NaN row with its message (``"nan"``).

    Examples
    --------
    >>> import dask.dataframe as dd
    >>> import pandas as pd
    >>> import tondrakit.dask
    >>> table = pd.DataFrame({
    ...     "group": [1] * 4 + [2] * 4,
    ...     "x": [1.0, 0.0, -1.0, 0.0, 12.0, 10.0, 8.0, 10.0],
    ...     "y": [0.0, 1.0, 0.0, -1.0, 5.0, 7.0, 5.0, 3.0],
    ... })
    >>> lazy = tondrakit.dask.fit_groups(dd.from_pandas(table, npartitions=2), method="taubin")
    >>> lazy.compute(scheduler="sync")[["cx", "cy", "r"]].sort_index().round(6)
             cx   cy    r
    group
    1       0.0  0.0  1.0
    2      10.0  5.0  2.0
    """
    options, checked_on_error = check_options(
        method, robust, threshold, on_error, weights, radius, radius_bounds, roundness=roundness
    )
    # Dask's own types are only partly declared: its frame is handled as an untyped object.
    frame: Any = ddf
    if not isinstance(cast("object", ddf), dd.DataFrame):
        raise TypeError(f"ddf must be a dask.dataframe.DataFrame, not {type(frame).__name__}")
    columns: list[Hashable] = list(frame.columns)
    # Dask's shuffle and column assignment take a tuple for several columns: such names, and
    # the levels of a MultiIndex, cannot be told from a selection.
    if isinstance(frame.columns, pd.MultiIndex) or any(isinstance(c, tuple) for c in columns):
        raise ValueError("a Dask frame's column names must not be tuples: rename them first")
    by_index = frame.index.name == by and by not in columns
    roles = [(x, "x"), (y, "y")] if by_index else [(x, "x"), (y, "y"), (by, "by")]
    if options.weights is not None:
        roles.append((options.weights, "weights"))
    check_columns(columns, roles)
    key_dtype: object = frame.index.dtype if by_index else frame.dtypes[by]
    keys = pd.Index([], dtype=cast("Any", key_dtype), name=by)
    empty = empty_result(keys, options.robust is not None, checked_on_error)
    if options.roundness is not None:
        add_empty_columns(empty)
    meta = _arrow_columns(empty)
    if not (by_index and frame.known_divisions):
        if by_index:
            frame = frame.reset_index()
            by_index = False
        tagged = _meta_of(frame).assign(**{_PLACE: np.empty(0, dtype=np.int64)})
        frame = frame.map_partitions(_tag_places, meta=tagged).shuffle(on=by)
    lazy: DataFrame = frame.map_partitions(
        _fit_partition, x, y, by, options, checked_on_error, by_index, check_workers(workers),
        meta=meta,
        enforce_metadata=False,
    )
    return lazy
