"""Many point sets through the engine at once: flat coordinates and group offsets in, one array
per result column out."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TypeAlias

import numpy as np
import numpy.typing as npt

from . import _engine
from ._circle import Circle, make_circle, standard_errors
from ._options import METHOD_CODES, RobustOptions
from ._status import TERMINATION_WORDS, failure_text

__all__ = ["Columns", "run"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
IntArray: TypeAlias = "npt.NDArray[np.int64]"


@dataclass(frozen=True, slots=True)
class Columns:
    """The results of a batch, one entry per set (cov: (sets, 9); inliers: one per point)."""

    status: npt.NDArray[np.int8]
    detail: npt.NDArray[np.int8]
    cx: FloatArray
    cy: FloatArray
    r: FloatArray
    rms: FloatArray
    cov: FloatArray
    cov_exponent: npt.NDArray[np.int32]
    n: IntArray
    iterations: IntArray
    converged: npt.NDArray[np.bool_]
    arc: FloatArray
    trials: IntArray
    threshold: FloatArray
    inliers: npt.NDArray[np.bool_]
    termination: npt.NDArray[np.int8]
    messages: dict[int, str]

    def circle(self, g: int, method: str) -> Circle:
        """Set g's circle, fitted by `method`."""
        iterations = int(self.iterations[g])
        return make_circle(
            float(self.cx[g]), float(self.cy[g]), float(self.r[g]), float(self.rms[g]),
            int(self.n[g]), method, bool(self.converged[g]),
            None if iterations < 0 else iterations, float(self.arc[g]),
            TERMINATION_WORDS[int(self.termination[g])], self.cov[g].tobytes(),
            int(self.cov_exponent[g]),
        )

    def failure(self, g: int, method: str, bounded: bool = False) -> str:
        """Set g's failure, in words (`bounded`: the fit had radius bounds)."""
        trials = int(self.trials[g]) if self.trials.size else 0
        threshold = float(self.threshold[g]) if self.threshold.size else float("nan")
        return failure_text(
            int(self.status[g]), detail=int(self.detail[g]), method=method,
            centre=(float(self.cx[g]), float(self.cy[g])), r=float(self.r[g]),
            n=int(self.n[g]), trials=trials, threshold=threshold, message=self.messages.get(g),
            bounded=bounded,
        )

    def stderr(self) -> tuple[FloatArray, FloatArray, FloatArray]:
        """Standard errors of (cx, cy, r), each scaled by its set's power of two."""
        return standard_errors(self.cov, self.cov_exponent)


def run(
    x: FloatArray, y: FloatArray, offsets: IntArray, method: str, workers: int,
    robust: RobustOptions | None, weights: FloatArray | None = None,
    bounds: tuple[float, float] | None = None,
) -> Columns:
    """Fits the sets x[offsets[g]:offsets[g + 1]] (the kit's own arrays: nothing else may hold
    them while the engine reads them with the lock released), with a weight per point and the
    radius bounds when given."""
    engine_robust = None if robust is None else robust.engine_args()
    code = METHOD_CODES[method]
    if weights is None and bounds is None:
        raw = _engine.fit_batch(x, y, offsets, code, workers, engine_robust)
    else:
        raw = _engine.fit_batch(x, y, offsets, code, workers, engine_robust, weights, bounds)
    sets = offsets.shape[0] - 1
    return Columns(
        np.frombuffer(raw[0], dtype=np.int8),
        np.frombuffer(raw[1], dtype=np.int8),
        np.frombuffer(raw[2], dtype=np.float64),
        np.frombuffer(raw[3], dtype=np.float64),
        np.frombuffer(raw[4], dtype=np.float64),
        np.frombuffer(raw[5], dtype=np.float64),
        np.frombuffer(raw[6], dtype=np.float64).reshape(sets, 9),
        np.frombuffer(raw[7], dtype=np.int32),
        np.frombuffer(raw[8], dtype=np.int64),
        np.frombuffer(raw[9], dtype=np.int64),
        np.frombuffer(raw[10], dtype=np.bool_),
        np.frombuffer(raw[11], dtype=np.float64),
        np.frombuffer(raw[12], dtype=np.int64),
        np.frombuffer(raw[13], dtype=np.float64),
        np.frombuffer(raw[14], dtype=np.bool_),
        np.frombuffer(raw[15], dtype=np.int8),
        dict(raw[16]),
    )
