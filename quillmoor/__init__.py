"""Clean up crop-row maps: merge overlapping crop-row segments.

A field's crop rows are split into segments that overlap where they meet.
``merge`` keeps each segment's measured points except those in the overlap zone at
each junction with a neighbouring segment. It takes any array-likes and names the
table at fault in its errors; ``argmerge`` gives the positions of the rows it keeps,
by which any table takes its own rows; ``merge_points_removing_overlap`` is the exact
function underneath, which takes float64 arrays only. Points whose key no connection
record has are in no record's block and so not in the result: ``merge`` warns about
them (``UnassignedPointsWarning``, or ``UnassignedPointsError`` on request), and
``count_unassigned_points`` counts them. ``tables_from_segments`` derives the two small
tables from a GIS layer of segment lines. ``merge_file`` merges a field from its files
into an output file piece by piece, within a memory budget, however large the field.
"""

from typing import TYPE_CHECKING, Any

# Importing the package must not import NumPy: the extension loads it on first use.
from quillmoor._native import merge_points_removing_overlap
from quillmoor.errors import MergeError, UnassignedPointsError, UnassignedPointsWarning
from quillmoor.merging.forgiving_argmerge import argmerge
from quillmoor.merging.forgiving_merge import merge
from quillmoor.merging.point_counts import UnassignedPoints

if TYPE_CHECKING:
    from quillmoor.frames.frame_merge import merge_frame
    from quillmoor.layers.derived_tables import tables_from_segments
    from quillmoor.merging.unassigned_points import count_unassigned_points
    from quillmoor.pieces.file_merge import merge_file

__all__ = [
    "MergeError",
    "UnassignedPoints",
    "UnassignedPointsError",
    "UnassignedPointsWarning",
    "argmerge",
    "count_unassigned_points",
    "merge",
    "merge_file",
    "merge_frame",
    "merge_points_removing_overlap",
    "tables_from_segments",
]


def __getattr__(name: str) -> Any:
    # These modules need NumPy at import; they are loaded on first use.
    if name == "merge_frame":
        from quillmoor.frames.frame_merge import merge_frame

        return merge_frame
    if name == "count_unassigned_points":
        from quillmoor.merging.unassigned_points import count_unassigned_points

        return count_unassigned_points
    if name == "merge_file":
        from quillmoor.pieces.file_merge import merge_file

        return merge_file
    if name == "tables_from_segments":
        from quillmoor.layers.derived_tables import tables_from_segments

        return tables_from_segments
    raise AttributeError(f"module 'quillmoor' has no attribute {name!r}")
