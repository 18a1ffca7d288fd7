"""A farm written by the workers to an S3 store (moto's server on the loopback
interface, spoken to by s3fs) and to folders: results identical to the serial loop's,
a worker killed mid-run, resumed runs, and no partial result left anywhere."""

import io
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import quillmoor
from farm_crash import KillsItsWorker, kills_recorded
from quillmoor.fields.results import FieldSummary
from quillmoor.synthetic import make_field

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")
distributed = pytest.importorskip("distributed")
s3fs = pytest.importorskip("s3fs")
pytest.importorskip("moto.server")
pytest.importorskip("pytest_timeout")

from quillmoor.dask import loopback_cluster, merge_fields  # noqa: E402

# Generous: worker restarts and a server start on a busy CI machine.
pytestmark = pytest.mark.timeout(300)

TOLERANCE = 0.05
FIELDS = {f"plot-{seed}": make_field(6_000, seed=seed) for seed in range(6)}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@pytest.fixture(scope="module")
def s3_options(tmp_path_factory):
    """moto's S3 server in a process of its own; the storage options that reach it."""
    port = free_port()
    log = (tmp_path_factory.mktemp("moto") / "server.log").open("w")
    server = subprocess.Popen(
        [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
        stdout=log, stderr=subprocess.STDOUT,
    )
    endpoint = f"http://127.0.0.1:{port}"
    options = {"key": "testing", "secret": "testing", "skip_instance_cache": True,
               "client_kwargs": {"endpoint_url": endpoint, "region_name": "eu-west-1"}}
    deadline = time.monotonic() + 120
    while True:  # wait for the server to answer, not for a fixed time
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if server.poll() is not None or time.monotonic() > deadline:
                server.kill()
                pytest.fail(f"moto's server did not start; see {log.name}")
            time.sleep(0.2)
    yield options
    server.terminate()
    server.wait(timeout=60)
    log.close()


@pytest.fixture
def bucket(s3_options, request):
    fs = s3fs.S3FileSystem(**s3_options)
    name = "farm-" + request.node.name.lower().replace("_", "-")[:40].strip("-")
    fs.mkdir(name)
    return fs, name


@pytest.fixture(scope="module")
def client():
    import dask

    # One retry for a task whose worker died; one task at a time on each worker, so a
    # killed worker takes only the task that killed it with it.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1,
                          "distributed.scheduler.worker-saturation": 1.0}):
        with loopback_cluster(2) as cluster, distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def serial_results(tmp_path_factory):
    """The serial loop's files, written in this process: what every run must match."""
    folder = tmp_path_factory.mktemp("serial")
    summaries = merge_fields(FIELDS, tolerance=TOLERANCE, output=folder)
    return {name: Path(s.written).read_bytes() for name, s in summaries.items()}


def upload_fields(fs, bucket_name):
    """The fields as .npz objects, and one as a folder of Parquet and .npy tables."""
    urls = {}
    for name, field in FIELDS.items():
        if name == "plot-5":
            continue
        buffer = io.BytesIO()
        np.savez(buffer, connected_crop_rows=field.connected_crop_rows,
                 points_in_rows=field.points_in_rows, row_information=field.row_information)
        fs.pipe(f"{bucket_name}/in/{name}.npz", buffer.getvalue())
        urls[name] = f"s3://{bucket_name}/in/{name}.npz"
    field = FIELDS["plot-5"]
    for table in ("connected_crop_rows", "points_in_rows", "row_information"):
        buffer = io.BytesIO()
        np.save(buffer, getattr(field, table))
        fs.pipe(f"{bucket_name}/in/plot-5/{table}.npy", buffer.getvalue())
    urls["plot-5"] = f"s3://{bucket_name}/in/plot-5"
    return urls


def stored(fs, bucket_name, prefix="out"):
    """Every object under the prefix, by key relative to it: bytes and ETag."""
    root = f"{bucket_name}/{prefix}/"
    fs.invalidate_cache()  # written by other processes since the last listing
    return {path[len(root):]: (fs.cat_file(path), fs.info(path)["ETag"])
            for path in fs.find(root)}


def check_summaries(summaries, skipped=()):
    assert list(summaries) == list(FIELDS)  # none missing, in order
    for name, summary in summaries.items():
        assert isinstance(summary, FieldSummary), (name, summary)
        assert summary.name == name
        assert summary.skipped == (name in skipped)
        if not summary.skipped:
            assert summary.points_in == FIELDS[name].n_points
            assert summary.records == len(FIELDS[name].connected_crop_rows)
            assert 0 < summary.points_kept < summary.points_in


class TestObjectStore:
    def test_workers_write_what_the_serial_loop_writes_and_a_resume_rewrites_nothing(
        self, client, bucket, s3_options, serial_results
    ):
        fs, name = bucket
        sources = upload_fields(fs, name)
        output = f"s3://{name}/out"
        summaries = merge_fields(sources, client=client, tolerance=TOLERANCE, output=output,
                                 storage_options=s3_options, batch_points=1)
        check_summaries(summaries)
        assert summaries["plot-0"].written == f"s3://{name}/out/plot-0.npy"
        first = stored(fs, name)
        assert {key: data for key, (data, _) in first.items()} == {
            f"{field}.npy": data for field, data in serial_results.items()
        }
        # The results as quillmoor.merge gives them, read back.
        kept = np.load(io.BytesIO(first["plot-5.npy"][0]))
        field = FIELDS["plot-5"]
        assert np.array_equal(kept, quillmoor.merge(
            field.connected_crop_rows, field.points_in_rows, field.row_information,
            tolerance=TOLERANCE))

        again = merge_fields(sources, client=client, tolerance=TOLERANCE, output=output,
                             storage_options=s3_options, resume=True)
        check_summaries(again, skipped=set(FIELDS))
        assert stored(fs, name) == first  # same bytes, same objects: nothing rewritten

    def test_a_worker_killed_once_is_retried_and_the_farm_is_complete(
        self, client, bucket, s3_options, serial_results, tmp_path
    ):
        fs, name = bucket
        sources = upload_fields(fs, name)
        sources["plot-2"] = killer = KillsItsWorker(FIELDS["plot-2"], tmp_path, times=1)
        summaries = merge_fields(sources, client=client, tolerance=TOLERANCE,
                                 output=f"s3://{name}/out", storage_options=s3_options,
                                 batch_points=1)
        assert kills_recorded(killer.marker) == 1
        check_summaries(summaries)
        assert {k: d for k, (d, _) in stored(fs, name).items()} == {
            f"{field}.npy": data for field, data in serial_results.items()
        }

    def test_a_field_whose_worker_keeps_dying_is_named_and_a_resume_completes_the_farm(
        self, client, bucket, s3_options, serial_results, tmp_path
    ):
        fs, name = bucket
        sources = upload_fields(fs, name)
        sources["plot-3"] = killer = KillsItsWorker(FIELDS["plot-3"], tmp_path, times=2)
        output = f"s3://{name}/out"
        outcomes = merge_fields(sources, client=client, tolerance=TOLERANCE, output=output,
                                storage_options=s3_options, batch_points=1, errors="return")
        assert kills_recorded(killer.marker) == 2
        assert list(outcomes) == list(FIELDS)  # never silently missing
        failed = {n for n, o in outcomes.items() if isinstance(o, quillmoor.MergeError)}
        assert "plot-3" in failed
        assert "KilledWorker" in str(outcomes["plot-3"])
        assert str(outcomes["plot-3"]).startswith("field 'plot-3': ")
        before = stored(fs, name)
        # Every field reported done was written. A field reported failed may have been
        # written too (a worker's death can take a finished task's report with it), but
        # whatever is there is complete: the serial loop's bytes, and no other object.
        assert {f"{n}.npy" for n in FIELDS if n not in failed} <= set(before), outcomes
        assert all(data == serial_results[k[:-4]] for k, (data, _) in before.items())

        # The night's rerun: the fields written are skipped, the others completed.
        resumed = merge_fields(sources, client=client, tolerance=TOLERANCE, output=output,
                               storage_options=s3_options, batch_points=1, resume=True)
        check_summaries(resumed, skipped={k[:-4] for k in before})
        assert not resumed["plot-3"].skipped
        after = stored(fs, name)
        assert {k: v for k, v in after.items() if k in before} == before
        assert {k: d for k, (d, _) in after.items()} == {
            f"{field}.npy": data for field, data in serial_results.items()
        }

    def test_merge_fields_with_errors_raise_names_a_field_that_cannot_be_read(
        self, client, bucket, s3_options
    ):
        fs, name = bucket
        with pytest.raises(quillmoor.MergeError, match="field 'gone': .*no such file"):
            merge_fields({"gone": f"s3://{name}/in/gone.npz"}, client=client,
                          output=f"s3://{name}/out", storage_options=s3_options)
        assert fs.find(f"{name}/out") == []


    def test_a_dataset_partitioned_by_field_read_merged_and_written_back_by_dask(
        self, client, bucket, s3_options
    ):
        from quillmoor.dask import merge_partitions, read_fields_parquet
        from quillmoor.synthetic import (
            CONNECTION_COLUMNS,
            POINT_COLUMNS,
            ROW_INFORMATION_COLUMNS,
        )

        fs, name = bucket
        chosen = ["plot-0", "plot-1", "plot-2"]
        def frame_of(table, columns):
            return pd.concat([pd.DataFrame(getattr(FIELDS[f], table), columns=columns)
                              .assign(field=f) for f in chosen], ignore_index=True)
        points = frame_of("points_in_rows", POINT_COLUMNS)
        rows = frame_of("row_information", ROW_INFORMATION_COLUMNS)
        connections = frame_of("connected_crop_rows", CONNECTION_COLUMNS)
        points.to_parquet(f"s3://{name}/points", partition_cols=["field"],
                          storage_options=s3_options, index=False)

        read = read_fields_parquet(f"s3://{name}/points", storage_options=s3_options)
        merged = merge_partitions(connections, read, rows, tolerance=TOLERANCE)
        client.compute(merged.to_parquet(f"s3://{name}/out", partition_on=["field"],
                                         storage_options=s3_options, compute=False)).result()

        back = pd.read_parquet(f"s3://{name}/out", storage_options=s3_options)
        for f in chosen:
            mine = back[back["field"].astype(str) == f].drop(columns="field")
            expected = quillmoor.merge(FIELDS[f].connected_crop_rows, FIELDS[f].points_in_rows,
                                       FIELDS[f].row_information, tolerance=TOLERANCE)
            assert np.array_equal(mine.to_numpy(), expected), f


class TestFolders:
    def test_a_partial_file_is_never_taken_for_a_result_and_resume_fills_the_gaps(
        self, tmp_path, serial_results
    ):
        out = tmp_path / "out"
        merge_fields(FIELDS, tolerance=TOLERANCE, output=out)
        (out / "plot-1.npy").unlink()
        # What a crash in the middle of a write leaves: a temporary, never a result.
        (out / ".plot-1.npy.0123.partial").write_bytes(b"\x93NUMPY cut short")
        times = {p.name: p.stat().st_mtime_ns for p in out.glob("*.npy")}
        resumed = merge_fields(FIELDS, tolerance=TOLERANCE, output=out, resume=True)
        assert [n for n, s in resumed.items() if not s.skipped] == ["plot-1"]
        assert {p.name: p.stat().st_mtime_ns for p in out.glob("*.npy")
                if p.name != "plot-1.npy"} == times
        assert {p.name: p.read_bytes() for p in out.glob("*.npy")} == {
            f"{n}.npy": d for n, d in serial_results.items()
        }

    def test_two_fields_of_one_name_are_refused_before_any_is_written(self, tmp_path):
        for folder in ("a", "b"):
            (tmp_path / folder).mkdir()
            field = FIELDS["plot-0"]
            np.savez(tmp_path / folder / "plot.npz", connected_crop_rows=field.connected_crop_rows,
                     points_in_rows=field.points_in_rows, row_information=field.row_information)
        with pytest.raises(ValueError, match="would both be written as 'plot'"):
            merge_fields([tmp_path / "a" / "plot.npz", tmp_path / "b" / "plot.npz"],
                         output=tmp_path / "out")
        assert not (tmp_path / "out").exists()

    def test_without_output_results_come_back_and_resume_needs_an_output(self):
        results = merge_fields({"a": FIELDS["plot-0"]}, tolerance=TOLERANCE)
        assert isinstance(results["a"], np.ndarray)
        with pytest.raises(ValueError, match="give output"):
            merge_fields({"a": FIELDS["plot-0"]}, resume=True)

    def test_frames_are_written_as_parquet_with_every_column(self, tmp_path):
        field = FIELDS["plot-0"]
        points = pd.DataFrame(field.points_in_rows[:, :4], columns=["key_a", "key_b", "x", "y"])
        points["label"] = [f"p{i}" for i in range(len(points))]
        source = {"connected_crop_rows": field.connected_crop_rows, "points_in_rows": points,
                  "row_information": field.row_information}
        summary = merge_fields({"f": source}, tolerance=TOLERANCE, output=tmp_path)["f"]
        written = pd.read_parquet(summary.written)
        expected = quillmoor.merge_frame(field.connected_crop_rows, points,
                                         field.row_information, tolerance=TOLERANCE)
        assert written.equals(expected.reset_index(drop=True))


class TestUrlsNoOneCanOpen:
    @pytest.mark.parametrize("url, package", [("gs://bucket/out", "gcsfs"),
                                              ("az://container/out", "adlfs")])
    def test_a_scheme_without_its_package_is_refused_naming_it(self, url, package, tmp_path):
        pytest.importorskip("fsspec")
        try:
            __import__(package)
            pytest.skip(f"{package} is installed")
        except ImportError:
            pass
        with pytest.raises(ValueError, match=f"pip install {package}"):
            merge_fields({"a": FIELDS["plot-0"]}, output=url)
        run = run_cli(["merge-many", str(tmp_path), "-o", url], tmp_path)
        assert run.returncode == 1
        assert f"pip install {package}" in run.stderr and "saved" not in run.stdout
        assert not any(tmp_path.iterdir())  # no local folder named after the scheme

    def test_a_url_with_a_slash_missing_is_no_local_folder(self, tmp_path):
        np.savez(tmp_path / "a.npz", connected_crop_rows=FIELDS["plot-0"].connected_crop_rows,
                 points_in_rows=FIELDS["plot-0"].points_in_rows,
                 row_information=FIELDS["plot-0"].row_information)
        run = run_cli(["merge-many", str(tmp_path), "-o", "s3:/bucket/out"], tmp_path)
        assert run.returncode == 1 and "s3:// URL with a slash missing" in run.stderr
        assert not (tmp_path / "s3:").exists()


def run_cli(args, cwd, extra_env=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p),
               **(extra_env or {}))
    return subprocess.run([sys.executable, "-m", "quillmoor", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=240, env=env)


class TestCommandLine:
    def test_merge_many_from_and_to_s3_then_resume(self, bucket, s3_options, serial_results,
                                                   tmp_path):
        fs, name = bucket
        upload_fields(fs, name)
        fs.rm(f"{name}/in/plot-5", recursive=True)  # one kind of field per folder
        env_options = s3_options["client_kwargs"]
        env = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
               "AWS_ENDPOINT_URL": env_options["endpoint_url"],
               "AWS_DEFAULT_REGION": env_options["region_name"]}
        command = ["merge-many", f"s3://{name}/in", "-o", f"s3://{name}/out",
                   "--tolerance", str(TOLERANCE), "--no-progress"]
        first = run_cli(command, tmp_path, env)
        assert first.returncode == 0, first.stderr
        assert "merged 5 of 5 fields" in first.stdout
        written = stored(fs, name)
        assert {k: d for k, (d, _) in written.items()} == {
            f"{n}.npy": d for n, d in serial_results.items() if n != "plot-5"
        }
        fs.rm(f"{name}/out/plot-4.npy")
        again = run_cli([*command, "--resume"], tmp_path, env)
        assert again.returncode == 0, again.stderr
        assert "merged 1 of 5 fields (4 already there, skipped)" in again.stdout
        assert stored(fs, name) | {"plot-4.npy": None} == written | {"plot-4.npy": None}
        assert stored(fs, name)["plot-4.npy"][0] == serial_results["plot-4"]
        assert not any(tmp_path.iterdir())  # nothing written locally
