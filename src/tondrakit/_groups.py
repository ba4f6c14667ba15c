"""tondrakit.fit_groups: one circle per group of a table of points.

The table is grouped once: the group keys are turned into codes (sorted), and a counting sort
gives the rows in group order, each group's rows in table order. Groups are fitted in chunks of
whole groups, each chunk's points gathered into two arrays laid out for the work on them (see
fit_chunk); a chunk is the unit of work for an executor, so the serial path and every executor
run the very same code on the very same arrays, and the results agree to the bit.

Inside a chunk the only per-group work is the native call. Everything that can be decided for
all groups at once is: the checks of the points (too few, not finite, coincident, collinear), and
the radius, rms and covariance, computed by the kit's batched statistics on all groups of one size
together (their rows do not depend on the batch, so each row equals what ``fit`` computes).
"""

from __future__ import annotations

import gc
import importlib
import itertools
import math
import sys
import threading
from collections.abc import Callable, Hashable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass
from typing import Any, Final, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

import tondra

from ._circle import (  # the statistics' own pieces, shared so that the bits are the same
    _FLAT_CANDIDATE,  # pyright: ignore[reportPrivateUsage]
    _HIGH,  # pyright: ignore[reportPrivateUsage]
    _LOW,  # pyright: ignore[reportPrivateUsage]
    SHAPE_MESSAGES,
    Method,
    _ArrayOps,  # pyright: ignore[reportPrivateUsage]
    _covariance,  # pyright: ignore[reportPrivateUsage]
    check_method,
    ldexp,
    native_centre,
    rescaled_stats,
    result_problem,
    shape_problems,
)
from ._errors import FitError
from ._shared import SharedChunk, SharedPoints, read_chunk
from ._validate import points

__all__ = ["fit_groups"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
IntArray: TypeAlias = "npt.NDArray[np.int64]"
OnError: TypeAlias = Literal["raise", "nan"]

_ON_ERROR: Final[dict[object, OnError]] = {"raise": "raise", "nan": "nan"}
ON_ERROR: Final[tuple[str, ...]] = tuple(str(o) for o in _ON_ERROR)

# The result's numeric columns, in order; `inliers` and `error` follow when asked for.
COLUMNS: Final[tuple[str, ...]] = (
    "cx", "cy", "r", "rms", "n", "stderr_cx", "stderr_cy", "stderr_r",
)
_FLOAT_COLUMNS: Final[tuple[str, ...]] = tuple(c for c in COLUMNS if c != "n")

# Points per chunk: enough groups of each size for the batched statistics to pay (tables of many
# sizes have few groups of each in a chunk); for an executor, as many as give each worker several
# tasks (a task of this size costs far more to fit than to send).
_SERIAL_CHUNK_POINTS: Final = 1 << 18
# The statistics run on blocks of about this many points, whose temporaries stay in the cache.
_BLOCK_POINTS: Final = 1 << 16
# Below this many numbers in one row of a batch, its sums are one cumulative sum (see _sums).
_FEW_COLUMNS: Final = 1024
_EXECUTOR_MIN_CHUNK_POINTS: Final = 1 << 13
_EXECUTOR_MAX_CHUNK_POINTS: Final = 1 << 18
# An executor gets at least this many chunks when there are enough groups, so that its workers
# share the load evenly even when one chunk's groups are slower than another's; not many more,
# since every task costs a round trip between the processes.
_EXECUTOR_MIN_CHUNKS: Final = 8

# Integer keys spanning at most this many values per row are their own codes (no hashing); wider
# ranges, and keys of any other kind, go through pandas' factorize.
_DENSE_SPAN_PER_ROW: Final = 4


@dataclass(frozen=True, slots=True)
class Options:
    """What every chunk needs to know besides its points (small, picklable)."""

    method: Method
    robust: bool
    threshold: float | None


@dataclass(slots=True)
class ChunkResult:
    """The fits of one chunk's groups, in key order.

    `values` holds the float columns (one row per column of _FLOAT_COLUMNS), `n` the points each
    fit used (the group's own count when it failed), `failures` the position in the chunk and
    the exception of each failed group, `inliers` the robust fits' inlier masks (None for a
    failed group, or no list at all for plain fits).
    """

    values: FloatArray
    n: IntArray
    failures: list[tuple[int, BaseException]]
    inliers: list[npt.NDArray[np.bool_] | None] | None


@dataclass(frozen=True, slots=True)
class Grouped:
    """A table's points in group order: group g is rows offsets[g]:offsets[g + 1] of the
    coordinates taken in `order` (None: in the order they are).

    Groups are fitted in the order `sequence` (None: key order), by size when sizes differ, so
    that the groups of one size come together in long batches for the statistics.
    """

    keys: pd.Index
    offsets: IntArray
    source_x: FloatArray
    source_y: FloatArray
    order: npt.NDArray[np.intp] | None
    sequence: npt.NDArray[np.intp] | None

    @property
    def sizes(self) -> IntArray:
        return np.diff(self.offsets)

    @property
    def sequence_sizes(self) -> IntArray:
        """The sizes of the groups in the order they are fitted."""
        sizes = self.sizes
        return sizes if self.sequence is None else sizes[self.sequence]

    def group_of(self, position: int) -> int:
        """The group fitted at `position` of the sequence."""
        return position if self.sequence is None else int(self.sequence[position])

    def group_points(self, g: int) -> tuple[FloatArray, FloatArray]:
        """The points of group g (in key order), in table order."""
        a, b = int(self.offsets[g]), int(self.offsets[g + 1])
        if self.order is None:
            return self.source_x[a:b], self.source_y[a:b]
        rows = self.order[a:b]
        return np.take(self.source_x, rows), np.take(self.source_y, rows)

    def points(self, first: int, stop: int) -> tuple[FloatArray, FloatArray]:
        """The points of the groups at positions first..stop-1 of the sequence, as fit_chunk
        takes them: each run of groups of one size as a (size, count) block, column k holding
        the points of the run's k-th group. Taken a chunk at a time, so that an executor's
        workers start on the first while the rest are gathered."""
        sizes = self.sequence_sizes[first:stop]
        if self.sequence is None:
            a, b = int(self.offsets[first]), int(self.offsets[stop])
            if self.order is None:  # one size (see group) and rows in place: a transposed copy
                count = stop - first
                size = (b - a) // count
                out = np.empty(b - a), np.empty(b - a)
                for source, target in zip((self.source_x, self.source_y), out):
                    np.copyto(target.reshape(size, count), source[a:b].reshape(count, size).T)
                return out
            rows = _run_layout(self.order[a:b], sizes)
        else:
            chosen = self.sequence[first:stop]
            ends = np.cumsum(sizes)
            # Row i of the chunk is row i - (its group's start in the chunk) of its group.
            rows = np.repeat(self.offsets[chosen] - (ends - sizes), sizes) + np.arange(int(ends[-1]))
            rows = _run_layout(rows, sizes)
            if self.order is not None:
                rows = self.order[rows]
        # The one gather of each coordinate: reading the rows once in random order costs more
        # than anything else done to them before the fits.
        return np.take(self.source_x, rows), np.take(self.source_y, rows)


def _runs(sizes: IntArray) -> list[tuple[int, int, int]]:
    """Runs of consecutive groups of one size: (first group, stop group, size) of each."""
    if sizes.size == 0:
        return []
    cuts = (np.flatnonzero(sizes[1:] != sizes[:-1]) + 1).tolist()
    firsts = [0, *cuts]
    stops = [*cuts, int(sizes.size)]
    run_sizes = sizes[np.array(firsts, dtype=np.intp)].tolist()
    return [(a, b, size) for a, b, size in zip(firsts, stops, run_sizes)]


def _run_layout(rows: npt.NDArray[np.intp], sizes: IntArray) -> npt.NDArray[np.intp]:
    """Rows given group after group, rearranged run by run into fit_chunk's layout."""
    parts: list[npt.NDArray[np.intp]] = []
    start = 0
    for a, b, size in _runs(sizes):
        stop = start + (b - a) * size
        parts.append(np.ascontiguousarray(rows[start:stop].reshape(b - a, size).T).ravel())
        start = stop
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def _run_blocks(xs: FloatArray, ys: FloatArray, sizes: IntArray) -> Iterator[tuple[int, FloatArray, FloatArray]]:
    """Each run of a chunk in fit_chunk's layout: its first group, and its points as two
    (size, count) arrays (views)."""
    start = 0
    for a, b, size in _runs(sizes):
        stop = start + (b - a) * size
        yield a, xs[start:stop].reshape(size, b - a), ys[start:stop].reshape(size, b - a)
        start = stop


def _nelder_mead(xs: FloatArray, ys: FloatArray) -> list[float]:
    return tondra.fit_lsq(xs, ys, "nelder_mead")


# The native function of each method, called directly in the loop over groups (a panic is then
# handed to fit()'s own wrapper, which says what failed).
_NATIVE_CALLS: Final[dict[str, Callable[[FloatArray, FloatArray], Sequence[float]]]] = {
    "lsq": tondra.fit_lsq,
    "nelder_mead": _nelder_mead,
    "taubin": tondra.taubin_svd,
    "centroid": tondra.fit_geometrical,
}


# --- grouping -------------------------------------------------------------------------------------


def _load_group_sorter() -> Callable[[npt.NDArray[np.intp], int], tuple[npt.NDArray[np.intp], IntArray]]:
    """A stable counting sort of codes 0..ncodes-1: the order and each code's count. pandas' own
    when it has it (linear time, and what its groupby uses), else numpy's stable sort, which gives
    the same order more slowly."""
    try:
        indexer: Any = importlib.import_module("pandas._libs.algos").groupsort_indexer
    except (ImportError, AttributeError):  # pragma: no cover - depends on the pandas release
        indexer = None

    def sort(codes: npt.NDArray[np.intp], ncodes: int) -> tuple[npt.NDArray[np.intp], IntArray]:
        if indexer is not None:
            order, counts = indexer(codes, ncodes)  # counts[0] counts the code -1: none here
            return cast("npt.NDArray[np.intp]", order), np.asarray(counts[1:], dtype=np.int64)
        return np.argsort(codes, kind="stable"), np.bincount(codes, minlength=ncodes).astype(np.int64)

    return sort


_group_sort: Final = _load_group_sorter()


def _describe_row(frame: pd.DataFrame, row: int) -> str:
    return f"row {frame.index[row]!r}"


def _column(frame: pd.DataFrame, name: Hashable, role: str) -> pd.Series:
    try:
        hash(name)
    except TypeError:  # a list of names, say
        raise TypeError(f"{role} must name one column, not {name!r}") from None
    if name not in frame.columns:
        present = ", ".join(repr(c) for c in frame.columns) or "none"
        raise ValueError(f"no column {name!r} for {role} in the data; its columns are: {present}")
    column = frame[name]
    if isinstance(column, pd.DataFrame):
        raise ValueError(f"the data has {column.shape[1]} columns named {name!r}; {role} needs one")
    return column


def _coordinates(frame: pd.DataFrame, name: Hashable, role: str) -> FloatArray:
    """A coordinate column as float64 (missing values as NaN); TypeError naming the first cell
    that is not a number. Text is refused even when it spells a number, as the native fits do."""
    column = _column(frame, name, role)
    dtype = column.dtype
    if dtype.kind in "biuf":
        values: FloatArray = column.to_numpy(dtype=np.float64, na_value=np.nan)
        return values
    items = column.to_numpy(dtype=object)
    out = np.empty(len(items), dtype=np.float64)
    cells: list[object] = items.tolist()
    for i, item in enumerate(cells):
        if item is None or item is pd.NA or item is pd.NaT:
            out[i] = math.nan
            continue
        kind = type(item)
        if isinstance(item, (str, bytes)) or not (
            hasattr(kind, "__float__") or hasattr(kind, "__index__")
        ):
            raise TypeError(
                f"column {name!r} ({role}), {_describe_row(frame, i)}: {item!r} is not a number"
            )
        out[i] = float(cast("SupportsFloat | SupportsIndex", item))
    return out


@dataclass(frozen=True, slots=True)
class _Codes:
    """Each row's key as a code 0..ncodes-1 in key order. Integer keys of a narrow range are
    their own codes, less the smallest (no hashing, no lookup): then some codes may be unused,
    and the keys follow from which are used."""

    codes: npt.NDArray[np.intp]
    ncodes: int
    keys: pd.Index | None  # None: the code plus `low` is the key
    low: int
    dtype: np.dtype[Any]

    def used_keys(self, used: npt.NDArray[np.bool_], name: Hashable) -> pd.Index:
        if self.keys is not None:
            return self.keys.rename(name)
        keys: pd.Index = pd.Index((np.flatnonzero(used) + self.low).astype(self.dtype), name=name)
        return keys


def _factorize(frame: pd.DataFrame, by: Hashable) -> _Codes:
    """Codes of each row's key in sorted key order."""
    column = _column(frame, by, "by")
    values = column.to_numpy()
    dtype = column.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "iu" and len(values):
        low, high = int(values.min()), int(values.max())
        span = high - low + 1
        if span <= _DENSE_SPAN_PER_ROW * len(values) + 1024 and high <= np.iinfo(np.int64).max:
            if low == 0 and values.dtype == np.intp:  # keys from 0 up: the column itself
                codes = cast("npt.NDArray[np.intp]", np.ascontiguousarray(values))
            else:
                codes = np.subtract(values, low, dtype=np.intp, casting="unsafe")
            return _Codes(codes, span, None, low, cast("np.dtype[Any]", dtype))
    try:
        codes, uniques = pd.factorize(column, sort=True)
    except TypeError as e:
        raise TypeError(f"the keys in column {by!r} cannot be sorted: {e}") from None
    missing = np.flatnonzero(codes < 0)
    if missing.size:
        raise ValueError(
            f"column {by!r} (by) has no key in {_describe_row(frame, int(missing[0]))}:"
            " every point needs a group"
        )
    keys = pd.Index(uniques)
    return _Codes(codes.astype(np.intp, copy=False), len(keys), keys, 0, np.dtype(np.intp))


def _ascending(codes: npt.NDArray[np.intp]) -> bool:
    """Whether the codes never decrease. A shuffled table shows it in its first rows, before
    the whole column is compared."""
    head = codes[:4096]
    return bool(np.all(head[1:] >= head[:-1])) and bool(np.all(codes[1:] >= codes[:-1]))


def group(frame: pd.DataFrame, x: Hashable, y: Hashable, by: Hashable) -> Grouped:
    """The table's points in group order, keys sorted, each group's rows in table order."""
    xs = _coordinates(frame, x, "x")
    ys = _coordinates(frame, y, "y")
    coded = _factorize(frame, by)
    codes = coded.codes
    # Tables written group by group need no reordering (and keep views of their columns).
    order: npt.NDArray[np.intp] | None = None
    if not _ascending(codes):
        order, counts = _group_sort(codes, coded.ncodes)
    else:
        counts = np.bincount(codes, minlength=coded.ncodes).astype(np.int64)
    used = counts > 0
    keys = coded.used_keys(used, by)
    if len(keys) != counts.size:
        counts = counts[used]
    offsets = np.zeros(len(keys) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    sequence = None
    if counts.size and int(counts.min()) != int(counts.max()):
        sequence = np.argsort(counts, kind="stable").astype(np.intp)
    return Grouped(keys, offsets, np.ascontiguousarray(xs), np.ascontiguousarray(ys), order, sequence)


# --- the statistics of many groups at once ----------------------------------------------------------
#
# fit() judges the points' shape and computes the radius, rms and covariance of one set with the
# kit's statistics; here the same quantities come for a whole batch of sets of one size, in the
# transposed layout (n, G): each sum over a set's points is then n vector additions in index order
# from +0.0, which gives the bits that the statistics' own index-order sums give for that set (a
# sum from +0.0 differs from one started at the first element only in the sign of a zero, which
# the statistics clear by adding +0.0), at a fraction of the cost of a cumulative sum along short
# rows. The arithmetic on the sums is the statistics' own functions. Tests hold the two to the bit.


_THREAD: Final = threading.local()
# What a thread keeps of its work arrays between chunks: those of the usual blocks.
_SCRATCH_KEPT: Final = 8 << 20


class _Scratch:
    """Work arrays for the statistics, reused from block to block, and by each thread from chunk
    to chunk (up to _SCRATCH_KEPT bytes of them).

    A fresh temporary for every operation on a block costs page faults: arrays of this size are
    fresh pages from the system each time wherever freed memory is handed straight back (as in
    Dask's workers, which set glibc's trim threshold to 64 KiB), and the faults then cost about as
    much as the arithmetic. Results do not depend on it: the operations and their order are the
    same, only their outputs are written into these arrays.
    """

    __slots__ = ("_buffers",)

    def __init__(self) -> None:
        self._buffers: dict[str, FloatArray] = {}

    @staticmethod
    def of_thread() -> _Scratch:
        """The thread's own, kept from chunk to chunk (see keep_at_most)."""
        scratch: _Scratch | None = getattr(_THREAD, "scratch", None)
        if scratch is None:
            scratch = _THREAD.scratch = _Scratch()
        return scratch

    def keep_at_most(self, size: int) -> None:
        """Lets go of the largest arrays until the rest take at most `size` bytes."""
        for name in sorted(self._buffers, key=lambda name: self._buffers[name].nbytes, reverse=True):
            if sum(b.nbytes for b in self._buffers.values()) <= size:
                break
            del self._buffers[name]

    def get(self, name: str, shape: tuple[int, ...]) -> FloatArray:
        """An uninitialised C array of this shape, the same memory each time for `name`."""
        size = math.prod(shape)
        buffer = self._buffers.get(name)
        if buffer is None or buffer.size < size:
            buffer = self._buffers[name] = np.empty(size)
        return buffer[:size].reshape(shape)


def _sums(rows: FloatArray, scratch: _Scratch) -> FloatArray:
    """Sum over axis 0 of an (n, ...) array, in index order from +0.0, for each column.

    Few columns (a batch of few sets): one cumulative sum, which adds in index order too (each
    partial sum is an output), where n vector additions would cost a call each for little work.
    """
    if rows[0].size < _FEW_COLUMNS:
        running = np.cumsum(rows, axis=0, out=scratch.get("cumsum", rows.shape))
        out: FloatArray = running[-1] + 0.0
        return out
    total = np.zeros(rows.shape[1:])
    for row in rows:
        total += row
    return total


def _blocks(rows: FloatArray) -> list[slice]:
    """Column ranges of an (n, G) array of about _BLOCK_POINTS points each: the statistics'
    temporaries of that size stay in the cache, which more than halves their cost."""
    count, groups = rows.shape
    step = max(1, _BLOCK_POINTS // max(count, 1))
    if groups <= 2 * step:
        return [slice(0, groups)]
    # Blocks of equal width, not a last one of a few columns that costs a block's calls.
    nblocks = -(-groups // step)
    cuts = [groups * k // nblocks for k in range(nblocks + 1)]
    return [slice(a, b) for a, b in zip(cuts[:-1], cuts[1:])]


# A set passes fit()'s shape check for certain when three of its points (the first, the middle and
# the last) span a triangle whose smallest height h is not tiny: every line then has one of them
# at least h / 2 away, so the points' RMS distance from their axis is at least h / (2 sqrt(n)),
# far above the check's few ulps of the coordinates' magnitude M when h > _ROUND_MARGIN sqrt(n) M.
# The margin is a hundred times that bound, which also covers the rounding of the triangle's own
# arithmetic (a relative error of a few ulps over the sine of its smallest angle, itself at
# least _ROUND_MARGIN here). Blocks outside [2^-200, 2^200] are left to the full test.
_ROUND_MARGIN: Final = 1e-12


def _surely_round(tx: FloatArray, ty: FloatArray) -> npt.NDArray[np.bool_]:
    """For (n, G) point sets (finite, n >= 3), which certainly pass fit()'s shape check: a test
    on three points of each, where _maybe_flat() works on all of them."""
    count, groups = tx.shape
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        scale = max(float(np.max(tx)), -float(np.min(tx)), float(np.max(ty)), -float(np.min(ty)))
        if not (2.0**-200 <= scale <= 2.0**200):
            return np.zeros(groups, dtype=np.bool_)
        x0, x1, x2 = tx[0], tx[count // 2], tx[count - 1]
        y0, y1, y2 = ty[0], ty[count // 2], ty[count - 1]
        ax, ay, bx, by = x1 - x0, y1 - y0, x2 - x0, y2 - y0
        cx, cy = x2 - x1, y2 - y1
        twice_area = np.abs(ax * by - ay * bx)
        longest = np.sqrt(np.maximum(np.maximum(ax * ax + ay * ay, bx * bx + by * by), cx * cx + cy * cy))
        # The smallest height is twice_area / longest; written without the division.
        round_: npt.NDArray[np.bool_] = twice_area > (_ROUND_MARGIN * math.sqrt(count) * scale) * longest
    return round_


def _maybe_flat(
    tx: FloatArray, ty: FloatArray, scratch: _Scratch | None = None
) -> npt.NDArray[np.bool_]:
    """For (n, G) point sets, whether fit()'s shape check might find them coincident or collinear:
    exactly its first tests (the scale of the offsets out of the plain arithmetic's range, or the
    smaller eigenvalue of the scatter matrix not clearly above zero), which every other set
    passes as a circle."""
    scratch = _Scratch() if scratch is None else scratch
    count, groups = tx.shape
    n = float(count)
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        dx = np.subtract(tx, _sums(tx, scratch) / n, out=scratch.get("dx", tx.shape))
        dy = np.subtract(ty, _sums(ty, scratch) / n, out=scratch.get("dy", tx.shape))
        w = scratch.get("w", (count, 3, groups))
        np.multiply(dx, dx, out=w[:, 0])
        np.multiply(dx, dy, out=w[:, 1])
        np.multiply(dy, dy, out=w[:, 2])
        a, b, c = _sums(w, scratch)
        half = (a - c) / 2.0
        lam = (a + c) / 2.0 + np.sqrt(half * half + b * b)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore", under="ignore"):
        clear: npt.NDArray[np.bool_] = (a * c - b * b) / lam > _FLAT_CANDIDATE * lam
    trace = a + c
    clear &= (trace >= _LOW) & (trace <= _HIGH)
    return ~clear


def _stats(
    tx: FloatArray, ty: FloatArray, cx: FloatArray, cy: FloatArray, scratch: _Scratch | None = None
) -> tuple[FloatArray, ...]:
    """Radius, rms and the standard errors of (cx, cy, r) of (n, G) point sets."""
    scratch = _Scratch() if scratch is None else scratch
    # Squares of sets of extreme scale over- or underflow before those sets are done again.
    with np.errstate(over="ignore", under="ignore", invalid="ignore", divide="ignore"):
        return _stats_of(tx, ty, cx, cy, scratch)


def _stats_of(
    tx: FloatArray, ty: FloatArray, cx: FloatArray, cy: FloatArray, scratch: _Scratch
) -> tuple[FloatArray, ...]:
    count, groups = tx.shape
    n = float(count)
    dx = np.subtract(tx, cx, out=scratch.get("dx", tx.shape))
    dy = np.subtract(ty, cy, out=scratch.get("dy", tx.shape))
    # d = sqrt(dx * dx + dy * dy)
    d = np.multiply(dx, dx, out=scratch.get("d", tx.shape))
    np.add(d, np.multiply(dy, dy, out=scratch.get("t", tx.shape)), out=d)
    np.sqrt(d, out=d)
    r = _sums(d, scratch) / n
    # The six sums at once: (n, 6, G), one vector addition per point.
    w = scratch.get("w", (count, 6, groups))
    e, u, v = w[:, 0], w[:, 4], w[:, 5]
    np.subtract(d, r, out=e)
    # A point at the centre (d = 0) has no direction: divided by 1 there, u = v = 0. A NaN
    # distance is divided by 1 too.
    safe = d if d.size and d.min() > 0.0 else np.where(d > 0.0, d, 1.0)  # min: NaN if any is
    np.divide(dx, safe, out=u)
    np.divide(dy, safe, out=v)
    np.multiply(u, u, out=w[:, 1])
    np.multiply(u, v, out=w[:, 2])
    np.multiply(v, v, out=w[:, 3])
    np.multiply(e, e, out=e)
    sums = tuple(_sums(w, scratch))
    # Degenerate sets (n = 3, a zero determinant) give NaN or infinite entries; no warning.
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        c00, _, _, c11, _, c22 = _covariance(sums, n, count, _ArrayOps)
        out = r, np.sqrt(sums[0] / n), np.sqrt(c00), np.sqrt(c11), np.sqrt(c22)
    # Sets of extreme scale: the kit's own rescaled statistics, set by set.
    for g in np.flatnonzero((r < _LOW) | (r > _HIGH)).tolist():
        scaled = rescaled_stats(tx[:, g], ty[:, g], float(cx[g]), float(cy[g]))
        if scaled is not None:
            radius, rms, cov, k = scaled
            with np.errstate(invalid="ignore"):
                se = np.sqrt(np.diag(cov))
            out[0][g], out[1][g] = radius, rms
            for column, value in zip(out[2:], ldexp(se, k).tolist()):
                column[g] = value
    return out


# --- one chunk --------------------------------------------------------------------------------------


def _input_failure(xs: FloatArray, ys: FloatArray) -> BaseException:
    """The exception that fit() raises for a group's points that fail its input checks."""
    try:
        points(xs, ys)
    except (TypeError, ValueError) as e:
        return e
    raise AssertionError("the points passed the checks they were expected to fail")


class _collector_paused:  # noqa: N801 - used like a function, in a with statement
    """Pauses the cyclic garbage collector around the loop of native calls. The loop makes three
    short-lived objects per group, none of them in a cycle (refcounting frees them all), but their
    count alone would set off collections that walk every object of the caller's process, which
    in a process holding a large table cost as much as a third of the loop."""

    def __enter__(self) -> None:
        self._enabled = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc: object) -> None:
        if self._enabled:
            gc.enable()


def fit_chunk(xs: FloatArray, ys: FloatArray, sizes: IntArray, options: Options) -> ChunkResult:
    """Fits each group of a chunk. The points come run by run (a run: consecutive groups of one
    size), each run as a (size, count) C block whose column k holds its k-th group's points:
    the layout of the batched statistics, whose columns the native module reads in place."""
    if options.robust:
        return _fit_chunk_robust(xs, ys, sizes, options)
    values = np.full((len(_FLOAT_COLUMNS), sizes.size), math.nan)
    failures: list[tuple[int, BaseException]] = []
    scratch = _Scratch.of_thread()
    # One sum each says whether anything is off (a NaN or an infinity carries through; finite
    # values whose sum overflows take the long way too); only then are the culprits looked for.
    with np.errstate(over="ignore"):
        all_finite = math.isfinite(float(xs.sum()) + float(ys.sum()))
    # Block by block, so that the checks, the native calls and the statistics of a block's groups
    # find its points in the cache, each after the other.
    for first, tx, ty in _run_blocks(xs, ys, sizes):
        for part in _blocks(tx):
            block = _Block(first + part.start, tx[:, part], ty[:, part])
            _fit_block(block, all_finite, options.method, values, failures, scratch)
    scratch.keep_at_most(_SCRATCH_KEPT)
    failures.sort(key=lambda item: item[0])
    return ChunkResult(values, sizes.astype(np.int64, copy=True), failures, None)


@dataclass(frozen=True, slots=True)
class _Block:
    """Some groups of one size: the chunk's index of the first, and their points as (size, count)
    arrays, a group per column."""

    first: int
    tx: FloatArray
    ty: FloatArray


def _fit_block(
    block: _Block, all_finite: bool, method: Method, values: FloatArray,
    failures: list[tuple[int, BaseException]], scratch: _Scratch,
) -> None:
    """Fits a block's groups into their columns of `values`, their failures into `failures`.
    The checks come before any native call, in the order fit() makes them (finite coordinates,
    enough points, then the shape)."""
    first, tx, ty = block.first, block.tx, block.ty
    size, count = tx.shape
    good = np.full(count, size >= 3)
    if not all_finite:
        good &= np.isfinite(tx).all(axis=0) & np.isfinite(ty).all(axis=0)
    for k in np.flatnonzero(~good).tolist():
        failures.append((first + k, _input_failure(tx[:, k], ty[:, k])))
    if not good.any():
        return
    # Most sets are plainly round by three of their points; of the others, the few that might be
    # flat get fit()'s own check, one by one.
    maybe = good.copy()
    maybe[good] = ~_surely_round(*_columns(tx, ty, good))
    if maybe.any():
        maybe[maybe] = _maybe_flat(*_columns(tx, ty, maybe), scratch)
    for k in np.flatnonzero(maybe).tolist():
        code = int(shape_problems(np.ascontiguousarray(tx[:, k])[None], np.ascontiguousarray(ty[:, k])[None])[0])
        if code:
            failures.append((first + k, FitError(SHAPE_MESSAGES[code])))
            good[k] = False
    if not good.any():
        return
    positions = np.flatnonzero(good)
    bx, by = _columns(tx, ty, good)

    # The native calls: the one thing done group by group, each on a column of the block, which
    # the native module reads in place: the same values that fit() hands it as lists. Each
    # result is read as soon as it is made, while it is in the cache.
    call = _NATIVE_CALLS[method]
    try:
        with _collector_paused():
            results = itertools.chain.from_iterable(map(call, bx.T, by.T))
            found = np.fromiter(results, np.float64, count=2 * positions.size)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        found, fitted = _centres_one_by_one(first + positions, bx, by, method, failures)
        positions = positions[fitted]
        bx, by = _columns(bx, by, fitted)
        found = found.reshape(-1, 2)[fitted].ravel()
        if not positions.size:
            return
    cx, cy = np.ascontiguousarray(found[0::2]), np.ascontiguousarray(found[1::2])
    stats = _stats(bx, by, cx, cy, scratch)
    groups = first + positions
    values[0, groups] = cx
    values[1, groups] = cy
    for k, column in enumerate(stats, start=2):
        values[k, groups] = column

    # A centre or radius that is not finite is no circle, as fit() decides after its statistics.
    finite = np.isfinite(cx) & np.isfinite(cy) & np.isfinite(stats[0])
    for j in np.flatnonzero(~finite).tolist():
        problem = result_problem(float(cx[j]), float(cy[j]), float(stats[0][j]))
        failures.append((int(groups[j]), FitError(problem or "the fit gave no finite circle")))
        values[:, groups[j]] = math.nan


def _columns(tx: FloatArray, ty: FloatArray, keep: npt.NDArray[np.bool_]) -> tuple[FloatArray, FloatArray]:
    """The kept columns of a run's points (the block itself when all are kept)."""
    if keep.all():
        return tx, ty
    return np.ascontiguousarray(tx[:, keep]), np.ascontiguousarray(ty[:, keep])


def _centres_one_by_one(
    groups: npt.NDArray[np.intp], tx: FloatArray, ty: FloatArray, method: Method,
    failures: list[tuple[int, BaseException]],
) -> tuple[FloatArray, npt.NDArray[np.bool_]]:
    """The native calls again, one group at a time, after one panicked: a group whose call
    panics fails with fit()'s own FitError. The centres (NaN for those) and which were fitted."""
    call = _NATIVE_CALLS[method]
    found = np.full(2 * groups.size, math.nan)
    fitted = np.ones(groups.size, dtype=np.bool_)
    for j, (g, a, b) in enumerate(zip(groups.tolist(), tx.T, ty.T)):
        try:
            found[2 * j:2 * j + 2] = call(a, b)
        except BaseException as e:
            if type(e).__name__ != "PanicException":
                raise
            # fit()'s own call turns the panic into its FitError.
            try:
                found[2 * j:2 * j + 2] = native_centre(method, a.tolist(), b.tolist())
            except FitError as error:
                failures.append((g, error))
                fitted[j] = False
    return found, fitted


def _fit_chunk_robust(xs: FloatArray, ys: FloatArray, sizes: IntArray, options: Options) -> ChunkResult:
    """Robust fits are sample consensus on each group: fit_robust itself, group by group."""
    from ._robust import fit_robust

    ngroups = sizes.size
    values = np.full((len(_FLOAT_COLUMNS), ngroups), math.nan)
    n = sizes.astype(np.int64, copy=True)
    failures: list[tuple[int, BaseException]] = []
    inliers: list[npt.NDArray[np.bool_] | None] = [None] * ngroups
    for first, tx, ty in _run_blocks(xs, ys, sizes):
        for g, a, b in zip(range(first, first + tx.shape[1]), tx.T, ty.T):
            try:
                result = fit_robust(a, b, threshold=options.threshold, method=options.method)
            except (TypeError, ValueError) as e:  # FitError included
                failures.append((g, e))
            else:
                c = result.circle
                values[:, g] = (c.cx, c.cy, c.r, c.rms, *c.stderr)
                n[g] = c.n
                inliers[g] = result.inliers
    return ChunkResult(values, n, failures, inliers)


# --- chunks and executors ---------------------------------------------------------------------------


def _chunk_bounds(offsets: IntArray, target_points: int) -> list[int]:
    """Group indices that cut the groups into chunks of about target_points points each."""
    ngroups = offsets.size - 1
    total = int(offsets[-1])
    marks = np.arange(target_points, total, target_points)
    cuts = np.unique(np.searchsorted(offsets, marks, side="left"))
    inner = [int(c) for c in cuts.tolist() if 0 < c < ngroups]
    return [0, *inner, ngroups]


def _progress_bar(total: int, enabled: bool) -> _Progress:
    if not enabled:
        return _Progress(None)
    from tqdm.auto import tqdm

    return _Progress(tqdm(total=total, unit="group", file=sys.stderr, dynamic_ncols=True))


class _Bar(Protocol):
    def update(self, n: int = 1) -> bool | None: ...

    def close(self) -> None: ...


class _Progress:
    """A tqdm bar, or nothing; closed on exit either way."""

    def __init__(self, bar: _Bar | None) -> None:
        self._bar = bar

    def update(self, count: int) -> None:
        if self._bar is not None:
            self._bar.update(count)

    def __enter__(self) -> _Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()


def _chunk_plan(grouped: Grouped, target_points: int) -> tuple[list[int], list[int]]:
    """Chunk bounds (positions in the sequence) and the smallest group index in each chunk."""
    sizes = grouped.sequence_sizes
    offsets = np.zeros(sizes.size + 1, dtype=np.int64)
    np.cumsum(sizes, out=offsets[1:])
    bounds = _chunk_bounds(offsets, target_points)
    if grouped.sequence is None:
        return bounds, bounds[:-1]
    firsts = [int(grouped.sequence[a:b].min()) for a, b in zip(bounds[:-1], bounds[1:])]
    return bounds, firsts


def _first_failure(grouped: Grouped, bounds: list[int], results: Sequence[ChunkResult | None]) -> int | None:
    """The smallest group index among the failures found so far."""
    best: int | None = None
    for k, result in enumerate(results):
        if result is None:
            continue
        for g, _ in result.failures:
            index = grouped.group_of(bounds[k] + g)
            if best is None or index < best:
                best = index
    return best


def _settled(best: int | None, firsts: list[int], results: Sequence[ChunkResult | None]) -> bool:
    """Whether the first failing group in key order is known: no chunk still to come holds a
    group of a smaller key."""
    return best is not None and all(
        result is not None or first > best for first, result in zip(firsts, results)
    )


def _run_serial(
    grouped: Grouped, options: Options, stop_early: bool, progress: bool
) -> tuple[list[int], list[ChunkResult | None]]:
    bounds, firsts = _chunk_plan(grouped, _SERIAL_CHUNK_POINTS)
    sizes = grouped.sequence_sizes
    results: list[ChunkResult | None] = [None] * (len(bounds) - 1)
    # All the points are gathered before the first fit: their rows are read in random order,
    # which costs a third more once the native calls have had the caches.
    gathered: list[tuple[FloatArray, FloatArray] | None] = [
        grouped.points(g0, g1) for g0, g1 in zip(bounds[:-1], bounds[1:])
    ]
    with _progress_bar(sizes.size, progress) as bar:
        for k, (g0, g1) in enumerate(zip(bounds[:-1], bounds[1:])):
            chunk, gathered[k] = gathered[k], None
            assert chunk is not None
            result = results[k] = fit_chunk(*chunk, sizes[g0:g1], options)
            del chunk
            bar.update(g1 - g0)
            if stop_early and result.failures:
                if _settled(_first_failure(grouped, bounds, results), firsts, results):
                    break
    return bounds, results


def _run_executor(
    executor: Executor, grouped: Grouped, options: Options, stop_early: bool, progress: bool
) -> tuple[list[int], list[ChunkResult | None]]:
    """Chunks to the executor; with stop_early, as soon as the first failing group in key order
    is known, the rest are cancelled."""
    total = int(grouped.offsets[-1])
    target = max(_EXECUTOR_MIN_CHUNK_POINTS, -(-total // _EXECUTOR_MIN_CHUNKS))
    target = min(target, _EXECUTOR_MAX_CHUNK_POINTS)
    bounds, firsts = _chunk_plan(grouped, target)
    sizes = grouped.sequence_sizes
    futures: list[Future[ChunkResult]] = []
    results: list[ChunkResult | None] = [None] * (len(bounds) - 1)
    # A process pool's workers read the points from shared memory when there is room for them.
    shared = SharedPoints.create(total) if isinstance(executor, ProcessPoolExecutor) else None
    try:
        for g0, g1 in zip(bounds[:-1], bounds[1:]):
            if shared is None:
                xs, ys = grouped.points(g0, g1)
                futures.append(executor.submit(fit_chunk, xs, ys, sizes[g0:g1], options))
            else:
                chunk = shared.put(*grouped.points(g0, g1))
                futures.append(executor.submit(fit_shared_chunk, chunk, sizes[g0:g1], options))
        index = {id(f): k for k, f in enumerate(futures)}
        pending = set(futures)
        with _progress_bar(sizes.size, progress) as bar:
            while pending:
                finished, pending = wait(pending, return_when=FIRST_COMPLETED)
                failed = False
                for future in finished:
                    k = index[id(future)]
                    results[k] = result = future.result()
                    bar.update(bounds[k + 1] - bounds[k])
                    failed = failed or bool(result.failures)
                if stop_early and failed and _settled(
                    _first_failure(grouped, bounds, results), firsts, results
                ):
                    break
        return bounds, results
    finally:
        for future in futures:
            future.cancel()
        if shared is not None:
            try:
                wait(futures)  # tasks already running may still be reading the block
            finally:
                shared.release()


def fit_shared_chunk(chunk: SharedChunk, sizes: IntArray, options: Options) -> ChunkResult:
    """fit_chunk() in a process pool's worker, on a chunk from the caller's shared block."""
    return fit_chunk(*read_chunk(chunk), sizes, options)


# --- the result table ---------------------------------------------------------------------------


def _key_text(key: object) -> str:
    item = getattr(key, "item", None)
    if callable(item) and not isinstance(key, (str, bytes)):
        try:
            key = item()
        except (TypeError, ValueError):
            pass
    return repr(key)


def _group_failure(key: object, error: BaseException) -> FitError:
    return FitError(f"group {_key_text(key)}: {error}")


def _assemble(
    grouped: Grouped, chunks: Sequence[ChunkResult], options: Options, on_error: OnError
) -> pd.DataFrame:
    """The result table from every chunk's fits (in the sequence's order), rows in key order."""
    values = np.concatenate([c.values for c in chunks], axis=1)
    n = np.concatenate([c.n for c in chunks])
    where = grouped.sequence  # row of the table for each position of the sequence
    if where is not None:
        values[:, where] = values.copy()
        n[where] = n.copy()
    data: dict[str, object] = {name: values[k] for k, name in enumerate(_FLOAT_COLUMNS)}
    data = {name: data[name] for name in ("cx", "cy", "r", "rms")} | {"n": n} | {
        name: data[name] for name in ("stderr_cx", "stderr_cy", "stderr_r")
    }
    count = n.size
    if options.robust:
        inliers: list[object] = [None] * count
        position = 0
        for c in chunks:
            for mask in c.inliers or [None] * c.n.size:
                inliers[grouped.group_of(position)] = mask
                position += 1
        data["inliers"] = pd.Series(inliers, dtype=object, index=grouped.keys)
    if on_error == "nan":
        errors: list[str | None] = [None] * count
        start = 0
        for c in chunks:
            for g, error in c.failures:
                errors[grouped.group_of(start + g)] = str(error)
            start += c.n.size
        # object, not text: a fitted group's entry stays None rather than becoming NaN
        data["error"] = pd.Series(errors, dtype=object, index=grouped.keys)
    return pd.DataFrame(data, index=grouped.keys)


def empty_result(keys: pd.Index, robust: bool, on_error: OnError) -> pd.DataFrame:
    """The result's columns and dtypes with no rows (also the layout a lazy frame promises)."""
    data: dict[str, object] = {}
    for name in COLUMNS:
        data[name] = np.empty(0, dtype=np.int64 if name == "n" else np.float64)
    if robust:
        data["inliers"] = np.empty(0, dtype=object)
    if on_error == "nan":
        data["error"] = np.empty(0, dtype=object)
    return pd.DataFrame(data, index=keys[:0])


def check_options(
    method: object, robust: object, threshold: object, on_error: object
) -> tuple[Options, OnError]:
    """The options as checked values; ValueError/TypeError naming the bad one."""
    checked = check_method(method)
    if type(robust) not in (bool, np.bool_):
        raise TypeError(f"robust must be True or False, not {robust!r}")
    limit: float | None = None
    if threshold is not None:
        if not robust:
            raise ValueError("threshold applies to robust fits only: pass robust=True with it")
        if isinstance(threshold, (str, bytes)) or not isinstance(threshold, SupportsFloat):
            raise TypeError(f"threshold must be a number, not {threshold!r}")
        limit = float(threshold)
        if not (limit > 0.0 and math.isfinite(limit)):
            raise ValueError(f"threshold must be positive and finite, not {threshold!r}")
    try:
        checked_on_error = _ON_ERROR[on_error]
    except (KeyError, TypeError):  # TypeError: not hashable
        allowed = ", ".join(repr(o) for o in ON_ERROR)
        raise ValueError(f"unknown on_error {on_error!r}: expected one of {allowed}") from None
    return Options(checked, bool(robust), limit), checked_on_error


def fit_frame(
    frame: pd.DataFrame,
    x: Hashable,
    y: Hashable,
    by: Hashable,
    options: Options,
    on_error: OnError,
    executor: Executor | None = None,
    progress: bool = False,
) -> pd.DataFrame:
    """fit_groups() on a DataFrame with checked options."""
    return fit_grouped(group(frame, x, y, by), options, on_error, executor, progress)


def fit_grouped(
    grouped: Grouped,
    options: Options,
    on_error: OnError,
    executor: Executor | None = None,
    progress: bool = False,
) -> pd.DataFrame:
    """fit_groups() on a table already grouped."""
    if len(grouped.keys) == 0:
        return empty_result(grouped.keys, options.robust, on_error)
    stop_early = on_error == "raise"
    if executor is None:
        bounds, results = _run_serial(grouped, options, stop_early, progress)
    else:
        bounds, results = _run_executor(executor, grouped, options, stop_early, progress)
    first = _first_failure(grouped, bounds, results)
    if stop_early and first is not None:
        for k, result in enumerate(results):
            for g, error in result.failures if result is not None else ():
                if grouped.group_of(bounds[k] + g) == first:
                    raise _group_failure(grouped.keys[first], error) from error
    chunks = [r for r in results if r is not None]
    return _assemble(grouped, chunks, options, on_error)


def fit_groups(
    data: object,
    *,
    x: Hashable = "x",
    y: Hashable = "y",
    by: Hashable = "group",
    method: Method = "lsq",
    robust: bool = False,
    threshold: float | None = None,
    on_error: OnError = "raise",
    executor: Executor | None = None,
    progress: bool = False,
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
    method : {"lsq", "nelder_mead", "taubin", "centroid"}
        As for :func:`tondrakit.fit`.
    robust : bool
        Fit each group with :func:`tondrakit.fit_robust` (its defaults, and `threshold`).
    threshold : float, optional
        The robust fits' inlier threshold; estimated per group when left out.
    on_error : {"raise", "nan"}
        "raise": the first group (in key order) whose points give no circle raises
        :class:`FitError` naming its key, chained to the error ``fit`` would have raised.
        "nan": that group's row is NaN and the column ``error`` holds the message.
    executor : concurrent.futures.Executor, optional
        Fit on it (a ``ProcessPoolExecutor`` runs in parallel; threads do not, since every
        native call holds the interpreter's lock). Groups go in chunks of thousands of points;
        the results are the same, bit for bit, as without one.
    progress : bool
        Show a progress bar (tqdm) on standard error.

    Returns
    -------
    pandas.DataFrame
        One row per group, indexed by the group key (sorted, named after `by`), with columns
        ``cx, cy, r, rms, n, stderr_cx, stderr_cy, stderr_r``; then ``inliers`` (each group's
        boolean mask over its rows, in table order) when `robust`, and ``error`` (the message,
        or None) when ``on_error="nan"``. Each row holds exactly what ``tondrakit.fit`` (or
        ``fit_robust``) returns on that group's points in table order; ``n`` is the number of
        points the fit used (the inliers of a robust fit; all of a failed group's points).

    Raises
    ------
    ValueError
        A missing column, a row without a group key, a bad option.
    TypeError
        A coordinate that is not a number, keys that cannot be sorted.
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
    options, checked_on_error = check_options(method, robust, threshold, on_error)
    frame = data if isinstance(data, pd.DataFrame) else pd.DataFrame(cast("Any", data))
    return fit_frame(frame, x, y, by, options, checked_on_error, executor, bool(progress))
