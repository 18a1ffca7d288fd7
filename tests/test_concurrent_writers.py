"""Another Python thread writes into the inputs while calls run.

The points are read where they lie, so a writer can change what a call reads. Whatever
it writes (keys, coordinates, NaN, infinities), a call must end cleanly, with a result or
a PanicException, and a result must be a well-formed array of real point rows. The
assertions hold for every interleaving of the threads, so none depends on timing.
"""

import threading

import numpy as np
import pytest

from conftest import MergeFailed
from quillmoor.synthetic import make_field

TOLERANCE = 0.05
CALLS = 12
JUNK = np.array([np.nan, np.inf, -np.inf, 0.0, -1.0, 1e300, 4294967295.0, 1.0, 2.0, 3.5])


@pytest.fixture(scope="module")
def field():
    """A field of short segments, its points carrying their row number as a last column."""
    made = make_field(n_points=20000, seed=31, segment_length=2.0, overlap=0.3)
    points = made.points_in_rows
    numbered = np.column_stack([points, np.arange(len(points), dtype=np.float64)])
    return made.connected_crop_rows, numbered, made.row_information


class Scribbler:
    """Writes into the tables until stopped: junk or original values into the points' key
    and coordinate cells, and now and then junk into cells of the small tables, put back
    at the next write (junk left there would fail nearly every call before the points).

    A connection record's own key (columns 1 and 2) is left alone: junk there can name the
    segment of another record, and two records of one segment rightly contribute its points
    twice, which would hide the duplicate that a point read twice would give."""

    def __init__(self, tables, seed):
        self.tables = tables
        self.originals = [table.copy() for table in tables]
        self.rng = np.random.default_rng(seed)
        self.stop = threading.Event()
        self.writes = 0
        self.thread = threading.Thread(target=self.run)

    def run(self):
        connected, points, rows = self.tables
        undo = None
        while not self.stop.is_set():
            if undo is not None:
                table, original, at = undo
                table[at] = original[at]
                undo = None
            if self.rng.random() < 0.1:
                which = 0 if self.rng.random() < 0.5 else 2
                table, original = self.tables[which], self.originals[which]
                columns = self.rng.integers(table.shape[1], size=4)
                if which == 0:
                    columns = np.where((columns == 1) | (columns == 2), 0, columns)
                at = (self.rng.integers(len(table), size=4), columns)
                table[at] = self.rng.choice(JUNK, size=4)
                undo = (table, original, at)
            else:
                # Keys and x, y only: the last column keeps each row's number.
                at = (self.rng.integers(len(points), size=64), self.rng.integers(4, size=64))
                junk = self.rng.random(64) < 0.3
                points[at] = np.where(junk, self.rng.choice(JUNK, size=64), self.originals[1][at])
            self.writes += 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def check_result(result, points):
    """A result of real point rows: the points' width, its own buffer, rows whose number
    column names a point row, none twice (every key belongs to one record here)."""
    assert isinstance(result, np.ndarray) and result.dtype == np.float64
    assert result.ndim == 2 and result.shape[1] == points.shape[1]
    assert result.shape[0] <= points.shape[0]
    if result.shape[0]:
        assert result.flags.c_contiguous and result.base is not None
        numbers = result[:, -1]
        assert np.all((numbers >= 0) & (numbers < len(points)) & (numbers == np.floor(numbers)))
        assert len(np.unique(numbers)) == len(numbers)


def calls_while_scribbled(native_merge, tables, threads_per_call):
    connected, points, rows = tables
    outcomes = []
    for _ in range(CALLS):
        try:
            result = native_merge(connected, points, rows, TOLERANCE, threads_per_call)
        except MergeFailed:  # junk keys may leave a record without its row record
            outcomes.append("failed")
            continue
        check_result(result, points)
        outcomes.append("merged")
    return outcomes


@pytest.mark.parametrize("layout", ["C", "F", "reversed"])
def test_calls_survive_a_writer(native_merge, field, layout):
    connected, points, rows = (table.copy() for table in field)
    if layout == "F":
        points = np.asfortranarray(points)
    elif layout == "reversed":
        points = np.ascontiguousarray(points[::-1])[::-1]
    expected = native_merge(connected, points, rows, TOLERANCE, 1)
    with Scribbler((connected, points, rows), seed=1) as scribbler:
        outcomes = calls_while_scribbled(native_merge, (connected, points, rows), 2)
    assert len(outcomes) == CALLS
    assert scribbler.writes > 0
    # Once the writer is gone and the tables restored, the call is exact again.
    for table, original in zip((connected, points, rows), scribbler.originals):
        table[...] = original
    assert native_merge(connected, points, rows, TOLERANCE, 2).tobytes() == expected.tobytes()


def test_several_calls_at_once_survive_a_writer(native_merge, field):
    tables = tuple(table.copy() for table in field)
    failures = []
    outcomes = []

    def caller(threads_per_call):
        try:
            outcomes.extend(calls_while_scribbled(native_merge, tables, threads_per_call))
        except BaseException as error:  # reported below, on the test's own thread
            failures.append(error)

    with Scribbler(tables, seed=2):
        callers = [threading.Thread(target=caller, args=(n,)) for n in (1, 2, 3, 1)]
        for thread in callers:
            thread.start()
        for thread in callers:
            thread.join()
    assert not failures, failures
    assert len(outcomes) == 4 * CALLS


def test_points_in_a_read_only_memory_map(native_merge, field, tmp_path):
    # Read where they lie: pages the process may only read.
    connected, points, rows = field
    np.save(tmp_path / "points.npy", points)
    mapped = np.load(tmp_path / "points.npy", mmap_mode="r")
    assert not mapped.flags.writeable
    expected = native_merge(connected, points, rows, TOLERANCE, 1)
    assert native_merge(connected, mapped, rows, TOLERANCE, 2).tobytes() == expected.tobytes()
