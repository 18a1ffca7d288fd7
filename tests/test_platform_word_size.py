"""`num_threads` narrows to the machine word: 32 bits on 32-bit ARM, 64 bits elsewhere."""

import struct

import numpy as np
import pytest

from quillmoor import merge_points_removing_overlap

WORD_BITS = struct.calcsize("P") * 8
NARROWING_MESSAGE = "out of range integral type conversion attempted"


def small_field():
    # Two overlapping segments of one crop row along x, joined to each other.
    rows = np.array(
        [
            [1, 0, 0, 0, 0, 0.0, 0.0, 6.0, 0.0, 3.0, 0.0],
            [1, 0, 0, 0, 1, 5.0, 0.0, 11.0, 0.0, 8.0, 0.0],
        ],
        dtype=np.float64,
    )
    connections = np.array(
        [
            [0, 1, 0, 1, 1] + [np.nan] * 6,
            [1, 1, 1, 1, 0] + [np.nan] * 6,
        ],
        dtype=np.float64,
    )
    xs = np.arange(0.0, 11.5, 0.5)
    points = np.array(
        [[1, 0 if x <= 6.0 else 1, x, 0.0, x * 10] for x in xs]
        + [[1, 0, x, 0.0, -x] for x in (5.0, 5.5, 6.0)]
        + [[1, 1, x, 0.0, -x] for x in (5.0, 5.5)],
        dtype=np.float64,
    )
    return connections, points, rows


@pytest.mark.parametrize(
    "value",
    [2**32 - 1, 2**64 - 1] if WORD_BITS == 64 else [2**32 - 1],
    ids=str,
)
def test_largest_word_is_accepted_and_capped(value):
    tables = small_field()
    expected = merge_points_removing_overlap(*tables, 0.1, 1)
    assert merge_points_removing_overlap(*tables, 0.1, value).tobytes() == expected.tobytes()


@pytest.mark.skipif(WORD_BITS != 32, reason="the narrowing applies to a 32-bit machine word")
@pytest.mark.parametrize("value", [2**32, 2**32 + 1, 2**63, 2**64 - 1], ids=str)
def test_values_beyond_a_32_bit_word_fail_to_narrow(value):
    with pytest.raises(OverflowError) as raised:
        merge_points_removing_overlap(*small_field(), 0.1, value)
    assert str(raised.value) == NARROWING_MESSAGE
    assert raised.value.__notes__ == ["while processing 'num_threads'"]


@pytest.mark.skipif(WORD_BITS != 64, reason="a 64-bit machine word holds 2**32")
def test_two_to_the_32_is_a_thread_count_on_64_bit():
    tables = small_field()
    expected = merge_points_removing_overlap(*tables, 0.1, 1)
    assert merge_points_removing_overlap(*tables, 0.1, 2**32).tobytes() == expected.tobytes()


def test_beyond_64_bits_fails_in_the_interpreter_conversion():
    with pytest.raises(OverflowError) as raised:
        merge_points_removing_overlap(*small_field(), 0.1, 2**64)
    # The interpreter's own message, not the narrowing one.
    assert str(raised.value) != NARROWING_MESSAGE
    assert raised.value.__notes__ == ["while processing 'num_threads'"]
