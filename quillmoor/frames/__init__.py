"""Merging tables kept as pandas or polars DataFrames or Arrow tables, with every column
the merge does not read untouched.

``columns`` finds each value the merge reads (keys, x, y, reference points, neighbours)
by name in the caller's frames; ``frame_merge`` hands ``argmerge`` only the points' key,
x and y columns and takes the kept rows from the caller's own frame by position, so text,
timestamps, nullable integers and geometries never pass through float64.
"""
