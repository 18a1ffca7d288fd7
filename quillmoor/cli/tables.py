"""Reading the three input tables from .npy, .npz, .csv or .parquet files (local paths
or fsspec URLs), with a message per mistake."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from quillmoor.cli.command_error import CommandError
from quillmoor.tables.bad_cells import check_read_columns
from quillmoor.tables.files import FieldTables, TableFileError, read_field, read_table, suffix_of

TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")

# Booleans, integers and reals convert to float64 without losing meaning; strings,
# complex numbers, dates and Python objects do not.
_NUMERIC_KINDS = "biuf"

# The command merges one field per process: what its points' columns were called, for
# naming the columns of the result it writes.
_loaded_point_columns: list[tuple[str, ...] | None] = [None]


def load_inputs(
    paths: list[str], columns: Mapping[str, str] | None = None
) -> tuple[Any, Any, Any]:
    """The three tables: 2-D float64 arrays from .npy/.npz files, DataFrames from CSV or
    Parquet files (named columns, read by ``merge_frame``, with ``columns`` renaming
    them as there; a cell that is not a number where one is needed is named here).

    One path is an .npz archive or a folder of table files named after the tables;
    three paths are the tables in this order: connected_crop_rows, points_in_rows,
    row_information."""
    if len(paths) == 1:
        field = _read(read_field, paths[0])
        # An archive's tables are named by the archive and the array's name in it.
        sources = [f"{paths[0]}[{name}]" if field.sources[name] == paths[0]
                   else field.sources[name] for name in TABLE_NAMES]
    elif len(paths) == 3:
        for path in paths:
            if suffix_of(path) == ".npz":
                raise CommandError(
                    f"{path}: is an .npz archive; pass it alone, not with other files"
                )
        field = FieldTables({name: _read(read_table, path)
                             for name, path in zip(TABLE_NAMES, paths)},
                            dict(zip(TABLE_NAMES, paths)))
        sources = list(paths)
    else:
        raise CommandError(
            f"expected one .npz file or three .npy files (or .csv or .parquet tables), "
            f"got {len(paths)} paths"
        )
    _loaded_point_columns[0] = field.point_columns
    tables = [table if _is_frame(table) else _as_float_table(table, name, source)
              for table, name, source in
              zip((field[name] for name in TABLE_NAMES), TABLE_NAMES, sources)]
    if any(_is_frame(table) for table in tables):
        try:
            check_read_columns(field, field.sources, columns)
        except TableFileError as error:
            raise CommandError(str(error)) from None
    return tables[0], tables[1], tables[2]


def load_tables(paths: list[str]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The three tables as 2-D float64 arrays, from one .npz file or three .npy files."""
    tables = load_inputs(paths)
    for table, name in zip(tables, TABLE_NAMES):
        if _is_frame(table):
            raise CommandError(f"{name}: a CSV or Parquet table; pass .npy or .npz files")
    return tables


def loaded_point_columns() -> Sequence[str] | None:
    """The names the last loaded .npz gave its points' columns, if it gave any."""
    return _loaded_point_columns[0]


def _read(reader: Any, path: str) -> Any:
    try:
        return reader(path)
    except TableFileError as error:
        raise CommandError(str(error)) from None


def _is_frame(table: Any) -> bool:
    return hasattr(table, "columns") and not isinstance(table, np.ndarray)


def _as_float_table(array: np.ndarray, name: str, source: str) -> np.ndarray:
    if array.dtype.kind not in _NUMERIC_KINDS:
        raise CommandError(
            f"{source}: {name} must hold numbers convertible to float64, not {array.dtype}"
        )
    if array.ndim != 2:
        raise CommandError(
            f"{source}: {name} must be a 2-D table (records x columns), "
            f"got {array.ndim}-D with shape {array.shape}"
        )
    return array.astype(np.float64, copy=False)
