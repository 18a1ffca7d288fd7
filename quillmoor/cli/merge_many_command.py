"""``quillmoor merge-many``: merge every field of a folder, here or on a Dask cluster."""

from __future__ import annotations

import argparse
import os
import sys
import time
from contextlib import ExitStack
from typing import Any

from quillmoor.cli.answers import answer, one_line_warnings
from quillmoor.cli.command_error import CommandError
from quillmoor.cli.frame_columns import check_column_flags
from quillmoor.cli.guarded_merge import failure_message
from quillmoor.cli.options import column_mapping, finite_float, thread_count, worker_count
from quillmoor.errors import MergeError
from quillmoor.fields.progress import bar_is_visible
from quillmoor.fields.results import ResultStore
from quillmoor.fields.sources import TABLE_NAMES
from quillmoor.tables.locations import StorageError, check_location, is_url, open_location

DESCRIPTION = """\
Merge every field of a farm, each on its own, and save each field's kept points.

SOURCE is a folder holding either
  - one .npz file per field (connected_crop_rows, points_in_rows, row_information), or
  - one folder per field with its three tables as files named after them
    (points_in_rows.parquet, row_information.csv, connected_crop_rows.npy, ...), or
  - a Parquet dataset partitioned by field: the folders points_in_rows,
    row_information and connected_crop_rows, each holding FIELD_COLUMN=NAME folders.

SOURCE and OUTPUT may be fsspec URLs (s3://bucket/farm, gs://, az://, file://); the
package for the store must be installed (s3fs, gcsfs, adlfs), and its credentials
come from the usual places (environment, configuration files).

Each field's result is written, by the process that merged it, to OUTPUT/NAME.npy, or
OUTPUT/NAME.parquet where its points are a table with named columns (every column
kept), or for a partitioned dataset to OUTPUT/FIELD_COLUMN=NAME/part-0.parquet. A
result appears only once it is complete, so after a crash --resume merges only the
fields whose results are missing. The columns and --column mapping are those of
'quillmoor merge'.

Without --scheduler or --workers the fields are merged here, one after the other, with
all cores each. --workers N starts a local Dask cluster of N single-thread worker
processes; --scheduler ADDRESS uses a running one (the workers must see SOURCE at the
same path). One bar over fields shows the progress on a terminal. A field that fails
is reported and the others go on; the exit status is then 1.
"""

DEFAULT_FIELD_COLUMN = "field"
COMMAND = "quillmoor merge-many"


def add_parser(subcommands: Any) -> None:
    parser = subcommands.add_parser(
        "merge-many",
        help="merge every field of a folder or partitioned Parquet dataset",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("source", metavar="SOURCE",
                        help="the folder of fields, or an fsspec URL of one (s3://...)")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                        help="where to write the results: a folder (created if missing) "
                             "or an fsspec URL (s3://, gs://, az://, file://)")
    parser.add_argument("--resume", action="store_true",
                        help="skip every field whose result OUTPUT already holds")
    parser.add_argument("--tolerance", type=finite_float, default=0.0, metavar="DIST",
                        help="shifts the bounds of each overlap zone (default: 0)")
    parser.add_argument("--threads", type=thread_count, default=None, metavar="N",
                        help="engine threads per field (default: all cores here, 1 on a "
                             "cluster)")
    place = parser.add_mutually_exclusive_group()
    place.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    place.add_argument("--workers", type=worker_count, metavar="N",
                       help="start a local Dask cluster of N worker processes")
    parser.add_argument("--field-column", default=DEFAULT_FIELD_COLUMN, metavar="NAME",
                        help="the partition column of a Parquet dataset (default: field)")
    parser.add_argument("--column", type=column_mapping, action="append", default=[],
                        metavar="ROLE=NAME", help="as for 'quillmoor merge'")
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    parser.set_defaults(run=run)


def find_fields(source: str, field_column: str) -> tuple[dict[str, Any], bool]:
    """The fields of ``source`` by name, and whether it is a partitioned dataset."""
    listing = folder_listing(source)
    entries = sorted(listing)
    if all(listing.get(name) for name in TABLE_NAMES):
        return _dataset_fields(source, field_column), True
    archives = [entry for entry in entries if entry.lower().endswith(".npz")]
    folders = [entry for entry in entries if listing[entry]]
    if archives and folders:
        raise CommandError(f"{source}: holds both .npz files and folders; keep one kind")
    if archives:
        return {os.path.splitext(e)[0]: joined(source, e) for e in archives}, False
    if folders:
        return {entry: joined(source, entry) for entry in folders}, False
    raise CommandError(f"{source}: no fields (.npz files, field folders or a dataset)")


def _dataset_fields(source: str, field_column: str) -> dict[str, Any]:
    prefix = field_column + "="
    points_root = joined(source, "points_in_rows")
    names = sorted(e[len(prefix):] for e in folder_listing(points_root) if e.startswith(prefix))
    if not names:
        raise CommandError(f"{points_root}: no {prefix}NAME folders")
    return {
        name: {table: joined(joined(source, table), prefix + name) for table in TABLE_NAMES}
        for name in names
    }


def run(args: argparse.Namespace) -> int:
    from quillmoor.dask.many_fields import merge_fields_as_completed

    check_column_flags(dict(args.column))
    # Both refused before any work when no installed fsspec implementation opens them.
    for location in (args.output, args.source):
        try:
            check_location(location)
        except StorageError as error:
            raise CommandError(str(error)) from None
    fields, partitioned = find_fields(args.source, args.field_column)
    created = _output_folder(args.output)
    # A field's line must not land on the bar's line.
    before = "\n" if not args.no_progress and bar_is_visible(sys.stderr) else ""
    started = time.perf_counter()
    failed = skipped = points_out = 0
    with ExitStack() as stack, one_line_warnings(COMMAND, before):
        client = _client(args, stack)
        completed = merge_fields_as_completed(
            fields, client=client, tolerance=args.tolerance, num_threads=args.threads,
            columns=dict(args.column) or None,
            progress=False if args.no_progress else None,
            output=ResultStore(args.output, None,
                               args.field_column if partitioned else None),
            resume=args.resume,
        )
        for _, outcome in completed:
            if isinstance(outcome, MergeError):
                failed += 1
                sys.stderr.write(before)
                answer(COMMAND, failure_message(outcome))
            elif outcome.skipped:
                skipped += 1
            else:
                points_out += outcome.points_kept or 0
    elapsed = time.perf_counter() - started
    merged = len(fields) - failed - skipped
    if merged == 0 and skipped == 0:
        if created is not None:
            _remove_if_empty(created)
        raise CommandError(f"{failed} of {len(fields)} fields failed; nothing saved to "
                           f"{args.output}")
    resumed = f" ({skipped} already there, skipped)" if skipped else ""
    print(f"merged {merged} of {len(fields)} fields{resumed} in "
          f"{elapsed:.2f} s: {points_out:,} points kept; saved to {args.output}")
    if failed:
        raise CommandError(f"{failed} of {len(fields)} fields failed")
    return 0


def _output_folder(output: str) -> str | None:
    """Make the local output folder if it is missing; the folder made, if one was."""
    if is_url(output):
        return None
    if os.path.exists(output) and not os.path.isdir(output):
        raise CommandError(f"{output}: is a file; the results go into a folder")
    if os.path.isdir(output):
        return None
    try:
        os.makedirs(output)
    except OSError as error:
        raise CommandError(f"{output}: cannot create it: {error.strerror or error}") from None
    return output


def _remove_if_empty(folder: str) -> None:
    try:
        os.rmdir(folder)
    except OSError:
        pass  # something was written there after all: it stays


def folder_listing(location: str) -> dict[str, bool]:
    """The entries of a folder or URL, each with whether it is a folder."""
    try:
        fs, path = open_location(location, None)
        if fs is None:
            return {e: os.path.isdir(os.path.join(path, e)) for e in os.listdir(path)}
        return {
            entry["name"].rstrip("/").rsplit("/", 1)[-1]: entry["type"] == "directory"
            for entry in fs.ls(path, detail=True)
        }
    except (FileNotFoundError, NotADirectoryError):
        raise CommandError(f"{location}: no such folder") from None
    except CommandError:
        raise
    except Exception as error:  # a store's own errors (credentials, network) included
        raise CommandError(f"{location}: cannot list it: {storage_reason(error)}") from None


def storage_reason(error: BaseException) -> str:
    """Why a folder or store could not be read, in a few words."""
    if type(error).__name__ == "NoCredentialsError":
        return ("no credentials for this store; give them as the store's package reads "
                "them (for s3://: AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or a profile)")
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def joined(location: str, entry: str) -> str:
    return location.rstrip("/") + "/" + entry if is_url(location) else os.path.join(location, entry)


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
