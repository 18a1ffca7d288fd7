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
import zipfile
from collections.abc import Mapping, Sequence
from typing import Any, TypeGuard

import numpy as np

from quillmoor.merging.forgiving_merge import merge_field
from quillmoor.frames.frame_merge import is_frame, merge_frame_field
from quillmoor.tables.locations import is_url
from quillmoor.tables.files import FRAME_SUFFIXES, read_table

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
        return _npz_point_count(path) if path.lower().endswith(".npz") else None
    try:
        points = _tables_in_memory(source)["points_in_rows"]
    except (TypeError, KeyError, ValueError):
        return None
    if is_path(points):
        return None
    return int(len(points)) if not hasattr(points, "num_rows") else int(points.num_rows)


def _npz_point_count(path: str) -> int | None:
    # Only the array header is read, not the table.
    try:
        with zipfile.ZipFile(path) as archive, archive.open("points_in_rows.npy") as member:
            version = np.lib.format.read_magic(member)
            if version == (1, 0):
                shape = np.lib.format.read_array_header_1_0(member)[0]
            else:
                shape = np.lib.format.read_array_header_2_0(member)[0]
    except (OSError, KeyError, ValueError, zipfile.BadZipFile):
        return None
    return int(shape[0]) if shape else None


def load_tables(
    source: object, storage_options: Mapping[str, Any] | None = None
) -> dict[str, Any]:
    """The field's three tables by name, read from disk (or an fsspec URL, with
    ``storage_options``) where the field is a path."""
    if is_url(source):
        from quillmoor.tables.remote import read_remote_field

        return read_remote_field(str(source), storage_options)
    if is_path(source):
        path = os.fspath(source)
        if os.path.isdir(path):
            return {name: _read_named_table(path, name) for name in TABLE_NAMES}
        if path.lower().endswith(".npz"):
            return _read_npz(path)
        raise ValueError(f"{path}: a field is an .npz file or a folder of table files")
    tables = _tables_in_memory(source)
    return {name: _read_one(t, storage_options) if is_path(t) else t
            for name, t in tables.items()}


def _read_one(path: str | os.PathLike[str], storage_options: Mapping[str, Any] | None) -> Any:
    if is_url(path):
        from quillmoor.tables.remote import read_remote_table

        return read_remote_table(str(path), storage_options)
    return read_table(path)


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


def _read_npz(path: str) -> dict[str, Any]:
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file")
    with np.load(path, allow_pickle=False) as archive:
        missing = [name for name in TABLE_NAMES if name not in archive.files]
        if missing:
            raise KeyError(f"{path}: no array named {', '.join(missing)}")
        return {name: archive[name] for name in TABLE_NAMES}


def _read_named_table(folder: str, name: str) -> Any:
    candidates = [os.path.join(folder, name + suffix) for suffix in TABLE_FILE_SUFFIXES]
    found = [path for path in candidates if os.path.exists(path)]
    if not found:
        raise FileNotFoundError(
            f"{folder}: no {name} table (looked for {name}.npy, .csv and .parquet)"
        )
    if len(found) > 1:
        raise ValueError(f"{folder}: more than one {name} table: {', '.join(found)}")
    path = found[0]
    if os.path.isdir(path):  # a Parquet dataset folder
        import pandas

        return pandas.read_parquet(path)
    return read_table(path)


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
    """Merge one field's loaded tables: by ``merge_frame`` when the points are a frame."""
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
