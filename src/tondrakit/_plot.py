"""Pictures of fits: the points, the fitted circle over them and, for robust fits, the outliers.

matplotlib (the extra ``tondra[plot]``) is imported only when something is drawn, so that the
kit and the command start without it.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Hashable
from typing import TYPE_CHECKING, Any, Final, Literal, TypeAlias, cast, overload

import numpy as np
import numpy.typing as npt

from ._circle import Circle, RobustFit
from ._options import PLOT_PANELS, check_fitted_method, check_flag, check_labels, check_max_panels

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes

    from ._roundness import RoundnessCircle

__all__ = ["FORMATS", "PLOT_PANELS", "plot", "require_matplotlib"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"
BoolArray: TypeAlias = "npt.NDArray[np.bool_]"
AxesArray: TypeAlias = "npt.NDArray[np.object_]"

# The picture formats a file may be written in, by its suffix.
FORMATS: Final = ("png", "pdf", "svg")
EXTRA: Final = "install the extra with  pip install 'tondra[plot]'"

# Points in the first colour of the default cycle; the circle in a colour unlike it and drawn
# above the points; outliers as crosses in a third.
_POINT_COLOUR: Final = "tab:blue"
_CIRCLE_COLOUR: Final = "tab:red"
_OUTLIER_COLOUR: Final = "tab:orange"
_PANEL_INCHES: Final = 3.0
_FIGURE_INCHES: Final = 16.0


def require_matplotlib() -> None:
    """ImportError naming the extra when matplotlib is missing."""
    try:
        importlib.import_module("matplotlib")
    except ImportError as e:
        raise ImportError(f"drawing needs matplotlib: {EXTRA}") from e


def _points(points: object) -> tuple[FloatArray, FloatArray]:
    """A pair (xs, ys) or an (n, 2) array as two float arrays, checked as the fits check them."""
    from ._validate import points as checked

    pair = _pair(points)
    if pair is not None:
        return checked(pair[0], pair[1], min_points=0)
    return checked(points, None, min_points=0)


def _pair(points: object) -> tuple[object, object] | None:
    if isinstance(points, tuple):
        items = cast("tuple[object, ...]", points)
        if len(items) == 2:
            return items[0], items[1]
    return None


def _method_label(method: str | None, robust: bool) -> str:
    kind = "robust circle" if robust else "circle"
    return f"{kind} ({method})" if method else kind


# matplotlib's own types leave its keyword arguments undeclared: inside this module its
# objects are handled as untyped ones.


def _draw(
    ax: Any,
    xs: FloatArray,
    ys: FloatArray,
    circle: tuple[float, float, float] | None,
    inliers: BoolArray | None,
    label: str | None,
    crowd: int,
) -> None:
    """One set of points and its circle; `label` None draws without legend entries. `crowd` is
    the number of points on the axes, which sets the markers' size."""
    mpatches = importlib.import_module("matplotlib.patches")
    size = _marker_size(crowd)
    kept = np.ones(xs.size, dtype=np.bool_) if inliers is None else inliers
    ax.plot(xs[kept], ys[kept], ".", color=_POINT_COLOUR, markersize=size, zorder=2,
            label=None if label is None else ("inliers" if inliers is not None else "points"))
    if inliers is not None and not kept.all():
        ax.plot(xs[~kept], ys[~kept], "x", color=_OUTLIER_COLOUR, markersize=size + 1, zorder=2,
                label=None if label is None else "outliers")
    if circle is not None:
        cx, cy, r = circle
        ax.add_patch(mpatches.Circle((cx, cy), r, fill=False, color=_CIRCLE_COLOUR, linewidth=1.5,
                                     zorder=3, label=label))
        ax.plot([cx], [cy], "+", color=_CIRCLE_COLOUR, markersize=8, zorder=3)


def _marker_size(points: int) -> float:
    """Markers small enough that thousands of points (an image's edges) stay apart."""
    return 4.0 if points <= 500 else 2.0 if points <= 5000 else 1.0


def _finish(ax: Any, image: bool, labels: tuple[str, str], legend: bool) -> None:
    # An image already shown on the axes keeps its own box: a circle far larger than the image
    # (a group fitted wrongly) would otherwise shrink it into a corner. Without one, the limits
    # give way to the points and every whole circle.
    shown = ax.get_images()
    if shown:
        extents = np.array([picture.get_extent() for picture in shown], dtype=np.float64)
        left, right, bottom, top = extents[0]
        ax.set_xlim(*((extents[:, :2].min(), extents[:, :2].max()) if left <= right
                      else (extents[:, :2].max(), extents[:, :2].min())))
        ax.set_ylim(*((extents[:, 2:].min(), extents[:, 2:].max()) if bottom <= top
                      else (extents[:, 2:].max(), extents[:, 2:].min())))
        ax.set_aspect("equal")
    else:
        ax.set_aspect("equal", adjustable="datalim")
        ax.autoscale_view()
    if image and not ax.yaxis_inverted():
        ax.invert_yaxis()
    ax.set_xlabel(labels[0])
    ax.set_ylabel(labels[1])
    if legend:
        ax.legend(loc="best", fontsize="small")


def _new_axes() -> Axes:
    plt = importlib.import_module("matplotlib.pyplot")
    ax: Axes = plt.subplots()[1]
    return ax


def _circle_of(row: pd.Series) -> tuple[float, float, float] | None:
    cx, cy, r = float(row["cx"]), float(row["cy"]), float(row["r"])
    return (cx, cy, r) if all(math.isfinite(v) for v in (cx, cy, r)) else None


def _plot_table(
    table: pd.DataFrame,
    data: object,
    x: Hashable,
    y: Hashable,
    by: Hashable | None,
    ax: Axes | None,
    image: bool,
    single_axes: bool,
    max_panels: int,
    method: str | None,
    labels: tuple[str, str],
) -> Axes | AxesArray:
    import pandas as pd

    from ._columns import coordinates
    from ._inliers import group_rows, mask_of

    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"a table of fits is drawn with its data, a DataFrame, not {type(data).__name__}")
    max_panels = check_max_panels(max_panels)
    if ax is not None and not single_axes:
        raise ValueError("a table is drawn one panel per group: pass single_axes=True to draw into ax")
    if len(table) == 0:
        raise ValueError("the table of fits has no groups to draw")
    xs_all = coordinates(data, x, "x")
    ys_all = coordinates(data, y, "y")
    key: Hashable = table.index.name if by is None else by
    order, offsets = group_rows(table.index, data, key)
    robust = "inliers" in table.columns
    label = _method_label(method, robust)

    def group(g: int) -> tuple[FloatArray, FloatArray, tuple[float, float, float] | None, BoolArray | None]:
        rows = order[offsets[g]:offsets[g + 1]]
        row = table.iloc[g]
        inliers = mask_of(row["inliers"]) if robust else None
        if inliers is not None and inliers.shape != rows.shape:
            raise ValueError(f"group {table.index[g]!r} has {rows.size} rows in the data but"
                             f" {inliers.size} in its inlier mask: is this the data that was fitted?")
        return xs_all[rows], ys_all[rows], _circle_of(row), inliers

    if single_axes:
        target = _new_axes() if ax is None else ax
        for g in range(len(table)):
            gx, gy, circle, inliers = group(g)
            _draw(target, gx, gy, circle, inliers, label if g == 0 else None, len(data))
        _finish(target, image, labels, legend=True)
        return target

    plt = importlib.import_module("matplotlib.pyplot")
    count = min(len(table), max_panels)
    columns = math.ceil(math.sqrt(count))
    rows = math.ceil(count / columns)
    size = (min(_PANEL_INCHES * columns, _FIGURE_INCHES), min(_PANEL_INCHES * rows, _FIGURE_INCHES))
    grid = plt.subplots(rows, columns, figsize=size, squeeze=False, layout="constrained")[1]
    panels: AxesArray = np.empty(count, dtype=object)
    for g, panel in enumerate(grid.flat):
        if g >= count:
            panel.remove()
            continue
        gx, gy, circle, inliers = group(g)
        _draw(panel, gx, gy, circle, inliers, label, gx.size)
        panel.set_title(f"{table.index[g]}" if circle is not None else f"{table.index[g]}: no circle",
                        fontsize="medium")
        _finish(panel, image, labels, legend=False)
        panels[g] = panel
    # One legend for the figure, below the panels, with every kind of mark any panel shows.
    entries: dict[str, Any] = {}
    for panel in panels:
        for handle, text in zip(*panel.get_legend_handles_labels()):
            entries.setdefault(text, handle)
    figure: Any = panels[0].figure
    figure.legend(list(entries.values()), list(entries), loc="outside lower center",
                  ncols=len(entries), fontsize="small")
    return panels


@overload
def plot(result: RoundnessCircle, points: object, *, ax: Axes | None = None) -> Axes: ...
@overload
def plot(result: dict[str, RoundnessCircle], points: object) -> AxesArray: ...
@overload
def plot(
    result: Circle | RobustFit,
    points: object = None,
    *,
    ax: Axes | None = None,
    image: bool = False,
    labels: tuple[str, str] = ("x", "y"),
) -> Axes: ...
@overload
def plot(
    result: pd.DataFrame,
    points: pd.DataFrame,
    *,
    x: Hashable = "x",
    y: Hashable = "y",
    by: Hashable | None = None,
    ax: Axes | None = None,
    image: bool = False,
    single_axes: Literal[True],
    method: str | None = None,
    labels: tuple[str, str] | None = None,
) -> Axes: ...
@overload
def plot(
    result: pd.DataFrame,
    points: pd.DataFrame,
    *,
    x: Hashable = "x",
    y: Hashable = "y",
    by: Hashable | None = None,
    image: bool = False,
    single_axes: Literal[False] = False,
    max_panels: int = PLOT_PANELS,
    method: str | None = None,
    labels: tuple[str, str] | None = None,
) -> AxesArray: ...
def plot(
    result: Circle | RobustFit | pd.DataFrame | RoundnessCircle | dict[str, RoundnessCircle],
    points: object = None,
    *,
    x: Hashable = "x",
    y: Hashable = "y",
    by: Hashable | None = None,
    ax: Axes | None = None,
    image: bool = False,
    single_axes: bool = False,
    max_panels: int = PLOT_PANELS,
    method: str | None = None,
    labels: tuple[str, str] | None = None,
) -> Axes | AxesArray:
    """Draws a fit with its points: the points, the fitted circle over them (and its centre) in
    another colour, a robust fit's outliers as crosses, and a legend naming the method.

    Parameters
    ----------
    result : Circle, RobustFit, pandas.DataFrame, RoundnessCircle or a dict of them
        What :func:`fit`, :func:`fit_robust`, :func:`fit_groups` or :func:`roundness`
        returned. A roundness result is drawn as a polar deviation plot about its centre (the
        deviations magnified, as roundness testers print them) with the reference's circles
        and support points; a dict of references in a panel each, at one magnification.
    points
        The points that were fitted. For a ``Circle`` (optional) or a ``RobustFit`` (needed: its
        ``inliers`` refer to them): a pair ``(xs, ys)`` or an (n, 2) array. For a table: the
        DataFrame that was fitted, with the columns `x`, `y` and `by`.
    x, y, by : column names
        A table's columns, as given to :func:`fit_groups` (`by` defaults to the name of the
        table's index, which ``fit_groups`` names after it).
    ax : matplotlib Axes, optional
        Draw into these axes (over an image shown with ``imshow``, say); by default a new figure
        is made with ``matplotlib.pyplot``. For a table, only with ``single_axes=True``.
    image : bool
        Image coordinates: the y axis points down, as rows of an image count.
    single_axes : bool
        For a table: every group on one pair of axes (one frame, such as an image) instead of a
        panel per group.
    max_panels : int
        For a table drawn in panels: at most this many, the first groups in key order.
    method : str, optional
        For a table: the method it was fitted with, for the legend (a table does not record it).
    labels : (str, str), optional
        The axes' labels; by default "x" and "y", or the column names for a table.

    Returns
    -------
    matplotlib.axes.Axes or numpy.ndarray of Axes
        The axes drawn into; for a table in panels, a 1-D array of the panels, one per group
        drawn in key order (``panels[0].figure`` is their figure, whose one legend lies below
        the panels). Panels beyond the groups are removed from the grid.

    Raises
    ------
    ImportError
        matplotlib is not installed (the extra ``tondra[plot]``).
    ValueError
        Points that do not match the fit, a table without its data's columns, `ax` with a table
        in panels.

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> import tondrakit
    >>> xs, ys = [36, 36, 19, 18, 33, 26], [14, 10, 28, 31, 18, 26]
    >>> ax = tondrakit.plot(tondrakit.fit(xs, ys), (xs, ys))
    >>> [t.get_text() for t in ax.get_legend().get_texts()]
    ['points', 'circle (geometric)']
    """
    require_matplotlib()
    image = check_flag("image", image)
    single_axes = check_flag("single_axes", single_axes)
    labels = check_labels(labels)
    check_fitted_method(method)
    if ax is not None and not callable(getattr(ax, "add_patch", None)):
        raise TypeError(f"ax must be matplotlib Axes, not {type(ax).__name__}")
    from ._roundness import RoundnessCircle  # noqa: F811 - the class itself, at run time

    if isinstance(result, (RoundnessCircle, dict)):
        from ._roundness_plot import plot_roundness

        if points is None:
            raise ValueError("a roundness result is drawn with its points: pass them")
        return plot_roundness(result, *_points(points), ax)
    if isinstance(result, (Circle, RobustFit)):
        if isinstance(result, RobustFit):
            circle, inliers = result.circle, np.asarray(result.inliers, dtype=np.bool_)
            if points is None:
                raise ValueError("a robust fit is drawn with its points: pass the points it was fitted to")
        else:
            circle, inliers = result, None
        xs, ys = _points(points) if points is not None else (np.empty(0), np.empty(0))
        if inliers is not None and inliers.shape != xs.shape:
            raise ValueError(f"the robust fit has {inliers.size} inlier flags for {xs.size} points:"
                             " pass the points it was fitted to")
        target = _new_axes() if ax is None else ax
        geometry = (circle.cx, circle.cy, circle.r)
        _draw(target, xs, ys, geometry if all(map(math.isfinite, geometry)) else None, inliers,
              _method_label(circle.method, inliers is not None), xs.size)
        _finish(target, image, labels or ("x", "y"), legend=True)
        return target
    import pandas as pd

    if not isinstance(cast("object", result), pd.DataFrame):
        raise TypeError(f"plot draws a Circle, a RobustFit or a table of fits, not {type(result).__name__}")
    return _plot_table(result, points, x, y, by, ax, image, single_axes, max_panels, method,
                       labels or (str(x), str(y)))
