"""Circles fitted to points: centre, radius, fit quality, uncertainty, and robust fits.

A pure-Python layer on the native module ``tondra``: the centre comes from its fits, bit for
bit, and the kit adds what users want with it, with ordinary exceptions only.

- :func:`fit` fits one circle: :class:`Circle` with ``cx, cy, r, rms, n``, ``stderr``, ``cov``.
- :func:`fit_robust` fits one circle to points with outliers: :class:`RobustFit`.
- :func:`fit_groups` fits one circle per group of a table's rows (``tondrakit.dask`` for Dask).
- :class:`FitError` (a ``ValueError``) when the points determine no circle.
"""

from typing import TYPE_CHECKING

from ._circle import Circle, RobustFit
from ._errors import FitError
from ._fit import fit
from ._robust import fit_robust

if TYPE_CHECKING:
    from ._groups import fit_groups
else:
    # fit_groups needs pandas, which takes most of the import time: it is loaded on first use,
    # so that a program fitting single circles never pays for it.
    def __getattr__(name: str) -> object:
        if name == "fit_groups":
            from ._groups import fit_groups

            globals()["fit_groups"] = fit_groups
            return fit_groups
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__() -> list[str]:
        return sorted({*globals(), "fit_groups"})


__all__ = ["Circle", "FitError", "RobustFit", "fit", "fit_groups", "fit_robust"]
