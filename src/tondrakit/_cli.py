"""The ``tondrakit`` command: a circle for every group of points in a CSV file.

Every problem with the input is one line on standard error and exit status 2, never a
traceback; a group that gives no circle is exit status 1 (or a NaN row with --on-error nan).
Output files appear only when the whole run succeeded.
"""

from __future__ import annotations

import argparse
import io
import math
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor
from typing import Final, NoReturn

import numpy as np
import pandas as pd

from ._circle import METHODS
from ._errors import FitError
from ._groups import Grouped, check_options, fit_grouped, group

__all__ = ["main"]

PROG: Final = "tondrakit"
# A bar for fewer groups than this would flash by.
_PROGRESS_GROUPS: Final = 5000
# pandas counts data rows from 0; with blank lines kept as rows, row i is on line i + 2.
_FIRST_DATA_LINE: Final = 2

EXIT_OK: Final = 0
EXIT_NO_CIRCLE: Final = 1
EXIT_BAD_INPUT: Final = 2


class InputError(Exception):
    """A problem with what the command was given: one line for the user, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other input problem, instead of argparse's usage block.
        self.exit(EXIT_BAD_INPUT, f"{PROG}: {message} (see {PROG} --help)\n")


def _parser() -> argparse.ArgumentParser:
    from ._plot import PLOT_LIMIT

    parser = _Parser(
        prog=PROG,
        description="Fit a circle to every group of points in a CSV file and write one row per "
        "group: cx, cy, r, rms, n, stderr_cx, stderr_cy, stderr_r.",
        epilog="Exit status: 0 on success; 1 when a group gives no circle (with --on-error raise); "
        "2 for bad input (a missing column, a cell that is not a number, an empty or unreadable "
        "file). Output files are written only when the run succeeds.",
    )
    parser.add_argument("input", metavar="INPUT.csv", help="the points, one per row ('-' reads standard input)")
    parser.add_argument("-x", default="x", metavar="COL", help="column of x coordinates (default: x)")
    parser.add_argument("-y", default="y", metavar="COL", help="column of y coordinates (default: y)")
    parser.add_argument("--by", default="group", metavar="COL", help="column of group keys (default: group)")
    parser.add_argument("--method", default="lsq", choices=METHODS, help="how centres are found (default: lsq)")
    parser.add_argument("--robust", action="store_true", help="fit each group robustly, ignoring outliers")
    parser.add_argument("--threshold", type=float, metavar="T",
                        help="with --robust: the inlier threshold (default: estimated per group)")
    parser.add_argument("--on-error", default="raise", choices=("raise", "nan"),
                        help="a group without a circle stops the run (raise, the default) or is "
                        "written as NaN with its message in the column 'error' (nan)")
    parser.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                        help="fit on N processes (default: 1)")
    parser.add_argument("-o", "--output", metavar="OUT.csv", help="write the table here (default: standard output)")
    parser.add_argument("--plot", metavar="OUT.png",
                        help=f"draw the points and circles of the first {PLOT_LIMIT} groups (needs matplotlib)")
    return parser


def _line(frame: pd.DataFrame, row: int) -> int:
    return int(frame.index[row]) + _FIRST_DATA_LINE


def _read(path: str) -> pd.DataFrame:
    name = "standard input" if path == "-" else path
    try:
        source = sys.stdin if path == "-" else path
        frame = pd.read_csv(source, skip_blank_lines=False)
    except pd.errors.EmptyDataError:
        raise InputError(f"{name} is empty") from None
    except pd.errors.ParserError as e:
        detail = str(e).strip().splitlines()[-1] if str(e).strip() else "unreadable"
        raise InputError(f"{name} is not a CSV table: {detail}") from None
    except UnicodeDecodeError:
        raise InputError(f"{name} is not text in UTF-8") from None
    except OSError as e:
        raise InputError(f"cannot read {name}: {e.strerror or e}") from None
    # Blank lines were kept so that row numbers map to lines; now they go.
    frame = frame[~frame.isna().all(axis=1)]
    if frame.empty:
        raise InputError(f"{name} has no rows of data")
    return frame


def _require_columns(frame: pd.DataFrame, wanted: Sequence[tuple[str, str]]) -> None:
    present = ", ".join(repr(str(c)) for c in frame.columns)
    for column, option in wanted:
        if column not in frame.columns:
            raise InputError(f"no column {column!r} (choose one with {option}); the columns are: {present}")


def _check_numbers(frame: pd.DataFrame, column: str) -> pd.Series:
    """The column as float64; InputError naming the line of the first empty, non-numeric or
    infinite cell."""
    values = frame[column]
    if values.dtype.kind in "iuf":
        numbers = values.astype(np.float64)
    else:
        numbers = pd.to_numeric(values.astype(object), errors="coerce").astype(np.float64)
        if values.dtype.kind == "b":
            numbers[:] = math.nan
        bad = np.flatnonzero(numbers.isna().to_numpy() & values.notna().to_numpy())
        if bad.size:
            row = int(bad[0])
            raise InputError(
                f"line {_line(frame, row)}: column {column!r} holds {values.iloc[row]!r}, not a number"
            )
    empty = np.flatnonzero(numbers.isna().to_numpy())
    if empty.size:
        raise InputError(f"line {_line(frame, int(empty[0]))}: column {column!r} is empty")
    infinite = np.flatnonzero(~np.isfinite(numbers.to_numpy()))
    if infinite.size:
        row = int(infinite[0])
        raise InputError(
            f"line {_line(frame, row)}: column {column!r} holds {float(numbers.iloc[row])!r}:"
            " coordinates must be finite"
        )
    return numbers


def _check_keys(frame: pd.DataFrame, column: str) -> None:
    empty = np.flatnonzero(frame[column].isna().to_numpy())
    if empty.size:
        raise InputError(f"line {_line(frame, int(empty[0]))}: column {column!r} is empty: every point needs a group")


def _table_text(result: pd.DataFrame, grouped: Grouped) -> str:
    if "inliers" in result.columns:
        # A mask per group does not fit a cell; the count of points left out does.
        counts: list[int] = (grouped.sizes - result["n"].to_numpy()).tolist()
        failed: list[bool] = result["inliers"].isna().tolist()
        outliers = pd.Series([None if f else c for c, f in zip(counts, failed)], index=result.index,
                             dtype="Int64")
        result = result.drop(columns="inliers")
        result.insert(list(result.columns).index("n") + 1, "outliers", outliers)
    buffer = io.StringIO()
    result.to_csv(buffer)
    return buffer.getvalue()


def _replace_atomically(path: str, write: Callable[[str], object]) -> None:
    """Writes through a temporary file beside `path`, then renames it into place."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".tondrakit-", dir=folder)
    os.close(handle)
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _run(args: argparse.Namespace) -> int:
    if args.threshold is not None and not args.robust:
        raise InputError("--threshold applies to robust fits only: add --robust")
    if args.jobs < 1:
        raise InputError(f"--jobs must be at least 1, not {args.jobs}")
    options, on_error = check_options(args.method, args.robust, args.threshold, args.on_error)
    if args.plot:
        from ._plot import require_matplotlib

        try:
            require_matplotlib()
        except ImportError as e:
            raise InputError(f"--plot: {e}") from None

    x: str = args.x
    y: str = args.y
    by: str = args.by
    frame = _read(args.input)
    _require_columns(frame, [(x, "-x"), (y, "-y"), (by, "--by")])
    _check_keys(frame, by)
    # Names of their own for the coordinates, so that no choice of --by can clash with them.
    points = pd.DataFrame({
        "\0x": _check_numbers(frame, x).to_numpy(),
        "\0y": _check_numbers(frame, y).to_numpy(),
        by: frame[by].to_numpy(),
    })
    try:
        grouped = group(points, "\0x", "\0y", by)
    except (TypeError, ValueError) as e:
        raise InputError(str(e)) from None
    progress = sys.stderr.isatty() and len(grouped.keys) >= _PROGRESS_GROUPS
    executor: Executor | None = ProcessPoolExecutor(args.jobs) if args.jobs > 1 else None
    try:
        result = fit_grouped(grouped, options, on_error, executor, progress)
    finally:
        if executor is not None:
            executor.shutdown(cancel_futures=True)
    text = _table_text(result, grouped)

    if args.plot:
        from ._plot import PLOT_LIMIT, plot_groups

        title = f"{os.path.basename(args.input)}: {len(grouped.keys)} groups, {args.method}"
        _replace_atomically(args.plot, lambda p: plot_groups(grouped, result, p, title))
        if len(grouped.keys) > PLOT_LIMIT:
            print(f"{PROG}: {args.plot} shows the first {PLOT_LIMIT} of {len(grouped.keys)} groups", file=sys.stderr)
    if args.output:
        def write_table(p: str) -> None:
            with open(p, "w", encoding="utf-8", newline="") as f:
                f.write(text)

        _replace_atomically(args.output, write_table)
    else:
        sys.stdout.write(text)
        sys.stdout.flush()
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns the exit status."""
    try:
        args = _parser().parse_args(argv)
    except SystemExit as e:  # --help, or a usage error already reported in one line
        return e.code if isinstance(e.code, int) else EXIT_BAD_INPUT
    try:
        return _run(args)
    except InputError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except FitError as e:
        hint = "" if args.on_error == "nan" else " (--on-error nan writes such a group as a row of NaN)"
        print(f"{PROG}: {e}{hint}", file=sys.stderr)
        return EXIT_NO_CIRCLE
    except OSError as e:
        where = f" {e.filename}" if getattr(e, "filename", None) else ""
        print(f"{PROG}: cannot write{where}: {e.strerror or e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        return 130
