"""The command line with CSV and Parquet tables, and merge-many over a folder of fields."""

from importlib.util import find_spec

import numpy as np
import pytest

import quillmoor
from quillmoor.__main__ import main
from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS
from quillmoor.synthetic import make_field

pd = pytest.importorskip("pandas")

TOLERANCE = 0.05
TABLES = ("connected_crop_rows", "points_in_rows", "row_information")


def serial(field):
    return quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                           field.row_information, tolerance=TOLERANCE, num_threads=1)


def frames(field):
    points = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS)
    points["sensor"] = [f"s{i % 4}" for i in range(len(points))]
    return (pd.DataFrame(field.connected_crop_rows, columns=CONNECTION_COLUMNS), points,
            pd.DataFrame(field.row_information, columns=ROW_INFORMATION_COLUMNS))


@pytest.fixture(scope="module")
def field():
    return make_field(3000, seed=8)


class TestMergeTableFiles:
    def test_csv_with_own_column_names_to_csv_and_parquet(self, field, tmp_path, capsys):
        connections, points, rows = frames(field)
        points = points.rename(columns={"x": "easting", "y": "northing"})
        rows = rows.rename(columns={"key_a": "crop_row"})
        paths = [str(tmp_path / f"{name}.csv") for name in TABLES]
        for path, table in zip(paths, (connections, points, rows)):
            table.to_csv(path, index=False)
        mapping = ["--column", "x=easting", "--column", "y=northing",
                   "--column", "row_information.key_a=crop_row"]
        expected = serial(field)
        outputs = ["kept.csv"] + (["kept.parquet"] if find_spec("pyarrow") else [])
        sensor_of = dict(zip(points["timestamp"], points["sensor"]))
        for output in outputs:
            assert main(["merge", *paths, "-o", str(tmp_path / output),
                         "--tolerance", str(TOLERANCE), *mapping]) == 0
            reader = pd.read_csv if output.endswith(".csv") else pd.read_parquet
            kept = reader(tmp_path / output)
            assert list(kept.columns) == list(points.columns)
            assert np.array_equal(kept.drop(columns="sensor").to_numpy(), expected)
            # Every timestamp is its point's own: the text came with the right row.
            assert kept["sensor"].tolist() == [sensor_of[t] for t in kept["timestamp"]]
        assert f"{len(points):,} points in, {len(expected):,} out" in capsys.readouterr().out

    def test_parquet_points_beside_npy_tables(self, field, tmp_path):
        pytest.importorskip("pyarrow")
        _, points, _ = frames(field)
        points.to_parquet(tmp_path / "points.parquet")
        np.save(tmp_path / "c.npy", field.connected_crop_rows)
        np.save(tmp_path / "r.npy", field.row_information)
        out = tmp_path / "kept.parquet"
        assert main(["merge", str(tmp_path / "c.npy"), str(tmp_path / "points.parquet"),
                     str(tmp_path / "r.npy"), "-o", str(out), "--tolerance",
                     str(TOLERANCE)]) == 0
        kept = pd.read_parquet(out)
        assert np.array_equal(kept[list(POINT_COLUMNS)].to_numpy(), serial(field))
        assert kept["sensor"].dtype == points["sensor"].dtype

    def test_picture_of_a_frame_merge(self, field, tmp_path, monkeypatch):
        pytest.importorskip("matplotlib")
        pytest.importorskip("pyarrow")
        drawn = {}
        monkeypatch.setattr("quillmoor.cli.merge_command.draw_picture",
                            lambda path, *tables: drawn.update(tables=tables))
        _, points, _ = frames(field)
        points.to_parquet(tmp_path / "points.parquet")
        np.save(tmp_path / "c.npy", field.connected_crop_rows)
        np.save(tmp_path / "r.npy", field.row_information)
        assert main(["merge", str(tmp_path / "c.npy"), str(tmp_path / "points.parquet"),
                     str(tmp_path / "r.npy"), "-o", str(tmp_path / "kept.parquet"),
                     "--tolerance", str(TOLERANCE), "--picture", str(tmp_path / "p.png")]) == 0
        _, table, _, kept, _ = drawn["tables"]
        # The picture gets the kept rows' positions in the points' table.
        assert np.array_equal(table[kept], serial(field)[:, :4])

    def test_mistakes(self, field, tmp_path, capsys):
        connections, points, rows = frames(field)
        paths = [str(tmp_path / f"{name}.csv") for name in TABLES]
        for path, table in zip(paths, (connections, points.drop(columns="y"), rows)):
            table.to_csv(path, index=False)
        assert main(["merge", *paths, "-o", str(tmp_path / "o.csv")]) == 1
        assert "points_in_rows.csv: no column 'y'" in capsys.readouterr().err
        assert main(["merge", *paths, "-o", "o.csv", "--column", "x"]) == 2
        assert "expected ROLE=NAME" in capsys.readouterr().err
        points.to_csv(paths[1], index=False)
        assert main(["merge", *paths, "-o", str(tmp_path / "o.npy")]) == 1
        assert "not numbers; save it as .csv or .parquet" in capsys.readouterr().err


    def test_a_stray_word_in_a_renamed_column_is_named_by_file_column_and_row(
        self, field, tmp_path, capsys
    ):
        connections, points, rows = frames(field)
        points = points.rename(columns={"x": "easting"}).astype({"easting": object})
        points.loc[len(points) - 1, "easting"] = "12,5"  # a decimal comma
        paths = [str(tmp_path / f"{name}.csv") for name in TABLES]
        for path, table in zip(paths, (connections, points, rows)):
            table.to_csv(path, index=False)
        assert main(["merge", *paths, "-o", str(tmp_path / "o.csv"),
                     "--column", "x=easting"]) == 1
        assert (f"{paths[1]}: column 'easting' must hold numbers; data row {len(points)} "
                "holds '12,5'") in capsys.readouterr().err
        assert not (tmp_path / "o.csv").exists()

class TestMergeMany:
    def test_folder_of_npz_files_here(self, tmp_path, capsys):
        fields = {f"plot{i}": make_field(1500 + 500 * i, seed=i) for i in range(3)}
        source = tmp_path / "farm"
        source.mkdir()
        for name, field in fields.items():
            np.savez(source / f"{name}.npz", **{t: getattr(field, t) for t in TABLES})
        out = tmp_path / "out"
        assert main(["merge-many", str(source), "-o", str(out), "--tolerance",
                     str(TOLERANCE), "--threads", "1"]) == 0
        for name, field in fields.items():
            assert np.array_equal(np.load(out / f"{name}.npy"), serial(field))
        assert "merged 3 of 3 fields" in capsys.readouterr().out

    def test_partitioned_dataset_here(self, tmp_path):
        pytest.importorskip("pyarrow")
        fields = {name: make_field(2000, seed=20 + i) for i, name in enumerate("ab")}
        source = tmp_path / "farm"
        for name, field in fields.items():
            for table, frame in zip(TABLES, frames(field)):
                folder = source / table / f"block={name}"
                folder.mkdir(parents=True)
                frame.to_parquet(folder / "part-0.parquet", index=False)
        out = tmp_path / "out"
        assert main(["merge-many", str(source), "-o", str(out), "--field-column", "block",
                     "--tolerance", str(TOLERANCE)]) == 0
        for name, field in fields.items():
            kept = pd.read_parquet(out / f"block={name}" / "part-0.parquet")
            assert np.array_equal(kept[list(POINT_COLUMNS)].to_numpy(), serial(field))
            assert set(kept["sensor"]) <= {"s0", "s1", "s2", "s3"}

    def test_nothing_to_merge(self, tmp_path, capsys):
        assert main(["merge-many", str(tmp_path / "none"), "-o", str(tmp_path / "o")]) == 1
        assert "no such folder" in capsys.readouterr().err
        assert main(["merge-many", str(tmp_path), "-o", str(tmp_path / "o")]) == 1
        assert "no fields" in capsys.readouterr().err
