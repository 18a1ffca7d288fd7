"""``quillmoor merge``: merge tables stored in .npy/.npz, CSV or Parquet files and save
the result."""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Sequence
from typing import Any

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.field_picture import check_picture, draw_picture
from quillmoor.cli.frame_columns import check_column_flags, check_frame_columns
from quillmoor.cli.guarded_merge import frame_positions, merge_tables
from quillmoor.cli.merge_inputs import TABLE_NAMES, table_sources
from quillmoor.cli.merge_summary import summary_lines
from quillmoor.cli.bounded_merge import bounded_budget, run_bounded
from quillmoor.cli.options import column_mapping, finite_float, memory_size, thread_count
from quillmoor.cli.output_checks import check_output_file
from quillmoor.cli.tables import load_inputs, loaded_point_columns
from quillmoor.tables.files import TableFileError, suffix_of, write_table
from quillmoor.tables.locations import StorageError
from quillmoor.tables.places import place_of
from quillmoor.tables.kept_rows import writes_in_row_groups
from quillmoor.tables.writing import refuse_folder, write_kept_rows

#: Output suffixes written as they are; any other path gets .npy added.
OUTPUT_SUFFIXES = (".npy", ".csv", ".parquet")

DESCRIPTION = """\
Merge the overlapping segments of a field's crop rows: keep each segment's measured
points except those in the overlap zone at each junction with a neighbouring segment.

Give either one .npz file holding arrays named connected_crop_rows, points_in_rows and
row_information, or three table files in that order (.npy, .csv or .parquet). Every
table is 2-D (one record per row) and is converted to float64; keys are numbers too.

A segment is named by a key of two numbers (key_a, key_b), for example
(crop row, segment within the row).

connected_crop_rows, one connection record per segment (11 columns):
  column 0       not used (for example the record's own index)
  columns 1, 2   key_a, key_b of the segment
  columns 3-10   up to four neighbour segments as key pairs (3,4) (5,6) (7,8) (9,10);
                 the list ends at the first NaN in column 3, 5, 7 or 9

points_in_rows, one measured point per row (4 columns or more):
  columns 0, 1   key_a, key_b of the segment the point belongs to
  columns 2, 3   x, y
  columns 4...   further values (height, time, ...), copied unchanged

row_information, one record per segment (11 columns):
  column 0       key_a
  columns 1-3    not used
  column 4       key_b
  columns 5, 6   x, y of the segment's first end point
  columns 7, 8   x, y of its other end point
  columns 9, 10  x, y of a third point on it, e.g. its middle

The result has the columns of points_in_rows: the kept points, segment by segment in
the order of connected_crop_rows. A point whose key no connection record has (a NaN,
negative or fractional key, or a segment without a connection record) belongs to no
segment's points, so it is not in the result; the summary counts such points, and why,
apart from the points dropped at junctions.

CSV and Parquet tables (Parquet needs pyarrow) are found by column name instead:
points_in_rows needs key_a, key_b, x, y (all other columns are kept as they are, text
and timestamps too); row_information key_a, key_b, p0_x, p0_y, p1_x, p1_y, p2_x, p2_y;
connected_crop_rows key_a, key_b and neighbour keys n0_key_a, n0_key_b ... n3_key_b.
Name your own columns with --column, e.g. --column x=easting --column
row_information.key_a=crop_row. The output's suffix (.npy, .csv, .parquet) says how
it is written.
"""


def add_parser(subcommands) -> None:
    parser = subcommands.add_parser(
        "merge",
        help="merge one field's tables (.npz, .npy, CSV or Parquet) and save the kept "
             "points",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "inputs", nargs="+", metavar="INPUT",
        help="one .npz file (or a folder holding the three tables), or "
             "connected_crop_rows points_in_rows row_information as .npy, .csv or "
             ".parquet files",
    )
    parser.add_argument(
        "-o", "--output", required=True, metavar="PATH",
        help="where to save the kept points: .npy, .csv or .parquet (.npy is added to "
             "any other name but .npz)",
    )
    parser.add_argument(
        "--tolerance", type=finite_float, default=0.0, metavar="DIST",
        help="shifts the bounds of each overlap zone, in coordinate units (default: 0)",
    )
    parser.add_argument(
        "--threads", type=thread_count, default=0, metavar="N",
        help="worker threads, 0 to 255; 0 uses all cores (default: 0)",
    )
    parser.add_argument(
        "--column", type=column_mapping, action="append", default=[], metavar="ROLE=NAME",
        help="the column of a CSV or Parquet table that holds ROLE (key_a, x, p0_x, "
             "n0_key_a, ...), for all tables or for one as TABLE.ROLE; repeat as needed "
             "(NumPy files go by position and take no --column)",
    )
    parser.add_argument(
        "--memory", type=memory_size, default=None, metavar="SIZE",
        help="merge piece by piece from file to file, holding at most SIZE of the field "
             "(e.g. 256M, 2G), for fields larger than memory; without it this happens by "
             "itself when the field would not fit in the memory available",
    )
    parser.add_argument(
        "--picture", metavar="PNG",
        help="also draw the field to PNG, as the demo does: every point, kept or "
             "dropped, the segments' ends and links, close-ups of a few junctions "
             "(needs matplotlib)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    columns = dict(args.column) or None
    sources = table_sources(args.inputs, columns is not None)
    check_column_flags(columns)
    check_output_file(args.output, output_path(args.output))
    if args.picture is not None:
        check_picture(args.picture)
    budget = bounded_budget(args)
    if budget is not None:
        if args.picture is not None:
            raise CommandError("--picture draws the whole field in memory, so it does not "
                               "go with a merge piece by piece; leave out one of them")
        return run_bounded(args, output_path(args.output), budget, columns, sources)
    try:
        connected_crop_rows, points_in_rows, row_information = load_inputs(args.inputs,
                                                                           columns)
    except (TableFileError, StorageError) as error:
        raise CommandError(str(error)) from None
    started = time.perf_counter()
    if hasattr(points_in_rows, "columns"):
        check_frame_columns(
            dict(zip(TABLE_NAMES, (connected_crop_rows, points_in_rows, row_information))),
            sources, columns,
        )
        merged, counts = frame_positions(connected_crop_rows, points_in_rows, row_information,
                                         args.tolerance, args.threads, columns, sources)
        elapsed = time.perf_counter() - started
        written = save_frame_rows(args.output, points_in_rows, merged)
    else:
        merged, counts = merge_tables(connected_crop_rows, points_in_rows, row_information,
                                      args.tolerance, args.threads, sources)
        elapsed = time.perf_counter() - started
        written = save_table(args.output, merged)
    for line in summary_lines(len(connected_crop_rows), elapsed, counts, len(merged), written):
        print(line)
    if args.picture is not None:
        title = (f"{os.path.basename(sources['points_in_rows'])}: {counts.points:,} points, "
                 f"tolerance {args.tolerance}")
        draw_picture(args.picture, *picture_tables(
            connected_crop_rows, points_in_rows, row_information, merged, columns), title)
    return 0


def picture_tables(connected_crop_rows: Any, points_in_rows: Any, row_information: Any,
                   merged: Any, columns: dict[str, str] | None) -> tuple[Any, Any, Any, Any]:
    """The tables as the picture takes them (plain tables; the points' key, x and y
    first) and the kept points: the merged rows, or for a frame the kept positions
    (``merged`` is those)."""
    if not hasattr(points_in_rows, "columns"):
        return connected_crop_rows, points_in_rows, row_information, merged
    import numpy as np

    from quillmoor.frames.columns import POINT_ROLES, resolve_columns
    from quillmoor.frames.float_columns import float_column
    from quillmoor.frames.record_tables import connection_records, row_records

    names = resolve_columns(columns)
    table = np.column_stack([float_column(points_in_rows, "pandas", names["points"][role],
                                          "points") for role in POINT_ROLES])
    return (connection_records(connected_crop_rows, names["connected_crop_rows"]), table,
            row_records(row_information, names["row_information"]), merged)


def output_path(path: str) -> str:
    """The path the result is written to: ``path``, with .npy added to other suffixes.

    An .npz name is refused rather than written as NAME.npz.npy: the result is one
    table, and an .npz file is read back as a field of three.
    """
    if suffix_of(path) == ".npz":
        raise CommandError(
            f"{path}: the kept points are one table; save them as .npy, .csv or .parquet"
        )
    return path if suffix_of(path) in OUTPUT_SUFFIXES else path + ".npy"


def save_frame_rows(path: str, frame: Any, positions: Any) -> str:
    """Saves the rows of the pandas ``frame`` at ``positions`` as ``save_table`` saves
    a table; to Parquet a row group at a time, without taking them all first."""
    if suffix_of(path) != ".parquet" or not writes_in_row_groups(frame):
        return save_table(path, frame.take(positions))
    try:
        return write_kept_rows(path, frame, positions)  # refuses a folder as write_table does
    except (TableFileError, StorageError) as error:
        raise CommandError(str(error)) from None


def save_table(path: str, table: Any, columns: Sequence[str] | None = None) -> str:
    """Saves to ``path`` by its suffix (.npy added to any other) and returns the path written.

    Written whole or not at all: an earlier file at that path stays as it was until the
    new one is complete. An array saved as CSV or Parquet gets the points' column names:
    key_a, key_b, x, y, then ``columns`` (by default those the input .npz gave).
    """
    try:
        refuse_folder(place_of(path))
        written = path if suffix_of(path) in OUTPUT_SUFFIXES else path + ".npy"
        names = loaded_point_columns() if columns is None else columns
        return write_table(written, table, point_columns=names)
    except (TableFileError, StorageError) as error:
        raise CommandError(str(error)) from None
