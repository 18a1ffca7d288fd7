"""``quillmoor merge-layers``: real layer files in and out, GDAL reading what we write,
and a one-line answer for every bad input."""

import argparse
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas")
pyogrio = pytest.importorskip("pyogrio")
shapely = pytest.importorskip("shapely")

import pandas as pd  # noqa: E402

from quillmoor import merge  # noqa: E402
from quillmoor.synthetic import make_field  # noqa: E402

CRS = "EPSG:32633"
TOLERANCE = 0.05

# Until the command is registered with the others, the tests add it themselves.
REGISTER = """
import argparse, sys
import quillmoor.__main__ as entry
from quillmoor.cli import merge_layers_command
_build = entry.build_parser
def _with_merge_layers():
    parser = _build()
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    if "merge-layers" not in commands.choices:
        merge_layers_command.add_parser(commands)
    return parser
entry.build_parser = _with_merge_layers
"""


def run_cli(args):
    """The command in this process, through the package's own ``main``."""
    namespace = {}
    exec(REGISTER, namespace)
    return namespace["entry"].main(["merge-layers", *map(str, args)])


def run_in_subprocess(args, prelude="", cwd=None):
    code = f"{prelude}\n{REGISTER}\nsys.exit(entry.main(['merge-layers', *{list(map(str, args))!r}]))"
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          cwd=cwd, env=os.environ.copy(), timeout=300)


@pytest.fixture(scope="module")
def field():
    return make_field(6000, seed=11, bend=0.4, overlap=0.5)


def segment_frame(field, *, reverse=None, crs=CRS):
    rows = field.row_information
    first, last = rows[:, 5:7].copy(), rows[:, 7:9].copy()
    if reverse is not None:
        first[reverse], last[reverse] = last[reverse].copy(), first[reverse].copy()
    return gpd.GeoDataFrame(
        {"key_a": rows[:, 0].astype(np.int64), "key_b": rows[:, 4].astype(np.int64)},
        geometry=shapely.linestrings(np.stack([first, last], axis=1)), crs=crs)


def point_frame(field, crs=CRS):
    points = field.points_in_rows
    count = points.shape[0]
    return gpd.GeoDataFrame(
        {
            "key_a": points[:, 0].astype(np.int64),
            "key_b": points[:, 1].astype(np.int64),
            "height": points[:, 4],
            "intensity": points[:, 5].astype(np.int32),
            "sensor": np.where(np.arange(count) % 2 == 0, "left", "right"),
            "taken": pd.Timestamp("2026-06-01 05:00")
            + pd.to_timedelta(np.arange(count), unit="ms"),
            "timestamp": points[:, 6],
        },
        geometry=shapely.points(points[:, 2:4]), crs=crs)


@pytest.fixture(scope="module")
def layers(field, tmp_path_factory):
    folder = tmp_path_factory.mktemp("layers")
    segment_frame(field).to_file(folder / "segments.gpkg", layer="segments")
    point_frame(field).to_file(folder / "points.gpkg", layer="points")
    return folder


def expected_stamps(field):
    """The timestamps of the points the generator's own tables keep, in merge order."""
    merged = merge(field.connected_crop_rows, field.points_in_rows, field.row_information,
                   tolerance=TOLERANCE)
    return merged[:, 6]


def written_files(folder):
    return sorted(os.listdir(folder))


class TestRoundTrip:
    def test_geopackage_keeps_every_column_the_crs_and_the_geometry(self, field, layers,
                                                                    tmp_path, capsys):
        output = tmp_path / "kept.gpkg"
        assert run_cli([layers / "segments.gpkg", layers / "points.gpkg", "-o", output,
                        "--tolerance", TOLERANCE]) == 0
        kept = pyogrio.read_dataframe(output)
        points = pyogrio.read_dataframe(layers / "points.gpkg")
        assert kept["timestamp"].to_numpy().tobytes() == expected_stamps(field).tobytes()
        rows = pd.Index(points["timestamp"]).get_indexer(kept["timestamp"])
        expected = points.iloc[rows].reset_index(drop=True)
        pd.testing.assert_frame_equal(kept, expected)
        assert kept.crs == points.crs
        out = capsys.readouterr().out
        junctions = field.n_crop_rows * (field.segments_per_row - 1)
        assert f"{field.n_segments:,} segments, {junctions:,} junctions" in out
        assert f"{field.n_points:,} points in, {len(kept):,} out" in out
        assert written_files(tmp_path) == ["kept.gpkg"]

    def test_gdal_reads_the_written_geopackage(self, layers, tmp_path):
        ogrinfo = shutil.which("ogrinfo")
        if ogrinfo is None:
            pytest.skip("GDAL's ogrinfo is not installed (Debian: apt-get install gdal-bin)")
        output = tmp_path / "kept.gpkg"
        assert run_cli([layers / "segments.gpkg", layers / "points.gpkg", "-o", output,
                        "--layer", "kept_points", "--tolerance", TOLERANCE]) == 0
        report = subprocess.run([ogrinfo, "-so", "-al", str(output)], capture_output=True,
                                text=True, timeout=120, check=True).stdout
        count = len(pyogrio.read_dataframe(output))
        assert "Layer name: kept_points" in report
        assert f"Feature Count: {count}" in report
        assert "Geometry: Point" in report
        assert 'ID["EPSG",32633]' in report
        assert "taken: DateTime" in report and "sensor: String" in report

    @pytest.mark.parametrize("suffix", [".parquet", ".fgb", ".shp"])
    def test_other_formats(self, field, layers, tmp_path, suffix):
        output = tmp_path / f"kept{suffix}"
        args = [layers / "segments.gpkg", layers / "points.gpkg", "-o", output,
                "--tolerance", TOLERANCE]
        if suffix == ".shp":
            # A Shapefile holds neither timestamps nor long names: give it a layer without.
            points = pyogrio.read_dataframe(layers / "points.gpkg").drop(columns="taken")
            points.to_file(tmp_path / "points.shp")
            args[1] = tmp_path / "points.shp"
        assert run_cli(args) == 0
        kept = (gpd.read_parquet(output) if suffix == ".parquet"
                else pyogrio.read_dataframe(output))
        assert kept["timestamp"].to_numpy().tobytes() == expected_stamps(field).tobytes()
        assert kept.crs == CRS
        assert np.array_equal(shapely.get_coordinates(kept.geometry),
                              field.points_in_rows[np.argsort(field.points_in_rows[:, 6])][
                                  np.searchsorted(np.sort(field.points_in_rows[:, 6]),
                                                  kept["timestamp"])][:, 2:4])
        made = {"kept" + suffix} | ({"kept.shx", "kept.dbf", "kept.prj", "kept.cpg",
                                      "points.shp", "points.shx", "points.dbf", "points.prj",
                                      "points.cpg"} if suffix == ".shp" else set())
        assert set(written_files(tmp_path)) == made

    def test_shuffled_and_half_reversed_layers_keep_the_generators_rows(self, field, tmp_path):
        rng = np.random.default_rng(3)
        reverse = rng.random(field.n_segments) < 0.5
        segment_frame(field, reverse=reverse).sample(frac=1.0, random_state=1).to_file(
            tmp_path / "segments.fgb")
        point_frame(field).to_parquet(tmp_path / "points.parquet")
        output = tmp_path / "kept.parquet"
        assert run_cli([tmp_path / "segments.fgb", tmp_path / "points.parquet", "-o", output,
                        "--tolerance", TOLERANCE]) == 0
        kept = gpd.read_parquet(output)
        assert kept["timestamp"].to_numpy().tobytes() == expected_stamps(field).tobytes()

    def test_points_as_x_and_y_columns(self, field, tmp_path):
        segment_frame(field).to_file(tmp_path / "segments.geojson")
        points = pd.DataFrame(field.points_in_rows[:, :7], columns=[
            "key_a", "key_b", "x", "y", "height", "intensity", "timestamp"])
        points.to_parquet(tmp_path / "points.parquet")
        output = tmp_path / "kept.gpkg"
        assert run_cli([tmp_path / "segments.geojson", tmp_path / "points.parquet", "-o",
                        output, "--tolerance", TOLERANCE]) == 0
        kept = pyogrio.read_dataframe(output)
        assert list(kept.columns) == list(points.columns)
        assert kept.to_numpy().tobytes() == merge(
            field.connected_crop_rows, field.points_in_rows, field.row_information,
            tolerance=TOLERANCE).tobytes()

    def test_key_columns_of_other_names_and_a_layer_chosen_by_name(self, field, tmp_path):
        both = tmp_path / "field.gpkg"
        rename = {"key_a": "row", "key_b": "pass"}
        segment_frame(field).rename(columns=rename).to_file(both, layer="rows")
        point_frame(field).rename(columns=rename).to_file(both, layer="measured")
        output = tmp_path / "kept.parquet"
        assert run_cli([both, both, "--segments-layer", "rows", "--points-layer", "measured",
                        "--key-a", "row", "--key-b", "pass", "-o", output,
                        "--tolerance", TOLERANCE]) == 0
        assert gpd.read_parquet(output)["timestamp"].to_numpy().tobytes() == \
            expected_stamps(field).tobytes()

    def test_links_and_picture(self, field, layers, tmp_path):
        pytest.importorskip("matplotlib")
        args = [layers / "segments.gpkg", layers / "points.gpkg", "-o", tmp_path / "kept.gpkg",
                "--links", tmp_path / "links.gpkg", "--picture", tmp_path / "field.png"]
        assert run_cli(args) == 0
        junctions = pyogrio.read_dataframe(tmp_path / "links.gpkg", layer="junctions")
        free = pyogrio.read_dataframe(tmp_path / "links.gpkg", layer="free_ends")
        assert len(junctions) == field.n_crop_rows * (field.segments_per_row - 1)
        assert len(free) == 2 * field.n_crop_rows
        assert junctions.crs == free.crs == CRS
        with open(tmp_path / "field.png", "rb") as picture:
            assert picture.read(8) == b"\x89PNG\r\n\x1a\n"
        assert written_files(tmp_path) == ["field.png", "kept.gpkg", "links.gpkg"]


@pytest.fixture(scope="module")
def bad_layers(field, tmp_path_factory):
    """A folder of layers, each wrong in one way."""
    folder = tmp_path_factory.mktemp("bad")
    segments = segment_frame(field)
    multi = segments.copy()
    multi.loc[0, "geometry"] = shapely.MultiLineString([[(0, 0), (1, 0)], [(2, 0), (3, 0)]])
    multi.to_file(folder / "multi.gpkg")
    segments.assign(key_b=1).to_file(folder / "duplicates.gpkg")
    segments.to_crs("EPSG:4326").to_file(folder / "degrees.gpkg")
    points = point_frame(field)
    points.assign(key_b=points.key_b + 100).to_file(folder / "strays.gpkg")
    points.set_crs("EPSG:32634", allow_override=True).to_file(folder / "other_crs.gpkg")
    points.assign(key_a=points.key_a + 0.5).to_file(folder / "fractional.gpkg")
    points.drop(columns="taken").rename(columns={"height": "plant_height"}).to_file(
        folder / "long_name.gpkg")
    segments.to_file(folder / "two_layers.gpkg", layer="a")
    segments.to_file(folder / "two_layers.gpkg", layer="b")
    return folder


@pytest.fixture
def bad_inputs(bad_layers, tmp_path):
    """The bad layers, and an empty folder to write to."""
    return bad_layers, tmp_path


def segments_points(layers):
    return [layers / "segments.gpkg", layers / "points.gpkg"]


BAD = [
    # (arguments with {in}, {out}, {layers} placeholders, words in the message)
    (["{in}/none.gpkg", "{layers}/points.gpkg"], "none.gpkg: no such file"),
    (["{in}/multi.gpkg", "{layers}/points.gpkg"], "is a MultiLineString"),
    (["{in}/duplicates.gpkg", "{layers}/points.gpkg"], "names more than one segment"),
    (["{in}/degrees.gpkg", "{layers}/points.gpkg"], "is in degrees"),
    (["{in}/two_layers.gpkg", "{layers}/points.gpkg"],
     "holds 2 layers (a, b); name one with --segments-layer"),
    (["{layers}/segments.gpkg", "{in}/strays.gpkg"], "have keys that name no segment"),
    (["{layers}/segments.gpkg", "{in}/other_crs.gpkg"], "is not the segments'"),
    (["{layers}/segments.gpkg", "{in}/fractional.gpkg"], ".5 at row 0; keys are whole numbers"),
    (["{layers}/segments.gpkg", "{in}/long_name.gpkg", "-o", "{out}/kept.shp"],
     "a Shapefile cuts column names to 10 characters (plant_height)"),
    (["{layers}/segments.gpkg", "{layers}/points.gpkg", "--key-a", "row"],
     "no key column 'row'"),
    (["{layers}/segments.gpkg", "{layers}/points.gpkg", "--row-spacing", "0"],
     "--row-spacing must be a positive distance"),
]
OUTPUT_PROBLEMS = [
    (["-o", "{out}/kept.csv"], "unknown kind of layer file"),
    (["-o", "{out}/missing/kept.gpkg"], "does not exist"),
    (["-o", "{layers}/points.gpkg"], "is an input"),
    (["-o", "{out}/kept.shp"], "a Shapefile keeps only the date of a timestamp (taken)"),
    (["-o", "{out}/kept.gpkg", "--links", "{out}/links.fgb"], "--links writes a GeoPackage"),
    (["-o", "{out}/kept.gpkg", "--picture", "{out}/field.jpg"], "--picture writes a PNG"),
]


def filled(args, folder, out, layers):
    return [str(a).format(**{"in": folder, "out": out, "layers": layers}) for a in args]


class TestBadInputs:
    @pytest.mark.parametrize(("args", "words"), BAD)
    def test_bad_layers(self, bad_inputs, layers, capsys, args, words):
        folder, out = bad_inputs
        argv = filled(args, folder, out, layers)
        if "-o" not in argv:
            argv += ["-o", str(out / "kept.gpkg")]
        self.assert_refused(argv, out, capsys, words)

    @pytest.mark.parametrize(("args", "words"), OUTPUT_PROBLEMS)
    def test_bad_outputs(self, bad_inputs, layers, capsys, args, words):
        folder, out = bad_inputs
        argv = [str(p) for p in segments_points(layers)] + filled(args, folder, out, layers)
        self.assert_refused(argv, out, capsys, words)

    @staticmethod
    def assert_refused(argv, out, capsys, words):
        assert run_cli(argv) == 1
        captured = capsys.readouterr()
        lines = captured.err.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith("quillmoor merge-layers: ")
        assert words in lines[0]
        assert captured.out == ""
        assert written_files(out) == []

    def test_no_traceback_from_a_fresh_interpreter(self, bad_inputs, layers):
        folder, out = bad_inputs
        result = run_in_subprocess([folder / "multi.gpkg", layers / "points.gpkg", "-o",
                                    out / "kept.gpkg"])
        assert result.returncode == 1
        assert len(result.stderr.strip().splitlines()) == 1
        assert "MultiLineString" in result.stderr and "Traceback" not in result.stderr
        assert written_files(out) == []

    def test_without_the_geo_extra(self, layers, tmp_path):
        # A module set to None in sys.modules cannot be imported.
        result = run_in_subprocess([*segments_points(layers), "-o", tmp_path / "kept.gpkg"],
                                   prelude="import sys; sys.modules['pyogrio'] = None")
        assert result.returncode == 1
        lines = result.stderr.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith("quillmoor merge-layers: ")
        assert lines[0].endswith("GIS layers need pyogrio: pip install 'quillmoor[geo]'")
        assert written_files(tmp_path) == []

    @pytest.mark.parametrize("missing", ["geopandas", "pyogrio", "shapely"])
    def test_each_missing_library_is_named(self, layers, tmp_path, monkeypatch, capsys,
                                           missing):
        monkeypatch.setitem(sys.modules, missing, None)
        assert run_cli([*segments_points(layers), "-o", tmp_path / "kept.gpkg"]) == 1
        err = capsys.readouterr().err
        assert err.strip().endswith(f"GIS layers need {missing}: pip install 'quillmoor[geo]'")
        assert written_files(tmp_path) == []

    def test_geoparquet_without_pyarrow(self, layers, tmp_path, monkeypatch, capsys):
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        assert run_cli([*segments_points(layers), "-o", tmp_path / "kept.parquet"]) == 1
        assert capsys.readouterr().err.strip().endswith(
            "kept.parquet: GeoParquet needs pyarrow: pip install pyarrow")
        assert written_files(tmp_path) == []

    def test_the_package_imports_without_the_geo_extra(self):
        code = ("import sys\n"
                "for name in ('geopandas', 'pyogrio', 'shapely'): sys.modules[name] = None\n"
                "import quillmoor, quillmoor.layers, quillmoor.cli.merge_layers_command\n"
                "import quillmoor.layers.picture\n"
                "print('ok')")
        result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                                env=os.environ.copy(), timeout=300)
        assert result.stdout == "ok\n", result.stderr
