"""Clean up crop-row maps: merge overlapping crop-row segments.

A field's crop rows are split into segments that overlap where they meet.
``merge`` keeps each segment's measured points except those in the overlap zone at
each junction with a neighbouring segment. It takes any array-likes and names the
table at fault in its errors; ``merge_points_removing_overlap`` is the exact function
underneath, which takes float64 arrays only.
"""

from typing import TYPE_CHECKING, Any

# Importing the package must not import NumPy: the extension loads it on first use.
from quillmoor._native import merge_points_removing_overlap
from quillmoor.errors import MergeError
from quillmoor.merging.forgiving_merge import merge

if TYPE_CHECKING:
    from quillmoor.frames.frame_merge import merge_frame

__all__ = ["MergeError", "merge", "merge_frame", "merge_points_removing_overlap"]


def __getattr__(name: str) -> Any:
    # merge_frame's module needs NumPy at import; it is loaded on first use.
    if name == "merge_frame":
        from quillmoor.frames.frame_merge import merge_frame

        return merge_frame
    raise AttributeError(f"module 'quillmoor' has no attribute {name!r}")
