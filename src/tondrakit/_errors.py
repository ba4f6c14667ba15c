"""The kit's one exception type of its own."""

from __future__ import annotations

__all__ = ["FitError"]


class FitError(ValueError):
    """The points determine no circle, or no fit could be made from them.

    Raised for coincident or collinear points, a fit whose result is not finite, a robust fit in
    which no sample yields a circle, and any failure inside the native module (whose own
    exception is chained as ``__cause__``). A ``ValueError``, so ``except ValueError`` catches it
    together with the kit's input errors.

    Examples
    --------
    >>> import tondrakit
    >>> try:
    ...     tondrakit.fit([0, 1, 2, 3], [0, 1, 2, 3])
    ... except tondrakit.FitError as e:
    ...     print(e)
    the points are collinear: no circle passes through them
    """
