"""A table of fits mapped back to the rows it was fitted from: which rows belong to which group,
and which of them a robust fit kept."""

from __future__ import annotations

import math
from collections.abc import Hashable
from typing import TYPE_CHECKING, TypeAlias

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["group_rows", "inlier_rows", "mask_of", "mask_text"]

IntArray: TypeAlias = "npt.NDArray[np.intp]"
BoolArray: TypeAlias = "npt.NDArray[np.bool_]"


def group_rows(keys: pd.Index, data: pd.DataFrame, by: Hashable) -> tuple[IntArray, IntArray]:
    """The rows of each group of `keys` (the index of a fit_groups table): group g's rows, in
    table order, are positions ``order[offsets[g]:offsets[g + 1]]`` of `data`.

    ValueError for a missing or repeated column, repeated `keys`, or a row whose key is not
    among `keys`.
    """
    import pandas as pd

    from ._columns import column

    if not keys.is_unique:
        raise ValueError(
            "the table of fits has a key more than once: it is not a table fit_groups returned"
        )
    found = column(data, by, "by")
    codes = keys.get_indexer(pd.Index(found))
    unknown = np.flatnonzero(codes < 0)
    if unknown.size:
        row = int(unknown[0])
        key = found.iloc[row]
        raise ValueError(
            f"row {row} (counting from 0) of the data has the key {key!r}, which the table of"
            " fits does not have: is this the data that was fitted?"
        )
    # A stable sort keeps each group's rows in table order, as fit_groups takes them.
    order: IntArray = np.argsort(codes, kind="stable")
    offsets: IntArray = np.zeros(len(keys) + 1, dtype=np.intp)
    np.cumsum(np.bincount(codes, minlength=len(keys)), out=offsets[1:])
    return order, offsets


def mask_text(mask: object) -> str | None:
    """A mask as text, one character per point ('1': an inlier), as tables that hold no lists
    keep it (CSV, the Dask result); None stays None."""
    if mask is None:
        return None
    flags: npt.NDArray[np.uint8] = np.asarray(mask, dtype=np.uint8) + np.uint8(ord("0"))
    return flags.tobytes().decode("ascii")


def mask_of(value: object) -> BoolArray | None:
    """A group's inlier mask (booleans, or text of 0 and 1), or None for a group that gave no
    circle."""
    import pandas as pd

    if value is None or value is pd.NA or (isinstance(value, float) and math.isnan(value)):
        return None
    if isinstance(value, str):
        codes = np.frombuffer(value.encode("ascii", "replace"), dtype=np.uint8)
        if not np.isin(codes, (ord("0"), ord("1"))).all():
            raise ValueError(f"an inlier mask as text holds only 0 and 1, not {value[:20]!r}")
        flags: BoolArray = codes == ord("1")
        return flags
    return np.asarray(value, dtype=np.bool_)


def inlier_rows(result: pd.DataFrame, data: object, *, by: Hashable | None = None) -> pd.Series:
    """Each row's place in a robust fit: True for the rows that its group's circle was fitted to.

    Parameters
    ----------
    result : pandas.DataFrame
        What ``fit_groups(data, robust=True, ...)`` returned: its ``inliers`` column holds each
        group's mask over the group's rows in table order.
    data : pandas.DataFrame or anything ``pandas.DataFrame(data)`` accepts
        The table that was fitted, rows in the same order.
    by : column name, optional
        The column of group keys; by default the name of `result`'s index (which ``fit_groups``
        names after its `by`).

    Returns
    -------
    pandas.Series of bool
        Aligned with the rows of `data` (its index), named ``"inlier"``. The rows of a group that
        gave no circle (a NaN row with ``on_error="nan"``) are False.

    Raises
    ------
    ValueError
        `result` has no ``inliers`` column (it is not a robust fit), `data` lacks the key
        column, has a key that `result` lacks, or a group's row count differs from its mask's.

    Examples
    --------
    >>> import pandas as pd
    >>> import tondrakit
    >>> table = pd.DataFrame({
    ...     "group": ["a"] * 7,
    ...     "x": [1.0, 0.0, -1.0, 0.0, 0.7071067811865476, 5.0, -0.7071067811865476],
    ...     "y": [0.0, 1.0, 0.0, -1.0, 0.7071067811865476, 5.0, -0.7071067811865476],
    ... })
    >>> circles = tondrakit.fit_groups(table, robust=True, threshold=0.1)
    >>> tondrakit.inlier_rows(circles, table).tolist()
    [True, True, True, True, True, False, True]
    """
    import pandas as pd

    if "inliers" not in result.columns:
        raise ValueError(
            "the table of fits has no column 'inliers': it comes from fit_groups(..., robust=True)"
        )
    from ._columns import frame_of

    frame = frame_of(data)
    key: Hashable = result.index.name if by is None else by
    order, offsets = group_rows(result.index, frame, key)
    sizes = np.diff(offsets)
    parts: list[BoolArray] = []
    for g, value in enumerate(result["inliers"].tolist()):
        size = int(sizes[g])
        mask = mask_of(value)
        if mask is None:
            parts.append(np.zeros(size, dtype=np.bool_))
            continue
        if mask.shape != (size,):
            raise ValueError(
                f"group {result.index[g]!r} has {size} rows in the data but {mask.size} in its"
                " inlier mask: is this the data that was fitted?"
            )
        parts.append(mask)
    values = np.empty(len(frame), dtype=np.bool_)
    values[order] = np.concatenate(parts) if parts else np.empty(0, dtype=np.bool_)
    return pd.Series(values, index=frame.index, name="inlier")
