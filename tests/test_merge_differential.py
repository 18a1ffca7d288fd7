"""The module against the reference on generated tables: the same bits, or the same failure."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import MergeFailed, reference_merge
from field_strategies import (
    any_tables,
    coherent_fields,
    damaged_fields,
    in_layout,
    memory_layouts,
    thread_counts,
    tolerances,
)

# Generated tables vary a lot in size; speed is not under test here.
NO_DEADLINE = settings(deadline=None)


def outcome(merge, tables, tolerance, num_threads):
    try:
        return merge(*tables, tolerance, num_threads)
    except MergeFailed as failure:
        return failure


def assert_same_outcome(native_merge, tables, tolerance, num_threads):
    expected = outcome(reference_merge, tables, tolerance, num_threads)
    got = outcome(native_merge, tables, tolerance, num_threads)
    if isinstance(expected, MergeFailed):
        assert isinstance(got, MergeFailed), f"expected a failure of record {expected.record}"
        if expected.text is not None:
            assert got.text == expected.text
        else:
            assert got.record == expected.record, got.text
        return expected
    assert not isinstance(got, MergeFailed), got.text
    assert got.dtype == np.float64 and got.ndim == 2
    assert got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()
    return expected


@settings(NO_DEADLINE, max_examples=800)
@given(fields=coherent_fields(), tolerance=tolerances(), num_threads=thread_counts())
def test_coherent_fields_match_the_reference(native_merge, fields, tolerance, num_threads):
    result = assert_same_outcome(native_merge, fields, tolerance, num_threads)
    assert not isinstance(result, MergeFailed)


@settings(NO_DEADLINE, max_examples=800)
@given(tables=damaged_fields(), tolerance=tolerances(), num_threads=thread_counts())
def test_damaged_fields_match_the_reference(native_merge, tables, tolerance, num_threads):
    assert_same_outcome(native_merge, tables, tolerance, num_threads)


@settings(NO_DEADLINE, max_examples=400)
@given(tables=any_tables(), tolerance=tolerances(), num_threads=thread_counts())
def test_arbitrary_tables_match_the_reference(native_merge, tables, tolerance, num_threads):
    assert_same_outcome(native_merge, tables, tolerance, num_threads)


@settings(NO_DEADLINE, max_examples=300)
@given(
    fields=st.one_of(coherent_fields(), any_tables()),
    layouts=st.tuples(memory_layouts(), memory_layouts(), memory_layouts()),
    tolerance=tolerances(),
)
def test_memory_layout_does_not_change_the_outcome(native_merge, fields, layouts, tolerance):
    stored = tuple(in_layout(array, layout) for array, layout in zip(fields, layouts))
    assert_same_outcome(native_merge, stored, tolerance, 2)


@settings(NO_DEADLINE, max_examples=200)
@given(fields=coherent_fields(), tolerance=tolerances())
def test_thread_count_does_not_change_the_result(native_merge, fields, tolerance):
    connected, points, rows = fields
    # Many records, so that several workers really share the work.
    many = np.tile(connected, (60, 1))
    results = [native_merge(many, points, rows, tolerance, threads) for threads in (1, 2, 5)]
    assert results[0].tobytes() == reference_merge(many, points, rows, tolerance, 1).tobytes()
    assert all(result.tobytes() == results[0].tobytes() for result in results)
