"""The forgiving layer refuses tables with the engine's own words, and writes nothing to
standard error; the exact function keeps writing its failure report."""

import itertools

import numpy as np
import pytest

import quillmoor
import quillmoor.dask
from conftest import is_panic_exception
from quillmoor._native import merge_points_removing_overlap
from quillmoor.tables.key_lookups import unmatched_key

nan = np.nan
ROWS = np.array([
    [1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5],
    [2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16],
    [-0.0, 0, 0, 0, 7, 0, 0, 1, 1, 2, 2],
    [4e9, 0, 0, 0, 1.5, 0, 0, 1, 1, 2, 2],
], dtype=float)
POINTS = np.array([[1, 1, 0, 0, 100], [2, 1, 15, 15, 200]], dtype=float)
GOOD = [0, 1, 1, 2, 1, nan, nan, nan, nan, nan, nan]


def engine_text(connections: np.ndarray) -> str | None:
    try:
        merge_points_removing_overlap(connections, POINTS, ROWS, 0.0, 1)
    except BaseException as error:  # the engine's failure is no Exception
        assert is_panic_exception(error)
        return str(error)
    return None


CELLS = [1, 2, 0.5, 1e5, 1e-7, 123456789012.0, -0.0, 0.0, np.inf, -np.inf, nan, -nan,
         3.25e22, 5e-324, 1e15, 1e16, 4e9, 1.5, 7]


def test_key_lookups_refuse_exactly_what_the_engine_refuses_in_its_words(capfd):
    # Neighbour keys compare cell for cell; base keys after truncation to 32 bits.
    for a, b in itertools.product(CELLS, CELLS):
        neighbour = np.array([GOOD, [0, 2, 1, 1, 1, a, b, nan, nan, nan, nan]])
        base = np.array([GOOD, [0, a, b, nan, nan, nan, nan, nan, nan, nan, nan]])
        for connections in (neighbour, base):
            assert unmatched_key(connections, ROWS) == engine_text(connections), (a, b)
    capfd.readouterr()


def test_the_lowest_failing_record_and_its_base_key_come_first():
    records = [GOOD] * 6
    records[4] = [0, 9, 9, 5, 5, nan, nan, nan, nan, nan, nan]  # base and neighbour fail
    records[5] = [0, 1, 1, 2, 1, 3, 3, nan, nan, nan, nan]
    connections = np.array(records)
    text = unmatched_key(connections, ROWS)
    assert text == "connection record 4: no row record matches base key (9, 9)"
    assert text == engine_text(connections)
    records[4] = GOOD
    assert unmatched_key(np.array(records), ROWS) == engine_text(np.array(records))


def test_merge_and_merge_frame_fail_quietly_the_exact_function_reports(capfd):
    pd = pytest.importorskip("pandas")
    connections = np.array([[0, 1, 1, 6, 6, nan, nan, nan, nan, nan, nan]])
    expected = "connection record 0: no row record matches neighbour key (6, 6)"
    with pytest.raises(quillmoor.MergeError) as failed:
        quillmoor.merge(connections, POINTS, ROWS)
    assert str(failed.value) == expected
    frame = pd.DataFrame(POINTS[:, :4], columns=["key_a", "key_b", "x", "y"])
    with pytest.raises(quillmoor.MergeError, match="neighbour key \\(6, 6\\)"):
        quillmoor.merge_frame(connections, frame, ROWS)
    outcome = quillmoor.dask.merge_fields({"f": (connections, POINTS, ROWS)}, errors="return")
    assert str(outcome["f"]) == f"field 'f': {expected}"
    assert capfd.readouterr().err == ""
    assert engine_text(connections) == expected
    assert expected in capfd.readouterr().err
