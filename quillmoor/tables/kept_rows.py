"""A pandas frame's kept rows written as Parquet a row group at a time, never all taken.

The command line merges a Parquet field into a Parquet file: taking every kept row into a
new frame and then writing it holds the points and the whole result at once. Here the
rows at each row group's positions are taken, turned into an Arrow table and written,
then let go, so the peak is the points, the positions and one row group. The file is the
one ``frame.take(positions).to_parquet(index=False)`` writes, byte for byte: pyarrow's own
row group length, its schema from the first group with pandas' metadata, the frame's
``attrs`` as pandas stores them, snappy compression.
"""

from __future__ import annotations

import json
from typing import IO, Any

import numpy as np

#: pyarrow's own longest row group (``write_table``'s default).
ROW_GROUP_ROWS = 1024 * 1024


def writes_in_row_groups(frame: Any) -> bool:
    """Whether ``frame``'s rows can be written a row group at a time as they would be
    whole: not for object columns, whose Arrow type is found from the values (a row
    group may show another type than the whole column)."""
    dtypes = getattr(frame, "dtypes", None)
    return dtypes is not None and not any(dtype == object for dtype in dtypes)


def encode_kept_parquet(frame: Any, positions: np.ndarray, out: IO[bytes]) -> None:
    """The rows of the pandas ``frame`` at ``positions``, in that order, as Parquet."""
    import pyarrow
    import pyarrow.parquet

    if len(positions) <= ROW_GROUP_ROWS:
        frame.take(positions).to_parquet(out, index=False)
        return
    writer = None
    schema = None
    try:
        for start in range(0, len(positions), ROW_GROUP_ROWS):
            rows = frame.take(positions[start:start + ROW_GROUP_ROWS])
            table = pyarrow.Table.from_pandas(rows, preserve_index=False, schema=schema)
            del rows
            if writer is None:
                if frame.attrs:
                    table = table.replace_schema_metadata(
                        {**table.schema.metadata, "PANDAS_ATTRS": json.dumps(frame.attrs)}
                    )
                schema = table.schema
                writer = pyarrow.parquet.ParquetWriter(out, schema, compression="snappy")
            writer.write_table(table)
    finally:
        if writer is not None:
            writer.close()
