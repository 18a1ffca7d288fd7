"""merge_frame: the kept rows of the caller's own frame, every column as it was."""

import numpy as np
import pytest

import quillmoor
from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS
from quillmoor.synthetic import make_field

pd = pytest.importorskip("pandas")

TOLERANCE = 0.05


@pytest.fixture(scope="module")
def field():
    return make_field(4000, seed=11)


def frames(field):
    points = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS)
    rows = pd.DataFrame(field.row_information, columns=ROW_INFORMATION_COLUMNS)
    connections = pd.DataFrame(field.connected_crop_rows, columns=CONNECTION_COLUMNS)
    return points, rows, connections


def expected_positions(field, tolerance=TOLERANCE):
    """Positions of the kept rows, from the array merge of the points plus a row number."""
    numbered = np.column_stack([field.points_in_rows[:, :4], np.arange(field.n_points)])
    merged = quillmoor.merge(field.connected_crop_rows, numbered, field.row_information,
                             tolerance=tolerance, num_threads=1)
    return merged[:, 4].astype(int)


class TestRoundTrip:
    def test_strings_nanosecond_times_and_index_come_back_exactly(self, field):
        points, rows, connections = frames(field)
        n = len(points)
        # Nanosecond timestamps that float64 cannot hold, text, a nullable integer
        # column with gaps, and an index of labels in no particular order.
        points["taken"] = pd.to_datetime(1_700_000_000_000_000_000 + np.arange(n) * 7 + 1,
                                         unit="ns")
        points["sensor"] = [f"s-{i % 13}-é" for i in range(n)]
        points["count"] = pd.array([None if i % 5 == 0 else i for i in range(n)],
                                   dtype="Int64")
        points.index = pd.Index([f"p{(i * 7919) % n}" for i in range(n)], name="id")
        before = points.copy()

        kept = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE,
                                     num_threads=2)

        pd.testing.assert_frame_equal(kept, before.take(expected_positions(field)))
        assert list(kept.dtypes) == list(before.dtypes)
        pd.testing.assert_frame_equal(points, before)  # the input is left alone
        # The same rows, in the same order, as the array merge gives.
        array_merge = quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                                      field.row_information, tolerance=TOLERANCE)
        assert np.array_equal(kept[list(POINT_COLUMNS)].to_numpy(), array_merge)

    def test_geodataframe_keeps_its_geometry_and_type(self, field):
        geopandas = pytest.importorskip("geopandas")
        points, rows, connections = frames(field)
        points["taken"] = pd.to_datetime(1_700_000_000_000_000_001 + np.arange(len(points)),
                                         unit="ns")
        points["kind"] = pd.Categorical(["a", "b"] * (len(points) // 2))
        points.index = points.index * 3 + 1
        geo = geopandas.GeoDataFrame(
            points, geometry=geopandas.points_from_xy(points["x"], points["y"]),
            crs="EPSG:32633",
        )
        kept = quillmoor.merge_frame(connections, geo, rows, tolerance=TOLERANCE)
        assert kept.dtypes.to_dict() == geo.dtypes.to_dict()
        array_merge = quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                                      field.row_information, tolerance=TOLERANCE)
        assert np.array_equal(kept[list(POINT_COLUMNS)].to_numpy(), array_merge)
        assert isinstance(kept, geopandas.GeoDataFrame)
        assert kept.crs == geo.crs
        positions = expected_positions(field)
        assert kept.geometry.equals(geo.geometry.take(positions))
        pd.testing.assert_frame_equal(pd.DataFrame(kept.drop(columns="geometry")),
                                      pd.DataFrame(points.take(positions)))

    def test_arrow_table_in_arrow_table_out(self, field):
        pa = pytest.importorskip("pyarrow")
        points, rows, connections = frames(field)
        points["label"] = [str(i) for i in range(len(points))]
        table = pa.Table.from_pandas(points, preserve_index=False)
        kept = quillmoor.merge_frame(connections, table, pa.Table.from_pandas(rows),
                                     tolerance=TOLERANCE)
        assert isinstance(kept, pa.Table) and kept.schema == table.schema
        assert kept.equals(table.take(expected_positions(field)))

    def test_categorical_and_arrow_backed_columns_and_keys(self, field):
        pytest.importorskip("pyarrow")
        points, rows, connections = frames(field)
        n = len(points)
        points["kind"] = pd.Categorical([("left", "right", "middle")[i % 3] for i in range(n)])
        points["note"] = pd.array([None if i % 4 else f"n{i}" for i in range(n)],
                                  dtype="string[pyarrow]")
        # Keys and a coordinate held by Arrow inside pandas, and keys as categories.
        points["x"] = points["x"].astype("float64[pyarrow]")
        points["key_a"] = points["key_a"].astype("int32[pyarrow]")
        points["key_b"] = points["key_b"].astype("category")
        kept = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE)
        pd.testing.assert_frame_equal(kept, points.take(expected_positions(field)))
        assert kept["kind"].cat.categories.equals(points["kind"].cat.categories)

    def test_no_connection_records_give_an_empty_frame_of_the_same_dtypes(self, field):
        points, rows, connections = frames(field)
        points["sensor"] = "a"
        kept = quillmoor.merge_frame(connections.iloc[:0], points, rows)
        assert len(kept) == 0 and list(kept.dtypes) == list(points.dtypes)


class TestColumns:
    def test_renamed_columns_for_all_tables_and_for_one(self, field):
        points, rows, connections = frames(field)
        points = points.rename(columns={"x": "easting", "y": "northing", "key_a": "row"})
        rows = rows.rename(columns={"key_a": "crop_row"})
        connections = connections.rename(columns={"key_a": "row"})
        # The table's own rename wins over the one for all tables, in either order.
        mapping = {"row_information.key_a": "crop_row", "key_a": "row",
                   "x": "easting", "y": "northing"}
        kept = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE,
                                     columns=mapping)
        assert np.array_equal(kept.index.to_numpy(), expected_positions(field))

    def test_fewer_neighbour_columns_mean_fewer_neighbours(self, field):
        points, rows, connections = frames(field)
        # The synthetic field has two neighbours at most: n2 and n3 are all NaN.
        narrow = connections.drop(columns=["n2_key_a", "n2_key_b", "n3_key_a", "n3_key_b"])
        kept = quillmoor.merge_frame(narrow, points, rows, tolerance=TOLERANCE)
        assert np.array_equal(kept.index.to_numpy(), expected_positions(field))
        gap = connections.drop(columns=["n1_key_a", "n1_key_b"])
        with pytest.raises(KeyError, match="n2_key_a"):
            quillmoor.merge_frame(gap, points, rows)

    def test_plain_tables_beside_a_points_frame(self, field):
        points, _, _ = frames(field)
        kept = quillmoor.merge_frame(field.connected_crop_rows, points, field.row_information,
                                     tolerance=TOLERANCE)
        assert np.array_equal(kept.index.to_numpy(), expected_positions(field))

    def test_mistakes_are_named(self, field):
        points, rows, connections = frames(field)
        with pytest.raises(KeyError, match=r"points has no column 'x'.*columns=") as missing:
            quillmoor.merge_frame(connections, points.drop(columns="x"), rows)
        assert "key_a" in str(missing.value)
        with pytest.raises(ValueError, match="'z' is not a column the merge reads"):
            quillmoor.merge_frame(connections, points, rows, columns={"z": "x"})
        with pytest.raises(ValueError, match="'soil.x' names no table"):
            quillmoor.merge_frame(connections, points, rows, columns={"soil.x": "x"})
        with pytest.raises(TypeError, match="quillmoor.merge takes plain arrays"):
            quillmoor.merge_frame(connections, field.points_in_rows, rows)
        texts = points.assign(x=points["x"].astype(str))
        with pytest.raises(TypeError, match=r"points\['x'\] must hold numbers"):
            quillmoor.merge_frame(connections, texts, rows)


class TestKeys:
    def test_integer_keys_beyond_two_to_the_53_are_refused(self, field):
        points, rows, connections = frames(field)
        for dtype in ("int64", "uint64", "Int64"):
            wide = points.assign(key_b=points["key_b"].astype(dtype))
            wide.loc[wide.index[5], "key_b"] = 2**53 + 1
            with pytest.raises(ValueError, match=r"points\['key_b'\] holds 9007199254740993 "
                                                 r"at row 5, beyond 2\*\*53"):
                quillmoor.merge_frame(connections, wide, rows)
        huge = connections.assign(key_a=connections["key_a"].astype(object))
        huge.loc[3, "key_a"] = 2**70
        with pytest.raises(ValueError, match=r"connected_crop_rows\['key_a'\].*row 3"):
            quillmoor.merge_frame(huge, points, rows)

    def test_integer_and_nullable_keys_up_to_the_limit_merge_as_floats(self, field):
        points, rows, connections = frames(field)
        as_ints = points.assign(key_a=points["key_a"].astype("Int64"),
                                key_b=points["key_b"].astype("uint32"))
        kept = quillmoor.merge_frame(connections, as_ints, rows.astype({"key_a": "int64"}),
                                     tolerance=TOLERANCE)
        pd.testing.assert_frame_equal(kept, as_ints.take(expected_positions(field)))

    def test_engine_failure_is_a_merge_error(self, field):
        points, rows, connections = frames(field)
        with pytest.raises(quillmoor.MergeError, match="no row record matches base key"):
            quillmoor.merge_frame(connections, points, rows.iloc[1:])


def test_the_tables_come_in_merges_order_by_position_or_by_name(field):
    points, rows, connections = frames(field)
    expected = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE)
    by_name = quillmoor.merge_frame(connected_crop_rows=connections, points_in_rows=points,
                                    row_information=rows, tolerance=TOLERANCE)
    assert by_name.equals(expected)
    renamed = quillmoor.merge_frame(
        connections, points.rename(columns={"x": "east"}), rows, tolerance=TOLERANCE,
        columns={"points_in_rows.x": "east"})
    assert renamed.rename(columns={"east": "x"}).equals(expected)
