"""The one place that reads what a caller names in a table: the table itself, its columns by
the option that named them, and rows by their labels. fit_groups, inlier_rows, plot and the Dask
function take their tables and columns through these functions, so that the same problem gets
the same message everywhere."""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["check_columns", "column", "coordinates", "frame_of", "row_name"]

FloatArray: TypeAlias = "npt.NDArray[np.float64]"


def frame_of(data: object, name: str = "data") -> pd.DataFrame:
    """`data` as a DataFrame: itself, or what ``pandas.DataFrame(data)`` makes of it. A Dask
    frame is pointed to the function for it rather than read as a table of its columns' names,
    and None, text or a number is refused instead of becoming a table of nothing."""
    if isinstance(data, pd.DataFrame):
        return data
    kind = type(data)
    if kind.__module__.split(".")[0] == "dask":
        raise TypeError(f"{name} is a Dask {kind.__name__}: fit it with tondrakit.dask.fit_groups")
    if data is None or isinstance(data, (str, bytes, int, float, complex)):
        raise TypeError(f"{name} must be a pandas DataFrame or what pandas.DataFrame() takes, not {kind.__name__}")
    try:
        return pd.DataFrame(cast(Any, data))
    except (TypeError, ValueError) as e:
        raise TypeError(f"{name} is not a table: pandas.DataFrame() refused it: {e}") from None


def row_name(frame: pd.DataFrame, row: int) -> str:
    """'row <label>' for the row at position `row`: in a table of millions of rows only its
    label helps to find it."""
    label = frame.index[row]
    item = getattr(label, "item", None)
    if callable(item) and isinstance(label, np.generic):
        label = item()
    return f"row {label!r}"


def check_columns(
    present: Sequence[Hashable], wanted: Iterable[tuple[Hashable, str]], command: bool = False
) -> None:
    """Each name of `wanted`, given with the option that named it, names exactly one of the
    columns `present`: TypeError for what names no column, ValueError listing the columns there
    are. `command`: in the command's words, its option being a flag to choose another with."""
    for name, role in wanted:
        try:
            hash(name)
        except TypeError:  # a list of names, say
            raise TypeError(f"{role} must name one column, not {name!r}") from None
        count = sum(1 for c in present if c is name or c == name)
        if count == 0:
            shown = ", ".join(repr(c) for c in present)
            if command:
                raise ValueError(f"no column {name!r} (choose one with {role}); the columns are: {shown}")
            raise ValueError(
                f"no column {name!r} for {role} in the data; its columns are: {shown or 'none'}"
            )
        if count > 1:
            raise ValueError(f"the data has {count} columns named {name!r}; {role} needs one")


def column(frame: pd.DataFrame, name: Hashable, role: str) -> pd.Series:
    """The column `name`, which the caller's option `role` named (see check_columns)."""
    check_columns(list(frame.columns), ((name, role),))
    found: pd.Series = frame[name]
    return found


def coordinates(frame: pd.DataFrame, name: Hashable, role: str) -> FloatArray:
    """A coordinate column as float64 (missing values as NaN); TypeError naming the first cell
    that is not a number. Text is refused even when it spells a number, and complex numbers
    are refused, as everywhere in the kit."""
    cells_of = column(frame, name, role)
    if cells_of.dtype.kind in "biuf":
        # A wider float beyond the doubles becomes infinite, which the fit reports.
        with np.errstate(over="ignore"):
            values: FloatArray = cells_of.to_numpy(dtype=np.float64, na_value=np.nan)
        return values
    items = cells_of.to_numpy(dtype=object)
    out = np.empty(len(items), dtype=np.float64)
    cells: list[object] = items.tolist()
    for i, item in enumerate(cells):
        if item is None or item is pd.NA or item is pd.NaT:
            out[i] = math.nan
            continue
        kind = type(item)
        if isinstance(item, (str, bytes, complex, np.complexfloating)) or not (
            hasattr(kind, "__float__") or hasattr(kind, "__index__")
        ):
            raise TypeError(
                f"column {name!r} ({role}), {row_name(frame, i)}: {item!r} is not a number"
            )
        try:
            out[i] = float(cast("SupportsFloat | SupportsIndex", item))
        except (TypeError, ValueError, OverflowError) as e:
            raise TypeError(
                f"column {name!r} ({role}), {row_name(frame, i)}: {item!r} is not a number"
            ) from e
    return out
