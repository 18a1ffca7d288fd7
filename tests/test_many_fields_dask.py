"""Many fields on a real Dask cluster: two worker processes on the loopback interface."""

import sys

import numpy as np
import pytest

import quillmoor
from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS
from quillmoor.synthetic import make_field

pd = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pytest.importorskip("pytest_timeout")

from quillmoor.dask import merge_fields, merge_partitions, read_fields_parquet  # noqa: E402

# Generous: the cluster starts in about a second on a quiet machine; CI is a busy one.
pytestmark = pytest.mark.timeout(240)

TOLERANCE = 0.05


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None,
        # The scheduler's few HTTP routes on a free port, not on 8787 or beside it.
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def workers(client):
    return {address: info["id"] for address, info in client.scheduler_info()["workers"].items()}


def serial(field):
    return quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                           field.row_information, tolerance=TOLERANCE, num_threads=1)


@pytest.fixture(scope="module")
def fields():
    return [make_field(size, seed=seed) for seed, size in
            enumerate([3000, 800, 12000, 500, 500, 500, 6000])]


def broken(field):
    """The field less its first row record: the engine fails on the first segment."""
    return (field.connected_crop_rows, field.points_in_rows, field.row_information[1:])


def frame_tables(field):
    return {
        "points_in_rows": pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS),
        "row_information": pd.DataFrame(field.row_information, columns=ROW_INFORMATION_COLUMNS),
        "connected_crop_rows": pd.DataFrame(field.connected_crop_rows,
                                            columns=CONNECTION_COLUMNS),
    }


def save_npz(path, field):
    np.savez(path, connected_crop_rows=field.connected_crop_rows,
             points_in_rows=field.points_in_rows, row_information=field.row_information)
    return str(path)


class TestSameAsTheSerialLoop:
    @pytest.mark.parametrize("batch_points", [1, 5000, None])
    def test_arrays_in_memory(self, client, fields, batch_points):
        options = {} if batch_points is None else {"batch_points": batch_points}
        results = merge_fields(fields, client=client, tolerance=TOLERANCE, **options)
        assert len(results) == len(fields)
        for result, field in zip(results, fields):
            assert np.array_equal(result, serial(field))

    def test_paths_frames_and_names(self, client, fields, tmp_path):
        named = {
            "north": save_npz(tmp_path / "north.npz", fields[0]),
            "east": frame_tables(fields[1]),
            "south": fields[2],
        }
        results = merge_fields(named, client=client, tolerance=TOLERANCE)
        assert list(results) == ["north", "east", "south"]
        assert np.array_equal(results["north"], serial(fields[0]))
        assert np.array_equal(results["south"], serial(fields[2]))
        frame = named["east"]["points_in_rows"]
        assert isinstance(results["east"], pd.DataFrame)
        assert np.array_equal(results["east"].to_numpy(), serial(fields[1]))
        assert results["east"].index.isin(frame.index).all()

    def test_the_same_data_given_twice_in_one_call(self, client, fields):
        twice = [fields[3], fields[3], fields[3]]
        results = merge_fields(twice, client=client, tolerance=TOLERANCE, batch_points=1)
        assert all(np.array_equal(result, serial(fields[3])) for result in results)

    def test_without_a_client_in_this_process(self, fields):
        results = merge_fields(fields[:3], tolerance=TOLERANCE)
        assert all(np.array_equal(r, serial(f)) for r, f in zip(results, fields[:3]))

    def test_left_on_the_workers(self, client, fields):
        futures = merge_fields(fields, client=client, tolerance=TOLERANCE, gather=False)
        assert all(isinstance(future, distributed.Future) for future in futures)
        for result, field in zip(client.gather(futures), fields):
            assert np.array_equal(result, serial(field))


class TestFailures:
    @pytest.mark.parametrize("batch_points", [1, 100_000])
    def test_one_failing_field_is_named_and_the_others_complete(self, client, fields,
                                                                batch_points):
        before = workers(client)
        named = {f"good-{i}": field for i, field in enumerate(fields)}
        named["bad"] = broken(fields[4])
        with pytest.raises(quillmoor.MergeError) as raised:
            merge_fields(named, client=client, tolerance=TOLERANCE, batch_points=batch_points)
        error = raised.value
        assert error.field == "bad" and str(error).startswith("field 'bad': ")
        assert "no row record matches base key" in error.engine_message
        if sys.version_info >= (3, 11):  # exception notes
            assert error.__notes__[0].startswith("1 of 8 fields failed; the others were merged")

        results = merge_fields(named, client=client, tolerance=TOLERANCE,
                               batch_points=batch_points, errors="return")
        assert isinstance(results["bad"], quillmoor.MergeError)
        assert results["bad"].field == "bad"
        for i, field in enumerate(fields):
            assert np.array_equal(results[f"good-{i}"], serial(field))
        assert workers(client) == before  # no worker died or was restarted

    def test_a_failed_future_raises_the_merge_error(self, client, fields):
        futures = merge_fields([fields[0], broken(fields[1]), fields[3], fields[4]],
                               client=client, tolerance=TOLERANCE, gather=False,
                               batch_points=100_000)
        with pytest.raises(quillmoor.MergeError, match="field 1: connection record"):
            futures[1].result(timeout=120)
        assert np.array_equal(futures[2].result(timeout=120), serial(fields[3]))

    def test_bad_inputs_arrive_as_merge_errors_naming_the_field(self, client, fields, tmp_path):
        missing = str(tmp_path / "gone.npz")
        narrow = (fields[0].connected_crop_rows, fields[0].points_in_rows[:, :2],
                  fields[0].row_information)
        results = merge_fields([missing, narrow, fields[1]], client=client, errors="return")
        assert results[0].field == "gone" and "gone.npz: no such file" in str(results[0])
        assert results[1].field == 1 and "points_in_rows has 2 columns" in str(results[1])
        untouched = quillmoor.merge(fields[1].connected_crop_rows, fields[1].points_in_rows,
                                    fields[1].row_information)  # tolerance 0, as given
        assert np.array_equal(results[2], untouched)

    def test_merge_error_survives_the_trip_from_a_worker(self, client):
        error = client.submit(quillmoor.MergeError, "connection record 2: no row", "west",
                              pure=False).result(timeout=60)
        assert (type(error), error.field, error.engine_message) == (
            quillmoor.MergeError, "west", "connection record 2: no row")


def write_dataset(root, fields, files_per_field):
    """A Parquet dataset partitioned by field, each field in ``files_per_field`` files."""
    for name, field in fields.items():
        folder = root / f"field={name}"
        folder.mkdir(parents=True)
        points = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS)
        points["sensor"] = [f"{name}-{i % 3}" for i in range(len(points))]
        for part, chunk in enumerate(np.array_split(np.arange(len(points)), files_per_field)):
            points.iloc[chunk].to_parquet(folder / f"part-{part}.parquet", index=False)


def records_with_field(fields, kind, columns):
    tables = []
    for name, field in fields.items():
        table = pd.DataFrame(getattr(field, kind), columns=columns)
        table["field"] = name
        tables.append(table)
    return pd.concat(tables, ignore_index=True)


class TestDaskDataFrame:
    @pytest.fixture(scope="class")
    @classmethod
    def farm(cls):
        return {name: make_field(2000 + 700 * i, seed=40 + i)
                for i, name in enumerate(["a", "b", "c"])}

    def tables(self, farm):
        return (records_with_field(farm, "row_information", ROW_INFORMATION_COLUMNS),
                records_with_field(farm, "connected_crop_rows", CONNECTION_COLUMNS))

    def check(self, merged, farm):
        assert set(merged["field"].astype(str)) == set(farm)
        for name, field in farm.items():
            mine = merged[merged["field"].astype(str) == name]
            assert np.array_equal(mine[list(POINT_COLUMNS)].to_numpy(), serial(field))
            assert (mine["sensor"].str.split("-").str[0] == name).all()

    def test_fields_in_several_files_read_one_partition_each(self, client, farm, tmp_path):
        pytest.importorskip("pyarrow")
        write_dataset(tmp_path, farm, files_per_field=2)
        points = read_fields_parquet(tmp_path)
        assert points.npartitions == len(farm)
        rows, connections = self.tables(farm)
        merged = merge_partitions(connections, points, rows, tolerance=TOLERANCE)
        self.check(client.compute(merged).result(timeout=120), farm)

    def test_categorical_field_column_from_dask_read_parquet(self, client, farm, tmp_path):
        pytest.importorskip("pyarrow")
        dd = pytest.importorskip("dask.dataframe")
        write_dataset(tmp_path, farm, files_per_field=1)
        points = dd.read_parquet(tmp_path, split_row_groups=False)
        rows, connections = self.tables(farm)
        merged = client.compute(merge_partitions(connections, points, rows,
                                                 tolerance=TOLERANCE)).result(timeout=120)
        self.check(merged, farm)
        assert merged.dtypes.to_dict() == points.dtypes.to_dict()

    def test_fields_mixed_in_partitions_are_grouped(self, client, farm):
        dd = pytest.importorskip("dask.dataframe")
        frames = []
        for name, field in farm.items():
            frame = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS)
            frame["sensor"] = f"{name}-0"
            frame["field"] = name
            frames.append(frame)
        # Two whole fields in the first partition, one in the second.
        first = pd.concat(frames[:2], ignore_index=True)
        points = dd.from_pandas(pd.concat([first, frames[2]], ignore_index=True),
                                npartitions=1).repartition(divisions=[0, len(first),
                                                                      len(first) + len(frames[2]) - 1])
        rows, connections = self.tables(farm)
        self.check(merge_partitions(connections, points, rows, tolerance=TOLERANCE)
                   .compute(), farm)

    def test_a_field_split_over_partitions_is_refused(self, client, farm):
        dd = pytest.importorskip("dask.dataframe")
        frame = pd.DataFrame(farm["a"].points_in_rows, columns=POINT_COLUMNS)
        frame["field"] = "a"
        points = dd.from_pandas(frame, npartitions=2)
        rows, connections = self.tables(farm)
        with pytest.raises(ValueError, match="field 'a' lie in more than one partition"):
            merge_partitions(connections, points, rows)

    def test_a_failing_field_names_itself(self, client, farm):
        dd = pytest.importorskip("dask.dataframe")
        frame = pd.DataFrame(farm["b"].points_in_rows, columns=POINT_COLUMNS)
        frame["field"] = "b"
        rows, connections = self.tables(farm)
        rows = rows[rows["field"] != "b"].copy()
        merged = merge_partitions(connections, dd.from_pandas(frame, npartitions=1), rows)
        with pytest.raises(quillmoor.MergeError, match="field 'b': no row records"):
            client.compute(merged).result(timeout=120)


class TestCommandLineOnTheCluster:
    def test_merge_many_by_scheduler_address(self, client, fields, tmp_path, capsys):
        from quillmoor.__main__ import main

        source = tmp_path / "farm"
        source.mkdir()
        for i in range(3):
            save_npz(source / f"f{i}.npz", fields[i])
        np.savez(source / "bad.npz", **dict(zip(
            ("connected_crop_rows", "points_in_rows", "row_information"), broken(fields[3]))))
        address = client.scheduler.address
        status = main(["merge-many", str(source), "-o", str(tmp_path / "out"),
                       "--scheduler", address, "--tolerance", str(TOLERANCE)])
        assert status == 1
        err = capsys.readouterr().err
        assert "field 'bad': connection record" in err and "1 of 4 fields failed" in err
        for i in range(3):
            assert np.array_equal(np.load(tmp_path / "out" / f"f{i}.npy"), serial(fields[i]))
        assert not (tmp_path / "out" / "bad.npy").exists()
