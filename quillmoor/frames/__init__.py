"""Merging tables kept as DataFrames, with every column the merge does not read untouched.

``columns`` finds each value the merge reads (keys, x, y, reference points, neighbours)
by name in the caller's frames; ``frame_merge`` hands the engine only those values and
takes the kept rows from the caller's own frame by position, so text, timestamps,
nullable integers and geometries never pass through float64.
"""
