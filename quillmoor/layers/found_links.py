"""The junctions and free ends that ``link_segments`` found, as layers for a GIS."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from quillmoor.layers import geo_modules

if TYPE_CHECKING:
    from quillmoor.layers.derived_tables import SegmentLinks

END_NAMES = np.array(["first", "last"])


def links_layer(found: SegmentLinks) -> Any:
    """One line per junction from one segment's end to its neighbour's, with both keys,
    which ends meet, their lateral offset and how far they overlap (negative: a gap)."""
    shapely, geopandas = geo_modules.shapely(), geo_modules.geopandas()
    segments = found.segments
    n = segments.count
    partner = found.ends.partner
    # Each junction once: from the segment with the smaller key.
    end = np.flatnonzero((partner >= 0) & (np.arange(2 * n) % n < partner % n))
    other = partner[end]
    start, stop = _end_points(found, end), _end_points(found, other)
    lines = shapely.linestrings(np.stack([start, stop], axis=1)) if end.size else []
    return geopandas.GeoDataFrame(
        {
            "key_a": segments.key_a[end % n].astype(np.int64),
            "key_b": segments.key_b[end % n].astype(np.int64),
            "end": END_NAMES[end // n],
            "neighbour_key_a": segments.key_a[other % n].astype(np.int64),
            "neighbour_key_b": segments.key_b[other % n].astype(np.int64),
            "neighbour_end": END_NAMES[other // n],
            "offset": found.ends.offset[end],
            "overlap": found.ends.overlap[end],
        },
        geometry=geopandas.GeoSeries(lines, crs=segments.crs),
    )


def free_ends_layer(found: SegmentLinks) -> Any:
    """One point per segment end that has no neighbour: the ends of rows, and any
    junction the rules did not find."""
    shapely, geopandas = geo_modules.shapely(), geo_modules.geopandas()
    segments = found.segments
    n = segments.count
    end = np.flatnonzero(found.ends.partner < 0)
    return geopandas.GeoDataFrame(
        {
            "key_a": segments.key_a[end % n].astype(np.int64),
            "key_b": segments.key_b[end % n].astype(np.int64),
            "end": END_NAMES[end // n],
        },
        geometry=geopandas.GeoSeries(shapely.points(_end_points(found, end)),
                                     crs=segments.crs),
    )


def _end_points(found: SegmentLinks, end: np.ndarray) -> np.ndarray:
    segments = found.segments
    n = segments.count
    points: np.ndarray = np.where((end < n)[:, None], segments.first[end % n],
                                  segments.last[end % n])
    return points
