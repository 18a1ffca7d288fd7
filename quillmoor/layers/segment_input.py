"""A table of segment lines read into arrays: keys, end points and lengths, by key.

Accepted: a GeoDataFrame of LineStrings, or any table with the two key columns and a
``geometry`` column of shapely geometries or WKB. What the merge cannot use is refused
with one line naming the row: other geometry types (MultiLineStrings above all: a
segment has two ends), missing or empty geometries, coordinates that are not finite,
lines whose ends coincide, and coordinates in degrees.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from quillmoor.layers import geo_modules
from quillmoor.layers.errors import LayerError
from quillmoor.layers.keys import column_names, key_column, key_text, packed_keys
from quillmoor.layers.keys import refuse_duplicates

LAYER = "segments"
LINESTRING, LINEARRING, MULTILINESTRING = 1, 2, 5
TYPE_NAMES = {
    0: "a Point", 3: "a Polygon", 4: "a MultiPoint", 5: "a MultiLineString",
    6: "a MultiPolygon", 7: "a GeometryCollection",
}


@dataclass(frozen=True, eq=False)
class Segments:
    """The segments in increasing key order; ``source_rows`` are their rows in the input."""

    key_a: np.ndarray
    key_b: np.ndarray
    first: np.ndarray
    """x, y of each line's first vertex, shape (n, 2)."""
    last: np.ndarray
    """x, y of each line's last vertex."""
    length: np.ndarray
    """Length along the line's vertices."""
    vertex_count: np.ndarray
    lines: np.ndarray
    """The shapely LineStrings."""
    source_rows: np.ndarray
    crs: Any

    @property
    def count(self) -> int:
        return int(self.key_a.shape[0])

    @property
    def packed(self) -> np.ndarray:
        return packed_keys(self.key_a, self.key_b)

    def key_text(self, index: int) -> str:
        return f"({key_text(self.key_a[index])}, {key_text(self.key_b[index])})"


def read_segments(table: Any, key_a: str, key_b: str) -> Segments:
    """The segments of ``table``, checked, in increasing (key_a, key_b) order."""
    shapely = geo_modules.shapely()
    refuse_geographic(getattr(table, "crs", None), LAYER)
    a = key_column(table, key_a, LAYER)
    b = key_column(table, key_b, LAYER)
    lines = _geometries(table, shapely)
    if lines.shape[0] != a.shape[0]:
        raise LayerError(f"{LAYER}: {lines.shape[0]} geometries for {a.shape[0]} key rows")
    _check_types(lines, shapely, a, b)
    refuse_duplicates(a, b, LAYER)

    counts = shapely.get_num_coordinates(lines).astype(np.intp)
    coordinates = shapely.get_coordinates(lines)
    starts = np.cumsum(counts) - counts
    _check_finite(coordinates, counts, a, b)
    first = coordinates[starts]
    last = coordinates[starts + counts - 1]
    closed = np.flatnonzero((first == last).all(axis=1))
    if closed.size:
        row = int(closed[0])
        raise LayerError(
            f"{LAYER}: row {row} (key {_key(a, b, row)}) starts where it ends; a segment "
            "needs two distinct ends"
        )
    length = _lengths(coordinates, starts)

    order = np.argsort(packed_keys(a, b), kind="stable")
    return Segments(
        key_a=a[order], key_b=b[order], first=first[order], last=last[order],
        length=length[order], vertex_count=counts[order], lines=lines[order],
        source_rows=order, crs=getattr(table, "crs", None),
    )


def refuse_geographic(crs: Any, layer: str) -> None:
    if crs is not None and getattr(crs, "is_geographic", False):
        name = getattr(crs, "name", None) or str(crs)
        raise LayerError(
            f"{layer}: the CRS {name} is in degrees; the merge measures in the "
            "coordinates' units, so reproject to a projected CRS in metres first "
            "(e.g. layer.to_crs(layer.estimate_utm_crs()))"
        )


def _geometries(table: Any, shapely: Any) -> np.ndarray:
    column = getattr(table, "geometry", None)
    if column is None:
        if "geometry" not in column_names(table):
            raise LayerError(f"{LAYER}: no geometry column; give a GeoDataFrame of LineStrings")
        column = table["geometry"]
    values = np.asarray(column, dtype=object)
    if values.ndim != 1:
        raise LayerError(f"{LAYER}: the geometry is not one column")
    wkb = np.array([isinstance(value, (bytes, bytearray, memoryview)) for value in values])
    if wkb.any():
        try:
            values = values.copy()
            values[wkb] = shapely.from_wkb(values[wkb])
        except Exception as error:  # shapely's GEOSException derives from Exception only
            raise LayerError(f"{LAYER}: a geometry is not valid WKB: {error}") from None
    return values


def _check_types(lines: np.ndarray, shapely: Any, a: np.ndarray, b: np.ndarray) -> None:
    try:
        types = shapely.get_type_id(lines)
    except TypeError:
        bad = next(i for i, value in enumerate(lines)
                   if value is not None and not isinstance(value, shapely.Geometry))
        raise LayerError(
            f"{LAYER}: row {bad} holds {type(lines[bad]).__name__}, not a geometry"
        ) from None
    wrong = np.flatnonzero((types != LINESTRING) & (types != LINEARRING))
    if wrong.size:
        row = int(wrong[0])
        kind = int(types[row])
        key = _key(a, b, row)
        if kind == -1:
            raise LayerError(f"{LAYER}: row {row} (key {key}) has no geometry")
        if kind == MULTILINESTRING:
            raise LayerError(
                f"{LAYER}: row {row} (key {key}) is a MultiLineString; a segment is one "
                "LineString with two ends: give each part a key of its own (explode) or "
                "join touching parts (shapely.line_merge)"
            )
        raise LayerError(
            f"{LAYER}: row {row} (key {key}) is {TYPE_NAMES.get(kind, 'not a line')}; "
            "segments are LineStrings"
        )
    empty = np.flatnonzero(shapely.is_empty(lines))
    if empty.size:
        row = int(empty[0])
        raise LayerError(f"{LAYER}: row {row} (key {_key(a, b, row)}) is an empty LineString")


def _check_finite(coordinates: np.ndarray, counts: np.ndarray, a: np.ndarray,
                  b: np.ndarray) -> None:
    bad = np.flatnonzero(~np.isfinite(coordinates).all(axis=1))
    if bad.size:
        row = int(np.searchsorted(np.cumsum(counts), bad[0], side="right"))
        raise LayerError(
            f"{LAYER}: row {row} (key {_key(a, b, row)}) has a coordinate that is not a "
            "finite number"
        )


def _lengths(coordinates: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Each line's length, summed edge by edge (a two-point line's is exactly its hypot)."""
    edges = np.diff(coordinates, axis=0)
    step = np.hypot(edges[:, 0], edges[:, 1])
    # The step from one line's last vertex to the next line's first is not an edge;
    # adding its zero leaves every sum exact.
    step[starts[1:] - 1] = 0.0
    return np.add.reduceat(step, starts) if starts.size else np.empty(0)


def _key(a: np.ndarray, b: np.ndarray, row: int) -> str:
    return f"({key_text(a[row])}, {key_text(b[row])})"
