"""Parquet read and written without holding a field twice: the frames and files must be
those of pandas' own read_parquet and to_parquet, whatever the columns hold."""

import io

import numpy as np
import pytest

import quillmoor
from quillmoor.__main__ import main
from quillmoor.synthetic import POINT_COLUMNS, make_field
from quillmoor.tables import kept_rows
from quillmoor.tables.decoding import decode_parquet
from quillmoor.tables.files import TableFileError

pd = pytest.importorskip("pandas")
pq = pytest.importorskip("pyarrow.parquet")

ROWS = 2_500


def varied_frame(index=None):
    rng = np.random.default_rng(3)
    frame = pd.DataFrame({
        "key_a": rng.integers(0, 5, ROWS).astype(float),
        "x": rng.random(ROWS),
        "count": rng.integers(0, 100, ROWS),
        "small": rng.integers(0, 100, ROWS).astype(np.int16),
        "reading": pd.array(rng.integers(0, 9, ROWS), dtype="Int64"),
        "sensor": pd.array([f"s{i % 7}" for i in range(ROWS)], dtype="str"),
        "crop": pd.Categorical(rng.choice(["wheat", "maize", "rye"], ROWS)),
        "time": pd.date_range("2026-05-01", periods=ROWS, freq="s", tz="Europe/Berlin"),
        "ok": rng.random(ROWS) > 0.5,
    }, index=index)
    frame.loc[frame.index[3], "reading"] = pd.NA
    frame.loc[frame.index[5], "x"] = np.nan
    frame.attrs = {"farm": "north field"}
    return frame


def parquet_bytes(frame, **options):
    out = io.BytesIO()
    frame.to_parquet(out, **options)
    return out.getvalue()


class TestParquetRead:
    @pytest.mark.parametrize("index", [None, "labels"])
    def test_frame_is_read_parquets_over_several_row_groups(self, index):
        labels = [f"pt{i}" for i in range(ROWS)] if index else None
        data = parquet_bytes(varied_frame(labels), row_group_size=600)
        assert pq.ParquetFile(io.BytesIO(data)).num_row_groups == 5
        expected = pd.read_parquet(io.BytesIO(data))
        frame = decode_parquet(io.BytesIO(data), "points.parquet")
        pd.testing.assert_frame_equal(frame, expected)
        assert frame.attrs == {"farm": "north field"}
        assert list(frame.dtypes) == list(expected.dtypes)

    def test_empty_and_damaged_files(self):
        empty = varied_frame().iloc[:0]
        frame = decode_parquet(io.BytesIO(parquet_bytes(empty)), "points.parquet")
        pd.testing.assert_frame_equal(frame, pd.read_parquet(io.BytesIO(parquet_bytes(empty))))
        with pytest.raises(TableFileError, match="^points.parquet: cannot read it as Parquet"):
            decode_parquet(io.BytesIO(b"PAR1 not really"), "points.parquet")


class TestKeptRowsWrite:
    @pytest.mark.parametrize("taken", [ROWS - 317, 601, 0])
    def test_same_bytes_as_taking_then_writing(self, monkeypatch, taken):
        monkeypatch.setattr(kept_rows, "ROW_GROUP_ROWS", 600)
        frame = varied_frame()
        positions = np.random.default_rng(5).permutation(ROWS)[:taken]
        assert kept_rows.writes_in_row_groups(frame)
        out = io.BytesIO()
        kept_rows.encode_kept_parquet(frame, positions, out)
        expected = parquet_bytes(frame.take(positions), index=False, row_group_size=600)
        assert out.getvalue() == expected

    def test_object_columns_are_taken_whole(self):
        frame = varied_frame()
        frame["note"] = pd.Series([None] * 1000 + ["ok"] * (ROWS - 1000), dtype=object)
        assert not kept_rows.writes_in_row_groups(frame)


def test_command_line_writes_parquet_a_row_group_at_a_time(tmp_path, monkeypatch):
    monkeypatch.setattr(kept_rows, "ROW_GROUP_ROWS", 500)
    field = make_field(4000, seed=11)
    points = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS)
    points["sensor"] = pd.array([f"s{i % 3}" for i in range(len(points))], dtype="str")
    points.to_parquet(tmp_path / "points.parquet", row_group_size=700)
    np.save(tmp_path / "c.npy", field.connected_crop_rows)
    np.save(tmp_path / "r.npy", field.row_information)
    out = tmp_path / "kept.parquet"
    assert main(["merge", str(tmp_path / "c.npy"), str(tmp_path / "points.parquet"),
                 str(tmp_path / "r.npy"), "-o", str(out), "--tolerance", "0.05"]) == 0
    expected = quillmoor.merge_frame(field.connected_crop_rows, points, field.row_information,
                                     tolerance=0.05)
    assert pq.ParquetFile(out).num_row_groups == -(-len(expected) // 500)
    assert out.read_bytes() == parquet_bytes(expected, index=False, row_group_size=500)
