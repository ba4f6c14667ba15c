"""Fits a circle to points in the plane.

Every function takes the x and y coordinates as two sequences of numbers and returns the
estimated centre as a new list ``[cx, cy]``. No radius is returned.

Coordinates may be lists, tuples, ``range``, ``bytes``, numpy arrays, pandas Series or any
sequence of your own (an object with ``__getitem__``, ideally ``__len__``) whose items have
``__float__`` or ``__index__``; items convert like ``float(item)``. A ``str`` is refused with a
``TypeError`` at run time (the type checkers refuse it too: its items are not numbers), and so is
a mapping.

Errors:

* ``TypeError`` for bad arguments, with the argument's name in the message
  (``"argument 'xs': ..."``); exceptions raised by your own sequence or ``__float__`` pass
  through unchanged unless they are exactly ``TypeError``.
* ``MemoryError`` when the coordinate vectors cannot be allocated.
* A ``PanicException`` (qualified name ``kelvar_runtime.PanicException``) for any failure of the
  numerical work, for example an unknown ``method``. It derives from ``BaseException``, not
  ``Exception``, so ``except Exception`` does not catch it; it is not importable from this
  module (catch ``BaseException`` and inspect ``type(e).__name__``). A report is written
  directly to file descriptor 2; set ``TONDRA_BACKTRACE=1`` for a backtrace. It pickles with its
  message, so ``concurrent.futures.ProcessPoolExecutor`` hands it to the caller; a
  ``multiprocessing.Pool`` worker does not survive it.
"""

from typing import Literal, Protocol, SupportsFloat, SupportsIndex, type_check_only

__all__ = ["taubin_svd", "fit_geometrical", "fit_lsq"]

@type_check_only
class _Coordinates(Protocol):
    """What the functions read: items by position (until IndexError), each a number.

    numpy arrays and pandas Series are not ``Sequence`` subclasses but match this.
    """

    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

def taubin_svd(xs: _Coordinates, ys: _Coordinates) -> list[float]:
    """Taubin's algebraic fit, computed with a singular value decomposition.

    ``xs`` and ``ys`` must have the same length (otherwise a PanicException). Returns
    ``[nan, nan]`` for no points and for data that hold a NaN or an infinity, or that
    determine no circle (all points equal).
    """

def fit_geometrical(xs: _Coordinates, ys: _Coordinates) -> list[float]:
    """Finds the probable center by taking the average of the points.

    Each coordinate is averaged over its own sequence; an empty sequence gives ``nan``.
    """

def fit_lsq(
    xs: _Coordinates,
    ys: _Coordinates,
    method: Literal["lbfgs", "nelder_mead"] | None = "lbfgs",
) -> list[float]:
    """Fits the circle by geometric least squares: the centre that makes the distances to the
    points as equal as possible.

    ``method`` is ``"lbfgs"`` (the default, also for ``None``) or ``"nelder_mead"``; any other
    text raises a PanicException ("not yet implemented"). Unequal lengths write a warning to
    file descriptor 2 and use the common prefix of the points.

    The solvers get the true gradient of the objective, run on coordinates centred on the
    points' mean and scaled to unit RMS distance (so results are translation and scale
    equivariant), and Nelder-Mead starts from a simplex as large as the data. Without these, the
    fit returned the centroid or diverged to radii of 1e6-1e8 on ordinary arcs; see the README.
    """
