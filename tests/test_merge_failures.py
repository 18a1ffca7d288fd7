"""Every way a table can fail the call, and which failure is reported when several do.

Out-of-bounds reads carry the fixed text "ndarray: index out of bounds"; the other
failures have texts chosen by the engine, which name the failing connection record.
"""

import re

import numpy as np
import pytest

from conftest import MergeFailed
from field_strategies import (
    FULL_WIDTH,
    NAN,
    connection_record,
    point_record,
    segment_record,
    table,
)
from reference import INDEX_OUT_OF_BOUNDS

BASE = segment_record(1, 1, (0, 0), (10, 0))
NEIGHBOUR = segment_record(2, 1, (12, 0), (20, 0))
ROWS = table([BASE, NEIGHBOUR])
POINTS = table([point_record(1, 1, x, 0.0, 100 + x) for x in range(11)])
JOINED = connection_record(1, 1, (2, 1))
ALONE = connection_record(1, 1)


def fails(merge, connected, points=POINTS, rows=ROWS, num_threads=1):
    with pytest.raises(MergeFailed) as failed:
        merge(connected, points, rows, 0.5, num_threads)
    return failed.value


def assert_out_of_bounds(failure):
    assert failure.text == INDEX_OUT_OF_BOUNDS


def assert_engine_failure_of(failure, record):
    assert failure.text != INDEX_OUT_OF_BOUNDS
    assert failure.record == record


# ------------------------------------------------------------- connected_crop_rows


@pytest.mark.parametrize("width", [0, 1, 2, 3])
def test_connected_table_narrower_than_four_columns(merge, width):
    # Even a record whose column 3 would hold NaN needs that column to exist.
    connected = table([JOINED[:width]], width)
    assert_out_of_bounds(fails(merge, connected))


@pytest.mark.parametrize(
    "record, width",
    [
        (JOINED, 4),  # column 4 missing behind a neighbour key_a
        (JOINED, 5),  # column 5 missing: the list was not ended
        (connection_record(1, 1, (2, 1), (2, 1)), 6),  # needs NaN in column 5 ...
        (connection_record(1, 1, *[(2, 1)] * 4), 10),  # column 10 missing
    ],
)
def test_neighbour_list_running_past_the_last_column(merge, record, width):
    assert_out_of_bounds(fails(merge, table([record[:width]], width)))


@pytest.mark.parametrize("width", [4, 5, 6])
def test_neighbour_list_ended_by_nan_needs_no_further_column(merge, width):
    ended = table([ALONE + [NAN, 2.0, 1.0][: width - 3]], width)
    result = merge(ended, POINTS, ROWS, 0.5, 1)
    assert result.tobytes() == POINTS.tobytes()


# ------------------------------------------------------------- row_information


@pytest.mark.parametrize(
    "rows",
    [np.empty((0, FULL_WIDTH)), np.empty((0, 0)), np.empty((2, 0))],
    ids=["no records", "nothing", "no columns"],
)
@pytest.mark.parametrize("connected", [ALONE, JOINED], ids=["alone", "joined"])
def test_row_information_without_records_or_columns(merge, rows, connected):
    assert_engine_failure_of(fails(merge, table([connected], FULL_WIDTH), rows=rows), 0)


@pytest.mark.parametrize("width", [1, 4])
def test_row_information_without_the_key_b_column(merge, width):
    rows = ROWS[:, :width]
    # Column 4 is read at the first record whose column 0 matches the base key_a ...
    assert_out_of_bounds(fails(merge, table([ALONE], FULL_WIDTH), rows=rows))
    # ... and without such a record no record matches.
    unknown = table([connection_record(7, 1), ALONE], FULL_WIDTH)
    assert_engine_failure_of(fails(merge, unknown, rows=rows, num_threads=2), 0)


def test_empty_points_table_still_makes_the_lookups(merge):
    connected = table([ALONE, connection_record(3, 1)], FULL_WIDTH)
    assert_engine_failure_of(fails(merge, connected, points=np.empty((0, 5))), 1)


@pytest.mark.parametrize(
    "record",
    [
        connection_record(1, 2, (2, 1)),  # no base record for key_b 2
        connection_record(1, 1, (2, 2)),  # no neighbour record
        connection_record(1, 1, (2, 1), (2, NAN)),  # a NaN key_b never matches
        connection_record(1, 1, (2.5, 1)),  # neighbour cells must match exactly
        connection_record(1, 1, (1.5, 1)),  # ... also when they name the base key
    ],
)
def test_key_without_row_record(merge, record):
    connected = table([ALONE, JOINED, record], FULL_WIDTH)
    assert_engine_failure_of(fails(merge, connected, num_threads=2), 2)


@pytest.mark.parametrize("width", [5, 6, 10, 12, 13])
def test_row_information_without_exactly_eleven_columns(merge, width):
    rows = np.full((2, width), 3.0)
    rows[:, :FULL_WIDTH] = ROWS[:, :width]
    # Without neighbours only the base lookup is made: five columns or more do.
    alone = merge(table([ALONE], FULL_WIDTH), POINTS, rows, 0.5, 1)
    assert alone.tobytes() == POINTS.tobytes()
    assert_engine_failure_of(fails(merge, table([ALONE, JOINED], FULL_WIDTH), rows=rows), 1)


# ------------------------------------------------------------- points_in_rows


@pytest.mark.parametrize("key", [1.0, 99.0, NAN])
def test_points_table_with_records_but_no_columns(merge, key):
    connected = table([connection_record(key, 1.0)], FULL_WIDTH)
    assert_out_of_bounds(fails(merge, connected, points=np.empty((3, 0))))


def test_one_column_points_table_fails_once_a_key_a_matches(merge):
    points = np.array([[5.0], [1.7], [9.0]])
    # Column 0 converts to 5, 1 and 9: key_a 3 matches nothing, key_a 1 does.
    unmatched = merge(table([connection_record(3, 1)], FULL_WIDTH), points,
                      table([segment_record(3, 1, (0, 0), (1, 0))]), 0.5, 1)
    assert unmatched.shape == (0, 1)
    assert_out_of_bounds(fails(merge, table([ALONE], FULL_WIDTH), points=points))


@pytest.mark.parametrize("width", [2, 3])
def test_narrow_points_table_fails_at_the_first_filter_pass(merge, width):
    points = POINTS[:, :width]
    # Gathering works, and without a neighbour no filter pass is made.
    alone = merge(table([ALONE], FULL_WIDTH), points, ROWS, 0.5, 1)
    assert alone.tobytes() == points.tobytes()
    # A filter pass over an empty list makes no test.
    nothing_gathered = merge(table([connection_record(2, 1, (1, 1))], FULL_WIDTH),
                             points, ROWS, 0.5, 1)
    assert nothing_gathered.shape == (0, width)
    assert_out_of_bounds(fails(merge, table([JOINED], FULL_WIDTH), points=points))


def test_gathering_fails_before_the_base_lookup(merge):
    connected = table([connection_record(1, 7)], FULL_WIDTH)
    assert_out_of_bounds(fails(merge, connected, points=np.array([[1.0]])))


def test_base_lookup_fails_before_the_neighbour_columns_are_read(merge):
    connected = table([connection_record(1, 7)[:3]], 3)
    assert_engine_failure_of(fails(merge, connected), 0)


# ------------------------------------------------------------- several failing records


def field_of(count, failing):
    """`count` records that succeed, except those given as {index: record}."""
    records = [JOINED if index % 2 else ALONE for index in range(count)]
    for index, record in failing.items():
        records[index] = record
    return table(records, FULL_WIDTH)


NO_BASE = connection_record(5, 5)
NO_NEIGHBOUR = connection_record(1, 1, (6, 6))
NARROW_POINTS = POINTS[:, :3]  # fails every joined record that gathered points


@pytest.mark.parametrize("num_threads", [1, 2, 4])
def test_lowest_failing_record_is_reported(merge, num_threads):
    # Record 0 gathers nothing to filter; record 2 finds no base record; records 3
    # and 5 fail at the filter.
    connected = field_of(7, {0: connection_record(2, 1, (1, 1)), 1: ALONE, 2: NO_BASE})
    failure = fails(merge, connected, points=NARROW_POINTS, num_threads=num_threads)
    assert_engine_failure_of(failure, 2)

    # Record 1 fails at the filter, before record 4 with no base record.
    connected = field_of(7, {4: NO_BASE})
    failure = fails(merge, connected, points=NARROW_POINTS, num_threads=num_threads)
    assert_out_of_bounds(failure)


@pytest.mark.parametrize("num_threads", [2, 4, 0])
def test_lowest_failing_record_is_reported_among_many(merge, num_threads):
    for low, high in ((150, 290), (3, 297), (298, 299)):
        connected = field_of(300, {high: NO_BASE, low: NO_NEIGHBOUR})
        assert_engine_failure_of(fails(merge, connected, num_threads=num_threads), low)
        connected = field_of(300, {low: NO_BASE, high: NO_NEIGHBOUR})
        assert_engine_failure_of(fails(merge, connected, num_threads=num_threads), low)


# ------------------------------------------------- tables too large for this machine


@pytest.mark.parametrize("records", [2**59, 2**40, 2**35])
def test_tables_too_large_to_allocate_fail_in_our_words(native_merge, records):
    # A table of that many connection records costs no memory as an array of zero
    # columns, but the engine's own tables for it cannot be allocated.
    if records > np.iinfo(np.intp).max:
        pytest.skip("NumPy cannot make an array that long on this machine word")
    points = np.ones((20, 4))
    rows = np.array([[1.0, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0]])
    with pytest.raises(MergeFailed) as failed:
        native_merge(np.empty((records, 0)), points, rows, 0.5, 2)
    text = failed.value.text
    assert text.startswith("could not allocate "), text
    assert "connected_crop_rows" in text, text
    assert re.search(r"\d{9,} (bytes|entries)", text), text
    assert "vector" not in text and "_M_" not in text and "bad_alloc" not in text
    # The process is fine afterwards.
    assert native_merge(np.empty((0, 3)), points, rows, 0.5, 2).shape == (0, 4)
