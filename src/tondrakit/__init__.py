"""Circles fitted to points: centre, radius, fit quality, uncertainty, and robust fits.

Beside the native module ``tondra``, on a native engine of its own (``tondrakit._engine``),
which fits many sets on several threads: a geometric fit that converges on every arc (the
default), Hyper's algebraic fit, and ``tondra``'s fits under their names, bit for bit, each with
what users want with it, and ordinary exceptions only.

- :func:`fit` fits one circle: :class:`Circle` with ``cx, cy, r, rms, n``, ``stderr``, ``cov``,
  ``converged``, ``iterations`` and ``arc``.
- :func:`fit_robust` fits one circle to points with outliers: :class:`RobustFit`.
- :func:`fit_groups` fits one circle per group of a table's rows (``tondrakit.dask`` for Dask);
  :func:`inlier_rows` maps a robust table's inliers back to the rows.
- :func:`roundness` finds a profile's reference circles of roundness (least squares, minimum
  zone, circumscribed, inscribed) and its deviation about each: :class:`RoundnessCircle`.
- :func:`fit_sphere` fits a sphere to points in space: :class:`Sphere`; :func:`fit_circle3d`
  a circle in space: :class:`Circle3D`.
- :func:`plot` draws a fit or a table of fits with their points (matplotlib).
- :class:`FitError` (a ``ValueError``) when the points determine no circle.
"""

# Not typing.TYPE_CHECKING: importing typing alone takes longer than the command's --help.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._circle import Circle, RobustFit
    from ._circle3d import Circle3D, fit_circle3d
    from ._errors import FitError
    from ._fit import fit
    from ._groups import fit_groups
    from ._inliers import inlier_rows
    from ._plot import plot
    from ._robust import fit_robust
    from ._roundness import RoundnessCircle, roundness
    from ._sphere import Sphere, fit_sphere
else:
    import importlib

    # Every name is loaded on first use: the command answers --help without numpy, and a
    # program fitting single circles never pays for pandas.
    _HOMES = {
        "Circle": "_circle", "RobustFit": "_circle", "FitError": "_errors", "fit": "_fit",
        "fit_robust": "_robust", "fit_groups": "_groups", "inlier_rows": "_inliers",
        "plot": "_plot", "roundness": "_roundness", "RoundnessCircle": "_roundness",
        "Sphere": "_sphere", "fit_sphere": "_sphere", "Circle3D": "_circle3d",
        "fit_circle3d": "_circle3d",
    }

    def __getattr__(name: str) -> object:
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted({*globals(), *_HOMES})


__all__ = [
    "Circle", "Circle3D", "FitError", "RobustFit", "RoundnessCircle", "Sphere", "fit",
    "fit_circle3d", "fit_groups", "fit_robust", "fit_sphere", "inlier_rows", "plot", "roundness",
]
