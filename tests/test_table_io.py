"""The one reader and the one writer: writes that are interrupted or killed leave the
earlier file as it was and are cleaned up by the next write, local files and fsspec
URLs alike; one-line messages that name the file; column names of written tables; the
byte counter on a terminal and nothing on a pipe."""

import contextlib
import gc
import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
from collections.abc import Iterator

import numpy as np
import pytest

import quillmoor
from quillmoor.__main__ import main
from quillmoor.synthetic import POINT_COLUMNS, make_field
from quillmoor.tables import npy_stream
from quillmoor.tables.files import (
    TableFileError,
    committed_path,
    read_field,
    read_table,
    write_field,
    write_table,
)
from quillmoor.tables.temporaries import target_of, temporary_name
from test_progress_terminal import ESCAPE, child_environment, screen_lines

TABLES = ("connected_crop_rows", "points_in_rows", "row_information")
TOLERANCE = 0.05


@contextlib.contextmanager
def catch_unraisable() -> Iterator[list[BaseException | None]]:
    """The exceptions raised where nobody could catch them (in __del__, say)."""
    caught: list[BaseException | None] = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: caught.append(unraisable.exc_value)
    try:
        yield caught
    finally:
        sys.unraisablehook = previous


@pytest.fixture(scope="module")
def field():
    return make_field(4000, seed=11)


def merged(field):
    return quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                           field.row_information, tolerance=TOLERANCE)


def save_field(path, field, names=None):
    return write_field(path, {t: getattr(field, t) for t in TABLES}, point_columns=names)


def entries(folder):
    return sorted(os.listdir(folder))


def child_env():
    return dict(os.environ,
                PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))


def interrupt_at_chunk(monkeypatch, number, error=KeyboardInterrupt):
    """Make the ``number``-th chunk of the next .npy data raise ``error`` (chunks of 1 kB)."""
    monkeypatch.setattr(npy_stream, "CHUNK_BYTES", 1024)
    real = npy_stream.write_chunk
    written = []

    def chunk_writer(stream, chunk):
        written.append(len(chunk))
        if len(written) == number:
            raise error()
        real(stream, chunk)

    monkeypatch.setattr(npy_stream, "write_chunk", chunk_writer)
    return written


class TestInterruptedWrites:
    def test_an_interrupt_inside_the_write_keeps_the_earlier_file_and_leaves_no_temporary(
        self, tmp_path, monkeypatch
    ):
        target = tmp_path / "out.npy"
        write_table(target, np.arange(6.0).reshape(2, 3))
        before = target.read_bytes()
        written = interrupt_at_chunk(monkeypatch, 3)
        # Nor does anything go wrong as the writer's wrappers are collected, after
        # their file was closed.
        with catch_unraisable() as unraisable:
            with pytest.raises(KeyboardInterrupt) as raised:
                write_table(target, np.ones((500, 7)))
            del raised
            gc.collect()
        assert unraisable == []
        assert len(written) == 3  # it was interrupted in the middle of the data
        assert target.read_bytes() == before
        assert entries(tmp_path) == ["out.npy"]

    @pytest.mark.parametrize("suffix", [".csv", ".parquet"])
    def test_frames_interrupted_while_written_keep_the_earlier_file(
        self, tmp_path, monkeypatch, suffix
    ):
        pytest.importorskip("pandas")
        if suffix == ".parquet":
            pytest.importorskip("pyarrow")
        from quillmoor.tables import transfer_progress

        target = tmp_path / f"out{suffix}"
        write_table(target, np.arange(8.0).reshape(2, 4))
        before = target.read_bytes()
        real = transfer_progress.CountingWriter.write

        def failing_write(self, data):
            real(self, data)
            raise KeyboardInterrupt

        monkeypatch.setattr(transfer_progress.CountingWriter, "write", failing_write)
        with pytest.raises(KeyboardInterrupt):
            write_table(target, np.ones((2000, 7)))
        assert target.read_bytes() == before
        assert entries(tmp_path) == [f"out{suffix}"]

    def test_a_refused_table_leaves_the_earlier_file(self, tmp_path):
        pd = pytest.importorskip("pandas")
        target = tmp_path / "out.npy"
        write_table(target, np.zeros((3, 4)))
        before = target.read_bytes()
        with pytest.raises(TableFileError, match="not numbers; save it as .csv"):
            write_table(target, pd.DataFrame({"x": [1.0], "label": ["a"]}))
        assert target.read_bytes() == before and entries(tmp_path) == ["out.npy"]

    def test_a_killed_merge_command_leaves_the_earlier_result_and_the_next_run_clears_up(
        self, tmp_path, field
    ):
        source = tmp_path / "field.npz"
        save_field(source, field)
        out = tmp_path / "out.npy"
        earlier = np.full((3, 7), 42.0)
        np.save(out, earlier)
        marker = tmp_path / "writing"
        # The child stops after its third chunk of data until it is killed, so the kill
        # lands in the middle of the write whatever the machine's speed.
        child = (
            "import sys\n"
            "from quillmoor.tables import npy_stream\n"
            "from quillmoor.__main__ import main\n"
            "npy_stream.CHUNK_BYTES = 4096\n"
            "real, count = npy_stream.write_chunk, [0]\n"
            "def paused(stream, chunk):\n"
            "    real(stream, chunk)\n"
            "    count[0] += 1\n"
            "    if count[0] == 3:\n"
            "        stream.flush()\n"
            "        open(sys.argv[1], 'w').close()\n"
            "        sys.stdin.read()\n"
            "npy_stream.write_chunk = paused\n"
            "main(['merge', sys.argv[2], '-o', sys.argv[3], '--tolerance', '0.05'])\n"
        )
        process = subprocess.Popen(
            [sys.executable, "-c", child, str(marker), str(source), str(out)],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=child_env(),
        )
        try:
            deadline = time.monotonic() + 240
            while not marker.exists() and process.poll() is None:
                assert time.monotonic() < deadline, "the child never started writing"
                time.sleep(0.05)
            assert marker.exists(), process.stderr.read().decode()
            process.send_signal(signal.SIGKILL)
            assert process.wait(timeout=60) == -signal.SIGKILL
        finally:
            process.kill()
            process.stdin.close()
            process.stderr.close()
        assert np.array_equal(np.load(out), earlier)
        left = [name for name in entries(tmp_path) if target_of(name) == "out.npy"]
        assert len(left) == 1 and left[0].startswith(".out.npy.quillmoor-tmp-")
        assert (tmp_path / left[0]).stat().st_size >= 3 * 4096

        assert main(["merge", str(source), "-o", str(out), "--tolerance", "0.05"]) == 0
        assert np.array_equal(np.load(out), merged(field))
        assert entries(tmp_path) == ["field.npz", "out.npy", "writing"]


class TestTemporaries:
    def stale(self, folder, target, age=3600.0, legacy=False):
        name = (f".{target}.{'ab' * 16}.partial" if legacy else temporary_name(target))
        path = folder / name
        path.write_bytes(b"\x93NUMPY cut short")
        os.utime(path, (time.time() - age, time.time() - age))
        return path

    def test_a_write_removes_its_targets_temporaries_only(self, tmp_path):
        mine, legacy = self.stale(tmp_path, "a.npy"), self.stale(tmp_path, "a.npy", legacy=True)
        others = [self.stale(tmp_path, "b.npy"), tmp_path / ".a.npy.notes",
                  tmp_path / "a.npy.quillmoor-tmp-0123"]
        for path in others[1:]:
            path.write_text("not a temporary of ours")
        write_table(tmp_path / "a.npy", np.zeros((1, 4)))
        assert not mine.exists() and not legacy.exists()
        assert all(path.exists() for path in others)

    def test_a_temporary_a_running_writer_holds_is_left_alone(self, tmp_path):
        import fcntl

        held = self.stale(tmp_path, "a.npy")
        with open(held, "rb") as still_writing:
            fcntl.flock(still_writing, fcntl.LOCK_EX)
            write_table(tmp_path / "a.npy", np.zeros((1, 4)))
            assert held.exists()
        write_table(tmp_path / "a.npy", np.zeros((1, 4)))
        assert not held.exists()

    def test_a_resumed_farm_removes_temporaries_older_than_the_run(self, tmp_path, field):
        from quillmoor.dask import merge_fields

        out = tmp_path / "out"
        fields = {"north": field, "south": field}
        merge_fields(fields, tolerance=TOLERANCE, output=out)
        old = [self.stale(out, "north.npy"), self.stale(out, "gone.parquet"),
               self.stale(out, "south.npy", legacy=True)]
        newer = self.stale(out, "south.npy", age=-3600.0)  # a writer of a later run
        unrelated = out / "notes.txt"
        unrelated.write_text("kept")
        resumed = merge_fields(fields, tolerance=TOLERANCE, output=out, resume=True)
        assert all(summary.skipped for summary in resumed.values())
        assert not any(path.exists() for path in old)
        assert newer.exists() and unrelated.exists()
        assert np.array_equal(np.load(out / "north.npy"), merged(field))

    def test_committed_path_for_writers_of_other_formats(self, tmp_path):
        target = tmp_path / "layer.shp"
        target.write_bytes(b"earlier")

        def write_shapefile(path, content):
            assert os.path.basename(path) == "layer.shp"  # the format goes by the name
            assert os.path.dirname(os.path.dirname(path)) == str(tmp_path)
            for suffix in (".shp", ".shx", ".dbf"):
                with open(path[:-4] + suffix, "wb") as out:
                    out.write(content + suffix.encode())

        with pytest.raises(RuntimeError):
            with committed_path(target) as path:
                write_shapefile(path, b"half a lay")
                raise RuntimeError("the layer writer failed")
        assert target.read_bytes() == b"earlier" and entries(tmp_path) == ["layer.shp"]
        with committed_path(target, suffix=".shp") as path:
            write_shapefile(path, b"new")
        assert entries(tmp_path) == ["layer.dbf", "layer.shp", "layer.shx"]
        assert target.read_bytes() == b"new.shp"
        with pytest.raises(TableFileError, match="the writer made no file"):
            with committed_path(target):
                pass
        assert entries(tmp_path) == ["layer.dbf", "layer.shp", "layer.shx"]

    def test_a_workspace_left_by_a_killed_writer_is_cleared_by_the_next_write(self, tmp_path):
        left = tmp_path / temporary_name("layer.gpkg")
        left.mkdir()
        (left / "layer.gpkg").write_bytes(b"half")
        with committed_path(tmp_path / "layer.gpkg") as path:
            with open(path, "wb") as out:
                out.write(b"whole")
        assert entries(tmp_path) == ["layer.gpkg"]


class TestFsspecUrls:
    @pytest.fixture
    def store(self, request, tmp_path, monkeypatch):
        fsspec = pytest.importorskip("fsspec")
        import tempfile

        # The local spool of an upload goes here, to be seen cleared away.
        spool = tmp_path / "spool"
        spool.mkdir()
        monkeypatch.setattr(tempfile, "tempdir", str(spool))
        fs = fsspec.filesystem("memory")
        root = "/qm-" + re.sub(r"[^a-z0-9]+", "-", request.node.name.lower())
        yield fs, root, spool
        fs.rm(root, recursive=True) if fs.exists(root) else None

    def test_written_and_read_back_whole_or_not_at_all(self, store, monkeypatch):
        fs, root, spool = store
        url = f"memory://{root}/out.npy"
        table = np.arange(40.0).reshape(10, 4)
        assert write_table(url, table) == url
        assert np.array_equal(read_table(url), table)
        before = fs.cat_file(f"{root}/out.npy")
        interrupt_at_chunk(monkeypatch, 2)
        with pytest.raises(KeyboardInterrupt):
            write_table(url, np.ones((500, 7)))
        assert fs.cat_file(f"{root}/out.npy") == before
        assert [p.rpartition("/")[2] for p in fs.find(root)] == ["out.npy"]
        assert os.listdir(spool) == []

    def test_fields_read_from_and_results_written_to_urls(self, store, field):
        pd = pytest.importorskip("pandas")
        pytest.importorskip("pyarrow")
        from quillmoor.dask import merge_fields

        fs, root, _ = store
        save_field(f"memory://{root}/in/packed.npz", field)
        for table in TABLES:
            frame = pd.DataFrame(getattr(field, table))
            frame.columns = [str(c) for c in frame.columns]
            write_table(f"memory://{root}/in/folder/{table}.npy", getattr(field, table))
        fields = {"packed": f"memory://{root}/in/packed.npz",
                  "folder": f"memory://{root}/in/folder"}
        summaries = merge_fields(fields, tolerance=TOLERANCE, output=f"memory://{root}/out")
        for name in fields:
            assert summaries[name].written == f"memory://{root}/out/{name}.npy"
            assert np.array_equal(read_table(summaries[name].written), merged(field))

    def test_a_store_that_shows_files_while_written_gets_a_temporary_then_a_move(
        self, tmp_path, monkeypatch
    ):
        pytest.importorskip("fsspec")
        # The "dir" filesystem shows a file as it is written, as SFTP or HDFS would.
        options = {"path": str(tmp_path), "target_protocol": "file"}
        write_table("dir://out.npy", np.zeros((2, 4)), options)
        before = (tmp_path / "out.npy").read_bytes()
        left = tmp_path / temporary_name("out.npy")
        left.write_bytes(b"left by a killed upload")
        import fsspec.implementations.dirfs as dirfs

        def interrupted_move(self, source, destination, **kwargs):
            assert target_of(source.rpartition("/")[2]) == "out.npy"  # uploaded whole
            raise KeyboardInterrupt

        monkeypatch.setattr(dirfs.DirFileSystem, "mv", interrupted_move)
        with pytest.raises(KeyboardInterrupt):
            write_table("dir://out.npy", np.ones((2, 4)), options)
        assert (tmp_path / "out.npy").read_bytes() == before
        assert entries(tmp_path) == ["out.npy"]  # its own temporary and the left one gone
        monkeypatch.undo()
        write_table("dir://out.npy", np.ones((2, 4)), options)
        assert np.array_equal(read_table("dir://out.npy", options), np.ones((2, 4)))
        assert entries(tmp_path) == ["out.npy"]

    def test_garbage_at_a_url_is_named(self, store):
        fs, root, _ = store
        fs.pipe_file(f"{root}/bad.npz", b"not a zip")
        with pytest.raises(TableFileError) as caught:
            read_field(f"memory://{root}/bad.npz")
        assert str(caught.value).startswith(f"memory://{root}/bad.npz: ")


GARBAGE = {
    "field.npz": (b"crop rows\n", "not an .npz archive"),
    "table.npy": (b"\x93NUMPY\x01\x00\x10\x00{'descr': <f8", "header cannot be read"),
    "table.csv": (b"a,b\n1,2\n3,4,5\n", "line 3 has 3 fields"),
    "table.parquet": (b"PAR1 and then not much", "not Parquet"),
}


class TestMessages:
    @pytest.mark.parametrize("name", sorted(GARBAGE))
    def test_garbage_is_one_line_naming_the_file(self, tmp_path, name):
        if name.endswith((".csv", ".parquet")):
            pytest.importorskip("pyarrow")
        data, reason = GARBAGE[name]
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(TableFileError) as caught:
            (read_field if name.endswith(".npz") else read_table)(str(path))
        text = str(caught.value)
        assert text.startswith(f"{path}: ") and reason in text, text
        assert "\n" not in text and "allow_pickle" not in text

    def test_pickled_objects_and_cut_files(self, tmp_path):
        np.save(tmp_path / "objects.npy", np.array([1, "a"], dtype=object), allow_pickle=True)
        with pytest.raises(TableFileError, match="holds Python objects") as caught:
            read_table(tmp_path / "objects.npy")
        assert "allow_pickle" not in str(caught.value)
        np.save(tmp_path / "cut.npy", np.zeros((100, 4)))
        data = (tmp_path / "cut.npy").read_bytes()
        (tmp_path / "cut.npy").write_bytes(data[:-100])
        with pytest.raises(TableFileError, match=r"cut\.npy: .*cut short: it holds 3,100 of "
                                                 r"the 3,200 bytes"):
            read_table(tmp_path / "cut.npy")

    def test_the_commands_name_the_garbage_file(self, tmp_path, field, capsys):
        bad = tmp_path / "farm" / "broken.npz"
        bad.parent.mkdir()
        bad.write_bytes(b"\x89PNG not a field")
        save_field(bad.parent / "good.npz", field)
        assert main(["merge", str(bad), "-o", str(tmp_path / "o.npy")]) == 1
        err = capsys.readouterr().err
        assert f"{bad}: cannot read it as a NumPy file: not an .npz archive" in err
        assert len(err.strip().splitlines()) == 1
        assert main(["merge-many", str(bad.parent), "-o", str(tmp_path / "out"),
                     "--tolerance", str(TOLERANCE), "--no-progress"]) == 1
        assert f"{bad}: cannot read it as a NumPy file" in capsys.readouterr().err
        assert np.array_equal(np.load(tmp_path / "out" / "good.npy"), merged(field))

    def test_a_cell_that_is_not_a_number_is_named_by_file_column_and_row(
        self, tmp_path, field, capsys
    ):
        pd = pytest.importorskip("pandas")
        from quillmoor.dask import merge_fields
        from quillmoor.synthetic import CONNECTION_COLUMNS, ROW_INFORMATION_COLUMNS

        folder = tmp_path / "north"
        folder.mkdir()
        points = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS).astype(object)
        points.loc[3, "x"] = "abc"
        frames = {"connected_crop_rows": (field.connected_crop_rows, CONNECTION_COLUMNS),
                  "row_information": (field.row_information, ROW_INFORMATION_COLUMNS)}
        for table, (array, columns) in frames.items():
            pd.DataFrame(array, columns=columns).to_csv(folder / f"{table}.csv", index=False)
        points.to_csv(folder / "points_in_rows.csv", index=False)
        expected = f"{folder / 'points_in_rows.csv'}: column 'x' must hold numbers; data " \
                   "row 4 holds 'abc'"
        with pytest.raises(quillmoor.MergeError) as caught:
            merge_fields([str(folder)], tolerance=TOLERANCE)
        assert str(caught.value) == f"field 'north': {expected}"
        paths = [str(folder / f"{table}.csv") for table in TABLES]
        assert main(["merge", *paths, "-o", str(tmp_path / "o.csv")]) == 1
        assert expected in capsys.readouterr().err

    def test_output_to_a_folder_is_refused(self, tmp_path, field, capsys):
        source = tmp_path / "field.npz"
        save_field(source, field)
        folder = tmp_path / "results"
        folder.mkdir()
        assert main(["merge", str(source), "-o", str(folder)]) == 1
        assert f"{folder}: is a folder" in capsys.readouterr().err
        assert entries(tmp_path) == ["field.npz", "results"] and entries(folder) == []
        with pytest.raises(TableFileError, match="is a folder"):
            write_table(folder, np.zeros((1, 4)))


class TestWrittenColumns:
    @pytest.mark.parametrize("given, expected", [
        (POINT_COLUMNS, list(POINT_COLUMNS)),
        (None, ["key_a", "key_b", "x", "y", "column_4", "column_5", "column_6"]),
    ])
    def test_tables_from_an_npz_keep_its_column_names(self, tmp_path, field, given, expected):
        pd = pytest.importorskip("pandas")
        pytest.importorskip("pyarrow")
        source = tmp_path / "field.npz"
        save_field(source, field, given)
        for name, reader in (("out.csv", pd.read_csv), ("out.parquet", pd.read_parquet)):
            assert main(["merge", str(source), "-o", str(tmp_path / name), "--tolerance",
                         str(TOLERANCE)]) == 0
            kept = reader(tmp_path / name)
            assert list(kept.columns) == expected
            assert np.array_equal(kept.to_numpy(), merged(field))

    def test_a_field_from_generate_gives_its_columns_names(self, tmp_path):
        pd = pytest.importorskip("pandas")
        assert main(["generate", str(tmp_path / "field.npz"), "--points", "3000"]) == 0
        assert main(["merge", str(tmp_path / "field.npz"), "-o", str(tmp_path / "out.csv")]) == 0
        assert list(pd.read_csv(tmp_path / "out.csv").columns) == list(POINT_COLUMNS)

    def test_npy_bytes_are_numpys_for_every_layout(self, tmp_path):
        import io

        base = np.arange(60.0).reshape(6, 10)
        for array in (base, np.asfortranarray(base), base[:, ::3], base[::2].astype(">i4"),
                      np.zeros((0, 7)), np.array(2.5), base.reshape(3, 4, 5)[:, ::2]):
            ours, numpys = io.BytesIO(), io.BytesIO()
            npy_stream.write_array(ours, array)
            np.save(numpys, array)
            assert ours.getvalue() == numpys.getvalue(), array.shape
            write_table(tmp_path / "t.npy", array)
            back = read_table(tmp_path / "t.npy")
            assert back.dtype == array.dtype and np.array_equal(back, array)


MERGE_CHILD = """
import sys
from quillmoor.tables import transfer_progress
transfer_progress.LARGE_FILE_BYTES = 0  # every file counts as large here
from quillmoor.__main__ import main
sys.exit(main(["merge", sys.argv[1], "-o", sys.argv[2], "--threads", "1"]))
"""


class TestByteCounter:
    def run_merge(self, folder, stderr_on_terminal, **env):
        args = [sys.executable, "-c", MERGE_CHILD, "field.npz", "out.npy"]
        environment = child_environment(env) | {"PYTHONPATH": child_env()["PYTHONPATH"]}
        if not stderr_on_terminal:
            done = subprocess.run(args, cwd=folder, env=environment, capture_output=True,
                                  timeout=240)
            return done.returncode, done.stderr.decode()
        controller, terminal = pty.openpty()
        process = subprocess.Popen(args, cwd=folder, env=environment, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=terminal)
        os.close(terminal)
        written = b""
        try:
            while select.select([controller], [], [], 240)[0]:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:  # the child has closed its end
                    break
                if not chunk:
                    break
                written += chunk
            return process.wait(timeout=240), written.decode()
        finally:
            process.kill()
            os.close(controller)

    def test_drawn_on_a_terminal_and_erased_when_done(self, tmp_path, field):
        save_field(tmp_path / "field.npz", field)
        code, written = self.run_merge(tmp_path, True)
        assert code == 0
        shown = ESCAPE.sub("", written)
        assert re.search(r"reading field\.npz \d+\.\d/\d+\.\d kB", shown), written
        assert re.search(r"writing out\.npy \d+\.\d/\d+\.\d kB", shown), written
        assert not any("reading" in line or "writing" in line
                       for line in screen_lines(written)), screen_lines(written)

    def test_nothing_on_a_pipe_or_a_dumb_terminal(self, tmp_path, field):
        save_field(tmp_path / "field.npz", field)
        assert self.run_merge(tmp_path, False) == (0, "")
        code, written = self.run_merge(tmp_path, True, TERM="dumb")
        assert code == 0 and "reading" not in written and "\x1b" not in written
