"""Kept rows taken on threads: the same frame, Arrow table and GeoDataFrame as one take."""

import numpy as np
import pytest

import quillmoor
from quillmoor.frames import row_selection
from quillmoor.frames.row_selection import take_rows
from quillmoor.synthetic import POINT_COLUMNS, make_field

pd = pytest.importorskip("pandas")

ROWS = 1000


@pytest.fixture(autouse=True)
def small_runs(monkeypatch):
    """Runs of a few rows, so that small frames are cut as a large field's are, on a
    machine of four processors whatever this one has."""
    monkeypatch.setattr(row_selection, "MIN_ROWS_PER_THREAD", 7)
    monkeypatch.setattr(row_selection.os, "sched_getaffinity", lambda pid: {0, 1, 2, 3},
                        raising=False)


@pytest.fixture(scope="module")
def positions():
    order = np.random.default_rng(3).permutation(ROWS)
    return order[: ROWS * 9 // 10]


def mixed_frame():
    n = ROWS
    frame = pd.DataFrame(
        {
            "x": np.linspace(0.0, 1.0, n),
            "kind": pd.Categorical([("left", "right", "middle")[i % 3] for i in range(n)]),
            "label": pd.array([f"p-{i}" for i in range(n)], dtype="string"),
            "taken": pd.date_range("2026-06-01", periods=n, freq="s", tz="Europe/Berlin"),
            "count": pd.array([None if i % 7 == 0 else i for i in range(n)], dtype="Int64"),
            "note": [{"i": i} if i % 2 else None for i in range(n)],
        },
        index=pd.Index(np.arange(n) * 3 + 11, name="sample"),
    )
    frame.attrs["field"] = "north-7"
    return frame


@pytest.mark.parametrize("num_threads", [1, 2, 3, 0])
@pytest.mark.parametrize("order", ["shuffled", "ascending"])
def test_pandas_runs_join_to_the_single_take(positions, num_threads, order):
    frame = mixed_frame()
    if order == "ascending":  # as a field grouped by segment gives them
        positions = np.sort(positions)
    got = take_rows(frame, "pandas", positions, num_threads)
    want = frame.take(positions)
    pd.testing.assert_frame_equal(got, want)
    assert got.attrs == want.attrs and got.index.name == "sample"


def test_a_frame_refusing_duplicate_labels_keeps_that_flag(positions):
    frame = mixed_frame().set_flags(allows_duplicate_labels=False)
    got = take_rows(frame, "pandas", positions, 2)
    assert not got.flags.allows_duplicate_labels
    pd.testing.assert_frame_equal(got, frame.take(positions))


def test_no_positions_give_an_empty_frame_of_the_same_dtypes():
    frame = mixed_frame()
    got = take_rows(frame, "pandas", np.zeros(0, dtype=np.intp), 4)
    assert len(got) == 0 and got.dtypes.equals(frame.dtypes)


def test_a_geodataframe_stays_one_with_its_crs(positions):
    gpd = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    frame = gpd.GeoDataFrame({"v": np.arange(ROWS)},
                             geometry=shapely.points(np.arange(ROWS), np.arange(ROWS) * 2.0),
                             crs="EPSG:32633")
    got = take_rows(frame, "pandas", positions, 3)
    assert type(got) is gpd.GeoDataFrame and got.crs == frame.crs
    assert got.equals(frame.take(positions))


def test_an_arrow_table_keeps_its_schema_in_one_chunk_per_run(positions):
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"x": np.arange(ROWS, dtype=np.float64),
                      "label": [f"p-{i}" for i in range(ROWS)]}).replace_schema_metadata({"crs": "EPSG:32633"})
    for threads, runs in ((3, 3), (0, 4), (9, 4)):  # never more runs than processors
        got = take_rows(table, "arrow", positions, threads)
        assert got.equals(table.take(positions), check_metadata=True)
        assert got.column("x").num_chunks == runs


def test_merge_frame_on_threads_equals_the_merge():
    field = make_field(2000, seed=11)
    frame = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS)
    frame["name"] = [f"pt{i}" for i in range(len(frame))]
    connections, rows = field.connected_crop_rows, field.row_information
    merged = quillmoor.merge(connections, field.points_in_rows, rows, tolerance=0.05)
    for threads in (1, 2, 0):
        kept = quillmoor.merge_frame(connections, frame, rows, tolerance=0.05, num_threads=threads)
        np.testing.assert_array_equal(kept[list(POINT_COLUMNS)].to_numpy(), merged)
        assert kept["name"].tolist() == [f"pt{i}" for i in kept.index]
