"""quillmoor._native.argmerge against the reference and the merge on generated tables:
the reference's row indices, the merge's rows at those positions bit for bit, or the
merge's failure with its text; the same for the points as a table or as four columns."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
from conftest import MergeFailed, is_panic_exception
from field_strategies import (
    any_tables,
    coherent_fields,
    damaged_fields,
    in_layout,
    memory_layouts,
    tolerances,
)
from quillmoor._native import argmerge, merge_points_removing_overlap

NO_DEADLINE = settings(deadline=None)
EVERY_THREAD_COUNT = st.sampled_from([1, 2, 3, 4, 0])


def outcome(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except BaseException as error:  # the engine's failures are not Exceptions
        if not is_panic_exception(error):
            raise
        return MergeFailed(str(error), None)


def reference_positions(tables, tolerance):
    try:
        return reference.merged_row_indices(*tables, tolerance)
    except reference.ReferenceFailure as failure:
        return MergeFailed(failure.text, failure.record)


def as_columns(points):
    return [points[:, column] for column in range(4)]


def assert_argmerge_is_the_merge(tables, tolerance, num_threads, stored=None):
    """argmerge on `stored` (the same tables in other layouts) against the reference and
    the merge on `tables`."""
    stored = tables if stored is None else stored
    connected, points, rows = stored
    merged = outcome(merge_points_removing_overlap, *tables, tolerance, num_threads)
    expected = reference_positions(tables, tolerance)
    forms = [points] + ([as_columns(points)] if points.shape[1] >= 4 else [])
    for form in forms:
        got = outcome(argmerge, connected, form, rows, tolerance, num_threads, with_bounds=True)
        if isinstance(merged, MergeFailed):
            assert isinstance(expected, MergeFailed)
            assert isinstance(got, MergeFailed), merged.text
            assert got.text == merged.text
            continue
        assert not isinstance(got, MergeFailed), got.text
        positions, bounds = got
        assert positions.dtype == np.intp and positions.ndim == 1
        assert positions.tolist() == expected
        assert tables[1][positions].tobytes() == merged.tobytes()
        # Each record's block: the reference's rows for that record alone.
        assert len(bounds) == connected.shape[0] + 1 and bounds[-1] == len(positions)
        model = reference.Tables(*tables)
        for record in range(connected.shape[0]):
            block = positions[bounds[record]:bounds[record + 1]].tolist()
            assert block == reference.merge_connection_record(model, record, float(tolerance))


@settings(NO_DEADLINE, max_examples=500)
@given(fields=coherent_fields(), tolerance=tolerances(), num_threads=EVERY_THREAD_COUNT)
def test_coherent_fields(fields, tolerance, num_threads):
    assert_argmerge_is_the_merge(fields, tolerance, num_threads)


@settings(NO_DEADLINE, max_examples=500)
@given(tables=damaged_fields(), tolerance=tolerances(), num_threads=EVERY_THREAD_COUNT)
def test_damaged_fields(tables, tolerance, num_threads):
    assert_argmerge_is_the_merge(tables, tolerance, num_threads)


@settings(NO_DEADLINE, max_examples=300)
@given(tables=any_tables(), tolerance=tolerances(), num_threads=EVERY_THREAD_COUNT)
def test_arbitrary_tables(tables, tolerance, num_threads):
    assert_argmerge_is_the_merge(tables, tolerance, num_threads)


@settings(NO_DEADLINE, max_examples=200)
@given(
    fields=st.one_of(coherent_fields(), any_tables()),
    layouts=st.tuples(memory_layouts(), memory_layouts(), memory_layouts()),
    tolerance=tolerances(),
    num_threads=EVERY_THREAD_COUNT,
)
def test_memory_layouts(fields, layouts, tolerance, num_threads):
    stored = tuple(in_layout(array, layout) for array, layout in zip(fields, layouts))
    assert_argmerge_is_the_merge(fields, tolerance, num_threads, stored)


@settings(NO_DEADLINE, max_examples=100)
@given(fields=coherent_fields(), tolerance=tolerances())
def test_many_records_shared_between_threads(fields, tolerance):
    connected, points, rows = fields
    many = np.tile(connected, (60, 1))
    for num_threads in (1, 2, 3, 4, 0):
        assert_argmerge_is_the_merge((many, points, rows), tolerance, num_threads)
