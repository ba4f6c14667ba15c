"""The command's tables: points read and results written, as CSV or Parquet by the file's suffix.

Every problem is an :class:`InputError` with one line for the user that names the file and, for
a cell, where it is: the line of a CSV file (as an editor numbers it, blank lines and quoted line
breaks included) or the row of a Parquet file (counted from 1). Finding the line costs a second
pass over the file, so it is done only once something is wrong.

An output is written whole or not at all, through what the user named: a file is replaced by
a temporary one written beside it (beside a symbolic link's target, so the link stays); standard
output, a device or a pipe is written in place once the content is complete.
"""

from __future__ import annotations

import csv
import importlib
import io
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Final, Literal, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = [
    "STDOUT", "InputError", "Outputs", "Table", "check_writable", "read_table", "same_output",
    "table_format",
]

Format: TypeAlias = Literal["csv", "parquet"]
FloatArray: TypeAlias = "npt.NDArray[np.float64]"

# Suffixes are compared in lower case; a name without one (a pipe such as /dev/fd/3) is CSV.
_FORMATS: Final[dict[str, Format]] = {".csv": "csv", "": "csv", ".parquet": "parquet"}
PARQUET_EXTRA: Final = "install the extra with  pip install 'tondra[parquet]'"


class InputError(Exception):
    """A problem with what the command was given: one line for the user, exit status 2."""


def table_format(path: str, option: str = "") -> Format:
    """The format a path's suffix names ('-' is CSV on a standard stream); `option` is the
    command's option that gave the path, for the message."""
    if path == "-":
        return "csv"
    suffix = os.path.splitext(path)[1]
    try:
        return _FORMATS[suffix.lower()]
    except KeyError:
        raise InputError(
            f"{option + ' ' if option else ''}{path}: unknown table format {suffix!r}: use .csv or .parquet"
        ) from None


def require_parquet(path: str) -> None:
    try:
        importlib.import_module("pyarrow")
    except ImportError:
        raise InputError(f"{path}: Parquet needs pyarrow: {PARQUET_EXTRA}") from None


# --- reading -----------------------------------------------------------------------------------


def _blank(fields: list[str]) -> bool:
    """A line pandas skips: nothing on it but spaces or tabs."""
    return not fields or (len(fields) == 1 and not fields[0].strip(" \t"))


@dataclass(frozen=True, slots=True)
class _CsvSource:
    name: str
    path: str | None  # None: the text came from standard input and is kept in `data`
    data: bytes | None

    def _text(self) -> io.TextIOBase:
        raw = io.BytesIO(self.data) if self.data is not None else open(self.path or "", "rb")  # noqa: SIM115
        return io.TextIOWrapper(raw, encoding="utf-8-sig", errors="replace", newline="")

    def records(self) -> Iterator[tuple[int, list[str]]]:
        """(line on which it starts, fields) of the header and each row, as pandas counts them."""
        with self._text() as text:
            reader = csv.reader(text)
            start = 1
            try:
                for fields in reader:
                    if not _blank(fields):
                        yield start, fields
                    start = reader.line_num + 1
            except csv.Error as e:  # a field beyond the reader's limit, say
                raise InputError(f"{self.name}, line {start}: {e}") from None

    def record(self, row: int) -> tuple[int, list[str]] | None:
        """The line and fields of data row `row` (pandas' row number, from 0); None if the file
        no longer has it (changed since it was read)."""
        for k, found in enumerate(self.records()):
            if k == row + 1:
                return found
        return None

    def first_long_record(self) -> tuple[int, int, int] | None:
        """(line, fields, header's fields) of the first row longer than the header."""
        header = -1
        for line, fields in self.records():
            if header < 0:
                header = len(fields)
            elif len(fields) > header:
                return line, len(fields), header
        return None


@dataclass(frozen=True, slots=True)
class Table:
    """The rows of an input file, and where each of them came from."""

    frame: pd.DataFrame
    name: str
    csv: _CsvSource | None  # None: Parquet
    path: str

    def where(self, position: int) -> str:
        """'line N' (CSV) or 'row N' (Parquet) of the row at `position` of the frame."""
        row = int(self.frame.index[position])
        found = None if self.csv is None else self.csv.record(row)
        return f"row {row + 1}" if found is None else f"line {found[0]}"

    def require_columns(self, wanted: Sequence[tuple[str, str]]) -> None:
        from ._columns import check_columns

        try:
            check_columns([str(c) for c in self.frame.columns], wanted, command=True)
        except ValueError as e:
            raise InputError(f"{self.name}: {e}") from None

    def _missing(self, position: int, column: str, what: str) -> InputError:
        """A cell with nothing in it; in a CSV file, a row short of fields says so instead."""
        found = None if self.csv is None else self.csv.record(int(self.frame.index[position]))
        width = len(self.frame.columns)
        if found is not None and len(found[1]) < width:
            return InputError(
                f"{self.name}: line {found[0]} has {len(found[1])} fields, but the header has {width}"
            )
        return InputError(f"{self.name}: {self.where(position)}: column {column!r} is empty{what}")

    def _parquet_nulls(self, column: str) -> npt.NDArray[np.bool_]:
        parquet = importlib.import_module("pyarrow.parquet")
        values = parquet.read_table(self.path, columns=[column]).column(0)
        nulls: npt.NDArray[np.bool_] = values.is_null().to_numpy(zero_copy_only=False)
        return nulls

    def numbers(self, column: str) -> FloatArray:
        """The column as float64; InputError at the first cell that is empty, not a number (NaN
        included) or infinite."""
        values = self.frame[column]
        kind = values.dtype.kind
        if kind in "iuf":
            numbers: FloatArray = values.to_numpy(dtype=np.float64, na_value=np.nan)
            text = None
        else:
            # Text that pandas could not read as numbers (a bool column is never coordinates).
            text = values.astype(object)
            converted = pd.to_numeric(text, errors="coerce")
            numbers = np.asarray(converted, dtype=np.float64)
            if kind == "b":
                numbers = np.full(len(values), np.nan)
        finite = np.isfinite(numbers)
        if finite.all():
            return numbers
        position = int(np.flatnonzero(~finite)[0])
        cell: object = values.iloc[position]
        empty = bool(values.isna().iloc[position])
        if empty and self.csv is None:
            # pandas reads a Parquet null and a NaN alike; the file tells them apart.
            empty = bool(self._parquet_nulls(column)[int(self.frame.index[position])])
        if empty:
            raise self._missing(position, column, "")
        where, shown = self.cell(position, column, cell)
        if np.isinf(numbers[position]):
            problem = f"holds {shown}: coordinates must be finite"
        else:
            problem = f"holds {shown}, not a number"
        raise InputError(f"{self.name}: {where}: column {column!r} {problem}")

    def cell(self, position: int, column: str, cell: object) -> tuple[str, str]:
        """Where a cell is, and what it holds: for CSV the text as written in the file."""
        found = None if self.csv is None else self.csv.record(int(self.frame.index[position]))
        if found is not None:
            return f"line {found[0]}", repr(found[1][list(self.frame.columns).index(column)])
        plain = cast("object", cell.item()) if isinstance(cell, np.generic) else cell
        return self.where(position), repr(plain)

    def check_keys(self, column: str) -> None:
        """InputError at the first row without a group key."""
        missing = np.flatnonzero(self.frame[column].isna().to_numpy())
        if missing.size:
            raise self._missing(int(missing[0]), column, ": every point needs a group")


def _read_csv(path: str) -> Table:
    name = "standard input" if path == "-" else path
    data: bytes | None = None
    try:
        source: str | io.BytesIO = path
        if path == "-" or not os.path.isfile(path):
            # A stream (standard input, a pipe by name) is read once and kept, for the second
            # pass that finds a line.
            if path == "-":
                raw = sys.stdin.buffer.read()
            else:
                with open(path, "rb") as stream:
                    raw = stream.read()
            data, source = raw, io.BytesIO(raw)
        # Only an empty cell is missing: 'NA', 'null' or 'nan' are text, as written.
        frame = pd.read_csv(source, keep_default_na=False, na_values=[""])
    except pd.errors.EmptyDataError:
        raise InputError(f"{name} is empty") from None
    except pd.errors.ParserError as e:
        source_of_lines = _CsvSource(name, None if data is not None else path, data)
        found = source_of_lines.first_long_record()
        if found is not None:
            line, width, header = found
            raise InputError(f"{name}: line {line} has {width} fields, but the header has {header}") from None
        if "EOF inside string" in str(e):
            # The quote that is never closed opens the last record the file has.
            line = max((start for start, _ in source_of_lines.records()), default=1)
            raise InputError(f"{name}: line {line}: a quoted field is never closed") from None
        detail = str(e).strip().splitlines()[-1] if str(e).strip() else "unreadable"
        raise InputError(f"{name} is not a CSV table: {detail}") from None
    except UnicodeDecodeError:
        raise InputError(f"{name} is not text in UTF-8") from None
    except OSError as e:
        raise InputError(f"cannot read {name}: {e.strerror or e}") from None
    csv_source = _CsvSource(name, None if data is not None else path, data)
    # pandas renames a repeated column ('x' again as 'x.1'); the table is refused instead, since
    # either could be the one meant.
    no_header: tuple[int, list[str]] = (1, [])
    names = next(csv_source.records(), no_header)[1]
    repeated = next((c for k, c in enumerate(names) if c in names[:k]), None)
    if repeated is not None:
        raise InputError(f"{name}: the header names the column {repeated!r} more than once")
    if not isinstance(frame.index, pd.RangeIndex):
        # pandas takes a first row one field longer than the header for an index.
        found = csv_source.first_long_record()
        if found is not None:
            line, width, header = found
            raise InputError(f"{name}: line {line} has {width} fields, but the header has {header}")
    # Rows of empty cells (',,' left by a spreadsheet) go; the others keep pandas' numbers.
    frame = frame[~frame.isna().all(axis=1).to_numpy()]
    if frame.empty:
        raise InputError(f"{name} has no rows of data")
    return Table(frame, name, csv_source, path)


def _read_parquet(path: str) -> Table:
    require_parquet(path)
    parquet = importlib.import_module("pyarrow.parquet")
    try:
        frame: pd.DataFrame = parquet.read_table(path).to_pandas()
    except OSError as e:
        if e.errno is not None:
            raise InputError(f"cannot read {path}: {e.strerror or e}") from None
        raise InputError(f"{path} is not a Parquet table: {e}") from None
    except (ValueError, TypeError) as e:  # ArrowInvalid is a ValueError
        raise InputError(f"{path} is not a Parquet table: {e}") from None
    # A saved index comes back as columns (a group key kept as the index, say); rows are
    # then numbered by position.
    named = any(n is not None for n in frame.index.names)
    frame = frame.reset_index(drop=not named)
    if frame.empty:
        raise InputError(f"{path} has no rows of data")
    return Table(frame, path, None, path)


def read_table(path: str) -> Table:
    """The points of a CSV or Parquet file ('-': CSV on standard input)."""
    if table_format(path) == "parquet":
        return _read_parquet(path)
    return _read_csv(path)


# --- writing -----------------------------------------------------------------------------------

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
