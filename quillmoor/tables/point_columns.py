"""The points as ``argmerge`` reads them: a float64 table, or its four key and coordinate
columns, each converted on its own.

``argmerge`` reads only ``key_a``, ``key_b``, ``x`` and ``y`` (columns 0 to 3): the other
columns are the caller's, untouched, and are never converted or copied. A list or tuple
of four 1-D arrays (NumPy arrays, pandas or polars Series, Arrow arrays) is read as those
four columns; a pandas DataFrame gives its first four columns one by one. Float64
columns are read where they lie, whatever their stride; other numeric columns are
converted once, each with the table's messages.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quillmoor.tables.conversion import as_float64_column, as_float64_table

NAME = "points_in_rows"
#: The columns the merge reads, in table order.
POINT_COLUMNS = ("key_a", "key_b", "x", "y")


def as_argmerge_points(obj: object) -> np.ndarray | list[np.ndarray]:
    """``obj`` as a 2-D float64 table or as four 1-D float64 columns of one length."""
    if _is_column_sequence(obj):
        columns: Any = obj
        return _same_length([as_float64_column(columns[c], NAME, c) for c in range(4)])
    if _is_frame(obj):
        frame: Any = obj
        if len(frame.columns) >= len(POINT_COLUMNS):
            return [as_float64_column(frame.iloc[:, c], NAME, c) for c in range(4)]
    elif isinstance(obj, np.ndarray) and obj.ndim == 2 and obj.shape[1] > len(POINT_COLUMNS):
        if not (obj.dtype == np.float64 and obj.dtype.isnative):
            obj = obj[:, : len(POINT_COLUMNS)]  # the others are never read
    return as_float64_table(obj, NAME)


def _is_column_sequence(obj: object) -> bool:
    # Plain nested lists stay rows of a table, as for the merge; only array objects
    # are taken for columns.
    return (
        isinstance(obj, (list, tuple))
        and len(obj) == len(POINT_COLUMNS)
        and all(isinstance(item, np.ndarray) or hasattr(item, "__array__") for item in obj)
    )


def _is_frame(obj: object) -> bool:
    return all(hasattr(obj, attribute) for attribute in ("iloc", "columns", "dtypes"))


def _same_length(columns: list[np.ndarray]) -> list[np.ndarray]:
    lengths = [len(column) for column in columns]
    if len(set(lengths)) > 1:
        listed = ", ".join(f"{name} {length}" for name, length in zip(POINT_COLUMNS, lengths))
        raise ValueError(
            f"the columns of {NAME} must hold one value per point each; their lengths "
            f"differ: {listed}"
        )
    return columns
