"""A point layer made ready for ``merge_frame``: keys checked, x and y found.

Points come as Point geometries or, in a table without geometry, as ``x`` and ``y``
columns. Each point's key must name a segment: the merge would silently leave out a
point whose key names none, so such points are refused, as are points without a
position and coordinates in degrees.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from quillmoor.layers import geo_modules
from quillmoor.layers.errors import LayerError
from quillmoor.layers.keys import column_names, key_column, key_text, packed_keys
from quillmoor.layers.layer_files import has_geometry
from quillmoor.layers.segment_input import refuse_geographic

LAYER = "points"
POINT = 0
#: Columns added for the merge (each point's row, and coordinates taken from Points),
#: removed from its result.
ROW_COLUMN, X_COLUMN, Y_COLUMN = "__quillmoor_row", "__quillmoor_x", "__quillmoor_y"


@dataclass(frozen=True, eq=False)
class PreparedPoints:
    frame: Any
    """The layer with the columns ``added``: each point's row, and its coordinates
    when they come from Point geometries."""
    columns: dict[str, str]
    """``merge_frame``'s ``columns`` for this frame."""
    added: tuple[str, ...]
    """The columns to drop from the merge's result."""
    key_a: np.ndarray
    key_b: np.ndarray
    x: np.ndarray
    y: np.ndarray


def prepare_points(points: Any, key_a: str, key_b: str, segment_keys: np.ndarray,
                   segments_crs: Any) -> PreparedPoints:
    refuse_geographic(getattr(points, "crs", None), LAYER)
    _refuse_other_crs(getattr(points, "crs", None), segments_crs)
    a = key_column(points, key_a, LAYER)
    b = key_column(points, key_b, LAYER)
    _refuse_strays(a, b, segment_keys)
    columns = {"points.key_a": key_a, "points.key_b": key_b}
    added = {ROW_COLUMN: np.arange(a.shape[0])}
    if has_geometry(points):
        x, y = _point_coordinates(points, a, b)
        added.update({X_COLUMN: x, Y_COLUMN: y})
        columns.update({"points.x": X_COLUMN, "points.y": Y_COLUMN})
    else:
        x, y = _coordinate_columns(points, a, b)
        columns.update({"points.x": "x", "points.y": "y"})
    clash = sorted(set(added) & set(column_names(points)))
    if clash:
        raise LayerError(f"{LAYER}: the column name {clash[0]!r} is reserved for the merge")
    return PreparedPoints(frame=points.assign(**added), columns=columns,
                          added=tuple(added), key_a=a, key_b=b, x=x, y=y)


def _refuse_other_crs(crs: Any, segments_crs: Any) -> None:
    if crs is None or segments_crs is None or crs == segments_crs:
        return
    raise LayerError(
        f"{LAYER}: their CRS ({getattr(crs, 'name', crs)}) is not the segments' "
        f"({getattr(segments_crs, 'name', segments_crs)}); reproject one layer to the other's"
    )


def _refuse_strays(a: np.ndarray, b: np.ndarray, segment_keys: np.ndarray) -> None:
    stray = np.flatnonzero(~np.isin(packed_keys(a, b), segment_keys))
    if stray.size:
        row = int(stray[0])
        raise LayerError(
            f"{LAYER}: {stray.size} points have keys that name no segment (the first, "
            f"row {row}, has ({key_text(a[row])}, {key_text(b[row])})); the merge would "
            "leave them out"
        )


def _point_coordinates(points: Any, a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    shapely = geo_modules.shapely()
    geometry = np.asarray(points.geometry, dtype=object)
    try:
        types = shapely.get_type_id(geometry)
    except TypeError:
        raise LayerError(f"{LAYER}: the geometry column holds values that are not "
                         "geometries") from None
    wrong = np.flatnonzero((types != POINT) | shapely.is_empty(geometry))
    if wrong.size:
        row = int(wrong[0])
        what = "has no geometry" if types[row] == -1 else (
            "is an empty point" if types[row] == POINT else "is not a Point")
        raise LayerError(f"{LAYER}: row {row} (key {_key(a, b, row)}) {what}")
    x, y = shapely.get_x(geometry), shapely.get_y(geometry)
    _refuse_unplaced(x, y, a, b)
    return x, y


def _coordinate_columns(points: Any, a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    names = column_names(points)
    if "x" not in names or "y" not in names:
        raise LayerError(
            f"{LAYER}: neither Point geometries nor x and y columns (the columns are: "
            f"{', '.join(names) or 'none'})"
        )
    coordinates = []
    for name in ("x", "y"):
        column = points[name]
        if getattr(column.dtype, "kind", "O") not in "iuf":
            raise LayerError(f"{LAYER}: {name!r} holds {column.dtype} values, not numbers")
        coordinates.append(np.asarray(column.to_numpy(dtype=np.float64, na_value=np.nan)))
    _refuse_unplaced(coordinates[0], coordinates[1], a, b)
    return coordinates[0], coordinates[1]


def _refuse_unplaced(x: np.ndarray, y: np.ndarray, a: np.ndarray, b: np.ndarray) -> None:
    bad = np.flatnonzero(~(np.isfinite(x) & np.isfinite(y)))
    if bad.size:
        row = int(bad[0])
        raise LayerError(
            f"{LAYER}: row {row} (key {_key(a, b, row)}) has a coordinate that is not a "
            "finite number"
        )


def _key(a: np.ndarray, b: np.ndarray, row: int) -> str:
    return f"({key_text(a[row])}, {key_text(b[row])})"
