"""A table's points in group order: the columns read as numbers, the keys sorted, and each
group's rows moved together in table order, into arrays of the kit's own."""

from __future__ import annotations

import warnings
from collections.abc import Hashable
from dataclasses import dataclass
from typing import Any, Final, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _engine
from ._columns import column, coordinates, row_name

__all__ = ["Grouped", "group"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
IntArray: TypeAlias = "npt.NDArray[np.int64]"

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
