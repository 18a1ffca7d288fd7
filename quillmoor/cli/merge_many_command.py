"""``quillmoor merge-many``: merge every field of a folder, here or on a Dask cluster."""

from __future__ import annotations

import argparse
import os
import sys
import time
from contextlib import ExitStack
from typing import Any

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.guarded_merge import failure_message
from quillmoor.cli.options import column_mapping, finite_float, thread_count
from quillmoor.errors import MergeError
from quillmoor.field_sources import TABLE_NAMES
from quillmoor.table_files import TableFileError, write_table

DESCRIPTION = """\
Merge every field of a farm, each on its own, and save each field's kept points.

SOURCE is a folder holding either
  - one .npz file per field (connected_crop_rows, points_in_rows, row_information), or
  - one folder per field with its three tables as files named after them
    (points_in_rows.parquet, row_information.csv, connected_crop_rows.npy, ...), or
  - a Parquet dataset partitioned by field: the folders points_in_rows,
    row_information and connected_crop_rows, each holding FIELD_COLUMN=NAME folders.

Each field's result is written to OUTPUT/NAME.npy, or OUTPUT/NAME.parquet where its
points are a table with named columns (every column kept), or for a partitioned
dataset to OUTPUT/FIELD_COLUMN=NAME/part-0.parquet. The columns and --column mapping
are those of 'quillmoor merge'.

Without --scheduler or --workers the fields are merged here, one after the other, with
all cores each. --workers N starts a local Dask cluster of N single-thread worker
processes; --scheduler ADDRESS uses a running one (the workers must see SOURCE at the
same path). One bar over fields shows the progress on a terminal. A field that fails
is reported and the others go on; the exit status is then 1.
"""

DEFAULT_FIELD_COLUMN = "field"


def add_parser(subcommands: Any) -> None:
    parser = subcommands.add_parser(
        "merge-many",
        help="merge every field of a folder or partitioned Parquet dataset",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("source", metavar="SOURCE", help="the folder of fields")
    parser.add_argument("-o", "--output", required=True, metavar="FOLDER",
                        help="where to write the results (created if missing)")
    parser.add_argument("--tolerance", type=finite_float, default=0.0, metavar="DIST",
                        help="shifts the bounds of each overlap zone (default: 0)")
    parser.add_argument("--threads", type=thread_count, default=None, metavar="N",
                        help="engine threads per field (default: all cores here, 1 on a "
                             "cluster)")
    place = parser.add_mutually_exclusive_group()
    place.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    place.add_argument("--workers", type=thread_count, metavar="N",
                       help="start a local Dask cluster of N worker processes")
    parser.add_argument("--field-column", default=DEFAULT_FIELD_COLUMN, metavar="NAME",
                        help="the partition column of a Parquet dataset (default: field)")
    parser.add_argument("--column", type=column_mapping, action="append", default=[],
                        metavar="ROLE=NAME", help="as for 'quillmoor merge'")
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    parser.set_defaults(run=run)


def find_fields(source: str, field_column: str) -> tuple[dict[str, Any], bool]:
    """The fields of ``source`` by name, and whether it is a partitioned dataset."""
    if not os.path.isdir(source):
        raise CommandError(f"{source}: no such folder")
    entries = sorted(os.listdir(source))
    if all(os.path.isdir(os.path.join(source, name)) for name in TABLE_NAMES):
        return _dataset_fields(source, field_column), True
    archives = [entry for entry in entries if entry.lower().endswith(".npz")]
    folders = [entry for entry in entries if os.path.isdir(os.path.join(source, entry))]
    if archives and folders:
        raise CommandError(f"{source}: holds both .npz files and folders; keep one kind")
    if archives:
        return {os.path.splitext(e)[0]: os.path.join(source, e) for e in archives}, False
    if folders:
        return {entry: os.path.join(source, entry) for entry in folders}, False
    raise CommandError(f"{source}: no fields (.npz files, field folders or a dataset)")


def _dataset_fields(source: str, field_column: str) -> dict[str, Any]:
    prefix = field_column + "="
    points_root = os.path.join(source, "points_in_rows")
    names = sorted(e[len(prefix):] for e in os.listdir(points_root) if e.startswith(prefix))
    if not names:
        raise CommandError(f"{points_root}: no {prefix}NAME folders")
    return {
        name: {table: os.path.join(source, table, prefix + name) for table in TABLE_NAMES}
        for name in names
    }


def run(args: argparse.Namespace) -> int:
    from quillmoor.dask.many_fields import merge_fields_as_completed

    fields, partitioned = find_fields(args.source, args.field_column)
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as error:
        raise CommandError(f"{args.output}: cannot create it: {error.strerror}") from None
    started = time.perf_counter()
    failed = 0
    points_out = 0
    with ExitStack() as stack:
        client = _client(args, stack)
        completed = merge_fields_as_completed(
            fields, client=client, tolerance=args.tolerance, num_threads=args.threads,
            columns=dict(args.column) or None,
            progress=False if args.no_progress else None,
        )
        for name, outcome in completed:
            if isinstance(outcome, MergeError):
                failed += 1
                print(f"\nquillmoor merge-many: {failure_message(outcome)}", file=sys.stderr)
                continue
            _write_result(args, str(name), outcome, partitioned)
            points_out += len(outcome)
    elapsed = time.perf_counter() - started
    print(f"merged {len(fields) - failed} of {len(fields)} fields in {elapsed:.2f} s: "
          f"{points_out:,} points kept; saved to {args.output}")
    if failed:
        raise CommandError(f"{failed} of {len(fields)} fields failed")
    return 0


def _client(args: argparse.Namespace, stack: ExitStack) -> Any:
    if args.scheduler is None and args.workers is None:
        return None
    try:
        from distributed import Client

        from quillmoor.dask.local import loopback_cluster
    except ImportError:
        raise CommandError(
            "--scheduler and --workers need Dask: pip install 'quillmoor[dask]'"
        ) from None
    if args.scheduler is not None:
        try:
            return stack.enter_context(Client(args.scheduler, timeout="30s"))
        except (OSError, TimeoutError) as error:
            raise CommandError(f"cannot reach the scheduler {args.scheduler}: {error}") from None
    cluster = stack.enter_context(loopback_cluster(max(1, args.workers)))
    return stack.enter_context(Client(cluster))


def _write_result(args: argparse.Namespace, name: str, result: Any, partitioned: bool) -> None:
    if partitioned:
        folder = os.path.join(args.output, f"{args.field_column}={name}")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "part-0.parquet")
    else:
        suffix = ".parquet" if hasattr(result, "columns") else ".npy"
        path = os.path.join(args.output, name + suffix)
    try:
        write_table(path, result)
    except TableFileError as error:
        raise CommandError(str(error)) from None
