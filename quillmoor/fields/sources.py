"""The ways a field can be given to the many-fields merge, and merging one of them.

A field is any of:

* a path to an ``.npz`` file holding ``connected_crop_rows``, ``points_in_rows`` and
  ``row_information``;
* a path to a folder holding one table file per table, named after the table
  (``points_in_rows.parquet``, ``row_information.csv``, ``connected_crop_rows.npy``; a
  Parquet table may also be a folder of Parquet files);
* a mapping from those three table names to tables (arrays, DataFrames) or table paths;
* a sequence of the three tables in ``quillmoor.merge``'s order;
* anything with the three tables as attributes, such as a ``quillmoor.synthetic.Field``.

When ``points_in_rows`` is a DataFrame (CSV and Parquet files are read as DataFrames),
the field is merged with ``merge_frame`` and its result is the kept rows of that frame;
otherwise with ``merge`` and its result is an array. Paths are read where the merge runs,
so a path is all a Dask worker is sent. A path may be an fsspec URL (``s3://...``), read
with the caller's storage options.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any, TypeGuard

from quillmoor.merging.forgiving_merge import merge_field
from quillmoor.frames.frame_merge import is_frame, merge_frame_field
from quillmoor.tables.bad_cells import check_read_columns
from quillmoor.tables.files import FRAME_SUFFIXES, FieldTables, read_field, read_table
from quillmoor.tables.locations import is_url
from quillmoor.tables.reading import npz_point_count

TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
TABLE_FILE_SUFFIXES = (".npy", *FRAME_SUFFIXES)


def is_path(source: object) -> TypeGuard[str | os.PathLike[str]]:
    return isinstance(source, (str, os.PathLike))


def default_name(source: object, position: int) -> object:
    """A path's file or folder name without suffix (``field=A`` gives ``A``), else the position."""
    if is_path(source):
        base = os.path.basename(os.path.normpath(os.fspath(source)))
        stem = os.path.splitext(base)[0] if base.lower().endswith(".npz") else base
        return stem.partition("=")[2] if "=" in stem else stem
    return position


def point_count(source: object) -> int | None:
    """How many points a field has, where that is cheap to know; ``None`` otherwise."""
    if is_url(source):
        return None  # read only where it is merged
    if is_path(source):
        path = os.fspath(source)
        return npz_point_count(path) if path.lower().endswith(".npz") else None
    try:
        points = _tables_in_memory(source)["points_in_rows"]
    except (TypeError, KeyError, ValueError):
        return None
    if is_path(points):
        return None
    return int(len(points)) if not hasattr(points, "num_rows") else int(points.num_rows)


def load_tables(
    source: object, storage_options: Mapping[str, Any] | None = None
) -> FieldTables:
    """The field's three tables by name, read from disk (or an fsspec URL, with
    ``storage_options``) where the field or a table of it is a path. The tables read
    from files remember where from (``sources``), for the messages about their cells."""
    if is_path(source):
        return read_field(source, storage_options)
    tables = _tables_in_memory(source)
    paths = {name: os.fspath(t) for name, t in tables.items() if is_path(t)}
    return FieldTables(
        {name: read_table(paths[name], storage_options) if name in paths else t
         for name, t in tables.items()},
        paths,
    )


def _tables_in_memory(source: object) -> dict[str, Any]:
    if isinstance(source, Mapping):
        missing = [name for name in TABLE_NAMES if name not in source]
        if missing:
            raise KeyError(f"the field has no table {', '.join(missing)}")
        return {name: source[name] for name in TABLE_NAMES}
    if isinstance(source, Sequence) and not isinstance(source, (str, bytes)):
        if len(source) != 3:
            raise ValueError(
                "a field given as a sequence holds three tables: connected_crop_rows, "
                f"points_in_rows, row_information; got {len(source)} items"
            )
        return dict(zip(TABLE_NAMES, source))
    if all(hasattr(source, name) for name in TABLE_NAMES):
        return {name: getattr(source, name) for name in TABLE_NAMES}
    raise TypeError(
        f"cannot use a {type(source).__name__} as a field: give an .npz path, a folder of "
        "tables, a mapping or sequence of the three tables, or a synthetic Field"
    )


def merge_source(
    source: object,
    field: object,
    *,
    tolerance: float,
    num_threads: int,
    columns: Mapping[str, str] | None,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """Merge one field, whatever its kind; failures are raised as they come."""
    return merge_tables(load_tables(source, storage_options), field, tolerance=tolerance,
                        num_threads=num_threads, columns=columns)


def merge_tables(
    tables: Mapping[str, Any],
    field: object,
    *,
    tolerance: float,
    num_threads: int,
    columns: Mapping[str, str] | None,
) -> Any:
    """Merge one field's loaded tables: by ``merge_frame`` when the points are a frame.

    Tables read from CSV or Parquet files (see ``load_tables``) are checked first, so
    that a cell that is not a number is named by file, column and row.
    """
    sources = getattr(tables, "sources", None)
    if sources:
        check_read_columns(tables, sources, columns)
    points = tables["points_in_rows"]
    if is_frame(points):
        return merge_frame_field(
            points,
            tables["row_information"],
            tables["connected_crop_rows"],
            tolerance=tolerance,
            num_threads=num_threads,
            columns=columns,
            field=field,
        )
    return merge_field(
        tables["connected_crop_rows"],
        points,
        tables["row_information"],
        tolerance=tolerance,
        num_threads=num_threads,
        field=field,
    )
