"""The picture of a merged field, the junctions it shows, and files written whole."""

import os

import numpy as np
import pytest

from quillmoor import merge
from quillmoor.layers.junctions import find_junctions
from quillmoor.synthetic import make_field

import reference

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class TestJunctions:
    def test_near_ends_of_a_generated_field(self):
        field = make_field(3000, seed=4)
        junctions = find_junctions(field.connected_crop_rows, field.row_information)
        rows = field.row_information
        assert junctions.count == field.n_crop_rows * (field.segments_per_row - 1)
        # Each pair once, the earlier segment first; they meet at its end and the
        # later one's start.
        assert np.array_equal(junctions.neighbour, junctions.segment + 1)
        assert np.array_equal(junctions.near, rows[junctions.segment, 7:9])
        assert np.array_equal(junctions.neighbour_near, rows[junctions.neighbour, 5:7])

    def test_the_farthest_pair_rule_with_ties_and_nan(self):
        rng = np.random.default_rng(5)
        # Coordinates from a few values, so that equal distances are common.
        rows = np.zeros((300, 11))
        rows[:, 0] = np.arange(300)
        rows[:, 4] = 1
        rows[:, 5:11] = rng.integers(0, 3, size=(300, 6))
        rows[::37, 6] = np.nan
        connected = np.full((150, 11), np.nan)
        connected[:, 1] = np.arange(0, 300, 2)
        connected[:, 2] = 1
        connected[:, 3] = np.arange(1, 300, 2)
        connected[:, 4] = 1
        junctions = find_junctions(connected, rows)
        assert junctions.count == 150
        for k in range(junctions.count):
            base = rows[junctions.segment[k], 5:11].reshape(3, 2)
            other = rows[junctions.neighbour[k], 5:11].reshape(3, 2)
            i, j = reference.farthest_pair([tuple(p) for p in base], [tuple(p) for p in other])
            assert np.array_equal(junctions.near[k], base[1 if i == 0 else 0], equal_nan=True)
            assert np.array_equal(junctions.neighbour_near[k], other[1 if j == 0 else 0],
                                  equal_nan=True)

    def test_keys_that_name_no_row_record_are_skipped(self):
        field = make_field(2000, seed=1)
        connected = field.connected_crop_rows.copy()
        connected[0, 3:5] = [99, 99]
        junctions = find_junctions(connected, field.row_information)
        assert junctions.count == field.n_crop_rows * (field.segments_per_row - 1)


@pytest.fixture(scope="module")
def merged_field():
    pytest.importorskip("matplotlib")
    field = make_field(8000, seed=6, bend=0.5, overlap=0.5)
    kept = field.kept_points(merge(field.connected_crop_rows, field.points_in_rows,
                                   field.row_information, tolerance=0.05))
    return field, kept


class TestPicture:
    def draw(self, field, kept, path):
        from quillmoor.layers.picture import draw_field

        draw_field(field.connected_crop_rows, field.points_in_rows, field.row_information,
                   kept, str(path), title="a field")
        return path.read_bytes()

    def test_mask_positions_and_result_draw_the_same_picture(self, merged_field, tmp_path):
        field, kept = merged_field
        by_mask = self.draw(field, kept, tmp_path / "mask.png")
        by_position = self.draw(field, np.flatnonzero(kept)[::-1], tmp_path / "pos.png")
        by_result = self.draw(field, field.points_in_rows[kept], tmp_path / "result.png")
        assert by_mask.startswith(PNG_SIGNATURE)
        assert by_mask == by_position == by_result
        assert sorted(os.listdir(tmp_path)) == ["mask.png", "pos.png", "result.png"]

    def test_dropped_points_show_in_red(self, merged_field, tmp_path):
        from matplotlib.image import imread

        field, kept = merged_field
        self.draw(field, kept, tmp_path / "merged.png")
        self.draw(field, np.ones_like(kept), tmp_path / "all.png")

        def red_pixels(name):
            image = imread(tmp_path / name)[..., :3]
            red = np.array([0xD6, 0x27, 0x28]) / 255
            return int((np.abs(image - red).max(axis=-1) < 0.08).sum())

        # With nothing dropped, only the legends' markers are red.
        assert red_pixels("merged.png") > red_pixels("all.png") + 300

    def test_a_failed_drawing_leaves_nothing(self, merged_field, tmp_path):
        field, kept = merged_field
        with pytest.raises(ValueError, match="flags"):
            self.draw(field, kept[:-1], tmp_path / "field.png")
        with pytest.raises(ValueError, match="no such folder"):
            self.draw(field, kept, tmp_path / "missing" / "field.png")
        assert os.listdir(tmp_path) == []


class TestMergeCommandPicture:
    """``quillmoor merge --picture``: the user's own field, from arrays or named columns."""

    def test_an_npz_field_and_a_parquet_one_draw_the_same_field(self, tmp_path, capsys):
        pytest.importorskip("matplotlib")
        pandas = pytest.importorskip("pandas")
        pytest.importorskip("pyarrow")
        from quillmoor.__main__ import main
        from quillmoor.synthetic import POINT_COLUMNS

        field = make_field(3000, seed=6)
        np.savez(tmp_path / "field.npz", connected_crop_rows=field.connected_crop_rows,
                 points_in_rows=field.points_in_rows, row_information=field.row_information)
        frame = pandas.DataFrame(field.points_in_rows, columns=list(POINT_COLUMNS))
        frame.index = frame.index * 10  # labels that are not positions
        frame.to_parquet(tmp_path / "points.parquet")
        np.save(tmp_path / "connections.npy", field.connected_crop_rows)
        np.save(tmp_path / "rows.npy", field.row_information)
        assert main(["merge", str(tmp_path / "field.npz"), "-o", str(tmp_path / "a.npy"),
                     "--picture", str(tmp_path / "a.png")]) == 0
        assert main(["merge", str(tmp_path / "connections.npy"),
                     str(tmp_path / "points.parquet"), str(tmp_path / "rows.npy"),
                     "-o", str(tmp_path / "b.parquet"), "--picture",
                     str(tmp_path / "b.png")]) == 0
        assert capsys.readouterr().out.count("picture: ") == 2
        assert (tmp_path / "a.png").read_bytes()[:8] == PNG_SIGNATURE
        assert (tmp_path / "b.png").read_bytes()[:8] == PNG_SIGNATURE

    def test_not_with_a_merge_in_pieces(self, tmp_path, capsys):
        pytest.importorskip("matplotlib")
        from quillmoor.__main__ import main

        assert main(["merge", "field.npz", "-o", str(tmp_path / "a.npy"), "--memory", "64M",
                     "--picture", str(tmp_path / "a.png")]) == 1
        assert "--picture draws the whole field in memory" in capsys.readouterr().err
