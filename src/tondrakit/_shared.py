"""Chunks of points handed to a process pool's workers through one shared-memory block.

A ``ProcessPoolExecutor`` pickles each task's arguments through a pipe: for the points of a chunk
that costs about two milliseconds per megabyte, in the caller and in the worker, and the
workers sit idle meanwhile. Placed in a shared block instead, the points travel as a name, an
offset and a count, and each worker copies its chunk straight out of the block.

The block belongs to the caller's process: created before the first chunk, unlinked when the last
task that may read it has ended (also after errors). Space for it is reserved when it is made, so
that a full /dev/shm (a container's is often 64 MiB) means sending the points with each task as
before, not a crash on writing them.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from multiprocessing import shared_memory
from typing import Any, Final

import numpy as np
import numpy.typing as npt

__all__ = ["SharedChunk", "SharedPoints", "read_chunk"]

FloatArray = npt.NDArray[np.float64]

_POINT_BYTES: Final = 16  # x and y, float64 each


@dataclass(frozen=True, slots=True)
class SharedChunk:
    """Where a chunk lies in a block: from byte `offset` on, its `count` x's, then its y's."""

    name: str
    offset: int
    count: int


def _attach(name: str) -> shared_memory.SharedMemory:
    if sys.version_info >= (3, 13):
        # The block is the caller's to unlink; a reader must not have it cleaned up for itself.
        return shared_memory.SharedMemory(name=name, track=False)
    return shared_memory.SharedMemory(name=name)


def _close(block: shared_memory.SharedMemory) -> None:
    try:
        block.close()
    except BufferError:  # a view still held (by an error's traceback): unmapped when it goes
        pass


def _view(block: shared_memory.SharedMemory, offset: int, count: int) -> FloatArray:
    """A chunk's points in the block, as (2, count). Made by frombuffer, which holds the block's
    buffer while the view lives: the block cannot be unmapped under it."""
    buffer = block.buf
    if buffer is None:
        raise ValueError("the shared block is closed")
    view: FloatArray = np.frombuffer(buffer, dtype=np.float64, count=2 * count, offset=offset)
    return view.reshape(2, count)


def read_chunk(chunk: SharedChunk) -> tuple[FloatArray, FloatArray]:
    """The chunk's points, copied out of the block, so that nothing refers to it afterwards."""
    block = _attach(chunk.name)
    try:
        view = _view(block, chunk.offset, chunk.count)
        points = view.copy()
        del view
    finally:
        _close(block)
    return points[0], points[1]


class SharedPoints:
    """The block that a run's chunks are written into, one after another."""

    def __init__(self, block: shared_memory.SharedMemory, capacity: int) -> None:
        self._block = block
        self._capacity = capacity
        self._used = 0

    @classmethod
    def create(cls, points: int) -> SharedPoints | None:
        """A block for this many points, or None when the system has no room for one."""
        size = max(points * _POINT_BYTES, 1)
        try:
            block = shared_memory.SharedMemory(create=True, size=size)
        except OSError:
            return None
        # tmpfs hands out pages only when they are first written, and a write beyond its limit
        # kills the process (SIGBUS): the pages are reserved now, while failing is still an error.
        fd: Any = getattr(block, "_fd", -1)
        try:
            if isinstance(fd, int) and fd >= 0:
                os.posix_fallocate(fd, 0, size)
            else:  # pragma: no cover - every CPython so far keeps the descriptor there
                raise OSError("no descriptor to reserve the block's space with")
        except OSError:
            block.close()
            block.unlink()
            return None
        return cls(block, size)

    def put(self, xs: FloatArray, ys: FloatArray) -> SharedChunk:
        """Writes a chunk's points after the previous chunk's; where they are."""
        count = xs.size
        offset = self._used
        end = offset + count * _POINT_BYTES
        if end > self._capacity:
            raise ValueError(f"a chunk of {count} points overruns the shared block")
        view = _view(self._block, offset, count)
        view[0] = xs
        view[1] = ys
        del view
        self._used = end
        return SharedChunk(self._block.name, offset, count)

    def release(self) -> None:
        """Closes and unlinks the block; tasks still to start can no longer read it."""
        try:
            _close(self._block)
        finally:
            self._block.unlink()
