"""A Parquet file as the pandas DataFrame ``pandas.read_parquet`` gives, held once.

``pandas.read_parquet`` decodes every row group at once, then copies each column out of
its row groups' pieces into one array; Arrow's allocator keeps what was freed on the way.
A field's points then peak at twice their size and more, and the peak varies from run
to run with how the decoding threads meet. Here the row groups are read one after
another, each integer and float column is joined into one piece as soon as all are read
(what it was read into is handed back to the system before the next), and the frame
then takes those pieces as its columns without a copy. The conversion is pandas' own,
so columns, dtypes, index and attributes come out as ``read_parquet``'s; where that
function is not to be had (older pandas), ``read_parquet`` itself reads the file.
"""

from __future__ import annotations

import inspect
import json
import warnings
from typing import IO, Any


def parquet_frame(stream: IO[bytes], pandas: Any, pyarrow: Any) -> Any:
    """The file's table as a frame; Arrow's errors pass through to the caller."""
    convert = _pandas_conversion()
    if convert is None:
        return pandas.read_parquet(stream, **read_parquet_options(pandas))
    from pyarrow import parquet

    file = parquet.ParquetFile(stream, pre_buffer=False)
    if file.num_row_groups == 0:
        table = file.read(use_pandas_metadata=True)
    else:
        table = pyarrow.concat_tables(
            [file.read_row_group(group, use_pandas_metadata=True)
             for group in range(file.num_row_groups)]
        )
    pool = pyarrow.default_memory_pool()
    for index, field in enumerate(table.schema):
        column = table.column(index)
        if column.num_chunks > 1 and (pyarrow.types.is_floating(field.type)
                                      or pyarrow.types.is_integer(field.type)):
            table = table.set_column(index, field, column.combine_chunks())
            del column
            pool.release_unused()
    attributes = (table.schema.metadata or {}).get(b"PANDAS_ATTRS")
    with warnings.catch_warnings():
        # pandas silences this one inside read_parquet too: Arrow builds the frame's
        # blocks through a pandas function pandas 3 deprecates.
        warnings.filterwarnings("ignore", "make_block is deprecated")
        frame = convert(table, to_pandas_kwargs={"self_destruct": True, "split_blocks": True})
    del table
    if attributes is not None:
        frame.attrs = json.loads(attributes)
    pool.release_unused()
    return frame


def read_parquet_options(pandas: Any) -> dict[str, Any]:
    """``read_parquet``'s options that free each column's Arrow buffers as it is
    converted and make no block of all the columns, where pandas has them."""
    if "to_pandas_kwargs" in inspect.signature(pandas.read_parquet).parameters:
        return {"to_pandas_kwargs": {"self_destruct": True, "split_blocks": True}}
    return {}


def _pandas_conversion() -> Any:
    try:
        from pandas.io._util import arrow_table_to_pandas
    except ImportError:
        return None
    if "to_pandas_kwargs" not in inspect.signature(arrow_table_to_pandas).parameters:
        return None
    return arrow_table_to_pandas
