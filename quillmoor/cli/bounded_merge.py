"""``quillmoor merge`` for fields larger than memory: merged piece by piece, from file to
file, within ``--memory`` or, without it, when the field would not fit in the memory
available."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Mapping
from typing import Any

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.guarded_merge import guarded
from quillmoor.cli.merge_summary import summary_lines
from quillmoor.pieces.file_merge import merge_file
from quillmoor.pieces.memory_budget import available_memory, shown_size
from quillmoor.tables.file_errors import TableFileError, suffix_of
from quillmoor.tables.locations import StorageError

#: The in-memory merge holds the points about this many times over (the table as read,
#: its float64 copy or frame, the result) ...
_COPIES_IN_MEMORY = 3
#: ... and the bounded merge switches in when that would take more than this share of
#: the memory available; it then uses half of it.
_SHARE_TO_FILL = 0.8


def bounded_budget(args: argparse.Namespace) -> int | None:
    """The budget to merge within piece by piece, or ``None`` to merge in memory.

    ``--memory`` asks for it; without it, a field of local files whose points would not
    fit in the memory available gets it, with a line saying so."""
    local = not any("://" in path for path in args.inputs)
    if args.memory is not None:
        if not local:
            raise CommandError("--memory merges local files; copy the field here first, or "
                               "merge it whole without --memory")
        return int(args.memory)
    available = available_memory() if local else None
    if available is None:
        return None
    needed = _COPIES_IN_MEMORY * _points_bytes(args.inputs)
    if needed <= _SHARE_TO_FILL * available:
        return None
    budget = available // 2
    print(f"quillmoor merge: the field needs about {shown_size(needed)} in memory and "
          f"{shown_size(available)} is available: merging it piece by piece within "
          f"{shown_size(budget)}", file=sys.stderr, flush=True)
    return budget


def run_bounded(args: argparse.Namespace, output: str, budget: int,
                columns: Mapping[str, str] | None, sources: Mapping[str, str]) -> int:
    started = time.perf_counter()
    inputs: Any = args.inputs[0] if len(args.inputs) == 1 else list(args.inputs)
    counts: list[Any] = []
    try:
        summary = guarded(lambda: merge_file(
            inputs, output, memory=budget, tolerance=args.tolerance,
            num_threads=args.threads, columns=columns, unassigned=counts.append), sources)
    except (TableFileError, StorageError) as error:
        raise CommandError(str(error)) from None
    elapsed = time.perf_counter() - started
    for line in summary_lines(summary.records, elapsed, summary.counts, summary.kept,
                              summary.output):
        print(line)
    print(f"  merged in {summary.pieces:,} pieces within {shown_size(budget)}"
          if summary.pieces > 1 else f"  merged in one piece within {shown_size(budget)}")
    return 0


def _points_bytes(inputs: list[str]) -> int:
    """The points' size in memory, told from the files without reading them: an .npy
    table's or .npz member's header, a Parquet file's metadata, a CSV file's size."""
    from quillmoor.pieces.point_chunks import open_point_chunks

    path = inputs[0] if len(inputs) == 1 else inputs[1]
    if len(inputs) == 1 and os.path.isdir(path):
        found = [os.path.join(path, "points_in_rows" + suffix)
                 for suffix in (".npy", ".csv", ".parquet")]
        path = next((name for name in found if os.path.exists(name)), "")
    try:
        points = open_point_chunks(path, npz=suffix_of(path) == ".npz")
    except (TableFileError, OSError, ValueError):
        return 0  # the in-memory reader says what is wrong with it
    if points.rows is not None and points.width is not None:
        return 8 * points.rows * points.width
    try:
        return os.path.getsize(path) if os.path.isfile(path) else 0
    except OSError:
        return 0
