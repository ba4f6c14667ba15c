"""The command's outputs, written whole or not at all, through what the user named: a file is
replaced by a temporary one written beside it (beside a symbolic link's target, so the link
stays); standard output, a device or a pipe is written in place once the content is complete.
"""

from __future__ import annotations

import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Final

import pandas as pd

from ._io import InputError, table_format

__all__ = ["STDOUT", "Outputs", "check_writable", "same_output"]

STDOUT: Final = "-"
# Symbolic links followed before a path is given up as a loop.
_MAX_LINKS: Final = 40


def _new_file_mode(path: str) -> int:
    """The mode the file would get if opened for writing: its own, or the default less umask."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def _resolved(path: str) -> str | None:
    """The file that writing to `path` would write: the end of its chain of symbolic links; None
    when a link leads through /proc (/dev/stdout, /dev/fd/N), whose names stand for open files
    and are written by opening them, never by renaming."""
    current = os.path.abspath(path)
    for _ in range(_MAX_LINKS):
        folder = os.path.realpath(os.path.dirname(current))
        if folder == "/proc" or folder.startswith("/proc/"):
            return None
        current = os.path.join(folder, os.path.basename(current))
        if not os.path.islink(current):
            return current
        current = os.path.join(folder, os.readlink(current))
    raise InputError(f"cannot write {path}: Too many levels of symbolic links")


def _written_in_place(path: str) -> bool:
    """Whether `path` is written through rather than replaced: standard output, a device, a
    pipe or socket, a name for an open file, or a file with other names (hard links) that a
    rename would part from it."""
    if path == STDOUT or _resolved(path) is None:
        return True
    try:
        found = os.stat(path)
    except FileNotFoundError:
        return False
    return not stat.S_ISREG(found.st_mode) or found.st_nlink > 1


def same_output(a: str, b: str) -> bool:
    """Whether two outputs are one file (standard output by any name included)."""
    def identity(path: str) -> tuple[int, int] | str:
        try:
            found = os.fstat(1) if path == STDOUT else os.stat(path)
        except OSError:
            return os.path.realpath(path)
        return found.st_dev, found.st_ino

    return identity(a) == identity(b)


def check_writable(path: str) -> None:
    """Refuses, before any work, a path that cannot be written (no folder, a folder itself, no
    permission)."""
    if path == STDOUT:
        return
    if os.path.isdir(path):
        raise InputError(f"cannot write {path}: Is a directory")
    if _written_in_place(path):
        if not os.access(path, os.W_OK):
            raise InputError(f"cannot write {path}: Permission denied")
        return
    target = _resolved(path) or path
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        raise InputError(f"cannot write {path}: No such file or directory")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise InputError(f"cannot write {path}: Permission denied")


def _error(path: str, e: OSError) -> InputError:
    name = "standard output" if path == STDOUT else path
    return InputError(f"cannot write {name}: {e.strerror or e}")


@dataclass(slots=True)
class _Staged:
    path: str  # as the user named it
    temporary: str | None  # beside the file it replaces, renamed over it
    target: str | None  # the file replaced
    spool: IO[bytes] | None  # the whole content, for a file written in place


def _copy_into(spool: IO[bytes], path: str) -> None:
    """The spool's content written through `path`: the file keeps its name, links and mode."""
    spool.seek(0)
    if path == STDOUT:
        sys.stdout.flush()
        binary: IO[bytes] | None = getattr(sys.stdout, "buffer", None)
        if binary is None:  # a text stream put in its place (by a test harness, say)
            sys.stdout.write(spool.read().decode("utf-8"))
            sys.stdout.flush()
            return
        shutil.copyfileobj(spool, binary)
        binary.flush()
        return
    size = os.fstat(spool.fileno()).st_size
    with open(path, "r+b" if _regular(path) else "wb") as out:
        if _regular(path):
            # A file with other names is rewritten where it is: its space reserved first, so
            # that a full disk leaves it as it was instead of cut short.
            before = os.fstat(out.fileno()).st_size
            try:
                if size > before:
                    os.posix_fallocate(out.fileno(), 0, size)
            except OSError:
                os.ftruncate(out.fileno(), before)
                raise
        shutil.copyfileobj(spool, out)
        if _regular(path):
            out.truncate()


def _regular(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


class Outputs:
    """Files written all together or not at all. Each output is written whole first: a regular
    file to a temporary file beside it (beside the file a symbolic link leads to, so that the
    link stays), anything written in place (standard output, a device, a pipe, a file with hard
    links) to a spool. Only once every one is complete are they put in place: those written in
    place first, since they are the ones that can still fail (a full device), then the renames.
    An OSError becomes InputError naming the output as the user named it."""

    def __init__(self) -> None:
        self._staged: list[_Staged] = []

    def stage(self, path: str, write: Callable[[IO[bytes]], object]) -> None:
        """Writes the output `path` (STDOUT: standard output) by `write`, given a binary file."""
        try:
            if _written_in_place(path):
                spool = tempfile.TemporaryFile()  # noqa: SIM115 - closed by discard()
                self._staged.append(_Staged(path, None, None, spool))
                write(spool)
                spool.flush()
                return
            target = _resolved(path) or path
            handle, temporary = tempfile.mkstemp(prefix=".tondrakit-", dir=os.path.dirname(target))
            self._staged.append(_Staged(path, temporary, target, None))
            with os.fdopen(handle, "wb") as out:
                write(out)
            os.chmod(temporary, _new_file_mode(target))
        except OSError as e:
            raise _error(path, e) from None

    def stage_table(self, frame: pd.DataFrame, path: str, *, index: bool) -> None:
        """The frame as CSV or Parquet, by the path's suffix."""
        if table_format(path) == "parquet":
            self.stage(path, lambda out: frame.to_parquet(out, engine="pyarrow", index=index))
        else:
            self.stage(path, lambda out: frame.to_csv(out, index=index))

    def commit(self) -> None:
        for staged in self._staged:
            if staged.spool is not None:
                try:
                    _copy_into(staged.spool, staged.path)
                except OSError as e:
                    raise _error(staged.path, e) from None
        while self._staged:
            staged = self._staged[0]
            if staged.temporary is not None and staged.target is not None:
                try:
                    os.replace(staged.temporary, staged.target)
                except OSError as e:
                    raise _error(staged.path, e) from None
            elif staged.spool is not None:
                staged.spool.close()
            self._staged.pop(0)

    def discard(self) -> None:
        for staged in self._staged:
            if staged.spool is not None:
                staged.spool.close()
            if staged.temporary is not None:
                try:
                    os.unlink(staged.temporary)
                except FileNotFoundError:
                    pass
        self._staged.clear()

    def __enter__(self) -> Outputs:
        return self

    def __exit__(self, *exc: object) -> None:
        self.discard()
