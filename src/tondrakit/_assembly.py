"""The table of fits: one row per group from the engine's columns, each failed group's error
in the words fit would have used, and the roundness columns when asked for."""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any, Final, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._batch import Columns
from ._columns import row_name
from ._errors import FitError
from ._grouping import Grouped
from ._options import OnError, Options, check_weights
from ._status import NOT_FINITE, TOO_FEW, fit_error, input_error

__all__ = ["COLUMNS", "ROBUST_COLUMNS", "add_roundness", "assemble", "empty_result"]

# The result's numeric columns, in order; the robust ones, `inliers` and `error` follow when
# asked for.
COLUMNS: Final[tuple[str, ...]] = (
    "cx", "cy", "r", "rms", "n", "stderr_cx", "stderr_cy", "stderr_r",
)
# A robust fit's threshold, the samples it drew and the group's number of points (n counts the
# inliers).
ROBUST_COLUMNS: Final[tuple[str, ...]] = ("threshold", "trials", "points")


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


def assemble(grouped: Grouped, columns: Columns, options: Options, on_error: OnError) -> pd.DataFrame:
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


def add_roundness(
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
