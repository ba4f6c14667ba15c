"""Typical calls, checked by mypy and basedpyright against the installed stubs (not run).

Each `# type: ignore[code]` marks a call that must be refused; both checkers are told to report
an ignore that is not needed, so a stub that became too lax fails the check.
"""

from typing import SupportsFloat

import numpy as np
import pandas as pd

import tondra

xs = [36, 36, 19, 18, 33, 26]
ys = [14.0, 10.0, 28.0, 31.0, 18.0, 26.0]

centre: list[float] = tondra.fit_lsq(xs, ys)
centre = tondra.fit_lsq(tuple(xs), tuple(ys), "nelder_mead")
centre = tondra.fit_lsq(xs, ys, method=None)
centre = tondra.fit_geometrical(range(3), b"\x00\x01\x02")
centre = tondra.taubin_svd(np.array(xs, dtype=float), np.asarray(ys))
centre = tondra.fit_lsq(np.arange(6), np.linspace(0.0, 1.0, 6), method="lbfgs")
centre = tondra.taubin_svd(pd.Series(xs), pd.Series(ys))
frame = pd.DataFrame({"x": xs, "y": ys})
centre = tondra.fit_lsq(frame["x"], frame["y"])


class Reading:
    def __init__(self, value: float) -> None:
        self.value = value

    def __float__(self) -> float:
        return self.value


class Readings:
    """A sequence of the user's own: positional items that have __float__."""

    def __init__(self, values: list[float]) -> None:
        self.items = [Reading(v) for v in values]

    def __len__(self) -> int:
        return len(self.items)

    def __getitem__(self, index: int) -> Reading:
        return self.items[index]


centre = tondra.fit_geometrical(Readings(ys), Readings(ys))
item: SupportsFloat = Readings(ys)[0]

tondra.fit_lsq("0123", ys)  # type: ignore[arg-type]
tondra.fit_lsq(xs, 7)  # type: ignore[arg-type]
tondra.fit_lsq(xs, ys, "newton")  # type: ignore[arg-type]
tondra.fit_geometrical({1.0, 2.0}, ys)  # type: ignore[arg-type]
radius: float = tondra.fit_geometrical(xs, ys)  # type: ignore[assignment]
