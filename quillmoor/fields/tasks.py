"""What one task of the many-fields merge runs, on a Dask worker or in this process.

A task merges a batch of fields one after the other and returns one outcome per field:
its result (or, when it writes the results itself, a small summary), or the
``MergeError`` that names it. Nothing else leaves a task: the
engine's ``PanicException`` derives from ``BaseException``, and a ``BaseException``
escaping a Dask task leaves the client waiting for ever.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from quillmoor.errors import MergeError
from quillmoor.fields.results import FieldSummary, ResultStore
from quillmoor.fields.sources import is_path, load_tables, merge_source, merge_tables
from quillmoor.tables.locations import is_url

_quiet_lock = threading.Lock()
_OUR_NO_COLOR = "1"
_quiet = False


def hide_engine_bars() -> None:
    """Keep the engine's per-call progress bar off in this process, from now on.

    A worker process inherits the terminal of whoever started it, so every call on every
    worker would draw its bar there. The engine draws only when ``NO_COLOR`` is unset;
    it is set here once, before this module's first merge in the process, and only when
    standard error is a terminal (otherwise the bar is hidden anyway). A worker that
    runs inside the client's own process (``LocalCluster(processes=False)``) therefore
    turns the client's per-call bars off too.
    """
    global _quiet
    if _quiet:
        return
    with _quiet_lock:
        if not _quiet:
            if _stderr_is_terminal() and "NO_COLOR" not in os.environ:
                os.environ["NO_COLOR"] = "1"
            _quiet = True


@contextmanager
def engine_bars_hidden() -> Iterator[None]:
    """Keep the engine's per-call bar off for a while in the caller's own process.

    For merging many fields here, under one bar over fields; the caller's later calls
    draw their bars again.
    """
    hide = _stderr_is_terminal() and "NO_COLOR" not in os.environ
    if hide:
        os.environ["NO_COLOR"] = _OUR_NO_COLOR
    try:
        yield
    finally:
        if hide and os.environ.get("NO_COLOR") == _OUR_NO_COLOR:
            del os.environ["NO_COLOR"]


def _stderr_is_terminal() -> bool:
    try:
        return os.isatty(2)
    except OSError:
        return False


@dataclass(frozen=True)
class TaskOptions:
    """What every field's task is told: the merge's options, and where results go.

    With ``store`` the task writes the field's result there and returns only its
    ``FieldSummary``; with ``resume`` too, a field whose result is there is skipped.
    """

    tolerance: float
    num_threads: int
    columns: Mapping[str, str] | None
    storage_options: Mapping[str, Any] | None = None
    store: ResultStore | None = None
    resume: bool = False


def merge_batch(batch: Sequence[tuple[object, object]], options: TaskOptions) -> list[Any]:
    """Merge each ``(name, field)`` of ``batch``; one outcome or ``MergeError`` per field."""
    hide_engine_bars()
    return [outcome_of(name, source, options) for name, source in batch]


def merge_one(name: object, source: object, options: TaskOptions) -> Any:
    """Merge one field; its failure is raised as the ``MergeError`` naming it."""
    hide_engine_bars()
    outcome = outcome_of(name, source, options)
    if isinstance(outcome, MergeError):
        raise outcome
    return outcome


def pick(outcomes: Sequence[Any], index: int) -> Any:
    """One field's result out of a batch's outcomes, raising its ``MergeError``."""
    outcome = outcomes[index]
    if isinstance(outcome, MergeError):
        raise outcome
    return outcome


def outcome_of(name: object, source: object, options: TaskOptions, *, in_task: bool = True) -> Any:
    """The field's result (or with a store, its summary), or its failure as a ``MergeError``.

    Outside a task (``in_task=False``, the merge running in the caller's own process)
    an interrupt or exit goes on up as usual.
    """
    try:
        if options.store is not None:
            return merge_and_write(name, source, options, options.store)
        return merge_source(
            source, name, tolerance=options.tolerance, num_threads=options.num_threads,
            columns=options.columns, storage_options=options.storage_options,
        )
    except BaseException as error:  # noqa: B036 - nothing may escape a task, see above
        if not in_task and isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return as_field_error(error, name)


def merge_and_write(
    name: object, source: object, options: TaskOptions, store: ResultStore
) -> FieldSummary:
    """Merge the field and write its result to ``store``, here; a summary of it."""
    started = time.perf_counter()
    if options.resume:
        found = store.existing(name)
        if found is not None:
            return FieldSummary(name, None, None, None, time.perf_counter() - started, found,
                                skipped=True)
    if store.partition_column is None:
        in_pieces = merged_in_pieces(name, source, options, store, started)
        if in_pieces is not None:
            return in_pieces
    tables = load_tables(source, options.storage_options)
    result = merge_tables(tables, name, tolerance=options.tolerance,
                          num_threads=options.num_threads, columns=options.columns)
    written = store.write(name, result)
    return FieldSummary(
        name,
        points_in=len(tables["points_in_rows"]),
        points_kept=len(result),
        records=len(tables["connected_crop_rows"]),
        seconds=time.perf_counter() - started,
        written=written,
    )


def merged_in_pieces(
    name: object, source: object, options: TaskOptions, store: ResultStore, started: float
) -> FieldSummary | None:
    """A field of local files too large for this process's memory, merged piece by
    piece from its files into ``store``; ``None`` for a field that fits."""
    from quillmoor.pieces.file_merge import SHARE_TO_FILL, in_memory_bytes, merge_file
    from quillmoor.pieces.memory_budget import task_memory

    if not is_path(source) or is_url(source):
        return None
    memory = task_memory()
    needed = in_memory_bytes(source)
    if memory is None or not needed or needed <= SHARE_TO_FILL * memory:
        return None
    npz = os.fspath(source).lower().endswith(".npz")
    kind = "array" if npz or _points_file(source).endswith(".npy") else "frame"
    place = store.target(name, ".npy" if kind == "array" else ".parquet")
    summary = merge_file(source, place, memory=memory // 2, tolerance=options.tolerance,
                         num_threads=options.num_threads, columns=options.columns)
    return FieldSummary(name, points_in=summary.points, points_kept=summary.kept,
                        records=summary.records, seconds=time.perf_counter() - started,
                        written=summary.output)


def _points_file(folder: str | os.PathLike[str]) -> str:
    for suffix in (".npy", ".csv", ".parquet"):
        path = os.path.join(os.fspath(folder), "points_in_rows" + suffix)
        if os.path.exists(path):
            return path
    return ""


def as_field_error(error: BaseException, name: object) -> MergeError:
    """``error`` as a ``MergeError`` naming the field, its message kept."""
    if isinstance(error, MergeError):
        return error if error.field == name else MergeError(error.engine_message, name)
    if isinstance(error, KeyError) and len(error.args) == 1:
        text = str(error.args[0])  # a KeyError's str() is the repr of its message
    else:
        text = str(error)
    if not isinstance(error, (ValueError, TypeError, KeyError)):
        text = f"{type(error).__name__}: {text}"
    return MergeError(text, name)
