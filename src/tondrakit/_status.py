"""What became of a fit, in words: the engine's status codes and the message of each.

The engine reports a failed set by a code and the numbers its message needs; every entry point
words it here, so that fit, fit_robust, fit_groups, Dask and the command say the same thing.
"""

from __future__ import annotations

from typing import Final

import numpy as np
import numpy.typing as npt

from . import _engine
from ._errors import FitError
from ._validate import points

__all__ = ["STATUS", "TERMINATION_WORDS", "failure_text", "fit_error", "input_error"]

# Each of the engine's statuses' code, by name.
STATUS: Final[dict[str, int]] = {name: code for code, name in enumerate(_engine.STATUSES)}

OK: Final = STATUS["ok"]
TOO_FEW: Final = STATUS["too_few"]
NOT_FINITE: Final = STATUS["not_finite"]
COINCIDENT: Final = STATUS["coincident"]
COLLINEAR: Final = STATUS["collinear"]
NO_FINITE_CIRCLE: Final = STATUS["no_finite_circle"]
FIT_FAILED: Final = STATUS["fit_failed"]
NO_SAMPLE: Final = STATUS["no_sample"]
TOO_FEW_INLIERS: Final = STATUS["too_few_inliers"]
INLIERS_NO_CIRCLE: Final = STATUS["inliers_no_circle"]
LINE_LIKE: Final = STATUS["line_like"]
CANCELLED: Final = STATUS["cancelled"]
NO_MEMORY: Final = STATUS["no_memory"]
NO_CIRCLE_IN_BOUNDS: Final = STATUS["no_circle_in_bounds"]
COPLANAR: Final = STATUS["coplanar"]

# The statuses of bad input: their words are the input checks' (see input_error).
INPUT_STATUSES: Final = (TOO_FEW, NOT_FINITE)

# Why an iterative fit stopped, in words, by the engine's name of the reason; a direct method
# ("none") has no such reason.
_WORDS: Final[dict[str, str | None]] = {
    "none": None,
    "converged": "converged",
    "max_iterations": "iteration limit",
    "no_progress": "no progress",
    "diverged": "diverged",
    "not_finite": "not finite",
}
# The words of each of the engine's termination codes.
TERMINATION_WORDS: Final[tuple[str | None, ...]] = tuple(
    _WORDS[name] for name in _engine.TERMINATIONS
)

# The name under which each method's failure is reported.
_FIT_NAMES: Final[dict[str, str]] = {
    "lsq": "the native fit fit_lsq",
    "nelder_mead": "the native fit fit_lsq(method='nelder_mead')",
    "taubin": "the native fit taubin_svd",
    "centroid": "the native fit fit_geometrical",
}


def failure_text(
    status: int, *, detail: int = OK, method: str = "", centre: tuple[float, ...] = (),
    r: float = float("nan"), n: int = 0, trials: int = 0, threshold: float = float("nan"),
    message: str | None = None, bounded: bool = False, shape: str = "circle",
) -> str:
    """The message of a failed fit (not of bad input: see input_error); `bounded`: the fit had
    radius bounds; `shape`: what the fit looked for."""
    if status == COINCIDENT:
        return f"all points coincide: they determine no {shape}"
    if status == COLLINEAR:
        return f"the points are collinear: no {shape} passes through them"
    if status == COPLANAR:
        return f"the points lie on one plane: no unique {shape} passes through them"
    if status == NO_FINITE_CIRCLE:
        where = ", ".join(repr(c) for c in centre)
        return f"the fit gave no finite {shape}: centre ({where}), radius {r!r}"
    if status == FIT_FAILED:
        return f"{_FIT_NAMES.get(method, f'the fit {method}')} failed: {message}"
    if status == LINE_LIKE:
        return "the points fit a line better than any circle"
    if status == NO_SAMPLE and bounded:
        return f"no sample gives a circle within the radius bounds ({trials} samples)"
    if status == NO_SAMPLE:
        return f"no sample of 3 points determines a circle ({trials} samples, all collinear)"
    if status == TOO_FEW_INLIERS:
        return (
            f"the best sample has only {n} inliers within {threshold!r}: too few for a circle"
        )
    if status == INLIERS_NO_CIRCLE:
        inner = failure_text(
            detail, method=method, centre=centre, r=r, n=n, trials=trials, threshold=threshold,
            message=message, bounded=bounded,
        )
        return f"the {n} inliers determine no circle: {inner}"
    if status == CANCELLED:
        return "the fit was stopped before it was done"
    if status == NO_MEMORY:
        return "out of memory while fitting"
    if status == NO_CIRCLE_IN_BOUNDS:
        return (
            f"no circle within the radius bounds fits the points: the nearest, of radius {r!r},"
            " leaves an rms residual larger than its radius"
        )
    return f"the fit stopped (status {status})"


def input_error(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> BaseException:
    """The error the input checks give for points the engine found too few or not finite."""
    try:
        points(x, y)
    except (TypeError, ValueError) as e:
        return e
    return ValueError("the points failed the input checks")


def fit_error(status: int, text: str) -> Exception:
    """The exception for a failed fit: FitError, or MemoryError when memory ran out."""
    return MemoryError(text) if status == NO_MEMORY else FitError(text)
