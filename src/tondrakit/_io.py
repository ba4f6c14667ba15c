"""The command's input table, read as CSV or Parquet by the file's suffix.

Every problem is an :class:`InputError` with one line for the user that names the file and, for
a cell, where it is: the line of a CSV file (as an editor numbers it, blank lines and quoted line
breaks included) or the row of a Parquet file (counted from 1). Finding the line costs a second
pass over the file, so it is done only once something is wrong.
"""

from __future__ import annotations

import csv
import importlib
import io
import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Final, Literal, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["InputError", "Table", "read_table", "require_parquet", "table_format"]

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
        where, shown = self._cell(position, column, cell)
        if np.isinf(numbers[position]):
            problem = f"holds {shown}: coordinates must be finite"
        else:
            problem = f"holds {shown}, not a number"
        raise InputError(f"{self.name}: {where}: column {column!r} {problem}")

    def weights(self, column: str) -> FloatArray:
        """The column of weights: numbers as coordinates are, and none negative."""
        w = self.numbers(column)
        negative = np.flatnonzero(w < 0.0)
        if negative.size:
            position = int(negative[0])
            where, shown = self._cell(position, column, self.frame[column].iloc[position])
            raise InputError(
                f"{self.name}: {where}: column {column!r} holds {shown}: weights must not be negative"
            )
        return w

    def _cell(self, position: int, column: str, cell: object) -> tuple[str, str]:
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
