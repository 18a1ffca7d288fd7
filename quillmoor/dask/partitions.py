"""Merging a Dask DataFrame of points, many fields in one frame, partition by partition.

Each partition is merged where it lies (``map_partitions``): its points are grouped by
the field column, each field is merged on its own against that field's row records and
connection records, and the kept rows of the partition are taken from it in one go, so
every column keeps its dtype. A field must lie whole within one partition; a field split
over two partitions would be merged as two fields, with the junctions between the parts
lost, so that is checked before the merge.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np

from quillmoor.errors import MergeError
from quillmoor.fields.tasks import as_field_error, hide_engine_bars
from quillmoor.merging.forgiving_merge import as_thread_count, as_tolerance
from quillmoor.merging.unassigned_policy import UnassignedPolicy, check_policy
from quillmoor.frames.frame_merge import kept_positions
from quillmoor.tables.locations import is_url, open_location

DEFAULT_FIELD_COLUMN = "field"


def merge_partitions(
    connected_crop_rows: Any,
    points_in_rows: Any,
    row_information: Any,
    *,
    field_column: str = DEFAULT_FIELD_COLUMN,
    tolerance: SupportsFloat = 0.0,
    num_threads: SupportsIndex = 1,
    columns: Mapping[str, str] | None = None,
    check_partitions: bool = True,
    unassigned: UnassignedPolicy = "warn",
) -> Any:
    """Merge every field of a Dask DataFrame of points; a lazy Dask DataFrame of kept rows.

    The tables come in ``quillmoor.merge``'s order. ``points_in_rows`` holds the points of many fields, with a column ``field_column`` naming
    each point's field (plain or categorical). ``row_information`` and
    ``connected_crop_rows`` are pandas DataFrames with the same field column, holding
    the records of every field; they are sent to every partition, so they should be
    small beside the points. Columns are those of ``quillmoor.merge_frame``; field
    values match when their text is equal (so 3 and "3" name the same field).

    Every field must lie within one partition: ``read_fields_parquet`` reads a Parquet
    dataset partitioned by field that way. ``dd.read_parquet`` does not promise it:
    ``split_row_groups=True`` or a ``blocksize`` split files, and several files of one
    field become several partitions. With ``check_partitions`` (the default) the field
    column is read once, before the merge, and a field found in two partitions is
    refused.

    The result has the columns and dtypes of ``points_in_rows``; each partition holds its fields'
    kept rows in the order they first appear in it, each in the merge's order. A failed
    field raises ``MergeError`` naming it when the result is computed. ``num_threads``
    is the engine's thread count per partition (see ``merge_fields`` for choosing it).
    ``unassigned`` is ``quillmoor.merge``'s, per field; a warning is issued where the
    partition is merged (on a worker, in its log), so ``"raise"`` is the way to learn of
    such points from a cluster.
    """
    if hasattr(connected_crop_rows, "map_partitions") and not hasattr(
        points_in_rows, "map_partitions"
    ):
        raise TypeError(
            "the points, a Dask DataFrame, came first: the order is now "
            "merge_partitions(connected_crop_rows, points_in_rows, row_information), "
            "that of quillmoor.merge"
        )
    points = points_in_rows
    check_policy(unassigned)
    options = {
        "field_column": field_column,
        "tolerance": as_tolerance(tolerance),
        "num_threads": as_thread_count(num_threads),
        "columns": columns,
        "unassigned": unassigned,
    }
    for name, table in (("row_information", row_information),
                        ("connected_crop_rows", connected_crop_rows)):
        if field_column not in getattr(table, "columns", ()):
            raise KeyError(f"{name} has no field column {field_column!r}")
    if field_column not in points.columns:
        raise KeyError(f"points has no field column {field_column!r}")
    if check_partitions:
        check_fields_are_whole(points, field_column)
    return points.map_partitions(
        merge_partition,
        row_information,
        connected_crop_rows,
        meta=points._meta,
        **options,
    )


def check_fields_are_whole(points: Any, field_column: str) -> None:
    """Refuse a frame in which one field's points lie in more than one partition."""
    per_partition = points[field_column].map_partitions(
        _fields_of, meta=(field_column, object)
    ).compute()
    seen = per_partition.astype(str)
    split = sorted(set(seen[seen.duplicated()]))
    if split:
        raise ValueError(
            f"the points of field {', '.join(map(repr, split[:5]))} lie in more than one "
            "partition and would be merged in parts; read the dataset with "
            "quillmoor.dask.read_fields_parquet, or with dd.read_parquet(..., "
            "split_row_groups=False) when each field is one file, or repartition by field"
        )


def _fields_of(column: Any) -> Any:
    import pandas as pd

    return pd.Series(pd.unique(column.dropna().astype(str)), dtype=object)


def merge_partition(
    partition: Any,
    row_information: Any,
    connected_crop_rows: Any,
    *,
    field_column: str,
    tolerance: float,
    num_threads: int,
    columns: Mapping[str, str] | None,
    unassigned: UnassignedPolicy = "warn",
) -> Any:
    """Merge the fields of one pandas partition; the kept rows of ``partition``."""
    hide_engine_bars()
    if len(partition) == 0:
        return partition
    field_values = partition[field_column]
    if field_values.isna().any():
        row = int(np.flatnonzero(field_values.isna().to_numpy())[0])
        raise ValueError(f"points: row {row} of a partition has no {field_column!r} value")
    # Group by text: categorical, integer and string field columns all match each other.
    # Only the positions are grouped, which sidesteps groupby.apply and its key column.
    keys = field_values.astype(str).to_numpy()
    rows_by_field = _records_by_field(row_information, field_column)
    connections_by_field = _records_by_field(connected_crop_rows, field_column)
    order, first = np.unique(keys, return_index=True)
    kept = []
    for key in order[np.argsort(first)]:
        where = np.flatnonzero(keys == key)
        rows = rows_by_field.get(key)
        connections = connections_by_field.get(key)
        if rows is None or connections is None:
            missing = "row records" if rows is None else "connection records"
            raise MergeError(f"no {missing} for this field", key)
        try:
            local = kept_positions(
                partition.take(where), rows, connections, tolerance=tolerance,
                num_threads=num_threads, columns=columns, field=key,
                unassigned=unassigned,
            )
        except BaseException as error:  # noqa: B036 - see quillmoor.fields.tasks
            raise as_field_error(error, key) from None
        kept.append(where[local])
    return partition.take(np.concatenate(kept))


def _records_by_field(table: Any, field_column: str) -> dict[str, Any]:
    keys = table[field_column].astype(str).to_numpy()
    return {
        key: table.take(np.flatnonzero(keys == key)) for key in dict.fromkeys(keys.tolist())
    }


def read_fields_parquet(
    path: str | os.PathLike[str],
    *,
    field_column: str = DEFAULT_FIELD_COLUMN,
    columns: list[str] | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """Read a Parquet dataset partitioned by field (``path/field=A/*.parquet``) as a
    Dask DataFrame with one partition per field, however many files each field has.

    The field column holds each field's name as text (not categorical, as
    ``dd.read_parquet`` would give it). ``columns`` reads only those columns. ``path``
    may be an fsspec URL (``s3://bucket/points``), with ``storage_options``; each
    field's files are then read on the workers.
    """
    import dask.dataframe as dd

    root = os.fspath(path)
    prefix = field_column + "="
    fs, listed = open_location(root, storage_options)
    if fs is None:
        entries = [(e, os.path.isdir(os.path.join(listed, e))) for e in os.listdir(listed)]
    else:
        entries = [(entry["name"].rstrip("/").rsplit("/", 1)[-1], entry["type"] == "directory")
                   for entry in fs.ls(listed, detail=True)]
    folders = sorted(entry for entry, is_folder in entries
                     if is_folder and entry.startswith(prefix))
    if not folders:
        raise FileNotFoundError(f"{root}: no folders named {prefix}<name>")
    parts = [(root.rstrip("/") + "/" + folder if fs is not None else os.path.join(root, folder),
              folder[len(prefix):]) for folder in folders]
    return dd.from_map(_read_field_folder, parts, field_column=field_column, columns=columns,
                       storage_options=dict(storage_options or {}))


def _read_field_folder(
    part: tuple[str, str],
    field_column: str,
    columns: list[str] | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    # Dask passes the columns it needs here (column projection); the field column is
    # not in the files but made from the folder's name.
    import pandas as pd

    folder, name = part
    stored = None if columns is None else [c for c in columns if c != field_column]
    if is_url(folder):
        fs, path = open_location(folder, storage_options)
        frame = pd.read_parquet(path, columns=stored, filesystem=fs)
    else:
        frame = pd.read_parquet(folder, columns=stored)
    frame[field_column] = pd.Series([name] * len(frame), index=frame.index, dtype=object)
    return frame if columns is None else frame[list(columns)]
