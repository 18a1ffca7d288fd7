"""One table: where it lives, how it is read, checked and written.

``locations`` tells local paths from fsspec URLs and opens them; ``files`` reads and
writes one table by its suffix (``.npy``, ``.csv``, ``.parquet``), locally or remotely;
``conversion`` turns array-likes into float64 tables with a message naming the table;
``widths`` and ``key_lookups`` check a table against the cells and keys the merge will
read. Nothing here merges: it shapes what goes into the engine and what comes out.
"""
