"""``merge_fields``: one merge per field, as one Dask task per field or per batch of fields."""

from __future__ import annotations

import operator
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex

from quillmoor.errors import MergeError
from quillmoor.fields.progress import FieldProgress
from quillmoor.fields.sources import TABLE_NAMES, default_name, is_path, point_count
from quillmoor.fields.results import ResultStore
from quillmoor.fields.tasks import (
    TaskOptions,
    engine_bars_hidden,
    merge_batch,
    merge_one,
    outcome_of,
    pick,
)
from quillmoor.merging.forgiving_merge import as_thread_count, as_tolerance
from quillmoor.tables.locations import check_location, is_url

#: Fields smaller than this are merged several to a task, up to this many points a task.
#: A task costs about 2 ms of scheduling; 50,000 points take about 3 ms to merge.
DEFAULT_BATCH_POINTS = 500_000

#: Batches are kept small enough to give every worker thread this many tasks.
TASKS_PER_THREAD = 4

Batch = list[tuple[object, object]]


def merge_fields(
    fields: Sequence[Any] | Mapping[Any, Any],
    *,
    client: Any = None,
    tolerance: SupportsFloat = 0.0,
    num_threads: SupportsIndex | None = None,
    columns: Mapping[str, str] | None = None,
    batch_points: int = DEFAULT_BATCH_POINTS,
    gather: bool = True,
    errors: Literal["raise", "return"] = "raise",
    progress: bool | None = None,
    output: str | os.PathLike[str] | None = None,
    storage_options: Mapping[str, Any] | None = None,
    resume: bool = False,
) -> Any:
    """Merge many fields, each on its own, on a Dask cluster or in this process.

    ``fields`` is a sequence of fields, or a mapping from field names to fields; a field
    is an ``.npz`` path, a folder of table files, a mapping or sequence of the three
    tables, or a ``quillmoor.synthetic.Field`` (see ``quillmoor.fields.sources``). Paths
    are read on the workers, so only the path is sent; tables in memory are scattered
    to the cluster once each. A field's name is its mapping key, else its file or
    folder name, else its position; errors name it.

    Returns the results in the order of ``fields`` (a dict by name when ``fields`` is a
    mapping): arrays for fields of arrays, the kept rows of the points frame for fields
    whose ``points_in_rows`` is a DataFrame. Results are the same as merging the fields
    one by one with ``quillmoor.merge`` or ``quillmoor.merge_frame``.

    ``client``: a ``distributed.Client``; without one the fields are merged here, one
    after the other. ``gather=False`` (with a client) returns at once with one Dask
    future per field, its result left on the workers; a failed field's future raises
    its ``MergeError``.

    ``num_threads`` is the engine's thread count per field. By default it is 1 with a
    client, since the worker's threads already run several fields at once, and 0 (all
    processors) without one. Keep worker threads x ``num_threads`` at or below the
    cores of each machine: with many fields run one engine thread per task and as many
    worker threads as cores (``LocalCluster(n_workers=cores, threads_per_worker=1)``);
    with a few fields of millions of points each give fewer worker threads more engine
    threads, e.g. one worker thread per machine and ``num_threads`` = its cores.

    ``batch_points``: fields with fewer points than this are merged several to a task,
    up to this many points per task (and small enough that every worker thread gets a
    few tasks), since a task's own cost (about 2 ms) is close to merging a small field.
    Fields of unknown size (folders of tables) get a task of their own.

    ``errors="raise"`` waits for every field, then raises the ``MergeError`` of the
    first failed field (it says how many failed); ``errors="return"`` puts each failed
    field's ``MergeError`` in its place among the results. Every failure of a field
    (bad tables, a missing file, the engine's refusal) arrives as a ``MergeError``
    naming it, and so does a field whose worker died more often than Dask retries
    (``KilledWorker``). ``progress`` shows one bar over fields on standard error (by
    default when that is a terminal); the engine's own per-call bar is kept off.

    ``output``, a folder or an fsspec URL (``s3://bucket/farm``, ``gs://``, ``az://``,
    ``file://``), makes each field's task write its own result there, from the process
    that merged it, as ``NAME.npy`` (arrays) or ``NAME.parquet`` (frames); each field's
    outcome is then a ``FieldSummary`` (name, points in, points kept, records, seconds,
    where written), so no kept point passes through this process. A result becomes
    visible only once complete (a temporary file renamed; an object uploaded in one
    request). ``resume=True`` skips every field whose result is already there, and
    rewrites none of them. ``storage_options`` go to fsspec, for the output and for
    fields given as URLs (which are read on the workers too).
    """
    if errors not in ("raise", "return"):
        raise ValueError(f"errors must be 'raise' or 'return', got {errors!r}")
    names, sources = _named(fields)
    options = _options(client, tolerance, num_threads, columns, storage_options,
                       output, resume)
    _check_output_names(names, options)
    if client is None:
        if not gather:
            raise ValueError("gather=False leaves results on a cluster; it needs a client")
        outcomes = _merge_here(names, sources, options, progress)
    else:
        batches = _batches(names, sources, batch_points, _thread_total(client))
        if not gather:
            futures = _submit_per_field(client, batches, options)
            return dict(zip(names, futures)) if isinstance(fields, Mapping) else futures
        outcomes = _merge_on(client, batches, options, len(names), progress)
    if errors == "raise":
        _raise_first_failure(outcomes)
    return dict(zip(names, outcomes)) if isinstance(fields, Mapping) else outcomes


def _named(fields: Sequence[Any] | Mapping[Any, Any]) -> tuple[list[object], list[object]]:
    names, sources = _names_and_sources(fields)
    # A worker need not share this process's working directory.
    return names, [os.path.abspath(s) if is_path(s) and not is_url(s) else s for s in sources]


def _check_output_names(names: list[object], options: TaskOptions) -> None:
    """Two fields written under one name would overwrite each other: refused up front."""
    if options.store is None:
        return
    seen: dict[str, object] = {}
    for name in names:
        text = str(name)
        if text in seen:
            raise ValueError(
                f"fields {seen[text]!r} and {name!r} would both be written as {text!r}; "
                "give the fields as a dict with names of their own"
            )
        seen[text] = name


def _names_and_sources(
    fields: Sequence[Any] | Mapping[Any, Any],
) -> tuple[list[object], list[object]]:
    if isinstance(fields, Mapping):
        return list(fields.keys()), list(fields.values())
    if isinstance(fields, (str, bytes)) or not isinstance(fields, Sequence):
        raise TypeError(
            "fields must be a sequence of fields or a mapping of names to fields, got "
            f"{type(fields).__name__}"
        )
    sources = list(fields)
    names = [default_name(source, position) for position, source in enumerate(sources)]
    return names, sources


def _thread_total(client: Any) -> int:
    try:
        return max(1, int(sum(client.nthreads().values())))
    except Exception:  # an unusual client: batch as for one thread
        return 1


def _batches(
    names: list[object], sources: list[object], batch_points: int, threads: int
) -> list[tuple[list[int], Batch]]:
    """Consecutive small fields grouped to at most ``batch_points`` points per task."""
    batch_points = operator.index(batch_points)
    counts = [point_count(source) for source in sources]
    known = sum(count for count in counts if count is not None)
    limit = min(batch_points, max(1, known // (threads * TASKS_PER_THREAD)))
    batches: list[tuple[list[int], Batch]] = []
    positions: list[int] = []
    batch: Batch = []
    filled = 0
    for position, (name, source, count) in enumerate(zip(names, sources, counts)):
        if count is None or count >= limit:
            batches.append(([position], [(name, source)]))
            continue
        positions.append(position)
        batch.append((name, source))
        filled += count
        if filled >= limit:
            batches.append((positions, batch))
            positions, batch, filled = [], [], 0
    if batch:
        batches.append((positions, batch))
    return batches


def _merge_here(
    names: list[object],
    sources: list[object],
    options: TaskOptions,
    progress: bool | None,
) -> list[Any]:
    outcomes: list[Any] = [None] * len(names)
    for position, outcome in _completed_here(names, sources, options, progress):
        outcomes[position] = outcome
    return outcomes


def _completed_here(
    names: list[object],
    sources: list[object],
    options: TaskOptions,
    progress: bool | None,
) -> Iterator[tuple[int, Any]]:
    bar = FieldProgress(len(names), visible=progress)
    # The bar over fields replaces the per-call bars, decided before they are hidden.
    with engine_bars_hidden():
        yield from _each_here(names, sources, options, bar)


def _each_here(
    names: list[object],
    sources: list[object],
    options: TaskOptions,
    bar: FieldProgress,
) -> Iterator[tuple[int, Any]]:
    try:
        for position, (name, source) in enumerate(zip(names, sources)):
            outcome = outcome_of(name, source, options, in_task=False)
            bar.advance(1, failed=int(isinstance(outcome, MergeError)))
            yield position, outcome
    finally:
        bar.finish()


def merge_fields_as_completed(
    fields: Sequence[Any] | Mapping[Any, Any],
    *,
    client: Any = None,
    tolerance: SupportsFloat = 0.0,
    num_threads: SupportsIndex | None = None,
    columns: Mapping[str, str] | None = None,
    batch_points: int = DEFAULT_BATCH_POINTS,
    progress: bool | None = None,
    output: str | os.PathLike[str] | ResultStore | None = None,
    storage_options: Mapping[str, Any] | None = None,
    resume: bool = False,
) -> Iterator[tuple[object, Any]]:
    """``merge_fields``, yielding ``(name, result or MergeError)`` as each field is done.

    Only the fields not yet consumed are held in this process, so a farm's results can
    be written out one by one. The options are those of ``merge_fields``; with
    ``output`` each result is a ``FieldSummary``.
    """
    names, sources = _named(fields)
    options = _options(client, tolerance, num_threads, columns, storage_options,
                       output, resume)
    _check_output_names(names, options)
    if client is None:
        completed = _completed_here(names, sources, options, progress)
    else:
        batches = _batches(names, sources, batch_points, _thread_total(client))
        completed = _completed_on(client, batches, options, len(names), progress)
    for position, outcome in completed:
        yield names[position], outcome


def _options(
    client: Any,
    tolerance: SupportsFloat,
    num_threads: SupportsIndex | None,
    columns: Mapping[str, str] | None,
    storage_options: Mapping[str, Any] | None,
    output: str | os.PathLike[str] | ResultStore | None,
    resume: bool,
) -> TaskOptions:
    partition_column = None
    default_threads = 0 if client is None else 1
    threads = as_thread_count(default_threads if num_threads is None else num_threads)
    store = None
    if output is not None:
        if isinstance(output, ResultStore):  # the command line's, with its layout
            storage_options, partition_column = output.storage_options, output.partition_column
            output = output.location
        location = os.fspath(output)
        check_location(location)
        if not is_url(location):  # a worker need not share this working directory
            location = os.path.abspath(location)
        store = ResultStore(location, storage_options, partition_column)
    elif resume:
        raise ValueError("resume=True skips fields whose results are written; give output")
    return TaskOptions(as_tolerance(tolerance), threads, columns, storage_options, store,
                       bool(resume))


def _scattered(
    client: Any, batches: list[tuple[list[int], Batch]]
) -> list[tuple[list[int], Batch]]:
    """The batches with every field held in memory scattered to the cluster.

    All in one call (one round trip, not one per field), each field as one piece of data.
    ``hash=False`` gives each scattered field a key of its own: keys derived from the
    content would be shared with another caller scattering equal data, and one caller's
    release would then drop the other's.
    """
    in_memory = [source for _, batch in batches for _, source in batch if _holds_tables(source)]
    if not in_memory:
        return batches
    scattered = iter(client.scatter(in_memory, hash=False))
    return [
        (positions, [(name, next(scattered) if _holds_tables(source) else source)
                     for name, source in batch])
        for positions, batch in batches
    ]


def _holds_tables(source: object) -> bool:
    """Whether a field carries table data, rather than only where to read it.

    Only those are scattered. A scattered field lives on one worker and is lost with it,
    so its task cannot be retried elsewhere; a path, or a mapping of table paths, travels
    with its task, and a task whose worker died is simply run again.
    """
    if is_path(source):
        return False
    if isinstance(source, Mapping):
        return not all(is_path(source.get(name)) for name in TABLE_NAMES)
    return True


def _merge_on(
    client: Any,
    batches: list[tuple[list[int], Batch]],
    options: TaskOptions,
    n_fields: int,
    progress: bool | None,
) -> list[Any]:
    outcomes: list[Any] = [None] * n_fields
    for position, outcome in _completed_on(client, batches, options, n_fields, progress):
        outcomes[position] = outcome
    return outcomes


def _completed_on(
    client: Any,
    batches: list[tuple[list[int], Batch]],
    options: TaskOptions,
    n_fields: int,
    progress: bool | None,
) -> Iterator[tuple[int, Any]]:
    from distributed import as_completed

    bar = FieldProgress(n_fields, visible=progress)
    where = {}
    names = {}
    futures = []
    for positions, batch in _scattered(client, batches):
        future = client.submit(merge_batch, batch, options, pure=False)
        where[future.key] = positions
        names[future.key] = [name for name, _ in batch]
        futures.append(future)
    try:
        for future in as_completed(futures):
            batch_outcomes = _batch_outcomes(future, names[future.key])
            future.release()
            bar.advance(
                len(batch_outcomes),
                failed=sum(isinstance(outcome, MergeError) for outcome in batch_outcomes),
            )
            yield from zip(where[future.key], batch_outcomes)
    finally:
        bar.finish()
        for future in futures:
            future.release()


def _batch_outcomes(future: Any, names: list[object]) -> list[Any]:
    """A batch's outcomes; a batch that never returned (its worker died more often than
    the scheduler retries it, say) fails each of its fields by name."""
    try:
        outcomes: list[Any] = future.result()
    except BaseException as error:  # noqa: B036 - KilledWorker, a lost connection ...
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        reason = f"its task did not complete: {type(error).__name__}: {error}"
        if type(error).__name__ == "FutureCancelledError":
            reason += (" (a field given as tables in memory lives on one worker and is lost "
                       "with it; fields given as paths or URLs are run again elsewhere)")
        return [MergeError(reason, name) for name in names]
    return outcomes


def _submit_per_field(
    client: Any,
    batches: list[tuple[list[int], Batch]],
    options: TaskOptions,
) -> list[Any]:
    futures: list[Any] = [None] * sum(len(positions) for positions, _ in batches)
    for positions, batch in _scattered(client, batches):
        if len(batch) == 1:
            (name, source), = batch
            futures[positions[0]] = client.submit(merge_one, name, source, options,
                                                  pure=False)
            continue
        outcomes = client.submit(merge_batch, batch, options, pure=False)
        for index, position in enumerate(positions):
            futures[position] = client.submit(pick, outcomes, index, pure=False)
    return futures


def _raise_first_failure(outcomes: list[Any]) -> None:
    failures = [outcome for outcome in outcomes if isinstance(outcome, MergeError)]
    if not failures:
        return
    first = failures[0]
    if (len(failures) > 1 or len(outcomes) > 1) and hasattr(first, "add_note"):
        first.add_note(
            f"{len(failures)} of {len(outcomes)} fields failed; the others were merged. "
            "errors='return' returns their results with each failure in its place"
        )
    raise first
