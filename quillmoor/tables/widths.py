"""Up-front width checks, so a too-narrow table is named in a message of our own.

The engine checks widths only where it reads a cell and then reports an index out of
bounds; here each table is checked against the cells the merge will read.
"""

from __future__ import annotations

import numpy as np

CONNECTION_COLUMNS = "index, key_a, key_b, then up to four neighbour keys (key_a, key_b)"
POINT_COLUMNS = "key_a, key_b, x, y"
ROW_RECORD_COLUMNS = "key_a, -, -, -, key_b, p0_x, p0_y, p1_x, p1_y, p2_x, p2_y"
ROW_RECORD_WIDTH = 11
MAX_NEIGHBOURS = 4


def check_connected_crop_rows(table: np.ndarray) -> None:
    """Every record must hold its base key and a neighbour list that ends in the table."""
    records, width = table.shape
    if records == 0:
        return
    if width < 4:
        raise ValueError(
            f"connected_crop_rows has {width} columns; it needs at least 4: "
            f"{CONNECTION_COLUMNS}, the list ending at the first NaN key_a"
        )
    open_list = np.ones(records, dtype=bool)
    for k in range(MAX_NEIGHBOURS):
        key_a_column = 3 + 2 * k
        if key_a_column >= width:
            _neighbour_list_overrun(open_list, width, key_a_column)
            return
        open_list &= ~np.isnan(table[:, key_a_column])
        if key_a_column + 1 >= width:
            _neighbour_list_overrun(open_list, width, key_a_column)
            return


def _neighbour_list_overrun(open_list: np.ndarray, width: int, column: int) -> None:
    if not open_list.any():
        return
    record = int(np.flatnonzero(open_list)[0])
    raise ValueError(
        f"connected_crop_rows has {width} columns, but record {record} lists a neighbour "
        f"beyond them (from column {column} on); end each neighbour list with a NaN key_a "
        "or give the table all 11 columns"
    )


def check_points_in_rows(table: np.ndarray, connected_crop_rows: np.ndarray) -> None:
    records, width = table.shape
    if records > 0 and width < 4 and connected_crop_rows.shape[0] > 0:
        raise ValueError(
            f"points_in_rows has {width} columns; it needs at least 4: {POINT_COLUMNS}"
        )


def fit_row_information(table: np.ndarray, connected_crop_rows: np.ndarray) -> np.ndarray:
    """Return the row records the engine reads: exactly 11 columns.

    Further columns are the caller's own data and are left out (a view, not a copy).
    """
    if connected_crop_rows.shape[0] == 0:
        return table
    records, width = table.shape
    if records == 0:
        raise ValueError(
            "row_information has no records; every connection record needs its "
            "segment's row record"
        )
    if width < ROW_RECORD_WIDTH:
        raise ValueError(
            f"row_information has {width} columns; it needs {ROW_RECORD_WIDTH}: "
            f"{ROW_RECORD_COLUMNS}"
        )
    return table[:, :ROW_RECORD_WIDTH] if width > ROW_RECORD_WIDTH else table
