"""The kit's native engine (private)."""

from typing import Any

from numpy.typing import ArrayLike

# The names of the statuses, indexed by status code; of the methods, indexed by method code; of
# the fields of fit_one's result, in order; of the reasons an iterative fit stopped, by code.
STATUSES: tuple[str, ...]
METHODS: tuple[str, ...]
RESULT_FIELDS: tuple[str, ...]
TERMINATIONS: tuple[str, ...]

# The fields named by RESULT_FIELDS (cov the bytes of 9 doubles, message None or text, termination
# a code of TERMINATIONS); None when the points are not plainly numbers.
def fit_one(
    xs: object, ys: object, method: int, weights: object = None,
    bounds: tuple[float, float] | None = None, /,
) -> tuple[Any, ...] | None: ...

# 16 bytearrays (the result columns, termination last) and the list of (set, message) pairs;
# weights one float64 per point or None, bounds (lo, hi) or None.
def fit_batch(
    x: ArrayLike, y: ArrayLike, offsets: ArrayLike, method: int, workers: int,
    robust: tuple[float | None, float, int, int] | None,
    weights: ArrayLike | None = None, bounds: tuple[float, float] | None = None, /,
) -> tuple[Any, ...]: ...

def residuals(x: ArrayLike, y: ArrayLike, cx: float, cy: float, r: float, /) -> bytearray: ...

# The points in group order (a stable counting sort by code), as two bytearrays of float64.
def gather(
    x: ArrayLike, y: ArrayLike, codes: ArrayLike, offsets: ArrayLike, workers: int, /
) -> tuple[bytearray, bytearray]: ...

# (status, shape status, cx, cy, inner, outer, ront, support indices) of one reference circle
# (0 about the centre (cx, cy), 1 zone, 2 circumscribed, 3 inscribed).
def roundness(
    x: ArrayLike, y: ArrayLike, reference: int, cx: float, cy: float, /
) -> tuple[int, int, float, float, float, float, float, tuple[int, ...]]: ...

# Columns (status, shape, cx, cy, inner, outer, ront, support: 4 int64 per set, -1 padded) of
# one reference circle per set, as bytearrays.
def roundness_batch(
    x: ArrayLike, y: ArrayLike, offsets: ArrayLike, reference: int, cx: ArrayLike, cy: ArrayLike,
    workers: int, /,
) -> tuple[bytearray, bytearray, bytearray, bytearray, bytearray, bytearray, bytearray, bytearray]: ...

# (status, cx, cy, cz, r, rms, cov (the bytes of 16 doubles), n, iterations, converged) of one
# sphere; method 0 geometric, 1 algebraic.
def fit_sphere(
    x: ArrayLike, y: ArrayLike, z: ArrayLike, method: int, /
) -> tuple[int, float, float, float, float, float, bytes, int, int, bool]: ...

# (status, cx, cy, cz, nx, ny, nz, r, rms, cov (the bytes of 16 doubles), n, iterations,
# converged, arc) of one circle in space; method 0 projected, 1 geometric.
def fit_circle3d(
    x: ArrayLike, y: ArrayLike, z: ArrayLike, method: int, /
) -> tuple[int, float, float, float, float, float, float, float, float, bytes, int, int, bool,
           float]: ...
