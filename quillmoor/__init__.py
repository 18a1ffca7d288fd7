"""Clean up crop-row maps: merge overlapping crop-row segments.

A field's crop rows are split into segments that overlap where they meet.
``merge_points_removing_overlap`` keeps each segment's measured points except those
in the overlap zone at each junction with a neighbouring segment.
"""

# Importing the package must not import NumPy: the extension loads it on first use.
from quillmoor._native import merge_points_removing_overlap

__all__ = ["merge_points_removing_overlap"]
