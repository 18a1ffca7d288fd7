"""Synthetic fields: reproducible, in the documented layouts, and merged as a field should be."""

import math

import numpy as np
import pytest

from quillmoor import merge_points_removing_overlap
from quillmoor.synthetic import POINT_COLUMNS, make_field


@pytest.fixture(scope="module")
def field():
    return make_field(6000, seed=11, rotation_deg=20.0, bend=0.3)


def segment_frames(field):
    """Per row record: start point, unit direction, unit normal, length."""
    rows = field.row_information
    start = rows[:, 5:7]
    chord = rows[:, 7:9] - start
    length = np.hypot(chord[:, 0], chord[:, 1])
    direction = chord / length[:, None]
    normal = np.stack([-direction[:, 1], direction[:, 0]], axis=1)
    return start, direction, normal, length


def segment_of_each_point(field):
    rows = field.row_information
    segment_index = {(a, b): i for i, (a, b) in enumerate(zip(rows[:, 0], rows[:, 4]))}
    points = field.points_in_rows
    return np.array([segment_index[(a, b)] for a, b in zip(points[:, 0], points[:, 1])])


def along_and_across(field):
    """Each point's position along its segment from p0, and its sideways offset."""
    start, direction, normal, length = segment_frames(field)
    seg = segment_of_each_point(field)
    relative = field.points_in_rows[:, 2:4] - start[seg]
    along = np.einsum("ij,ij->i", relative, direction[seg])
    across = np.einsum("ij,ij->i", relative, normal[seg])
    return seg, along, across, length


class TestReproducibility:
    def test_same_seed_same_field_other_seed_other_field(self):
        first, again = make_field(3000, seed=5), make_field(3000, seed=5)
        other = make_field(3000, seed=6)
        for name in ("connected_crop_rows", "points_in_rows", "row_information"):
            assert np.array_equal(getattr(first, name), getattr(again, name), equal_nan=True)
        assert not np.array_equal(first.points_in_rows, other.points_in_rows)
        assert first.rotation == again.rotation


class TestLayout:
    @pytest.mark.parametrize("n_points", [0, 1, 2000, 12345])
    def test_exact_point_count_and_widths(self, n_points):
        f = make_field(n_points, seed=1)
        assert f.points_in_rows.shape == (n_points, len(POINT_COLUMNS))
        assert f.connected_crop_rows.shape == (f.n_crop_rows * f.segments_per_row, 11)
        assert f.row_information.shape == (f.n_crop_rows * f.segments_per_row, 11)
        assert f.row_information[:, 3].sum() == n_points
        assert f.n_crop_rows >= 2 and f.segments_per_row >= 3
        for table in (f.connected_crop_rows, f.points_in_rows, f.row_information):
            assert table.dtype == np.float64 and table.ndim == 2

    def test_explicit_layout_is_honoured(self):
        f = make_field(5000, seed=2, n_crop_rows=4, segments_per_row=6, rotation_deg=-15.0)
        assert (f.n_crop_rows, f.segments_per_row) == (4, 6)
        assert np.allclose(f.row_information[:, 2], math.radians(-15.0))

    def test_every_key_resolves_and_neighbour_lists_end_with_nan(self, field):
        rows = field.row_information
        keys = set(zip(rows[:, 0].tolist(), rows[:, 4].tolist()))
        assert len(keys) == rows.shape[0]
        for index, record in enumerate(field.connected_crop_rows):
            assert record[0] == index
            base = (record[1], record[2])
            assert base in keys
            key_a_cells = record[3:11:2]
            ends = np.flatnonzero(np.isnan(key_a_cells))
            count = ends[0] if ends.size else 4
            assert np.isnan(record[3 + 2 * count:]).all()
            neighbours = [(record[3 + 2 * k], record[4 + 2 * k]) for k in range(count)]
            assert all(n in keys for n in neighbours)
            # Previous then next segment of the same crop row.
            expected = [(base[0], b) for b in (base[1] - 1, base[1] + 1)
                        if 1 <= b <= field.segments_per_row]
            assert neighbours == expected

    def test_consecutive_segments_overlap(self, field):
        start, direction, _, length = segment_frames(field)
        per_row = field.segments_per_row
        for seg in range(field.n_segments):
            if (seg + 1) % per_row == 0:
                continue
            # Where the next segment starts, measured back from this one's end.
            reach = length[seg] - (start[seg + 1] - start[seg]) @ direction[seg]
            assert 0.6 * field.overlap - 1e-9 <= reach <= 1.4 * field.overlap + 1e-9

    def test_keys_are_crop_row_and_segment_numbers(self, field):
        rows = field.row_information
        assert set(rows[:, 0]) == set(range(1, field.n_crop_rows + 1))
        assert set(rows[:, 4]) == set(range(1, field.segments_per_row + 1))


class TestPoints:
    def test_points_lie_along_their_segment_within_the_jitter(self, field):
        seg, along, across, length = along_and_across(field)
        assert (along >= -1e-9).all() and (along <= length[seg] + 1e-9).all()
        assert np.abs(across).max() <= field.max_offset + 1e-9
        assert 0.7 * field.jitter < across.std() < 1.3 * field.jitter
        # Spread evenly: no tenth of a segment is empty or crowded.
        tenth = np.minimum((along / length[seg] * 10).astype(int), 9)
        per_tenth = np.bincount(tenth, minlength=10)
        assert per_tenth.min() > 0.6 * per_tenth.mean()

    def test_points_are_shuffled_and_timestamps_unique(self, field):
        points = field.points_in_rows
        keys = points[:, 0] * 1000 + points[:, 1]
        assert (np.diff(keys) < 0).any() and (np.diff(keys) > 0).any()
        assert np.unique(points[:, 6]).size == points.shape[0]

    def test_kept_points_names_the_rows_of_a_result(self, field):
        chosen = np.zeros(field.n_points, dtype=bool)
        chosen[::3] = True
        assert np.array_equal(field.kept_points(field.points_in_rows[chosen][::-1]), chosen)


class TestInvalidArguments:
    @pytest.mark.parametrize("kwargs", [
        {"n_points": -1}, {"n_points": 2.5}, {"overlap": 0.0}, {"overlap": 5.0},
        {"segment_length": 0.0}, {"row_spacing": -1.0}, {"jitter": -0.1},
        {"n_crop_rows": 0}, {"segments_per_row": 0},
    ])
    def test_rejected(self, kwargs):
        arguments = {"n_points": 100, **kwargs}
        with pytest.raises(ValueError):
            make_field(**arguments)


class TestMergeOfSyntheticField:
    TOLERANCE = 0.05

    def test_drops_only_points_in_the_overlap_zones_and_keeps_most(self, field):
        merged = merge_points_removing_overlap(
            field.connected_crop_rows, field.points_in_rows, field.row_information,
            self.TOLERANCE, 1,
        )
        kept = field.kept_points(merged)
        assert merged.shape[0] == kept.sum()
        assert 0.95 * field.n_points < merged.shape[0] < field.n_points

        seg, along, _, length = along_and_across(field)
        start, direction, _, _ = segment_frames(field)
        position = seg % field.segments_per_row
        # Overlap zone at each end: up to where the neighbour begins or ends.
        has_next = position < field.segments_per_row - 1
        has_previous = position > 0
        next_seg = np.minimum(seg + 1, field.n_segments - 1)
        prev_seg = np.maximum(seg - 1, 0)
        next_begins = np.einsum("ij,ij->i", start[next_seg] - start[seg], direction[seg])
        prev_end = start[prev_seg] + direction[prev_seg] * length[prev_seg][:, None]
        prev_ends = np.einsum("ij,ij->i", prev_end - start[seg], direction[seg])
        # The keep-test bounds x and y separately, so sideways jitter moves a point's
        # fate by up to max_offset / tan(heading) along the row.
        slack = self.TOLERANCE + field.max_offset / math.tan(abs(field.rotation))
        in_end_zone = has_next & (along >= next_begins - slack)
        in_start_zone = has_previous & (along <= prev_ends + slack)
        dropped = ~kept
        assert (in_end_zone | in_start_zone)[dropped].all()
        # Both sides of the junctions lose points.
        assert dropped[in_end_zone].any() and dropped[in_start_zone].any()
