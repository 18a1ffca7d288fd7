"""``quillmoor generate``: save a synthetic field as an .npz file that ``merge`` reads."""

from __future__ import annotations

import argparse

import numpy as np

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.options import point_count
from quillmoor.synthetic import make_field


def add_parser(subcommands) -> None:
    parser = subcommands.add_parser(
        "generate",
        help="save a synthetic field (.npz) to try 'merge' on",
        description=(
            "Save a synthetic field of parallel crop rows, split into overlapping "
            "segments, as an .npz file holding connected_crop_rows, points_in_rows and "
            "row_information. Points have the columns key_a, key_b, x, y, height, "
            "intensity, timestamp."
        ),
    )
    parser.add_argument("output", metavar="PATH", help="the .npz file to write")
    parser.add_argument("--points", type=point_count, default=100_000, metavar="N",
                        help="number of measured points (default: 100000)")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default: 0)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    field = make_field(args.points, seed=args.seed)
    written = args.output if args.output.endswith(".npz") else args.output + ".npz"
    try:
        np.savez(
            written,
            connected_crop_rows=field.connected_crop_rows,
            points_in_rows=field.points_in_rows,
            row_information=field.row_information,
        )
    except OSError as error:
        raise CommandError(f"{written}: cannot write it: {error.strerror or error}") from None
    print(
        f"saved {field.n_crop_rows} crop rows x {field.segments_per_row} segments, "
        f"{field.n_points:,} points to {written}"
    )
    return 0
