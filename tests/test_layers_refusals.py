"""Segment layers the merge cannot use: each refused with one line that says why."""

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")

import pandas as pd  # noqa: E402

from quillmoor.layers import LayerError, tables_from_segments  # noqa: E402

LINES = [shapely.LineString([(0, y), (10, y)]) for y in (0.0, 1.0)] + [
    shapely.LineString([(9.6, y), (20, y)]) for y in (0.0, 1.0)]


def line_through_nan():
    with np.errstate(invalid="ignore"):
        return shapely.LineString([(0, 1), (np.nan, 1)])


def layer(key_a=(1, 2, 1, 2), key_b=(1, 1, 2, 2), geometry=None, crs=None):
    return gpd.GeoDataFrame({"key_a": list(key_a), "key_b": list(key_b)},
                            geometry=list(LINES if geometry is None else geometry), crs=crs)


def refusal(segments, **options):
    with pytest.raises(LayerError) as caught:
        tables_from_segments(segments, **options)
    text = str(caught.value)
    assert "\n" not in text
    assert isinstance(caught.value, ValueError)
    return text


def test_the_good_layer_is_accepted():
    connected, _ = tables_from_segments(layer())
    assert connected[:, 3:5].tolist() == [[1, 2], [1, 1], [2, 2], [2, 1]]


class TestGeometry:
    def test_multilinestring(self):
        parts = shapely.MultiLineString([[(9.6, 1), (15, 1)], [(15, 1.2), (20, 1.2)]])
        text = refusal(layer(geometry=LINES[:3] + [parts]))
        assert text.startswith("segments: row 3 (key (2, 2)) is a MultiLineString")
        assert "explode" in text

    @pytest.mark.parametrize(("geometry", "words"), [
        (shapely.Point(1, 1), "is a Point; segments are LineStrings"),
        (shapely.box(0, 0, 1, 1), "is a Polygon"),
        (None, "has no geometry"),
        (shapely.LineString(), "is an empty LineString"),
        (shapely.LineString([(0, 1), (5, 2), (0, 1)]), "starts where it ends"),
        (line_through_nan(), "not a finite number"),
        (shapely.LineString([(0, 1), (np.inf, 1)]), "not a finite number"),
    ])
    def test_what_is_not_a_segment(self, geometry, words):
        text = refusal(layer(geometry=[LINES[0], geometry, *LINES[2:]]))
        assert text.startswith("segments: row 1 (key (2, 1)) ") and words in text

    def test_no_geometry_column(self):
        plain = pd.DataFrame({"key_a": [1], "key_b": [1]})
        assert "no geometry column" in refusal(plain)

    def test_a_geographic_crs(self):
        text = refusal(layer(crs="EPSG:4326"))
        assert "WGS 84" in text and "degrees" in text and "to_crs" in text

    def test_a_projected_crs_is_fine(self):
        assert tables_from_segments(layer(crs="EPSG:32633"))[0].shape == (4, 11)


class TestKeys:
    def test_duplicate_keys(self):
        text = refusal(layer(key_b=(1, 1, 2, 1)))
        assert text == ("segments: the key (2, 1) names more than one segment (rows 1 and "
                        "3); each segment needs a key of its own")

    @pytest.mark.parametrize(("value", "shown"), [
        (np.nan, "a missing value (NaN)"), (-1.0, "-1.0"), (1.5, "1.5"),
        (2.0**32, "4294967296.0"),
    ])
    def test_float_keys_the_merge_cannot_use(self, value, shown):
        text = refusal(layer(key_a=(1.0, 2.0, value, 2.0)))
        assert text == (f"segments: 'key_a' holds {shown} at row 2; keys are whole "
                        "numbers from 0 to 4294967295")

    @pytest.mark.parametrize("value", [-1, 2**32, 2**63 - 1])
    def test_integer_keys_out_of_range(self, value):
        text = refusal(layer(key_b=(1, 1, value, 2)))
        assert f"'key_b' holds {value} at row 2" in text

    def test_missing_value_in_a_nullable_integer_column(self):
        segments = layer()
        segments["key_a"] = pd.array([1, 2, None, 2], dtype="Int64")
        assert "'key_a' holds a missing value (NaN) at row 2" in refusal(segments)

    def test_text_keys(self):
        text = refusal(layer(key_a=("1", "2", "1", "2")))
        assert "'key_a'" in text and "keys are whole numbers" in text

    def test_a_key_column_that_is_not_there(self):
        text = refusal(layer(), key_a="row")
        assert text.startswith("segments: no key column 'row' (the columns are: key_a, key_b")

    def test_the_largest_key_is_fine(self):
        connected, rows = tables_from_segments(layer(key_a=(1, 2**32 - 1, 1, 2**32 - 1)))
        assert rows[-1, 0] == 2**32 - 1 and connected[-1, 3] == 2**32 - 1


@pytest.mark.parametrize("name", ["row_spacing", "max_offset", "max_gap"])
@pytest.mark.parametrize("value", [0.0, -1.0, float("nan"), float("inf")])
def test_distances_must_be_positive(name, value):
    assert refusal(layer(), **{name: value}).startswith(f"{name} must be a positive distance")
