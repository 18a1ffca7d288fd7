"""``quillmoor merge`` for fields larger than memory: merged piece by piece, from file to
file, within ``--memory`` or, without it, when the field would not fit in the memory
available."""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Mapping
from typing import Any

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.guarded_merge import guarded
from quillmoor.cli.merge_summary import summary_lines
from quillmoor.pieces.file_merge import SHARE_TO_FILL, in_memory_bytes, merge_file
from quillmoor.pieces.memory_budget import available_memory, shown_size
from quillmoor.tables.file_errors import TableFileError, suffix_of
from quillmoor.tables.locations import StorageError



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
    needed = in_memory_bytes(args.inputs[0] if len(args.inputs) == 1 else args.inputs)
    if not needed or needed <= SHARE_TO_FILL * available:
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
