"""Pictures of roundness: a profile as a polar deviation plot about a reference centre, as
roundness testers print it, with the reference's circles and support points."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Final, TypeAlias, cast

import numpy as np
import numpy.typing as npt

from ._roundness import RoundnessCircle

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["plot_roundness"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
AxesArray: TypeAlias = "npt.NDArray[np.object_]"

# The base circle's radius on the chart, and the share of it the magnified deviation band fills:
# enough to read the lobes, not so much that the valleys cross the centre.
_BASE: Final = 1.0
_BAND: Final = 0.5
_PROFILE_COLOUR: Final = "tab:blue"
_CIRCLE_COLOUR: Final = "tab:red"
_SUPPORT_COLOUR: Final = "black"
_TITLES: Final = {
    "least_squares": "least squares", "minimum_zone": "minimum zone",
    "circumscribed": "circumscribed", "inscribed": "inscribed",
}


def _magnification(ront: float, outer: float) -> float:
    """A round number (1, 2 or 5 times a power of ten) that makes the band about _BAND wide."""
    if not (ront > 0.0 and math.isfinite(ront)):
        return 1.0 / max(outer, 1e-300)
    raw = _BAND / ront
    decade = 10.0 ** math.floor(math.log10(raw))
    return max(step * decade for step in (1.0, 2.0, 5.0) if step * decade <= raw)


def _draw(ax: Any, xs: FloatArray, ys: FloatArray, c: RoundnessCircle, scale: float) -> None:
    dx, dy = xs - c.cx, ys - c.cy
    angle = np.arctan2(dy, dx)
    rho = _BASE + scale * (np.hypot(dx, dy) - c.r)
    order = np.argsort(angle, kind="stable")
    closed = np.concatenate([order, order[:1]])
    ax.plot(angle[closed], rho[closed], color=_PROFILE_COLOUR, linewidth=1.0, label="profile")
    around = np.linspace(0.0, 2 * math.pi, 361)
    radii = {c.inner, c.outer} if c.reference != "least_squares" else {c.inner, c.r, c.outer}
    for k, radius in enumerate(sorted(radii)):
        ax.plot(around, np.full_like(around, _BASE + scale * (radius - c.r)), color=_CIRCLE_COLOUR,
                linewidth=1.0, linestyle="-" if radius in (c.inner, c.outer) else ":",
                label="reference" if k == 0 else None)
    s = list(c.support)
    ax.plot(angle[s], rho[s], "o", color=_SUPPORT_COLOUR, markersize=5, label="support points")
    ax.set_rlim(0.0, _BASE + scale * (c.outer - c.r) * 1.15 + 0.05)
    ax.set_yticklabels([])
    ax.set_title(f"{_TITLES[c.reference]}: RONt {c.ront:.4g}\nmagnification x{scale:g}",
                 fontsize=9)


def plot_roundness(
    result: RoundnessCircle | dict[str, RoundnessCircle],
    xs: FloatArray,
    ys: FloatArray,
    ax: Axes | None = None,
    magnification: float | None = None,
) -> Axes | AxesArray:
    """The polar deviation plot of a reference (see tondrakit.plot), or a panel for each of
    several with one magnification."""
    import matplotlib.pyplot as plt

    circles = list(result.values()) if isinstance(result, dict) else [result]
    given = cast("list[object]", circles)  # the caller's, whatever its annotation says
    if not given or not all(isinstance(c, RoundnessCircle) for c in given):
        raise TypeError("plot draws a dict of roundness results only when it holds nothing else")
    if xs.size <= max(max(c.support) for c in circles):
        raise ValueError(f"the reference's support points are not among these {xs.size} points:"
                         " pass the points it was computed from")
    scale = magnification if magnification is not None else min(
        _magnification(c.ront, c.outer) for c in circles
    )
    if not (scale > 0.0 and math.isfinite(scale)):
        raise ValueError(f"magnification must be a positive number, got {magnification!r}")
    if isinstance(result, RoundnessCircle):
        if ax is None:
            ax = plt.figure(figsize=(5.0, 5.0)).add_subplot(projection="polar")  # pyright: ignore[reportUnknownMemberType] - **kwargs untyped in matplotlib
        elif getattr(ax, "name", None) != "polar":
            raise ValueError("a roundness plot is drawn on polar axes (projection='polar')")
        _draw(ax, xs, ys, result, scale)
        ax.legend(loc="upper right", fontsize=8, bbox_to_anchor=(1.15, 1.1))  # pyright: ignore[reportUnknownMemberType] - **kwargs untyped in matplotlib
        return ax
    if ax is not None:
        raise ValueError("several references are drawn in panels of their own: leave ax out")
    cols = min(len(circles), 2)
    rows = (len(circles) + cols - 1) // cols
    fig, grid = plt.subplots(rows, cols, figsize=(4.5 * cols, 4.5 * rows),
                             subplot_kw={"projection": "polar"}, squeeze=False)
    panels = grid.ravel()
    for panel, c in zip(panels, circles):
        _draw(panel, xs, ys, c, scale)
    for panel in panels[len(circles):]:
        panel.remove()
    handles, names = panels[0].get_legend_handles_labels()
    fig.legend(handles, names, loc="lower center", ncol=3, fontsize=8)  # pyright: ignore[reportUnknownMemberType] - **kwargs untyped in matplotlib
    fig.tight_layout(rect=(0.0, 0.06, 1.0, 1.0))
    out: AxesArray = np.array(list(panels[: len(circles)]), dtype=object)
    return out
