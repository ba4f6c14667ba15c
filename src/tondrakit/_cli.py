"""The ``tondrakit`` command: a circle for every group of points in a CSV or Parquet table.

Every problem with the input or the options is one line on standard error and exit status 2,
never a traceback, found before any fitting where it can be; a group that gives no circle is
exit status 1 (or a NaN row with --on-error nan). Output files appear only when the whole run
succeeded, all of them or none.

--help and --version answer before numpy, pandas or even argparse are imported: a command that
takes a fifth of a second to say how it is used feels broken.
"""

from __future__ import annotations

import os
import sys

# Not typing.TYPE_CHECKING: importing typing alone takes longer than the interpreter's start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence
    from typing import Final, NoReturn

    import pandas as pd

    from ._io import Table
    from ._options import OnError, Options
    from ._outputs import Outputs

__all__ = ["main"]

PROG: Final = "tondrakit"
# A progress bar for fewer points than this would flash by.
_PROGRESS_POINTS: Final = 1_000_000
# The input rows written by --inliers get this column.
INLIER_COLUMN: Final = "inlier"

EXIT_OK: Final = 0
EXIT_NO_CIRCLE: Final = 1
EXIT_BAD_INPUT: Final = 2
EXIT_INTERRUPTED: Final = 130

# Kept by hand so that --help needs no argparse; a test holds it to the parser's options.
HELP: Final = """\
usage: tondrakit [-h] [--version] [-x COL] [-y COL] [--by COL] [-w COL] [--method M]
                 [--radius R] [--radius-min LO] [--radius-max HI] [--robust]
                 [--threshold T] [--confidence P] [--on-error {raise,nan}] [-j N]
                 [--roundness REF] [-o OUT] [--inliers OUT] [--plot PICTURE] INPUT

Fit a circle to every group of points in a table and write one row per group: cx, cy, r,
rms, n, stderr_cx, stderr_cy, stderr_r; then threshold, trials, points and inliers (with
--robust), error (with --on-error nan) and ref_cx, ref_cy, inner, outer, ront and support
(with --roundness).

arguments:
  INPUT               the points, one per row: a .csv or .parquet file ('-' reads CSV
                      from standard input)

options:
  -h, --help          show this help and exit
  --version           show the version and exit
  -x COL              column of x coordinates (default: x)
  -y COL              column of y coordinates (default: y)
  --by COL            column of group keys (default: group)
  -w COL              column of weights: finite, not negative, relative to one another
                      (a point of weight 0 is left out)
  --method M          how centres are found: geometric (the default), hyper, lsq,
                      nelder_mead, taubin or centroid
  --radius R          every circle has the radius R: only centres are fitted (geometric)
  --radius-min LO     no circle has a radius below LO (geometric)
  --radius-max HI     no circle has a radius above HI (geometric)
  --robust            fit each group robustly, leaving its outliers out
  --threshold T       with --robust: the largest distance from the circle of an inlier
                      (default: estimated for each group)
  --confidence P      with --robust: the probability, between 0 and 1, that the samples
                      include one of inliers only (default: 0.999)
  --on-error {raise,nan}
                      a group without a circle stops the run (raise, the default) or is
                      written as NaN with its message in the column 'error' (nan)
  -j N, --jobs N      fit on N threads (default: one per CPU)
  --roundness REF     also each group's reference circle of roundness: minimum_zone,
                      least_squares, circumscribed or inscribed; 'support' holds the
                      positions of its support points in the group, separated by spaces
  -o OUT, --output OUT
                      write the table to OUT, a .csv or .parquet file ('-', the default:
                      CSV on standard output)
  --inliers OUT       with --robust: write the input rows to OUT (.csv or .parquet) with
                      the column 'inlier', True for the points their group's circle was
                      fitted to
  --plot PICTURE      draw the points and circles of the first 16 groups, a panel each,
                      to PICTURE, a .png, .pdf or .svg file (needs matplotlib)

In CSV output the column 'inliers' holds a string of 0 and 1, one character per point of
the group in input order (1: an inlier); Parquet keeps it as a list of booleans.

Exit status: 0 on success; 1 when a group gives no circle (with --on-error raise); 2 for
bad input or options (a missing column, a cell that is not a number, an unreadable file, a
bad value, an output that cannot be written). Outputs are written only when the run
succeeds, through the names given: a symbolic link, a pipe or a device is written to, not
replaced.
"""

# The command's name of each option of the kit's checks, which leads their messages.
_SPELLING: Final = {
    "method": "--method", "robust": "--robust", "threshold": "--threshold",
    "confidence": "--confidence", "on_error": "--on-error", "workers": "-j",
    "radius": "--radius", "radius_bounds": "--radius-min/--radius-max",
    "roundness": "--roundness", "inliers": "--inliers", "weights": "-w",
}

# Options whose value may be a negative number, which argparse would take for an option.
_NUMBER_OPTIONS: Final = frozenset({
    "--threshold", "--confidence", "-j", "--jobs", "--radius", "--radius-min", "--radius-max",
})


class _Stop(Exception):
    """Raised by the parser instead of exiting: one line, and the status to exit with."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def _version() -> str:
    """The installed distribution's version, found without importlib.metadata (which alone
    takes three times as long to import as the interpreter takes to start)."""
    site = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    prefix = "tondra-"
    try:
        for entry in os.listdir(site):
            if entry.startswith(prefix) and entry.endswith(".dist-info"):
                return entry[len(prefix):-len(".dist-info")]
    except OSError:
        pass
    from importlib import metadata

    try:
        return metadata.version("tondra")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def _parser() -> argparse.ArgumentParser:
    import argparse

    class Parser(argparse.ArgumentParser):
        def error(self, message: str) -> NoReturn:
            # One line, like every other input problem, instead of argparse's usage block.
            raise _Stop(EXIT_BAD_INPUT, f"{message} (see {PROG} --help)")

    parser = Parser(prog=PROG, add_help=False, allow_abbrev=False)
    parser.add_argument("input", metavar="INPUT")
    parser.add_argument("-x", default="x", metavar="COL")
    parser.add_argument("-y", default="y", metavar="COL")
    parser.add_argument("--by", default="group", metavar="COL")
    parser.add_argument("-w", dest="weights", metavar="COL")
    parser.add_argument("--method", default="geometric", metavar="M")
    parser.add_argument("--radius", metavar="R")
    parser.add_argument("--radius-min", metavar="LO")
    parser.add_argument("--radius-max", metavar="HI")
    parser.add_argument("--robust", action="store_true")
    parser.add_argument("--threshold", metavar="T")
    parser.add_argument("--confidence", metavar="P")
    parser.add_argument("--on-error", default="raise", metavar="{raise,nan}")
    parser.add_argument("-j", "--jobs", metavar="N")
    parser.add_argument("--roundness", metavar="REF")
    parser.add_argument("-o", "--output", metavar="OUT")
    parser.add_argument("--inliers", metavar="OUT")
    parser.add_argument("--plot", metavar="PICTURE")
    return parser


def _plain_digits(text: str) -> bool:
    """Whether a number is written as the table's cells must be: ASCII, without the
    underscores or other scripts' digits that Python's own float and int also read."""
    return text.isascii() and "_" not in text


def _is_number(text: str) -> bool:
    if not _plain_digits(text):
        return False
    try:
        float(text)
    except ValueError:
        return False
    return True


def _joined_numbers(argv: Sequence[str]) -> list[str]:
    """`--threshold -1` as `--threshold=-1`, so that a negative value reaches the check that
    explains what is wrong with it."""
    out: list[str] = []
    k = 0
    while k < len(argv):
        token = argv[k]
        if token == "--":
            return out + list(argv[k:])
        if token in _NUMBER_OPTIONS and k + 1 < len(argv) and argv[k + 1].startswith("-") \
                and _is_number(argv[k + 1]):
            out.append(f"{token}={argv[k + 1]}")
            k += 2
            continue
        out.append(token)
        k += 1
    return out


# --- options ------------------------------------------------------------------------------------


class _Options:
    """The command's options, checked; every problem raises InputError naming the option."""

    def __init__(self, args: argparse.Namespace) -> None:
        from ._io import InputError
        from ._options import OptionError, check_options, check_robust_only

        self.input: str = args.input
        self.x: str = args.x
        self.y: str = args.y
        self.by: str = args.by
        self.weights: str | None = args.weights
        self.robust: bool = args.robust
        # '-' (the default): standard output.
        self.output: str = "-" if args.output is None else args.output
        self.inliers: str | None = args.inliers
        self.plot: str | None = args.plot
        try:
            check_robust_only(self.robust, (("threshold", args.threshold),
                                            ("confidence", args.confidence),
                                            ("inliers", args.inliers)), _SPELLING)
            threshold = None if args.threshold is None else _float("--threshold", args.threshold)
            confidence = None if args.confidence is None else _float("--confidence", args.confidence)
            self.jobs = _jobs(args.jobs)
            radius = None if args.radius is None else _float("--radius", args.radius)
            bounds = None
            if args.radius_min is not None or args.radius_max is not None:
                bounds = (None if args.radius_min is None else _float("--radius-min", args.radius_min),
                          None if args.radius_max is None else _float("--radius-max", args.radius_max))
            self.fit: Options
            self.on_error: OnError
            self.fit, self.on_error = check_options(
                args.method, self.robust, threshold, args.on_error,
                None if self.weights is None else _WEIGHTS, radius, bounds, confidence=confidence,
                workers=self.jobs, roundness=args.roundness, spelling=_SPELLING,
            )
        except OptionError as e:
            raise InputError(str(e)) from None
        self.method: str = self.fit.method
        self._check_files()

    def _check_files(self) -> None:
        from ._io import InputError, require_parquet, table_format
        from ._outputs import check_writable, same_output

        if table_format(self.input) == "parquet":
            require_parquet(self.input)
        outputs = [(p, o) for p, o in ((self.output, "-o"), (self.inliers, "--inliers"),
                                       (self.plot, "--plot")) if p is not None]
        for path, option in outputs:
            if option == "--plot":
                _check_picture(path)
            elif table_format(path, option) == "parquet":
                require_parquet(path)
        for k, (path, option) in enumerate(outputs):
            if any(same_output(path, earlier) for earlier, _ in outputs[:k]):
                shown = "standard output" if path == "-" else path
                raise InputError(f"{option} {shown}: the same file as another output")
            check_writable(path)


def _float(option: str, text: str) -> float:
    from ._io import InputError

    try:
        if not _plain_digits(text):
            raise ValueError(text)
        return float(text)
    except ValueError:
        raise InputError(f"{option}: {text!r} is not a number") from None


def _jobs(text: str | None) -> int | None:
    from ._io import InputError

    if text is None:
        return None
    try:
        if not _plain_digits(text):
            raise ValueError(text)
        return int(text)
    except ValueError:
        raise InputError(f"-j: {text!r} is not a whole number") from None


def _check_picture(path: str) -> None:
    from ._io import InputError
    from ._plot import FORMATS, require_matplotlib

    suffix = os.path.splitext(path)[1]
    if suffix.lower().lstrip(".") not in FORMATS:
        known = ", ".join(f".{f}" for f in FORMATS[:-1]) + f" or .{FORMATS[-1]}"
        raise InputError(f"--plot {path}: unknown picture format {suffix!r}: use {known}")
    try:
        require_matplotlib()
    except ImportError as e:
        raise InputError(f"--plot: {e}") from None


# --- the run ------------------------------------------------------------------------------------


# The column of weights in the table handed to the fit (see _points).
_WEIGHTS: Final = "\0w"


def _points(table: Table, options: _Options) -> pd.DataFrame:
    """The checked coordinates, weights and keys; the coordinates and weights under names of
    their own, so that no choice of --by can clash with them."""
    import pandas as pd

    wanted = [(options.x, "-x"), (options.y, "-y"), (options.by, "--by")]
    if options.weights is not None:
        wanted.append((options.weights, "-w"))
    table.require_columns(wanted)
    table.check_keys(options.by)
    xs = table.numbers(options.x)
    ys = table.numbers(options.y)
    columns = {"\0x": xs, "\0y": ys, options.by: table.frame[options.by].to_numpy()}
    if options.weights is not None:
        columns[_WEIGHTS] = table.weights(options.weights)
    return pd.DataFrame(columns)


def _csv_ready(result: pd.DataFrame) -> pd.DataFrame:
    """The table with each inlier mask as one field of 0 and 1."""
    if "inliers" not in result.columns:
        return result
    import pandas as pd

    from ._inliers import mask_text

    text = pd.Series([mask_text(m) for m in result["inliers"].tolist()], index=result.index,
                     dtype=object)
    return result.assign(inliers=text)


def _fit(points: pd.DataFrame, options: _Options) -> pd.DataFrame:
    from ._errors import FitError
    from ._groups import fit_frame
    from ._io import InputError

    progress = sys.stderr.isatty() and len(points) >= _PROGRESS_POINTS
    try:
        result = fit_frame(points, "\0x", "\0y", options.by, options.fit, options.on_error,
                           progress=progress, workers=options.jobs)
    except FitError:
        raise
    except (TypeError, ValueError) as e:  # the coordinates and keys were checked: a safety net
        raise InputError(str(e)) from None
    if "support" in result.columns:
        import pandas as pd

        texts = [None if t is None else " ".join(map(str, t)) for t in result["support"].tolist()]
        result["support"] = pd.Series(texts, index=result.index, dtype=object)
    return result


def _draw(result: pd.DataFrame, points: pd.DataFrame, options: _Options, outputs: Outputs) -> None:
    import importlib

    from ._plot import PLOT_PANELS, plot

    assert options.plot is not None
    path = options.plot
    matplotlib = importlib.import_module("matplotlib")
    matplotlib.use("Agg")  # a file, never a window
    plt = importlib.import_module("matplotlib.pyplot")
    panels = plot(result, points, x="\0x", y="\0y", by=options.by, method=options.method,
                  labels=(options.x, options.y))
    figure = panels[0].figure
    try:
        picture = os.path.splitext(path)[1].lower().lstrip(".")
        outputs.stage(path, lambda out: figure.savefig(out, format=picture))
    finally:
        plt.close(figure)
    if len(result) > PLOT_PANELS:
        print(f"{PROG}: {path} shows the first {PLOT_PANELS} of {len(result)} groups", file=sys.stderr)


def _run(options: _Options) -> int:
    from ._inliers import inlier_rows
    from ._io import InputError, read_table, table_format
    from ._outputs import Outputs

    table = read_table(options.input)
    if options.inliers is not None and INLIER_COLUMN in table.frame.columns:
        raise InputError(f"--inliers: {table.name} already has a column {INLIER_COLUMN!r}")
    points = _points(table, options)
    result = _fit(points, options)
    with Outputs() as outputs:
        if options.plot is not None:
            _draw(result, points, options, outputs)
        if options.inliers is not None:
            flags = inlier_rows(result, points, by=options.by).to_numpy()
            outputs.stage_table(table.frame.assign(**{INLIER_COLUMN: flags}), options.inliers,
                                index=False)
        parquet = table_format(options.output) == "parquet"
        outputs.stage_table(result if parquet else _csv_ready(result), options.output, index=True)
        outputs.commit()
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    head = arguments[:arguments.index("--")] if "--" in arguments else arguments
    if "-h" in head or "--help" in head:
        sys.stdout.write(HELP)
        return EXIT_OK
    if "--version" in head:
        print(f"{PROG} {_version()}")
        return EXIT_OK
    options: _Options | None = None
    try:
        options = _Options(_parser().parse_args(_joined_numbers(arguments)))
        return _run(options)
    except _Stop as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as e:
        from ._errors import FitError
        from ._io import InputError

        if isinstance(e, InputError):
            print(f"{PROG}: {e}", file=sys.stderr)
            return EXIT_BAD_INPUT
        if isinstance(e, FitError):
            hint = "" if options is None or options.on_error == "nan" else (
                " (--on-error nan writes such a group as a row of NaN)")
            print(f"{PROG}: {e}{hint}", file=sys.stderr)
            return EXIT_NO_CIRCLE
        raise
