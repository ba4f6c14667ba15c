"""A picture of fitted groups: each group's points and its circle (matplotlib, the extra
``tondra[plot]``)."""

from __future__ import annotations

import importlib
import math
from typing import Any, Final

import numpy as np
import pandas as pd

from ._groups import Grouped

__all__ = ["PLOT_LIMIT", "require_matplotlib", "plot_groups"]

# More circles than this in one picture are a blur; the rest are left out (and the caller says so).
PLOT_LIMIT: Final = 100


def require_matplotlib() -> None:
    """ImportError naming the extra when matplotlib is missing."""
    try:
        importlib.import_module("matplotlib")
    except ImportError as e:
        raise ImportError("drawing needs matplotlib: install the extra with  pip install 'tondra[plot]'") from e


def plot_groups(grouped: Grouped, circles: pd.DataFrame, path: str, title: str) -> int:
    """Draws up to PLOT_LIMIT groups (the first in key order) into an image file; returns how
    many were drawn. A group without a circle (a NaN row) shows its points only."""
    require_matplotlib()
    # matplotlib's types are only partly declared; it is used as an untyped library here.
    matplotlib: Any = importlib.import_module("matplotlib")
    matplotlib.use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")

    count = min(len(grouped.keys), PLOT_LIMIT)
    fig, ax = plt.subplots(figsize=(8, 8), dpi=100)
    try:
        colours = plt.get_cmap("tab10")
        angles = np.linspace(0.0, 2.0 * math.pi, 361)
        for g in range(count):
            colour = colours(g % 10)
            xs, ys = grouped.group_points(g)
            ax.plot(xs, ys, ".", color=colour, markersize=3)
            row = circles.iloc[g]
            cx, cy, r = float(row["cx"]), float(row["cy"]), float(row["r"])
            if math.isfinite(cx) and math.isfinite(cy) and math.isfinite(r):
                ax.plot(cx + r * np.cos(angles), cy + r * np.sin(angles), "-", color=colour, linewidth=1)
                ax.plot([cx], [cy], "+", color=colour)
        ax.set_aspect("equal", adjustable="datalim")
        ax.set_xlabel("x")
        ax.set_ylabel("y")
        ax.set_title(title)
        fig.savefig(path, format="png")
    finally:
        plt.close(fig)
    return count
