"""``quillmoor demo``: merge a synthetic field, summarise it and draw it."""

from __future__ import annotations

import argparse
import os
import time

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.guarded_merge import merge_tables
from quillmoor.cli.options import finite_float, point_count, thread_count
from quillmoor.cli import plotting
from quillmoor.synthetic import make_field
from quillmoor.tables.file_errors import TableFileError
from quillmoor.tables.writing import committed_path

DEFAULT_POINTS = 300_000
DEFAULT_SEED = 7
DEFAULT_TOLERANCE = 0.05  # metres
DEFAULT_OUTPUT = "quillmoor_demo.png"
# Rows bent by half a metre over the field and wider overlaps make the picture telling.
DEMO_BEND = 0.5
DEMO_OVERLAP = 0.5


def add_parser(subcommands) -> None:
    parser = subcommands.add_parser(
        "demo",
        help="merge a synthetic field and draw the result",
        description=(
            "Generate a synthetic field of crop rows split into overlapping segments, "
            "merge it, print a summary and save a picture of the points kept and "
            "dropped (the picture needs matplotlib: pip install 'quillmoor[demo]')."
        ),
    )
    parser.add_argument("--points", type=point_count, default=DEFAULT_POINTS, metavar="N",
                        help=f"number of measured points (default: {DEFAULT_POINTS})")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED,
                        help=f"random seed of the field (default: {DEFAULT_SEED})")
    parser.add_argument("--threads", type=thread_count, default=0, metavar="N",
                        help="worker threads; 0 uses all cores (default: 0)")
    parser.add_argument("--tolerance", type=finite_float, default=DEFAULT_TOLERANCE,
                        metavar="METRES",
                        help=f"overlap zone tolerance (default: {DEFAULT_TOLERANCE})")
    parser.add_argument("-o", "--output", default=DEFAULT_OUTPUT, metavar="PATH",
                        help=f"where to save the picture (default: {DEFAULT_OUTPUT})")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    field = make_field(args.points, seed=args.seed, bend=DEMO_BEND, overlap=DEMO_OVERLAP)
    print(
        f"synthetic field (seed {args.seed}): {field.n_crop_rows} crop rows "
        f"{field.row_spacing} m apart, {field.segments_per_row} segments each, "
        f"overlapping by about {field.overlap} m"
    )
    print(
        f"  {field.connected_crop_rows.shape[0]:,} connection records, "
        f"{field.row_information.shape[0]:,} row records, {field.n_points:,} points "
        f"with {field.points_in_rows.shape[1]} columns"
    )

    started = time.perf_counter()
    merged, _ = merge_tables(field.connected_crop_rows, field.points_in_rows,
                             field.row_information, args.tolerance, args.threads, sources={})
    elapsed = time.perf_counter() - started
    kept = field.kept_points(merged)
    dropped = field.n_points - int(kept.sum())
    threads = "all cores" if args.threads == 0 else f"{args.threads} thread(s)"
    share = 100.0 * dropped / field.n_points if field.n_points else 0.0
    print(
        f"merged in {elapsed:.3f} s on {threads} (tolerance {args.tolerance} m): "
        f"{merged.shape[0]:,} points kept, {dropped:,} dropped ({share:.2f} %) "
        f"at {field.junctions().shape[0]:,} junctions"
    )

    if plotting.matplotlib_missing():
        print("no picture: matplotlib is not installed "
              "(pip install 'quillmoor[demo]' or pip install matplotlib)")
        return 0
    title = (f"quillmoor demo: {field.n_points:,} points, tolerance {args.tolerance} m "
             f"(seed {args.seed})")
    try:
        # Whole or not at all: an interrupted drawing leaves no half-written picture.
        # The temporary ends as the picture does: matplotlib picks the format by it.
        with committed_path(args.output, suffix=os.path.splitext(args.output)[1]) as temporary:
            plotting.draw_merge(field, kept, temporary, title)
    except TableFileError as error:
        raise CommandError(str(error)) from None
    except OSError as error:
        raise CommandError(f"{args.output}: cannot write the picture: "
                           f"{error.strerror or error}") from None
    print(f"picture: {args.output}")
    return 0
