"""GIS layers in and out of the merge.

Agronomists and robot teams keep crop rows as GIS layers: one line per segment, keyed by
a row number and a segment number, and the measured points as a point layer. This folder
turns such a line layer into the merge's two small tables (``tables_from_segments``,
which finds every segment's neighbours; ``link_segments`` also returns the junctions it
found, the ends it left free and the row spacing it used, as layers a GIS can show),
reads and writes layers (GeoPackage, Shapefile, GeoJSON, FlatGeobuf, GeoParquet), and
draws a field with its kept and dropped points. geopandas, pyogrio and shapely are
imported on first use only, so the package imports without them.
"""

from quillmoor.layers.derived_tables import SegmentLinks, link_segments, tables_from_segments
from quillmoor.layers.errors import GeoExtraMissing, LayerError

__all__ = [
    "GeoExtraMissing",
    "LayerError",
    "SegmentLinks",
    "link_segments",
    "tables_from_segments",
]
