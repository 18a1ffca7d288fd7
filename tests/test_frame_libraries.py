"""merge_frame across table libraries: polars and Arrow frames come back as themselves,
every column as it was, and the merge reads only the points' key, x and y columns."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

import quillmoor
from quillmoor.frames import frame_merge
from quillmoor.frames.frame_merge import kept_positions, merge_frame_field
from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS
from quillmoor.synthetic import make_field

TOLERANCE = 0.05


@pytest.fixture(scope="module")
def field():
    return make_field(3000, seed=5)


@pytest.fixture(scope="module")
def expected(field):
    """Positions of the kept rows, from the array merge of the points plus a row number."""
    numbered = np.column_stack([field.points_in_rows[:, :4], np.arange(field.n_points)])
    merged = quillmoor.merge(field.connected_crop_rows, numbered, field.row_information,
                             tolerance=TOLERANCE, num_threads=1)
    return merged[:, 4].astype(np.intp)


def columns_of(table, names):
    return {name: table[:, i] for i, name in enumerate(names)}


def extras(n):
    """Columns float64 cannot carry: text, nanosecond times, integers with gaps, labels."""
    return {
        "sensor": [f"s-{i % 13}-é" for i in range(n)],
        "taken": (1_700_000_000_000_000_001 + np.arange(n, dtype=np.int64) * 7),
        "count": [None if i % 5 == 0 else 2**60 + i for i in range(n)],
        "kind": [("left", "right", "middle")[i % 3] for i in range(n)],
    }


class TestPolars:
    pl = pytest.importorskip("polars")

    def tables(self, field):
        pl = self.pl
        n = field.n_points
        more = extras(n)
        points = pl.DataFrame(columns_of(field.points_in_rows, POINT_COLUMNS)).with_columns(
            pl.Series("sensor", more["sensor"]),
            pl.Series("taken", more["taken"]).cast(pl.Datetime("ns")),
            pl.Series("count", more["count"], dtype=pl.Int64),
            pl.Series("kind", more["kind"], dtype=pl.Categorical),
        )
        rows = pl.DataFrame(columns_of(field.row_information, ROW_INFORMATION_COLUMNS))
        connections = pl.DataFrame(columns_of(field.connected_crop_rows, CONNECTION_COLUMNS))
        return points, rows, connections

    def test_round_trip_keeps_every_column_dtype_and_value(self, field, expected):
        points, rows, connections = self.tables(field)
        before = points.clone()
        kept = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE,
                                     num_threads=2)
        assert isinstance(kept, self.pl.DataFrame)
        assert kept.schema == points.schema
        assert kept.equals(points[expected])
        assert points.equals(before)  # the input is left alone
        array_merge = quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                                      field.row_information, tolerance=TOLERANCE)
        assert np.array_equal(kept.select(POINT_COLUMNS).to_numpy(), array_merge)

    def test_nulls_end_neighbour_lists_and_integer_keys_merge(self, field, expected):
        pl = self.pl
        points, rows, connections = self.tables(field)
        # Polars' own missing values instead of NaN, and integer keys with gaps.
        connections = connections.with_columns(pl.all().fill_nan(None))
        points = points.with_columns(pl.col("key_a").cast(pl.Int32),
                                     pl.col("key_b").cast(pl.UInt16))
        rows = rows.with_columns(pl.col("key_a").cast(pl.Int64))
        kept = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE)
        assert kept.equals(points[expected])

    def test_a_point_with_a_null_key_is_unassigned(self, field, expected):
        pl = self.pl
        points, rows, connections = self.tables(field)
        points = points.with_columns(
            pl.when(pl.int_range(pl.len()) == 0).then(None).otherwise(pl.col("key_a"))
            .alias("key_a"))
        seen = []
        kept = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE,
                                     unassigned=seen.append)
        assert seen[0].unassigned == 1 and seen[0].nan_key == 1
        assert 0 not in kept["taken"].to_numpy()  # no stray row sneaks in
        assert len(kept) <= len(expected)

    def test_plain_tables_beside_a_polars_frame_and_no_records(self, field, expected):
        points, _, connections = self.tables(field)
        kept = quillmoor.merge_frame(field.connected_crop_rows, points, field.row_information,
                                     tolerance=TOLERANCE)
        assert kept.equals(points[expected])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", quillmoor.UnassignedPointsWarning)
            empty = quillmoor.merge_frame(connections.head(0), points, field.row_information)
        assert empty.height == 0 and empty.schema == points.schema

    def test_mistakes_are_named(self, field):
        pl = self.pl
        points, rows, connections = self.tables(field)
        with pytest.raises(KeyError, match=r"points has no column 'y'.*columns="):
            quillmoor.merge_frame(connections, points.drop("y"), rows)
        with pytest.raises(KeyError, match=r"row_information has no column 'p2_x'"):
            quillmoor.merge_frame(connections, points, rows.drop("p2_x"))
        with pytest.raises(TypeError, match=r"points\['x'\] must hold numbers, got dtype String"):
            quillmoor.merge_frame(connections, points.with_columns(pl.col("x").cast(pl.String)),
                                  rows)
        wide = points.with_columns(pl.col("key_b").cast(pl.Int64))
        wide = wide.with_columns(
            pl.when(pl.int_range(pl.len()) == 7).then(2**53 + 1).otherwise(pl.col("key_b"))
            .alias("key_b"))
        with pytest.raises(ValueError, match=r"points\['key_b'\] holds 9007199254740993 "
                                             r"at row 7, beyond 2\*\*53"):
            quillmoor.merge_frame(connections, wide, rows)
        with pytest.raises(TypeError, match=r"LazyFrame \(call .collect\(\) first\)"):
            quillmoor.merge_frame(connections, points.lazy(), rows)


class TestArrow:
    pa = pytest.importorskip("pyarrow")

    def tables(self, field):
        pa = self.pa
        n = field.n_points
        more = extras(n)
        points = pa.table(columns_of(field.points_in_rows, POINT_COLUMNS))
        points = points.append_column("sensor", pa.array(more["sensor"]))
        points = points.append_column("taken", pa.array(more["taken"]).cast(pa.timestamp("ns")))
        points = points.append_column("count", pa.array(more["count"], pa.int64()))
        points = points.append_column("kind", pa.array(more["kind"]).dictionary_encode())
        points = points.replace_schema_metadata({"survey": "2026"})
        rows = pa.table(columns_of(field.row_information, ROW_INFORMATION_COLUMNS))
        connections = pa.table(columns_of(field.connected_crop_rows, CONNECTION_COLUMNS))
        return points, rows, connections

    def test_round_trip_keeps_schema_metadata_and_values(self, field, expected):
        points, rows, connections = self.tables(field)
        kept = quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE,
                                     num_threads=2)
        assert isinstance(kept, self.pa.Table)
        assert kept.schema.equals(points.schema, check_metadata=True)
        assert kept.equals(points.take(expected))
        array_merge = quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                                      field.row_information, tolerance=TOLERANCE)
        merged_floats = np.column_stack([kept.column(c).to_numpy() for c in POINT_COLUMNS])
        assert np.array_equal(merged_floats, array_merge)

    def test_chunks_nulls_and_record_batches(self, field, expected):
        pa = self.pa
        points, rows, connections = self.tables(field)
        # Several chunks per column; missing neighbour keys as nulls, not NaN.
        chunked = pa.concat_tables([points.slice(0, 1000), points.slice(1000)])
        assert chunked.column("x").num_chunks == 2
        nulls = pa.table({
            name: pa.array(connections.column(name).to_numpy(), from_pandas=True)
            for name in connections.column_names
        })
        assert nulls.column("n1_key_a").null_count > 0
        kept = quillmoor.merge_frame(nulls, chunked, rows, tolerance=TOLERANCE)
        assert kept.equals(chunked.take(expected))
        batch = points.to_batches(max_chunksize=len(points))[0]
        kept_batch = quillmoor.merge_frame(connections, batch, rows, tolerance=TOLERANCE)
        assert isinstance(kept_batch, pa.RecordBatch)
        assert kept_batch.equals(batch.take(expected))

    def test_mistakes_are_named(self, field):
        pa = self.pa
        points, rows, connections = self.tables(field)
        with pytest.raises(KeyError, match=r"points has no column 'key_a'"):
            quillmoor.merge_frame(connections, points.drop_columns(["key_a"]), rows)
        with pytest.raises(KeyError, match=r"connected_crop_rows has no column 'key_b'"):
            quillmoor.merge_frame(connections.drop_columns(["key_b"]), points, rows)
        texts = points.set_column(2, "x", points.column("x").cast(pa.string()))
        with pytest.raises(TypeError, match=r"points\['x'\] must hold numbers, got dtype string"):
            quillmoor.merge_frame(connections, texts, rows)
        keys = points.column("key_a").cast(pa.int64()).to_numpy().copy()
        keys[9] = -(2**53) - 1
        wide = points.set_column(0, "key_a", pa.array(keys))
        with pytest.raises(ValueError, match=r"points\['key_a'\] holds -9007199254740993 "
                                             r"at row 9, beyond 2\*\*53"):
            quillmoor.merge_frame(connections, wide, rows)


def test_only_the_four_columns_are_read_and_float64_ones_in_place(field, monkeypatch):
    """Every library hands its float64 key and coordinate columns over without a copy,
    and nothing of the other columns reaches the engine."""
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    handed = []
    real = frame_merge.argmerge

    def spy(connections, points, rows, **options):
        handed.append(points)
        return real(connections, points, rows, **options)

    monkeypatch.setattr(frame_merge, "argmerge", spy)
    names = columns_of(field.points_in_rows, POINT_COLUMNS)
    pandas_points = pd.DataFrame(names)
    polars_points = pl.DataFrame(names)
    arrow_points = pa.table(names)
    for points, storage in (
        (pandas_points, lambda c: pandas_points[c].to_numpy()),
        (polars_points, lambda c: polars_points[c].to_numpy()),
        (arrow_points, lambda c: arrow_points.column(c).chunk(0).to_numpy()),
    ):
        quillmoor.merge_frame(field.connected_crop_rows, points, field.row_information)
        columns = handed.pop()
        assert isinstance(columns, list) and len(columns) == 4
        for column, name in zip(columns, POINT_COLUMNS[:4]):
            assert column.dtype == np.float64
            assert np.shares_memory(column, storage(name)), (type(points), name)


class TestNamedField:
    """The many-fields path: errors and warnings name the field they are about."""

    pd = pytest.importorskip("pandas")

    def tables(self, field):
        pd = self.pd
        return (pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS),
                pd.DataFrame(field.row_information, columns=ROW_INFORMATION_COLUMNS),
                pd.DataFrame(field.connected_crop_rows, columns=CONNECTION_COLUMNS))

    def test_refusals_and_warnings_name_the_field(self, field):
        points, rows, connections = self.tables(field)
        options = dict(tolerance=TOLERANCE, num_threads=1, columns=None, field="north")
        with pytest.raises(quillmoor.MergeError, match=r"^field 'north': .*no row record") as e:
            kept_positions(points, rows.iloc[1:], connections, **options)
        assert e.value.field == "north"
        stray = points.assign(key_a=points["key_a"].where(points.index != 3))
        with pytest.raises(quillmoor.UnassignedPointsError) as raised:
            kept_positions(stray, rows, connections, unassigned="raise", **options)
        assert raised.value.field == "north" and raised.value.unassigned == 1
        with pytest.warns(quillmoor.UnassignedPointsWarning, match="^field 'north': 1 of") as w:
            merge_frame_field(stray, rows, connections, **options)
        assert w[0].filename == __file__  # points at the caller, not at the package

    def test_note_of_a_bad_base_key_is_kept(self, field):
        points, rows, connections = self.tables(field)
        connections.loc[0, "key_a"] = 0.5
        with pytest.raises(quillmoor.MergeError) as raised:
            kept_positions(points, rows, connections, tolerance=0.0, num_threads=1,
                           columns=None, field="north")
        assert str(raised.value).startswith("field 'north': ")
        assert any("0.5, read as 0" in note for note in raised.value.__notes__)


def test_polars_and_arrow_need_no_pandas(field, tmp_path):
    """In a process where pandas cannot be imported, polars and Arrow frames merge."""
    pytest.importorskip("polars")
    pytest.importorskip("pyarrow")
    script = tmp_path / "no_pandas.py"
    script.write_text(
        "import sys\n"
        "class NoPandas:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.partition('.')[0] in ('pandas', 'geopandas'):\n"
        "            raise ModuleNotFoundError(f'no module named {name!r}', name=name)\n"
        "sys.meta_path.insert(0, NoPandas())\n"
        "import numpy as np, polars as pl, pyarrow as pa, quillmoor\n"
        "from quillmoor.synthetic import make_field, POINT_COLUMNS as P, "
        "ROW_INFORMATION_COLUMNS as R, CONNECTION_COLUMNS as C\n"
        "f = make_field(2000, seed=3)\n"
        "cols = lambda t, names: {n: t[:, i] for i, n in enumerate(names)}\n"
        "want = quillmoor.merge(f.connected_crop_rows, f.points_in_rows, f.row_information,"
        " tolerance=0.05)\n"
        "for lib in (pl.DataFrame, pa.table):\n"
        "    kept = quillmoor.merge_frame(lib(cols(f.connected_crop_rows, C)),"
        " lib(cols(f.points_in_rows, P)), lib(cols(f.row_information, R)), tolerance=0.05)\n"
        "    got = np.column_stack([np.asarray(kept[n]) for n in P])\n"
        "    assert np.array_equal(got, want), lib\n"
        "assert 'pandas' not in sys.modules\n"
        "print('merged', len(want))\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("merged ")
