"""The one place that checks the kit's options: every entry point (fit, fit_robust, fit_groups,
Dask and the command) takes its options through these functions, so that the same value is
accepted or refused everywhere, with the same message."""

from __future__ import annotations

import math
import operator
import os
import secrets
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Final, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, cast, get_args

import numpy as np
import numpy.typing as npt

from . import _engine

__all__ = [
    "METHODS", "Knowns", "Method", "OnError", "OptionError", "Options", "RobustOptions",
    "check_knowns", "check_method", "check_options",
]

Method: TypeAlias = Literal["geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid"]
OnError: TypeAlias = Literal["raise", "nan"]
Reference: TypeAlias = Literal["least_squares", "minimum_zone", "circumscribed", "inscribed"]

_T = TypeVar("_T")

# The robust fit's defaults.
DEFAULT_CONFIDENCE: Final = 0.999
DEFAULT_MAX_TRIALS: Final = 2000
DEFAULT_SEED: Final = 0
# A table gets one panel per group up to this many by default: beyond it, each is too small to
# show its points.
PLOT_PANELS: Final = 16

# The methods in the order the kit lists them, the default first.
METHODS: Final[tuple[str, ...]] = get_args(Method)
# Each method's code in the engine.
METHOD_CODES: Final[dict[str, int]] = {name: _engine.METHODS.index(name) for name in METHODS}
ON_ERROR: Final[tuple[str, ...]] = get_args(OnError)
# The reference circles of roundness.
REFERENCES: Final[tuple[str, ...]] = get_args(Reference)


def check_method(method: object) -> Method:
    """The method name itself, or ValueError listing the allowed ones."""
    if isinstance(method, str) and method in METHOD_CODES:
        return cast(Method, method)
    allowed = ", ".join(repr(m) for m in METHODS)
    raise ValueError(f"unknown method {method!r}: expected one of {allowed}")


def _number(name: str, value: object, what: str = "a number") -> float:
    kind = type(value)
    # Real numbers only: bool is no number here, and complex has no order to check.
    if kind is bool or kind is np.bool_ or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be {what}, not {kind.__name__}")
    try:
        return float(cast(SupportsFloat, value))
    except OverflowError:
        raise ValueError(f"{name} must be a finite number, got an int too large for a float") from None


def _integer(name: str, value: object) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(cast(SupportsIndex, value))
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


def _counted(name: str, value: object, most: int, most_text: str) -> int:
    """An int from 1 to `most` (spelled `most_text` in the message)."""
    count = _integer(name, value)
    if count < 1:
        raise ValueError(f"{name} must be at least 1, got {count}")
    if count > most:
        raise ValueError(f"{name} must be at most {most_text}, got {count}")
    return count


def check_threshold(threshold: object) -> float | None:
    if threshold is None:
        return None
    value = _number("threshold", threshold, "a number or None")
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"threshold must be a positive finite number, got {value!r}")
    return value


def check_confidence(confidence: object) -> float:
    value = _number("confidence", confidence)
    if not 0.0 < value < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {value!r}")
    return value


# The largest counts the engine takes (a trial count is 64 bits; a thread per worker beyond this
# many could not be started anyway).
MAX_TRIALS: Final = (1 << 63) - 1
MAX_WORKERS: Final = 1 << 16


def check_max_trials(max_trials: object) -> int:
    return _counted("max_trials", max_trials, MAX_TRIALS, "2**63 - 1")


def check_seed(seed: object) -> int:
    """The seed as 64 bits; None draws fresh ones."""
    if seed is None:
        return secrets.randbits(64)
    value = _integer("seed", seed)
    if not 0 <= value < 1 << 64:
        raise ValueError(f"seed must be None or an int in [0, 2**64), got {value}")
    return value


def default_workers() -> int:
    """The CPUs this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # not Linux
        return max(1, os.cpu_count() or 1)


def check_workers(workers: object) -> int:
    if workers is None:
        return default_workers()
    return _counted("workers", workers, MAX_WORKERS, str(MAX_WORKERS))


def check_flag(name: str, value: object) -> bool:
    """True or False itself: text such as "yes" or "false" would be true."""
    if type(value) not in (bool, np.bool_):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def check_executor(executor: object) -> Executor | None:
    """None, or an object with an executor's submit (a concurrent.futures.Executor, or a
    cluster's client)."""
    if executor is None:
        return None
    if isinstance(executor, str) or not callable(getattr(executor, "submit", None)):
        # A name such as "threads" is what a caller who wants threads tries first.
        hint = ": for threads, pass workers= instead" if isinstance(executor, str) else ""
        raise TypeError(
            "executor must be None or have a submit method (a concurrent.futures.Executor),"
            f" not {type(executor).__name__}{hint}"
        )
    return cast(Executor, executor)


def check_on_error(on_error: object) -> OnError:
    if on_error == "raise":
        return "raise"
    if on_error == "nan":
        return "nan"
    allowed = ", ".join(repr(o) for o in ON_ERROR)
    raise ValueError(f"unknown on_error {on_error!r}: expected one of {allowed}")


def check_reference(reference: object, *, allow_all: bool = False) -> str:
    """The reference's name itself, or ValueError listing the allowed ones."""
    allowed = (*REFERENCES, "all") if allow_all else REFERENCES
    if isinstance(reference, str) and reference in allowed:
        return reference
    names = ", ".join(repr(r) for r in allowed)
    raise ValueError(f"unknown reference {reference!r}: expected one of {names}")


def check_code(name: str, value: object, codes: Mapping[str, int]) -> int:
    """The engine's code of the name `value` among `codes`, or ValueError listing them."""
    code = codes.get(value) if isinstance(value, str) else None
    if code is None:
        raise ValueError(f"{name} must be one of {sorted(codes)}, not {value!r}")
    return code


def check_max_panels(max_panels: object) -> int:
    if isinstance(max_panels, bool) or not isinstance(max_panels, int):
        raise TypeError(f"max_panels must be an int, not {type(max_panels).__name__}")
    if max_panels < 1:
        raise ValueError(f"max_panels must be at least 1, got {max_panels!r}")
    return max_panels


def check_labels(labels: object) -> tuple[str, str] | None:
    """None, or the plot's two axis labels."""
    if labels is None:
        return None
    items = tuple(cast("tuple[object, ...]", labels)) if isinstance(labels, (tuple, list)) else None
    if items is None or len(items) != 2 or not all(isinstance(text, str) for text in items):
        raise TypeError(f"labels must be a pair of texts (the x axis's, the y axis's), not {labels!r}")
    return cast("tuple[str, str]", items)


def check_fitted_method(method: object) -> None:
    """The plot's name of the method a table was fitted with: any text, or None."""
    if method is not None and not isinstance(method, str):
        raise TypeError(f"method must be the name the fits were made with, not {type(method).__name__}")


class OptionError(ValueError):
    """A bad option of the command, its message led by the option as the command spells it."""


def check_robust_only(
    robust: bool, given: Iterable[tuple[str, object]], spelling: Mapping[str, str] | None = None
) -> None:
    """Refuses the options that only a robust fit takes, (name, value) of each, unless `robust`;
    `spelling`: the command's names of the options."""
    if robust:
        return
    for name, value in given:
        if value is None:
            continue
        if spelling is None:
            raise ValueError(f"{name} applies to robust fits only: pass robust=True with it")
        raise OptionError(
            f"{spelling[name]} applies to robust fits only: add {spelling['robust']}"
        )


@dataclass(frozen=True, slots=True)
class RobustOptions:
    """The robust fit's settings, checked (small and picklable: they travel with each task)."""

    threshold: float | None = None
    confidence: float = DEFAULT_CONFIDENCE
    max_trials: int = DEFAULT_MAX_TRIALS
    seed: int = DEFAULT_SEED

    @classmethod
    def check(
        cls, threshold: object, confidence: object, max_trials: object, seed: object
    ) -> RobustOptions:
        return cls(
            check_threshold(threshold),
            check_confidence(confidence),
            check_max_trials(max_trials),
            check_seed(seed),
        )

    def engine_args(self) -> tuple[float | None, float, int, int]:
        """As the engine takes them."""
        return (self.threshold, self.confidence, self.max_trials, self.seed)


@dataclass(frozen=True, slots=True)
class Options:
    """What a fit of many groups needs besides the points: the method, the robust settings, the
    column of weights, the radius bounds (lo, hi) and the reference circle of roundness."""

    method: Method
    robust: RobustOptions | None
    weights: Hashable | None = None
    bounds: tuple[float, float] | None = None
    roundness: str | None = None


def check_options(
    method: object, robust: object, threshold: object, on_error: object, weights: object = None,
    radius: object = None, radius_bounds: object = None, *, confidence: object = None,
    workers: object = None, roundness: object = None, spelling: Mapping[str, str] | None = None,
) -> tuple[Options, OnError]:
    """The options of a fit of many groups (fit_groups, Dask, the command), checked; `weights`
    is a column name, `confidence` None for the default. `spelling`: the command's name of each
    option, which then leads the message of an OptionError."""

    def checked(name: str, check: Callable[..., _T], *args: object) -> _T:
        try:
            return check(*args)
        except (TypeError, ValueError) as e:
            if spelling is None or isinstance(e, OptionError):
                raise
            raise OptionError(f"{spelling[name]}: {e}") from None

    checked_method = checked("method", check_method, method)
    is_robust = checked("robust", check_flag, "robust", robust)
    check_robust_only(is_robust, (("threshold", threshold), ("confidence", confidence)), spelling)
    settings = None
    if is_robust:
        settings = RobustOptions(
            checked("threshold", check_threshold, threshold),
            checked("confidence", check_confidence,
                    DEFAULT_CONFIDENCE if confidence is None else confidence),
        )
    bounds = checked("radius" if radius is not None else "radius_bounds", check_radius, radius,
                     radius_bounds)
    checked("method", check_knowns_method, checked_method, weights is not None, bounds)
    if weights is not None:
        try:
            hash(weights)
        except TypeError:
            raise TypeError(f"weights must name one column, not {weights!r}") from None
    checked_on_error = checked("on_error", check_on_error, on_error)
    if workers is not None:
        checked("workers", check_workers, workers)
    reference = None if roundness is None else checked("roundness", check_reference, roundness)
    options = Options(checked_method, settings, weights, bounds, reference)
    return options, checked_on_error


# The methods that take weights, and the one that takes radius bounds.
WEIGHTED_METHODS: Final[tuple[str, ...]] = ("geometric", "hyper", "taubin", "centroid")
BOUNDED_METHODS: Final[tuple[str, ...]] = ("geometric",)


def check_radius(radius: object, radius_bounds: object) -> tuple[float, float] | None:
    """radius and radius_bounds as one pair (lo, hi), 0 and inf standing for no bound; None
    when neither is given. A known radius R is the pair (R, R)."""
    if radius is not None:
        if radius_bounds is not None:
            raise ValueError("give radius or radius_bounds, not both")
        value = _number("radius", radius, "a number or None")
        if not (math.isfinite(value) and value > 0.0):
            raise ValueError(f"radius must be a positive finite number, got {value!r}")
        return (value, value)
    if radius_bounds is None:
        return None
    pair = cast("Sequence[object]", radius_bounds)
    if not isinstance(radius_bounds, (tuple, list)) or len(pair) != 2:
        raise TypeError(
            f"radius_bounds must be a pair (lo, hi), each a number or None, not {radius_bounds!r}"
        )
    lo_given, hi_given = pair
    lo = 0.0 if lo_given is None else _number("radius_bounds' lower bound", lo_given, "a number or None")
    hi = math.inf if hi_given is None else _number("radius_bounds' upper bound", hi_given, "a number or None")
    if not (math.isfinite(lo) and lo >= 0.0):
        raise ValueError(f"radius_bounds' lower bound must be a finite number >= 0, got {lo!r}")
    if not hi > 0.0:
        raise ValueError(f"radius_bounds' upper bound must be a positive number, got {hi!r}")
    if lo > hi:
        raise ValueError(f"radius_bounds ({lo!r}, {hi!r}): the lower bound exceeds the upper")
    return (lo, hi)


def check_weights(weights: object, n: int) -> npt.NDArray[np.float64]:
    """The weights as a fresh float64 array, n of them, finite, non-negative, not all 0, and at
    least 3 positive (a point of weight 0 is left out of the fit)."""
    from ._validate import as_float_array  # (numbers are judged as coordinates are)

    w = as_float_array("weights", weights)
    if w.ndim != 1:
        raise ValueError(f"weights has shape {w.shape}: expected a 1-D sequence of numbers")
    if w.shape[0] != n:
        raise ValueError(f"weights has {w.shape[0]} entries for {n} points")
    bad = np.flatnonzero(~np.isfinite(w))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"weights[{i}] is {float(w[i])!r}: weights must be finite")
    negative = np.flatnonzero(w < 0.0)
    if negative.size:
        i = int(negative[0])
        raise ValueError(f"weights[{i}] is {float(w[i])!r}: weights must not be negative")
    positive = int(np.count_nonzero(w))
    if positive == 0:
        raise ValueError("weights are all 0: at least one must be positive")
    if positive < 3:
        raise ValueError(f"need at least 3 points of positive weight, got {positive}")
    return np.array(w, dtype=np.float64, order="C", copy=True)


def check_knowns_method(method: str, weighted: bool, bounds: tuple[float, float] | None) -> None:
    """Refuses weights or radius bounds to the methods that cannot take them."""
    if weighted and method not in WEIGHTED_METHODS:
        allowed = ", ".join(repr(m) for m in WEIGHTED_METHODS)
        raise ValueError(f"method {method!r} takes no weights: use one of {allowed}")
    if bounds is not None and method not in BOUNDED_METHODS:
        raise ValueError(
            f"radius and radius_bounds apply to method 'geometric' only, not {method!r}"
        )


@dataclass(frozen=True, slots=True)
class Knowns:
    """What the caller knows besides the points: whether there are weights (their values come
    with the points), and the radius bounds (lo, hi) or None."""

    weighted: bool = False
    bounds: tuple[float, float] | None = None


def check_knowns(
    method: str, weighted: bool, radius: object, radius_bounds: object
) -> Knowns:
    """radius, radius_bounds and the presence of weights, checked against `method` (already
    checked itself)."""
    bounds = check_radius(radius, radius_bounds)
    check_knowns_method(method, weighted, bounds)
    return Knowns(weighted, bounds)
