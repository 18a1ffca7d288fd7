"""Reading and writing tables by the file's suffix, locally or at fsspec URLs.

The one reader (``read_table``, ``read_field``) and the one writer (``write_table``,
``write_field``, and ``committed_file``/``committed_path`` for writers of other
formats) of the package: every table read and every result written goes through them.
.npy files hold plain arrays, loaded without ever running code from the file; CSV and
Parquet files hold named columns and are read as pandas DataFrames (Parquet needs
pyarrow); an .npz archive holds a field's three arrays.
"""

from __future__ import annotations

from quillmoor.tables.encoding import point_column_names
from quillmoor.tables.file_errors import TableFileError, suffix_of
from quillmoor.tables.reading import FieldTables, read_field, read_table
from quillmoor.tables.writing import committed_file, committed_path, write_field, write_table

FRAME_SUFFIXES = (".csv", ".parquet")
ARRAY_SUFFIXES = (".npy",)

__all__ = [
    "ARRAY_SUFFIXES", "FRAME_SUFFIXES", "FieldTables", "TableFileError", "committed_file",
    "committed_path", "point_column_names", "read_field", "read_table", "suffix_of",
    "write_field", "write_table",
]
