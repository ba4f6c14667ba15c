"""The one place that checks the kit's options: every entry point (fit, fit_robust, fit_groups,
Dask and the command) takes its options through these functions, so that the same value is
accepted or refused everywhere, with the same message."""

from __future__ import annotations

import math
import operator
import os
import secrets
from dataclasses import dataclass
from typing import Final, Literal, SupportsFloat, SupportsIndex, TypeAlias, cast

import numpy as np

__all__ = ["METHODS", "Method", "OnError", "Options", "RobustOptions", "check_method"]

Method: TypeAlias = Literal["geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid"]
OnError: TypeAlias = Literal["raise", "nan"]

# Each method's code in the engine.
METHOD_CODES: Final[dict[str, int]] = {
    "geometric": 5, "hyper": 4, "lsq": 0, "nelder_mead": 1, "taubin": 2, "centroid": 3,
}
METHODS: Final[tuple[str, ...]] = tuple(METHOD_CODES)
ON_ERROR: Final[tuple[str, ...]] = ("raise", "nan")


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
    return float(cast(SupportsFloat, value))


def _integer(name: str, value: object) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(cast(SupportsIndex, value))
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


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


def check_max_trials(max_trials: object) -> int:
    value = _integer("max_trials", max_trials)
    if value < 1:
        raise ValueError(f"max_trials must be at least 1, got {value}")
    return value


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
    value = _integer("workers", workers)
    if value < 1:
        raise ValueError(f"workers must be at least 1, got {value}")
    return value


def check_on_error(on_error: object) -> OnError:
    if on_error == "raise":
        return "raise"
    if on_error == "nan":
        return "nan"
    allowed = ", ".join(repr(o) for o in ON_ERROR)
    raise ValueError(f"unknown on_error {on_error!r}: expected one of {allowed}")


@dataclass(frozen=True, slots=True)
class RobustOptions:
    """The robust fit's settings, checked (small and picklable: they travel with each task)."""

    threshold: float | None = None
    confidence: float = 0.999
    max_trials: int = 2000
    seed: int = 0

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
    """What a fit of many groups needs besides the points."""

    method: Method
    robust: RobustOptions | None


def check_options(
    method: object, robust: object, threshold: object, on_error: object
) -> tuple[Options, OnError]:
    """fit_groups' options (the robust ones at fit_robust's defaults), checked."""
    checked = check_method(method)
    if type(robust) not in (bool, np.bool_):
        raise TypeError(f"robust must be True or False, not {robust!r}")
    if threshold is not None and not robust:
        raise ValueError("threshold applies to robust fits only: pass robust=True with it")
    settings = RobustOptions(threshold=check_threshold(threshold)) if robust else None
    return Options(checked, settings), check_on_error(on_error)
