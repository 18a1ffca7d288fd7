"""Naming the cell of a table file that is not a number where the merge needs one.

A CSV column with one stray word is read by pandas as text, and the merge would refuse
the whole column. Before the merge, each column it will read from a CSV or Parquet file
is checked, and the first cell that is not a number is named: the file, the column and
the row (counted from 1, data rows only).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from quillmoor.tables.file_errors import TableFileError, suffix_of

#: The field's table names as the column roles call them.
_ROLE_TABLES = {"points_in_rows": "points", "row_information": "row_information",
                "connected_crop_rows": "connected_crop_rows"}


def check_read_columns(
    tables: Mapping[str, Any], sources: Mapping[str, str], columns: Mapping[str, str] | None
) -> None:
    """Raise a ``TableFileError`` for the first cell, in a column the merge reads, of a
    table read from a file, that is not a number. ``columns`` is the caller's renaming."""
    from quillmoor.frames.columns import resolve_columns

    try:
        roles = resolve_columns(columns)
    except (TypeError, ValueError):
        return  # the merge itself explains a wrong mapping
    for table, role_table in _ROLE_TABLES.items():
        frame = tables.get(table)
        shown = sources.get(table)
        if shown is None or not hasattr(frame, "columns") or not hasattr(frame, "iloc"):
            continue
        for name in roles[role_table].values():
            _check_column(frame, name, shown)


def _check_column(frame: Any, name: str, shown: str) -> None:
    if name not in frame.columns:
        return
    series = frame[name]
    if getattr(series, "ndim", 1) != 1 or getattr(series.dtype, "kind", "O") != "O":
        return  # numbers already, or a kind the merge explains itself
    import pandas as pd

    try:
        numbers = pd.to_numeric(series, errors="coerce")
    except (TypeError, ValueError):
        return  # cells that are not even text: the merge names them
    bad = np.flatnonzero((numbers.isna() & series.notna()).to_numpy(dtype=bool))
    if len(bad) == 0:
        return
    row = int(bad[0])
    rows = "data row" if suffix_of(shown) == ".csv" else "row"
    raise TableFileError(
        f"{shown}: column {name!r} must hold numbers; {rows} {row + 1} holds "
        f"{series.iloc[row]!r}"
    )
