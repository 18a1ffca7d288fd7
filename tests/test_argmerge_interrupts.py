"""Ctrl-C during argmerge: the call stops and raises what the handler raised, as the
merge does (the watching machinery is test_interrupts')."""

from __future__ import annotations

import numpy as np
import pytest

import quillmoor
from quillmoor._native import argmerge
from quillmoor.synthetic import make_field
from test_interrupts import FIELD_POINTS, TOLERANCE, attempts, keyboard_interrupt


@pytest.fixture(scope="module")
def tables() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    generated = make_field(n_points=FIELD_POINTS, seed=5)
    return generated.connected_crop_rows, generated.points_in_rows, generated.row_information


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("as_columns", [False, True], ids=["table", "columns"])
def test_ctrl_c_stops_argmerge(tables, capfd, threads, as_columns):
    connected, points, rows = tables
    given = [points[:, column] for column in range(4)] if as_columns else points
    clean = argmerge(connected, given, rows, TOLERANCE, threads)
    for tried in attempts(lambda: argmerge(connected, given, rows, TOLERANCE, threads),
                          argmerge, keyboard_interrupt):
        assert tried.result is None
        assert type(tried.error) is KeyboardInterrupt, repr(tried.error)
        assert tried.outcome == "c_exception"
        assert capfd.readouterr().err == ""
        assert np.array_equal(argmerge(connected, given, rows, TOLERANCE, threads), clean)
        break


def test_ctrl_c_passes_through_the_forgiving_argmerge(tables):
    def positions() -> np.ndarray:
        return quillmoor.argmerge(*tables, tolerance=TOLERANCE, num_threads=2,
                                  unassigned="ignore")

    for tried in attempts(positions, argmerge, keyboard_interrupt):
        assert type(tried.error) is KeyboardInterrupt, repr(tried.error)
        assert tried.outcome == "c_exception"
        break
