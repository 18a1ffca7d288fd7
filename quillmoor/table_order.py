"""The order of the three tables in ``merge_frame``: ``quillmoor.merge``'s own.

``merge_frame`` once took the points frame first (points, row_information,
connected_crop_rows). A call in that order would not always fail by itself (a points
frame has the key columns a connection table needs), so it is recognised and refused
with a message that gives the order, and ``points=`` stays a keyword for the points.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from quillmoor.frame_columns import resolve_columns

ORDER = "merge_frame(connected_crop_rows, points_in_rows, row_information)"


def frame_tables_in_order(
    connected_crop_rows: Any,
    points_in_rows: Any,
    row_information: Any,
    points: Any,
    columns: Mapping[str, str] | None,
) -> tuple[Any, Any]:
    """``(points_in_rows, row_information)`` as given, after checking the call's order."""
    if points is not None:
        if points_in_rows is not None:
            raise TypeError("merge_frame got the points twice: as points_in_rows and as points")
        points_in_rows = points
    if points_in_rows is None or row_information is None:
        raise TypeError(f"{ORDER} needs all three tables")
    names = resolve_columns(columns)["points"]
    coordinates = {names["x"], names["y"]}
    if _has_columns(connected_crop_rows, coordinates) and not _has_columns(
        points_in_rows, coordinates
    ):
        raise TypeError(
            f"the first table has the points' x and y columns and the second has not: the "
            f"tables look given in the earlier order (points first); the order is now "
            f"{ORDER}, that of quillmoor.merge"
        )
    return points_in_rows, row_information


def _has_columns(table: Any, names: set[str]) -> bool:
    found = getattr(table, "columns", None)
    if found is None:
        found = getattr(table, "column_names", None)
    return found is not None and names <= {str(name) for name in found}
