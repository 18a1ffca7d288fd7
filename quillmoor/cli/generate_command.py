"""``quillmoor generate``: save a synthetic field as an .npz file that ``merge`` reads."""

from __future__ import annotations

import argparse

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.merge_inputs import TABLE_NAMES
from quillmoor.cli.options import point_count
from quillmoor.cli.output_checks import check_output_file
from quillmoor.synthetic import POINT_COLUMNS, make_field
from quillmoor.tables.file_errors import TableFileError
from quillmoor.tables.writing import write_field


def add_parser(subcommands) -> None:
    parser = subcommands.add_parser(
        "generate",
        help="save a synthetic field (.npz) to try 'merge' on",
        description=(
            "Save a synthetic field of parallel crop rows, split into overlapping "
            "segments, as an .npz file holding connected_crop_rows, points_in_rows and "
            "row_information. Points have the columns key_a, key_b, x, y, height, "
            "intensity, timestamp; the file names them, so a result saved as CSV or "
            "Parquet has them as column names."
        ),
    )
    parser.add_argument("output", metavar="PATH", help="the .npz file to write")
    parser.add_argument("--points", type=point_count, default=100_000, metavar="N",
                        help="number of measured points (default: 100000)")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default: 0)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    written = args.output if args.output.endswith(".npz") else args.output + ".npz"
    check_output_file(args.output, written)
    field = make_field(args.points, seed=args.seed)
    tables = {name: getattr(field, name) for name in TABLE_NAMES}
    try:
        # Whole or not at all: an interrupted run leaves no half-written field.
        write_field(written, tables, point_columns=POINT_COLUMNS)
    except TableFileError as error:
        raise CommandError(str(error)) from None
    print(
        f"saved {field.n_crop_rows} crop rows x {field.segments_per_row} segments, "
        f"{field.n_points:,} points to {written}"
    )
    return 0
