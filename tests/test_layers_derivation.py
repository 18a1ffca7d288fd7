"""Neighbours found from segment lines: the derived tables against the generator's own."""

import math

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")

from quillmoor import merge  # noqa: E402
from quillmoor.layers import LayerError, link_segments, tables_from_segments  # noqa: E402
from quillmoor.synthetic import make_field  # noqa: E402

# The row record columns the generator and the derivation both define (column 3 is the
# generator's point count, the derivation's vertex count).
SHARED_ROW_COLUMNS = [0, 1, 2, 4, 5, 6, 7, 8, 9, 10]


def segment_layer(field, *, reverse=None, noise=0.0, rng=None, crs=None):
    """The field's segments as a line layer, as a GIS user would hold them."""
    rows = field.row_information
    first, last = rows[:, 5:7].copy(), rows[:, 7:9].copy()
    if noise:
        first += rng.normal(0.0, noise, first.shape)
        last += rng.normal(0.0, noise, last.shape)
    if reverse is not None:
        first[reverse], last[reverse] = last[reverse].copy(), first[reverse].copy()
    return gpd.GeoDataFrame(
        {"key_a": rows[:, 0].astype(np.int64), "key_b": rows[:, 4].astype(np.int64)},
        geometry=shapely.linestrings(np.stack([first, last], axis=1)), crs=crs,
    )


def links_of(connected_crop_rows):
    """Every (segment, neighbour) key pair a connection table lists."""
    found = set()
    for record in connected_crop_rows:
        for slot in range(4):
            if np.isnan(record[3 + 2 * slot]):
                break
            found.add((*record[1:3], *record[3 + 2 * slot:5 + 2 * slot]))
    return found


def merged(field, connected_crop_rows, row_information):
    return merge(connected_crop_rows, field.points_in_rows, row_information, tolerance=0.03)


FIELDS = [
    # (heading in degrees, row spacing, bend): exactly along each axis, and turned.
    (0.0, 0.75, 0.0), (90.0, 0.5, 0.0), (180.0, 1.5, 0.3), (-90.0, 0.3, 0.0),
    (17.0, 0.75, 0.5), (-41.0, 1.0, 1.0), (133.0, 0.3, 0.2), (250.0, 0.75, 0.0),
]


class TestNoiseFreeFields:
    @pytest.mark.parametrize(("heading", "spacing", "bend"), FIELDS)
    def test_tables_and_merge_match_the_generators(self, heading, spacing, bend):
        field = make_field(6000, seed=int(heading) % 97, rotation_deg=heading,
                           row_spacing=spacing, bend=bend)
        connected, rows = tables_from_segments(segment_layer(field))
        assert connected.dtype == rows.dtype == np.float64
        assert connected.shape == rows.shape == (field.n_segments, 11)
        assert connected.tobytes() == field.connected_crop_rows.tobytes()
        assert rows[:, SHARED_ROW_COLUMNS].tobytes() == \
            field.row_information[:, SHARED_ROW_COLUMNS].tobytes()
        expected = merged(field, field.connected_crop_rows, field.row_information)
        assert merged(field, connected, rows).tobytes() == expected.tobytes()
        assert 0 < expected.shape[0] < field.n_points

    @pytest.mark.parametrize("seed", range(4))
    def test_shuffled_and_half_reversed_lines_merge_the_same(self, seed):
        field = make_field(6000, seed=seed, rotation_deg=[0.0, 90.0, None, None][seed],
                           bend=0.4 * seed)
        rng = np.random.default_rng(seed)
        reverse = rng.random(field.n_segments) < 0.5
        layer = segment_layer(field, reverse=reverse).sample(frac=1.0, random_state=seed)
        connected, rows = tables_from_segments(layer)
        # Reversed lines swap p0 and p1, and with them the order of the two neighbours;
        # neither changes which points the merge keeps.
        assert links_of(connected) == links_of(field.connected_crop_rows)
        assert np.array_equal(rows[reverse, 5:7], field.row_information[reverse, 7:9])
        expected = merged(field, field.connected_crop_rows, field.row_information)
        assert merged(field, connected, rows).tobytes() == expected.tobytes()

    def test_layer_order_does_not_change_the_tables(self):
        field = make_field(5000, seed=8)
        layer = segment_layer(field)
        ordered = tables_from_segments(layer)
        shuffled = tables_from_segments(layer.iloc[::-1].reset_index(drop=True))
        assert all(a.tobytes() == b.tobytes() for a, b in zip(ordered, shuffled))

    def test_row_spacing_is_estimated_from_the_lines(self):
        for spacing in (0.3, 0.75, 1.5):
            field = make_field(8000, seed=2, row_spacing=spacing)
            found = link_segments(segment_layer(field))
            assert found.row_spacing == pytest.approx(spacing, rel=0.03)
            assert found.max_offset == found.max_gap == pytest.approx(0.7 * found.row_spacing)


class TestNoisyEnds:
    @pytest.mark.parametrize("seed", range(6))
    def test_one_centimetre_of_noise_misses_no_link(self, seed):
        field = make_field(8000, seed=seed, row_spacing=0.75, bend=0.5 * (seed % 2),
                           rotation_deg=[0.0, None, 90.0][seed % 3])
        rng = np.random.default_rng(100 + seed)
        reverse = rng.random(field.n_segments) < 0.5
        layer = segment_layer(field, reverse=reverse, noise=0.01, rng=rng)
        connected, _ = tables_from_segments(layer)
        assert links_of(connected) == links_of(field.connected_crop_rows)


def two_segment_rows(*, gap=-0.4, turn_degrees=0.0, rows=3, spacing=1.0, length=10.0):
    """Parallel rows along x, each of two segments: the second starts ``gap`` after the
    first ends (negative: they overlap) and turns by ``turn_degrees``."""
    keys_a, keys_b, lines = [], [], []
    turn = math.radians(turn_degrees)
    for row in range(rows):
        y = row * spacing
        start = length + gap
        lines.append(shapely.LineString([(0.0, y), (length, y)]))
        lines.append(shapely.LineString([
            (start, y), (start + length * math.cos(turn), y + length * math.sin(turn))]))
        keys_a += [row + 1, row + 1]
        keys_b += [1, 2]
    return gpd.GeoDataFrame({"key_a": keys_a, "key_b": keys_b}, geometry=lines)


class TestJunctionRules:
    @pytest.mark.parametrize(("gap", "linked"), [(-4.9, True), (-5.1, False), (0.0, True),
                                                 (0.69, True), (0.71, False)])
    def test_overlap_up_to_half_the_shorter_and_gap_up_to_max_gap(self, gap, linked):
        found = link_segments(two_segment_rows(gap=gap), row_spacing=1.0)
        assert found.junction_count == (3 if linked else 0)

    @pytest.mark.parametrize(("turn", "linked"), [(25.0, True), (35.0, False)])
    def test_a_turn_beyond_30_degrees_is_no_junction(self, turn, linked):
        layer = two_segment_rows(turn_degrees=turn, spacing=20.0)
        assert link_segments(layer, row_spacing=1.0).junction_count == (3 if linked else 0)

    def test_curved_rows_link_where_their_chords_turn_more_than_30_degrees(self):
        # 10 m arcs of a 15 m circle: each chord turns 38 degrees from the last one.
        keys_a, keys_b, lines = [], [], []
        for row, radius in enumerate((15.0, 15.75, 16.5)):
            for k, start in enumerate(np.arange(0.0, 30.0, 9.6)):
                angle = np.linspace(start, start + 10.0, 40) / radius
                lines.append(shapely.LineString(np.stack(
                    [radius * np.cos(angle), radius * np.sin(angle)], axis=1)))
                keys_a.append(row + 1)
                keys_b.append(k + 1)
        layer = gpd.GeoDataFrame({"key_a": keys_a, "key_b": keys_b}, geometry=lines)
        found = link_segments(layer)
        assert found.row_spacing == pytest.approx(0.75, rel=0.05)
        assert links_of(found.connected_crop_rows) == {
            (a, b, a, c) for a in (1, 2, 3) for b in (1, 2, 3, 4) for c in (b - 1, b + 1)
            if 1 <= c <= 4}

    def test_lateral_offset_up_to_max_offset(self):
        layer = two_segment_rows(rows=1)
        shifted = layer.copy()
        shifted.loc[1, "geometry"] = shapely.affinity.translate(layer.geometry[1], yoff=0.5)
        assert link_segments(shifted, max_offset=0.6, max_gap=1.0).junction_count == 1
        assert link_segments(shifted, max_offset=0.4, max_gap=1.0).junction_count == 0

    def test_an_end_keeps_only_a_mutual_choice(self):
        # (1, 2) continues (1, 1) straight on; (1, 3) starts beside that junction but
        # (1, 1)'s end chose (1, 2), so (1, 3)'s end stays free.
        layer = gpd.GeoDataFrame({"key_a": [1, 1, 1], "key_b": [1, 2, 3]}, geometry=[
            shapely.LineString([(0, 0), (10, 0)]),
            shapely.LineString([(9.6, 0.02), (20, 0.02)]),
            shapely.LineString([(9.5, 0.3), (20, 0.3)]),
        ])
        found = link_segments(layer, row_spacing=1.0)
        assert links_of(found.connected_crop_rows) == {(1, 1, 1, 2), (1, 2, 1, 1)}
        free = found.free_ends_layer()
        assert sorted(zip(free["key_a"], free["key_b"], free["end"])) == [
            (1, 1, "first"), (1, 2, "last"), (1, 3, "first"), (1, 3, "last")]

    def test_first_vertex_neighbour_is_listed_first(self):
        layer = gpd.GeoDataFrame({"key_a": [7, 7, 7], "key_b": [1, 2, 3]}, geometry=[
            shapely.LineString([(0, 0), (10, 0)]),
            shapely.LineString([(19.6, 0), (9.6, 0)]),  # drawn backwards
            shapely.LineString([(19.5, 0), (30, 0)]),
        ])
        connected, rows = tables_from_segments(layer, row_spacing=1.0)
        assert connected[1, 3:7].tolist() == [7, 3, 7, 1]
        assert rows[1, 5:11].tolist() == [19.6, 0, 9.6, 0, (19.6 + 9.6) * 0.5, 0]
        assert math.isnan(connected[0, 5]) and connected[0, 3:5].tolist() == [7, 2]


class TestRowRecords:
    def test_a_curved_line_has_the_middle_of_its_chord_as_p2(self):
        bow = shapely.LineString([(0, 0), (5, 1), (10, 0)])
        layer = gpd.GeoDataFrame({"key_a": [1, 1], "key_b": [1, 2]}, geometry=[
            bow, shapely.LineString([(9.6, 0), (20, 0)])])
        connected, rows = tables_from_segments(layer, row_spacing=1.0)
        assert rows[0, 5:11].tolist() == [0, 0, 10, 0, 5, 0]
        assert rows[0, 1] == pytest.approx(2 * math.hypot(5, 1))
        assert rows[0, 3] == 3
        assert connected[0, 3:5].tolist() == [1, 2]

    def test_z_coordinates_are_ignored(self):
        flat = two_segment_rows()
        raised = flat.copy()
        raised["geometry"] = shapely.force_3d(flat.geometry.values, z=7.0)
        assert all(a.tobytes() == b.tobytes() for a, b in
                   zip(tables_from_segments(raised), tables_from_segments(flat)))


class TestWhatWasFound:
    def test_links_and_free_ends_as_layers(self):
        field = make_field(6000, seed=5)
        layer = segment_layer(field, crs="EPSG:32633")
        found = link_segments(layer)
        links, free = found.links_layer(), found.free_ends_layer()
        junctions = field.n_crop_rows * (field.segments_per_row - 1)
        assert found.junction_count == len(links) == junctions
        assert found.free_end_count == len(free) == 2 * field.n_crop_rows
        assert links.crs == free.crs == layer.crs
        assert set(shapely.get_type_id(links.geometry)) == {1}
        # Each link runs from the earlier segment's last vertex to the later's first.
        row = links.iloc[0]
        earlier = field.row_information[(field.row_information[:, 0] == row.key_a)
                                        & (field.row_information[:, 4] == row.key_b)][0]
        assert (row.neighbour_key_a, row.neighbour_key_b) == (row.key_a, row.key_b + 1)
        assert (row.end, row.neighbour_end) == ("last", "first")
        assert shapely.get_coordinates(row.geometry)[0].tolist() == earlier[7:9].tolist()
        assert (links["overlap"] > 0).all() and (links["offset"] < 0.1).all()

    def test_given_distances_are_used(self):
        found = link_segments(two_segment_rows(), row_spacing=2.0, max_gap=0.1)
        assert (found.row_spacing, found.max_offset, found.max_gap) == (2.0, 1.4, 0.1)

    def test_no_segments_give_empty_tables(self):
        layer = gpd.GeoDataFrame({"key_a": [], "key_b": []}, geometry=[])
        connected, rows = tables_from_segments(layer)
        assert connected.shape == rows.shape == (0, 11)

    def test_a_plain_table_with_wkb_lines(self):
        import pandas as pd

        layer = two_segment_rows()
        plain = pd.DataFrame({"key_a": layer.key_a, "key_b": layer.key_b,
                              "geometry": shapely.to_wkb(layer.geometry.values)})
        assert all(a.tobytes() == b.tobytes() for a, b in
                   zip(tables_from_segments(plain), tables_from_segments(layer)))

    def test_a_single_row_needs_the_spacing(self):
        layer = two_segment_rows(rows=1)
        with pytest.raises(LayerError, match="cannot estimate the row spacing"):
            tables_from_segments(layer)
        assert link_segments(layer, row_spacing=1.0).junction_count == 1
