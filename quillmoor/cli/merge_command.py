"""``quillmoor merge``: merge tables stored in .npy/.npz files and save the result."""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.guarded_merge import merge_tables
from quillmoor.cli.options import finite_float, thread_count
from quillmoor.cli.tables import load_tables

DESCRIPTION = """\
Merge the overlapping segments of a field's crop rows: keep each segment's measured
points except those in the overlap zone at each junction with a neighbouring segment.

Give either one .npz file holding arrays named connected_crop_rows, points_in_rows and
row_information, or three .npy files in that order. Every table is 2-D (one record per
row) and is converted to float64; keys are numbers too.

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
the order of connected_crop_rows.
"""


def add_parser(subcommands) -> None:
    parser = subcommands.add_parser(
        "merge",
        help="merge tables from .npy/.npz files and save the kept points",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "inputs", nargs="+", metavar="INPUT",
        help="one .npz file, or connected_crop_rows.npy points_in_rows.npy row_information.npy",
    )
    parser.add_argument(
        "-o", "--output", required=True, metavar="PATH",
        help="where to save the kept points (.npy; the suffix is added if missing)",
    )
    parser.add_argument(
        "--tolerance", type=finite_float, default=0.0, metavar="DIST",
        help="shifts the bounds of each overlap zone, in coordinate units (default: 0)",
    )
    parser.add_argument(
        "--threads", type=thread_count, default=0, metavar="N",
        help="worker threads; 0 uses all cores (default: 0)",
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    connected_crop_rows, points_in_rows, row_information = load_tables(args.inputs)
    started = time.perf_counter()
    merged = merge_tables(
        connected_crop_rows, points_in_rows, row_information, args.tolerance, args.threads
    )
    elapsed = time.perf_counter() - started
    output = save_table(args.output, merged)
    print(
        f"merged {connected_crop_rows.shape[0]:,} connection records in {elapsed:.3f} s: "
        f"{points_in_rows.shape[0]:,} points in, {merged.shape[0]:,} out; saved to {output}"
    )
    return 0


def save_table(path: str, table: np.ndarray) -> str:
    """Saves to ``path`` (with .npy added as np.save does) and returns the path written."""
    written = path if path.endswith(".npy") else path + ".npy"
    try:
        np.save(written, table)
    except OSError as error:
        raise CommandError(f"{written}: cannot write it: {error.strerror or error}") from None
    return os.fspath(written)
