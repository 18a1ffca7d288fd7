"""A frame's rows taken by position with its library's own selection, on the merge's threads.

pandas' and Arrow's takes are single-threaded gathers, and when the positions come in
random order (a field whose points are not grouped by segment) every value they read is
a cache miss of its own, one per column: at 10^7 points that costs more than the merge.
So the positions are cut into contiguous runs, each run is taken on a thread of its own
(both libraries let go of the interpreter lock while they gather), and the runs are
joined back in order: by Arrow's ``concat_tables`` (no copy: each column comes in one
chunk per run) or by pandas' ``concat`` (which keeps the dtypes, the index labels,
``attrs`` and a GeoDataFrame's geometry and CRS as each run has them). pandas' join
copies the rows once more, which pays only when the gather waits on memory: positions
that mostly step to a nearby row (a field grouped by segment) stream through memory, and
pandas takes them in one go. polars gathers on threads of its own.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from quillmoor.frames.frame_kinds import Kind

# Below this many rows per thread, starting the threads costs more than they save.
MIN_ROWS_PER_THREAD = 1 << 17
# Steps between consecutive positions looked at, and how far a step may go and still read
# memory that the step before brought in.
SAMPLED_STEPS = 4096
NEAR_ROWS = 8


def take_rows(frame: Any, kind: Kind, positions: np.ndarray, num_threads: int = 1) -> Any:
    """The rows of ``frame`` at ``positions``, in that order, as the library selects them.

    ``num_threads`` is the merge's (0: one per processor).
    """
    if kind == "polars":
        return frame[positions]
    runs = _runs(len(positions), _thread_count(num_threads))
    if len(runs) < 2 or (kind == "pandas" and (not frame.flags.allows_duplicate_labels
                                               or _streams(positions))):
        # pandas' take keeps the index labels, the dtypes and the frame's own type (a
        # GeoDataFrame's geometry and CRS); Arrow's keeps the schema and its metadata.
        return frame.take(positions)
    parts = _take_runs(frame, positions, runs)
    if kind == "arrow":
        import pyarrow

        return pyarrow.concat_tables(parts)
    import pandas

    joined = pandas.concat(parts)
    if type(joined) is not type(frame) or not joined.dtypes.equals(frame.dtypes):
        # A subclass or dtype that concat does not carry through: one take, as it was.
        return frame.take(positions)
    return joined


def _thread_count(num_threads: int) -> int:
    """The merge's count, at most one per processor: a gather gains nothing beyond that."""
    try:
        processors = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        processors = os.cpu_count() or 1
    return min(num_threads, processors) if num_threads > 0 else processors


def _streams(positions: np.ndarray) -> bool:
    """Whether most steps between consecutive positions go to a nearby row (a sample)."""
    stride = max(1, (len(positions) - 1) // SAMPLED_STEPS)
    here = positions[:-1:stride][:SAMPLED_STEPS].astype(np.int64)
    after = positions[1::stride][:SAMPLED_STEPS].astype(np.int64)
    near = int(np.count_nonzero(np.abs(after - here) <= NEAR_ROWS))
    return 2 * near > len(here)


def _runs(rows: int, threads: int) -> list[slice]:
    """Contiguous runs of ``rows`` positions, one per thread, none under the minimum."""
    count = max(1, min(threads, rows // MIN_ROWS_PER_THREAD))
    bounds = [rows * k // count for k in range(count + 1)]
    return [slice(start, stop) for start, stop in zip(bounds, bounds[1:])]


def _take_runs(frame: Any, positions: np.ndarray, runs: list[slice]) -> list[Any]:
    """Each run's rows, taken on threads; the calling thread takes the first run itself."""
    executor = ThreadPoolExecutor(max_workers=len(runs) - 1, thread_name_prefix="quillmoor-take")
    try:
        later = [executor.submit(frame.take, positions[run]) for run in runs[1:]]
        first = frame.take(positions[runs[0]])
        return [first, *(future.result() for future in later)]
    finally:
        # On an interrupt the waiting ends at once; runs already started finish unseen.
        executor.shutdown(wait=False, cancel_futures=True)
