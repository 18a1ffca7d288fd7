"""The merge's two small tables, derived from a layer of segment lines.

``tables_from_segments`` returns ``(connected_crop_rows, row_information)`` in the layout
of ``quillmoor.merge``. ``link_segments`` returns the same tables with what was found on
the way, so a user can check the junctions in a GIS before trusting a merge.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from quillmoor.layers import geo_modules
from quillmoor.layers.errors import LayerError
from quillmoor.layers.neighbours import EndLinks, link_ends
from quillmoor.layers.segment_input import Segments, read_segments
from quillmoor.layers.spacing import estimate_row_spacing

#: Default reach of a junction across and along the row, as a share of the row spacing.
REACH_SHARE = 0.7
WIDTH = 11


@dataclass(frozen=True, eq=False)
class SegmentLinks:
    """The derived tables and how they were found.

    ``connected_crop_rows`` and ``row_information`` hold one record per segment, in
    increasing (key_a, key_b) order. A record lists the neighbour at the line's first
    vertex, then the one at its last vertex. Row records hold key_a, the line's length,
    the heading of its chord (radians from the x axis), its number of vertices, key_b,
    then p0 = the first vertex, p1 = the last vertex and p2 = the middle of the chord.
    """

    connected_crop_rows: np.ndarray
    row_information: np.ndarray
    row_spacing: float
    """The row spacing the defaults came from: given, or estimated from the lines (NaN
    when both distances were given and it was not needed)."""
    max_offset: float
    max_gap: float
    segments: Segments
    ends: EndLinks

    @property
    def tables(self) -> tuple[np.ndarray, np.ndarray]:
        return self.connected_crop_rows, self.row_information

    @property
    def junction_count(self) -> int:
        return int((self.ends.partner >= 0).sum()) // 2

    @property
    def free_end_count(self) -> int:
        return int((self.ends.partner < 0).sum())

    def links_layer(self) -> Any:
        """A GeoDataFrame with one line per junction, from one segment's end to the other's."""
        from quillmoor.layers.found_links import links_layer

        return links_layer(self)

    def free_ends_layer(self) -> Any:
        """A GeoDataFrame with one point per segment end that has no neighbour."""
        from quillmoor.layers.found_links import free_ends_layer

        return free_ends_layer(self)


def tables_from_segments(
    segments: Any,
    *,
    key_a: str = "key_a",
    key_b: str = "key_b",
    row_spacing: float | None = None,
    max_offset: float | None = None,
    max_gap: float | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """``(connected_crop_rows, row_information)`` for ``quillmoor.merge``, from segment lines.

    ``segments`` is a GeoDataFrame with one LineString per crop-row segment (or any table
    with a ``geometry`` column of lines) and the segment's key in the columns ``key_a``
    and ``key_b``. Two segments are neighbours when one continues the other along its
    row: within 30 degrees, overlapping by at most half the shorter one or leaving a gap
    of at most ``max_gap``, at most ``max_offset`` apart across the row; each end gets
    its closest such segment if that segment's end chose it in return. ``max_offset``
    and ``max_gap`` default to 0.7 times ``row_spacing``, which is estimated from the
    lines when not given. Distances are in the coordinates' units.

    Raises ``LayerError`` (a ``ValueError``) for what the merge cannot use:
    MultiLineStrings and other non-lines, duplicate keys, keys that are not whole numbers
    from 0 to 2**32 - 1, and coordinates in degrees. See ``link_segments`` for the
    junctions found, the free ends and the spacing used.
    """
    return link_segments(
        segments, key_a=key_a, key_b=key_b, row_spacing=row_spacing,
        max_offset=max_offset, max_gap=max_gap,
    ).tables


def link_segments(
    segments: Any,
    *,
    key_a: str = "key_a",
    key_b: str = "key_b",
    row_spacing: float | None = None,
    max_offset: float | None = None,
    max_gap: float | None = None,
) -> SegmentLinks:
    """``tables_from_segments`` with the junctions found, the free ends and the spacing."""
    shapely = geo_modules.shapely()
    for value, name in ((row_spacing, "row_spacing"), (max_offset, "max_offset"),
                        (max_gap, "max_gap")):
        if value is not None and not (math.isfinite(value) and value > 0):
            raise LayerError(f"{name} must be a positive distance, got {value!r}")
    found = read_segments(segments, key_a, key_b)
    n = found.count
    tree = shapely.STRtree(found.lines)
    if row_spacing is not None:
        spacing = float(row_spacing)
    elif n == 0 or (max_offset is not None and max_gap is not None):
        spacing = math.nan  # not needed
    else:
        spacing = estimate_row_spacing(shapely, tree, found.first, found.last)
    offset = float(max_offset) if max_offset is not None else REACH_SHARE * spacing
    gap = float(max_gap) if max_gap is not None else REACH_SHARE * spacing
    if n == 0:
        empty = np.empty(0)
        ends = EndLinks(partner=np.empty(0, dtype=np.intp), offset=empty, overlap=empty)
    else:
        ends = link_ends(shapely, tree, found, offset, gap)
    return SegmentLinks(
        connected_crop_rows=_connection_records(found, ends),
        row_information=_row_records(found),
        row_spacing=spacing,
        max_offset=offset,
        max_gap=gap,
        segments=found,
        ends=ends,
    )


def _connection_records(found: Segments, ends: EndLinks) -> np.ndarray:
    n = found.count
    records = np.full((n, WIDTH), np.nan)
    records[:, 0] = np.arange(n)
    records[:, 1] = found.key_a
    records[:, 2] = found.key_b
    at_first, at_last = ends.partner[:n], ends.partner[n:]
    has_first = at_first >= 0
    # The first vertex's neighbour takes the first slot; the last vertex's takes the
    # next free one, so the list never has a hole before its end.
    rows = np.flatnonzero(has_first)
    neighbour = at_first[rows] % n
    records[rows, 3] = found.key_a[neighbour]
    records[rows, 4] = found.key_b[neighbour]
    rows = np.flatnonzero(at_last >= 0)
    neighbour = at_last[rows] % n
    column = np.where(has_first[rows], 5, 3)
    records[rows, column] = found.key_a[neighbour]
    records[rows, column + 1] = found.key_b[neighbour]
    return records


def _row_records(found: Segments) -> np.ndarray:
    rows = np.empty((found.count, WIDTH))
    chord = found.last - found.first
    rows[:, 0] = found.key_a
    rows[:, 1] = found.length
    rows[:, 2] = np.arctan2(chord[:, 1], chord[:, 0])
    rows[:, 3] = found.vertex_count
    rows[:, 4] = found.key_b
    rows[:, 5:7] = found.first
    rows[:, 7:9] = found.last
    # The chord's middle, not the line's: a point on a curved line can be the farthest
    # from a neighbour and so change which end the merge takes as the near one.
    rows[:, 9:11] = (found.first + found.last) * 0.5
    return rows
