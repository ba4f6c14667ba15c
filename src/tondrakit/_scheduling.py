"""The fits of a grouped table, in chunks of whole groups: on the engine's threads here, or as
tasks of an executor, with a progress bar if asked for."""

from __future__ import annotations

import sys
from concurrent.futures import Executor, Future
from typing import Any, Final, TypeAlias, cast

import numpy as np
import numpy.typing as npt

from . import _batch
from ._batch import Columns
from ._grouping import Grouped
from ._options import Options, check_workers

__all__ = ["fit_chunk", "run", "threads"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
IntArray: TypeAlias = "npt.NDArray[np.int64]"

# Points per task given to an executor: far more to fit than to send.
_TASK_POINTS: Final = 1 << 16
# Points per step of the progress bar.
_PROGRESS_POINTS: Final = 1 << 16


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
        future: Future[Columns] = executor.submit(fit_chunk, *args)
    except _TASK_ERRORS:
        raise
    except Exception as e:
        raise ValueError(f"the executor refused a task: {e!r}") from e
    # A cluster's executor returns a future of its own, which need only answer these.
    if not (callable(getattr(future, "result", None)) and callable(getattr(future, "cancel", None))):
        raise TypeError(f"the executor's submit returned {type(future).__name__}, not a future")
    return future


def _result(future: Future[Columns]) -> Columns:
    try:
        columns = cast("object", future.result())  # whatever the task sent back
    except _TASK_ERRORS:
        raise
    except Exception as e:
        raise ValueError(f"the executor's task failed: {e!r}") from e
    if not isinstance(columns, Columns):
        raise TypeError(f"the executor's task returned {type(columns).__name__}, not the fits")
    return columns


def run(
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


def threads(workers: int | None, executor: Executor | None) -> int:
    """The threads to work on: by default the CPUs this process may use, one beside an
    executor (its tasks have threads of their own)."""
    return check_workers(1 if workers is None and executor is not None else workers)
