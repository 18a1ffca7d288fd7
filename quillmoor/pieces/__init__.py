"""Fields larger than memory, merged from file to file piece by piece within a budget.

``memory_budget`` reads a size such as ``256M`` and tells how much memory there is;
``point_chunks`` reads a points table a chunk at a time (``.npy``, an ``.npz`` member,
Parquet row groups, CSV); ``piece_plan`` groups the connection records into pieces whose
points fit the budget and tells which pieces each point belongs to; ``spill_files``
holds each piece's points on disk between the two passes; ``piece_writers`` appends
each piece's kept rows to the output; ``file_merge`` runs it all (``merge_file``).

A point's fate depends only on its own record's junctions, which come from the two
small tables, so merging the records piece by piece gives the in-memory merge's rows in
its order.
"""
