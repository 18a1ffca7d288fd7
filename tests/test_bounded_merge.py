"""Fields merged from file to file piece by piece: the output is the in-memory merge's,
byte for byte where the format allows, however the field is cut into pieces; a refusal
or an interrupt leaves no output and no piece files behind."""

from __future__ import annotations

import os
import re
import tempfile
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillmoor
import quillmoor.tables.files
from field_strategies import coherent_fields
from quillmoor.__main__ import main
from quillmoor.cli import bounded_merge
from quillmoor.pieces import file_merge, piece_plan
from quillmoor.pieces.file_merge import merge_file
from quillmoor.synthetic import POINT_COLUMNS, make_field

TOLERANCE = 0.05
TABLES = ("connected_crop_rows", "points_in_rows", "row_information")


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.fixture
def piece_size(monkeypatch):
    """Pieces of at most this many points, whatever the budget, read in chunks of at
    most 97 rows: records, their runs and their groups cross many chunks."""
    def set_size(points: int) -> None:
        monkeypatch.setattr(file_merge, "_piece_points", lambda *args: points)
        monkeypatch.setattr(file_merge, "_chunk_rows_for", lambda *args: 97)
        monkeypatch.setattr(file_merge, "_chunk_rows", lambda *args: 97)
    return set_size


def shared_and_spread_field(seed: int = 4, points: int = 20_000):
    """A generated field whose points are shuffled (every record's points spread over
    the whole table), with a second record for some base keys, and some points of no
    record."""
    field = make_field(points, seed=seed)
    rng = np.random.default_rng(seed)
    connections = field.connected_crop_rows
    copies = connections[rng.choice(len(connections), 25, replace=False)]
    connections = np.concatenate([connections, copies])[rng.permutation(len(connections) + 25)]
    points_in_rows = field.points_in_rows[rng.permutation(len(field.points_in_rows))]
    points_in_rows[rng.random(len(points_in_rows)) < 0.01, 0] = np.nan
    return connections, points_in_rows, field.row_information


class TestSameResultAsInMemory:
    @pytest.mark.parametrize("size", [1, 7, 300, 5_000, 10**9])
    def test_arrays_whatever_the_piece_size(self, tmp_path, piece_size, size):
        tables = shared_and_spread_field(points=4_000)
        np.savez(tmp_path / "field.npz", **dict(zip(TABLES, tables)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", quillmoor.UnassignedPointsWarning)
            expected = quillmoor.merge(*tables, tolerance=TOLERANCE)
            piece_size(size)
            summary = merge_file(tmp_path / "field.npz", tmp_path / "kept.npy",
                                 tolerance=TOLERANCE)
        assert same_bits(np.load(tmp_path / "kept.npy"), expected)
        assert summary.kept == len(expected)
        assert summary.counts == quillmoor.count_unassigned_points(tables[0], tables[1])
        assert sorted(os.listdir(tmp_path)) == ["field.npz", "kept.npy"]

    @pytest.mark.parametrize("size", [1, 7, 300, 10**9])
    def test_points_record_after_record_are_merged_as_they_are_read(
        self, tmp_path, piece_size, monkeypatch, size
    ):
        field = make_field(4_000, seed=9)
        # Each record's points together, in the records' order (by crop row, then segment).
        points = field.points_in_rows[np.lexsort((field.points_in_rows[:, 1],
                                                  field.points_in_rows[:, 0]))]
        points[::97, 0] = 1e6  # points of no record anywhere
        tables = (field.connected_crop_rows, points, field.row_information)
        np.savez(tmp_path / "field.npz", **dict(zip(TABLES, tables)))

        def no_files(*args):
            raise AssertionError("the pieces were written to files")

        monkeypatch.setattr(file_merge, "_spill_folder", no_files)
        piece_size(size)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", quillmoor.UnassignedPointsWarning)
            expected = quillmoor.merge(*tables, tolerance=TOLERANCE)
            merge_file(tmp_path / "field.npz", tmp_path / "kept.npy", tolerance=TOLERANCE)
        assert same_bits(np.load(tmp_path / "kept.npy"), expected)

    @settings(max_examples=60, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(tables=coherent_fields(), size=st.integers(1, 6), threads=st.sampled_from([1, 2]),
           dense=st.booleans())
    def test_any_coherent_field_any_cut(self, tables, size, threads, dense, piece_size,
                                        monkeypatch):
        piece_size(size)
        # Points' groups looked up in a table over the keys' range, or by sorted search.
        monkeypatch.setattr(piece_plan, "DENSE_GROUP_CELLS", 1 << 22 if dense else 0)
        with tempfile.TemporaryDirectory() as folder:
            paths = [os.path.join(folder, name + ".npy") for name in TABLES]
            for path, table in zip(paths, tables):
                np.save(path, table)
            output = os.path.join(folder, "kept.npy")
            merge_file(paths, output, tolerance=0.5, num_threads=threads, unassigned="ignore")
            expected = quillmoor.merge(*tables, tolerance=0.5, num_threads=threads,
                                       unassigned="ignore")
            assert same_bits(np.load(output), expected)

    @pytest.mark.parametrize("source", [".parquet", ".csv"])
    @pytest.mark.parametrize("output", [".parquet", ".csv", ".npy"])
    def test_tables_with_named_columns_as_the_command_writes_them(
        self, tmp_path, piece_size, source, output
    ):
        pandas = pytest.importorskip("pandas")
        pytest.importorskip("pyarrow")
        connections, points, rows = shared_and_spread_field(points=6_000)
        frame = pandas.DataFrame(points, columns=list(POINT_COLUMNS))
        frame["count"] = np.arange(len(frame))  # integers stay integers
        if output != ".npy":
            frame["label"] = np.where(frame["x"] > 20, "far", "near")
        points_file = tmp_path / f"points{source}"
        if source == ".csv":
            frame.to_csv(points_file, index=False)
        else:
            frame.to_parquet(points_file, row_group_size=700)
        np.save(tmp_path / "connections.npy", connections)
        np.save(tmp_path / "rows.npy", rows)
        inputs = [str(tmp_path / "connections.npy"), str(points_file), str(tmp_path / "rows.npy")]
        whole, bounded = tmp_path / f"whole{output}", tmp_path / f"bounded{output}"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", quillmoor.UnassignedPointsWarning)
            assert main(["merge", *inputs, "-o", str(whole), "--tolerance", "0.05"]) == 0
            piece_size(900)
            summary = merge_file(inputs, bounded, tolerance=TOLERANCE)
        assert summary.pieces > 3
        if output == ".parquet":
            # Written a row group per piece: the same table, not the same bytes.
            assert pandas.read_parquet(bounded).equals(pandas.read_parquet(whole))
        else:
            assert bounded.read_bytes() == whole.read_bytes()

    def test_a_record_larger_than_a_piece_is_cut_into_runs(self, tmp_path, piece_size):
        field = make_field(5_000, seed=8)
        biggest = np.bincount(np.unique(field.points_in_rows[:, :2], axis=0,
                                        return_inverse=True)[1].ravel()).max()
        piece_size(int(biggest) // 3)
        tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
        np.savez(tmp_path / "field.npz", **dict(zip(TABLES, tables)))
        summary = merge_file(tmp_path / "field.npz", tmp_path / "kept.npy",
                             tolerance=TOLERANCE)
        assert summary.pieces > len(field.connected_crop_rows)
        assert same_bits(np.load(tmp_path / "kept.npy"),
                         quillmoor.merge(*tables, tolerance=TOLERANCE))

    def test_a_real_budget_cuts_a_larger_field(self, tmp_path):
        field = make_field(400_000, seed=2)
        tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
        np.savez(tmp_path / "field.npz", **dict(zip(TABLES, tables)))
        summary = merge_file(tmp_path / "field.npz", tmp_path / "kept.npy", memory="16M",
                             tolerance=TOLERANCE)
        assert summary.pieces > 1
        assert same_bits(np.load(tmp_path / "kept.npy"),
                         quillmoor.merge(*tables, tolerance=TOLERANCE))


class TestNothingHalfWritten:
    def test_a_failing_record_fails_as_in_memory_and_writes_nothing(self, tmp_path):
        field = make_field(3_000, seed=1)
        connections = field.connected_crop_rows.copy()
        connections[5, 3:5] = (9999.0, 9999.0)  # a neighbour with no row record
        tables = (connections, field.points_in_rows, field.row_information)
        np.savez(tmp_path / "field.npz", **dict(zip(TABLES, tables)))
        with pytest.raises(quillmoor.MergeError) as in_memory:
            quillmoor.merge(*tables)
        with pytest.raises(quillmoor.MergeError) as bounded:
            merge_file(tmp_path / "field.npz", tmp_path / "kept.npy")
        assert str(bounded.value) == str(in_memory.value)
        assert os.listdir(tmp_path) == ["field.npz"]

    def test_a_points_file_cut_short_is_named_and_nothing_is_written(self, tmp_path):
        field = make_field(3_000, seed=1)
        paths = [tmp_path / f"{name}.npy" for name in TABLES]
        for path, table in zip(paths, (field.connected_crop_rows, field.points_in_rows,
                                       field.row_information)):
            np.save(path, table)
        paths[1].write_bytes(paths[1].read_bytes()[:-100])
        with pytest.raises(quillmoor.tables.files.TableFileError, match=(
                r"points_in_rows.npy: cannot read it as a NumPy file: cut short: it holds "
                r"167,900 of the 168,000 bytes")):
            merge_file(paths, tmp_path / "kept.npy")
        assert not (tmp_path / "kept.npy").exists()

    def test_raise_refuses_points_of_no_record_before_writing(self, tmp_path):
        tables = shared_and_spread_field(points=3_000)
        np.savez(tmp_path / "field.npz", **dict(zip(TABLES, tables)))
        with pytest.raises(quillmoor.UnassignedPointsError) as raised:
            merge_file(tmp_path / "field.npz", tmp_path / "kept.npy", unassigned="raise")
        assert raised.value.counts == quillmoor.count_unassigned_points(tables[0], tables[1])
        assert os.listdir(tmp_path) == ["field.npz"]

    def test_an_interrupt_between_pieces_keeps_the_earlier_output(
        self, tmp_path, piece_size, monkeypatch
    ):
        field = make_field(3_000, seed=1)
        np.savez(tmp_path / "field.npz", connected_crop_rows=field.connected_crop_rows,
                 points_in_rows=field.points_in_rows, row_information=field.row_information)
        (tmp_path / "kept.npy").write_bytes(b"earlier")
        real, calls = file_merge._positions, []

        def interrupted(*args):
            calls.append(1)
            if len(calls) == 4:  # the check of the records, then pieces 1 and 2
                raise KeyboardInterrupt
            return real(*args)

        monkeypatch.setattr(file_merge, "_positions", interrupted)
        piece_size(500)
        with pytest.raises(KeyboardInterrupt):
            merge_file(tmp_path / "field.npz", tmp_path / "kept.npy")
        assert (tmp_path / "kept.npy").read_bytes() == b"earlier"
        assert sorted(os.listdir(tmp_path)) == ["field.npz", "kept.npy"]


class TestCommandLine:
    @pytest.fixture
    def field_file(self, tmp_path):
        assert main(["generate", str(tmp_path / "field.npz"), "--points", "300000"]) == 0
        return tmp_path / "field.npz"

    def test_memory_merges_piece_by_piece_with_the_same_output(self, field_file, capsys):
        folder = field_file.parent
        assert main(["merge", str(field_file), "-o", str(folder / "a.npy")]) == 0
        assert main(["merge", str(field_file), "-o", str(folder / "b.npy"),
                     "--memory", "16M"]) == 0
        out = capsys.readouterr().out
        assert "pieces within 16 MiB" in out
        assert (folder / "a.npy").read_bytes() == (folder / "b.npy").read_bytes()

    def test_a_field_too_large_for_the_memory_available_is_merged_in_pieces(
        self, field_file, capsys, monkeypatch
    ):
        monkeypatch.setattr(bounded_merge, "available_memory", lambda: 40 * 2**20)
        assert main(["merge", str(field_file), "-o", str(field_file.parent / "b.npy")]) == 0
        captured = capsys.readouterr()
        assert ("the field needs about 48.1 MiB in memory and 40 MiB is available: merging "
                "it piece by piece within 20 MiB") in captured.err
        assert "pieces within 20 MiB" in captured.out

    @pytest.mark.parametrize(("size", "answer"), [
        ("lots", "'lots' is not a memory size"),
        ("2M", "2M is too little memory to merge in; give at least 16M"),
    ])
    def test_a_size_that_is_not_one_is_a_one_line_answer(self, tmp_path, capsys, size,
                                                          answer):
        assert main(["merge", "f.npz", "-o", str(tmp_path / "o.npy"), "--memory", size]) == 2
        err = capsys.readouterr().err
        assert answer in err and err.count("\n") == 1


# A merge in pieces on a terminal: the engine's bar of every piece stays hidden; one bar
# over the whole field moves instead, and is erased before the command's summary.
PIECES_CHILD = """
import sys
import numpy as np
from quillmoor.pieces import file_merge, piece_plan
from quillmoor.synthetic import make_field

field = make_field(60_000, seed=5)
np.savez(sys.argv[1] + "/field.npz", connected_crop_rows=field.connected_crop_rows,
         points_in_rows=field.points_in_rows, row_information=field.row_information)
file_merge._piece_points = lambda *args: 2_000
summary = file_merge.merge_file(sys.argv[1] + "/field.npz", sys.argv[1] + "/kept.npy")
print("pieces", summary.pieces)
"""


def test_one_bar_over_the_pieces_and_none_of_the_engines(tmp_path):
    from test_progress_terminal import FRAME, run_on_terminal, screen_lines

    out, written = run_on_terminal(str(tmp_path), child=PIECES_CHILD)
    assert int(out.split()[1]) > 10
    assert not FRAME.search(written)
    assert re.search(r"\[[█░]{40}\] \d+% of 60,000 points", written)
    assert screen_lines(written) == []


def test_merge_many_merges_a_field_too_large_for_its_memory_in_pieces(tmp_path, monkeypatch):
    from quillmoor.pieces import memory_budget

    fields = tmp_path / "farm"
    fields.mkdir()
    for seed, points in ((1, 5_000), (2, 300_000)):
        assert main(["generate", str(fields / f"field{seed}.npz"), "--points", str(points),
                     "--seed", str(seed)]) == 0
    assert main(["merge-many", str(fields), "-o", str(tmp_path / "whole")]) == 0
    # 48 MB in memory would be needed for the larger field, 40 MB are there.
    monkeypatch.setattr(memory_budget, "task_memory", lambda: 40 * 2**20)
    calls = []
    real = file_merge.merge_file
    monkeypatch.setattr(file_merge, "merge_file", lambda *a, **k: calls.append(a) or real(*a, **k))
    assert main(["merge-many", str(fields), "-o", str(tmp_path / "pieces")]) == 0
    assert [os.path.basename(str(call[0])) for call in calls] == ["field2.npz"]
    for name in ("field1.npy", "field2.npy"):
        assert (tmp_path / "pieces" / name).read_bytes() == (tmp_path / "whole" / name).read_bytes()
