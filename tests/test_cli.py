"""The command line: merge round trips, messages for mistakes, and the demo."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

from emulation import under_emulator
from test_interrupts import interrupted_on_terminal, screen_lines

import quillmoor
from quillmoor import merge_points_removing_overlap
from quillmoor.__main__ import main
from quillmoor.cli import merge_command
from quillmoor.synthetic import make_field

TABLES = ("connected_crop_rows", "points_in_rows", "row_information")


def run_module(args, cwd, prelude=""):
    """``python -m quillmoor ARGS`` in a fresh interpreter; ``prelude`` runs first."""
    code = (
        "import runpy, sys\n"
        f"{prelude}\n"
        f"sys.argv = ['quillmoor', *{list(args)!r}]\n"
        "runpy.run_module('quillmoor', run_name='__main__', alter_sys=True)\n"
    )
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True,
                          text=True, env=os.environ.copy(), timeout=300)


@pytest.fixture(scope="module")
def field_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("field") / "field.npz"
    assert main(["generate", str(path), "--points", "3000", "--seed", "4"]) == 0
    return path


def expected_merge(tables, tolerance):
    return merge_points_removing_overlap(*tables, tolerance, 1)


class TestMergeRoundTrip:
    def test_npz_in_npy_out(self, field_file, tmp_path, capsys):
        output = tmp_path / "merged"
        assert main(["merge", str(field_file), "-o", str(output), "--tolerance", "0.05",
                     "--threads", "1"]) == 0
        merged = np.load(tmp_path / "merged.npy")
        with np.load(field_file) as archive:
            tables = [archive[name] for name in TABLES]
        expected = expected_merge(tables, 0.05)
        assert np.array_equal(merged, expected)
        assert 0 < merged.shape[0] < tables[1].shape[0]
        out = capsys.readouterr().out
        assert f"{tables[1].shape[0]:,} points in, {merged.shape[0]:,} out" in out
        assert "merged.npy" in out

    def test_three_npy_files_of_other_layouts_and_types(self, field_file, tmp_path):
        with np.load(field_file) as archive:
            tables = [archive[name] for name in TABLES]
        # Column-major, big-endian and single-precision tables are converted, not refused.
        stored = [np.asfortranarray(tables[0]), tables[1].astype(">f8"),
                  tables[2].astype(np.float32)]
        paths = [str(tmp_path / f"{name}.npy") for name in TABLES]
        for path, table in zip(paths, stored):
            np.save(path, table)
        output = tmp_path / "out.npy"
        assert main(["merge", *paths, "-o", str(output), "--threads", "2"]) == 0
        expected = expected_merge([tables[0], tables[1], stored[2].astype(np.float64)], 0.0)
        assert np.array_equal(np.load(output), expected)


class TestMistakes:
    @pytest.fixture
    def tables(self, field_file):
        with np.load(field_file) as archive:
            return {name: archive[name] for name in TABLES}

    def write_npz(self, tmp_path, **tables):
        path = tmp_path / "bad.npz"
        np.savez(path, **tables)
        return str(path)

    def test_missing_file(self, tmp_path, capsys):
        missing = str(tmp_path / "nowhere.npz")
        assert main(["merge", missing, "-o", str(tmp_path / "o.npy")]) == 1
        assert f"{missing}: no such file" in capsys.readouterr().err

    def test_wrong_number_of_inputs(self, field_file, tmp_path, capsys):
        assert main(["merge", str(field_file), str(field_file), "-o", str(tmp_path / "o")]) == 1
        assert "expected one .npz file, or three table files" in capsys.readouterr().err

    def test_one_dimensional_table(self, tables, tmp_path, capsys):
        path = self.write_npz(tmp_path, **{**tables, "points_in_rows": np.arange(5.0)})
        assert main(["merge", path, "-o", str(tmp_path / "o.npy")]) == 1
        err = capsys.readouterr().err
        assert "points_in_rows must be a 2-D table" in err and "1-D" in err

    def test_table_of_strings(self, tables, tmp_path, capsys):
        path = self.write_npz(tmp_path, **{**tables, "row_information": np.array([["1", "2"]])})
        assert main(["merge", path, "-o", str(tmp_path / "o.npy")]) == 1
        assert "row_information must hold numbers" in capsys.readouterr().err

    def test_archive_without_a_table(self, tables, tmp_path, capsys):
        path = self.write_npz(tmp_path, connected_crop_rows=tables["connected_crop_rows"],
                              points=tables["points_in_rows"],
                              row_information=tables["row_information"])
        assert main(["merge", path, "-o", str(tmp_path / "o.npy")]) == 1
        err = capsys.readouterr().err
        assert "no array named points_in_rows" in err and "points" in err

    def test_not_a_numpy_file(self, tmp_path, capsys):
        path = tmp_path / "notes.npz"
        path.write_text("crop rows\n")
        assert main(["merge", str(path), "-o", str(tmp_path / "o.npy")]) == 1
        assert "cannot read it as a NumPy file" in capsys.readouterr().err

    def test_output_folder_missing(self, field_file, tmp_path, capsys):
        output = str(tmp_path / "no" / "such" / "dir" / "o.npy")
        assert main(["merge", str(field_file), "-o", output]) == 1
        assert f"{output}: the folder {os.path.dirname(output)} does not exist" in (
            capsys.readouterr().err)

    @pytest.mark.parametrize("args", [["merge", "x.npz", "-o", "y", "--threads", "-1"],
                                      ["merge", "x.npz"], []])
    def test_usage_errors_exit_2_with_one_line(self, args, capsys):
        assert main(args) == 2
        err = capsys.readouterr().err
        assert err.startswith("quillmoor") and "--help')" in err
        assert err.count("\n") == 1 and "usage:" not in err

    def test_failing_merge_and_missing_file_without_traceback(self, tables, tmp_path):
        # A points table of two columns has no x, y: the merge itself fails.
        narrow = self.write_npz(tmp_path, **{**tables,
                                             "points_in_rows": tables["points_in_rows"][:, :2]})
        failed = run_module(["merge", narrow, "-o", "o.npy"], cwd=tmp_path)
        assert failed.returncode == 1
        assert failed.stderr == (f"quillmoor merge: {narrow}: points_in_rows has 2 columns; "
                                 "it needs at least 4: key_a, key_b, x, y\n")
        assert "Traceback" not in failed.stderr
        assert not (tmp_path / "o.npy").exists()

        missing = run_module(["merge", "a.npy", "b.npy", "c.npy", "-o", "o.npy"], cwd=tmp_path)
        assert missing.returncode == 1
        assert "a.npy: no such file" in missing.stderr and "Traceback" not in missing.stderr


def field_with_lost_points():
    """A synthetic field: 30 points with a NaN key, 20 of a segment without a record, and
    connection record 0 twice, so that its points are gathered twice."""
    field = make_field(3000, seed=11)
    points = field.points_in_rows.copy()
    points[:30, 0] = np.nan
    points[30:50, 1] = 77
    connections = np.vstack([field.connected_crop_rows, field.connected_crop_rows[:1]])
    return connections, points, field.row_information


class TestSummary:
    def test_kept_dropped_and_points_of_no_segment_are_told_apart(self, tmp_path, capsys):
        connections, points, rows = field_with_lost_points()
        source = tmp_path / "field.npz"
        np.savez(source, connected_crop_rows=connections, points_in_rows=points,
                 row_information=rows)
        output = tmp_path / "kept.npy"
        assert main(["merge", str(source), "-o", str(output), "--tolerance", "0.05"]) == 0
        kept = np.load(output)
        np.testing.assert_array_equal(kept, quillmoor.merge(
            connections, points, rows, tolerance=0.05, unassigned="ignore"))
        # Without neighbours nothing is dropped: the merge returns every gathered row.
        alone = connections.copy()
        alone[:, 3:] = np.nan
        gathered = len(quillmoor.merge(alone, points, rows, unassigned="ignore"))
        first_block = int(np.count_nonzero((points[:, 0] == connections[0, 1])
                                           & (points[:, 1] == connections[0, 2])))
        assert gathered == 2950 + first_block

        lines = capsys.readouterr().out.splitlines()
        assert len(lines) == 2
        assert re.fullmatch(
            rf"merged {len(connections)} connection records in \d+\.\d{{3}} s: 3,000 points in, "
            rf"{len(kept):,} out; saved to {re.escape(str(output))}", lines[0])
        assert lines[1] == (
            f"  {len(kept):,} kept, {gathered - len(kept):,} dropped at junctions; 50 points "
            "belong to no connection record (30 with a NaN key, 20 with a key no record "
            f"has); {first_block:,} copies of points gathered again by connection records "
            "that share a base key")

    def test_merge_many_warns_in_one_line_per_field(self, tmp_path):
        connections, points, rows = field_with_lost_points()
        farm = tmp_path / "farm"
        farm.mkdir()
        np.savez(farm / "north.npz", connected_crop_rows=connections[:-1],
                 points_in_rows=points, row_information=rows)
        result = run_module(["merge-many", "farm", "-o", "out", "--threads", "1"],
                            cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stderr == (
            "quillmoor merge-many: warning: field 'north': 50 of 3,000 points belong to no "
            "connection record (30 with a NaN key, 20 with a key no record has)\n")
        assert "merged 1 of 1 fields" in result.stdout
        assert (tmp_path / "out" / "north.npy").exists()


class TestUnexpectedErrors:
    def test_one_line_unless_the_traceback_is_asked_for(self, monkeypatch, capsys):
        def broken(args):
            raise RuntimeError("the unforeseen")

        monkeypatch.setattr(merge_command, "run", broken)
        monkeypatch.delenv("QUILLMOOR_TRACEBACK", raising=False)
        assert main(["merge", "f.npz", "-o", "o.npy"]) == 1
        assert capsys.readouterr().err == (
            "quillmoor merge: unexpected RuntimeError: the unforeseen "
            "(QUILLMOOR_TRACEBACK=1 shows where)\n")
        monkeypatch.setenv("QUILLMOOR_TRACEBACK", "1")
        with pytest.raises(RuntimeError, match="the unforeseen"):
            main(["merge", "f.npz", "-o", "o.npy"])


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs Linux's /proc")
class TestInterrupt:
    def test_ctrl_c_during_a_merge_is_one_line_exit_130_and_no_output(self, tmp_path):
        if under_emulator():
            pytest.skip("under an emulator the signal races the interpreter's start")
        # A merge over before the signal came is tried again with a larger field.
        late = []
        for points in (2_000_000, 6_000_000, 18_000_000):
            source = tmp_path / "field.npz"
            assert main(["generate", str(source), "--points", str(points)]) == 0
            output = tmp_path / "kept.npy"
            before = sorted(os.listdir(tmp_path))
            code, written, out = interrupted_on_terminal(
                ["-m", "quillmoor", "merge", str(source), "-o", str(output), "--threads", "2"],
                cwd=tmp_path)
            if code == 0 or output.exists():
                # Too late: the result was complete before the signal arrived.
                assert code in (0, 130)
                output.unlink()
                late.append((code, written[-300:], out))
                continue
            assert (code, out) == (130, ""), written
            assert screen_lines(written)[-1] == "quillmoor merge: interrupted", written
            assert sorted(os.listdir(tmp_path)) == before  # no result, no temporary
            return
        pytest.fail(f"every merge was over before the interrupt reached it: {late}")


class TestHelp:
    def test_merge_help_explains_the_columns(self, capsys):
        assert main(["merge", "--help"]) == 0
        out = capsys.readouterr().out
        for words in ("connected_crop_rows", "points_in_rows", "row_information",
                      "key_a, key_b", "columns 2, 3   x, y", "first NaN", "copied unchanged"):
            assert words in out


class TestDemo:
    ARGS = ["demo", "--points", "2000", "--threads", "1", "--output", "demo.png"]

    def test_picture_with_matplotlib(self, tmp_path):
        pytest.importorskip("matplotlib")
        result = run_module(self.ARGS, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert "2,000 points" in result.stdout and "dropped" in result.stdout
        assert (tmp_path / "demo.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_runs_without_matplotlib_and_says_how_to_get_it(self, tmp_path):
        result = run_module(self.ARGS, cwd=tmp_path,
                            prelude="sys.modules['matplotlib'] = None")
        assert result.returncode == 0, result.stderr
        assert "points kept" in result.stdout
        assert "pip install 'quillmoor[demo]'" in result.stdout
        assert not (tmp_path / "demo.png").exists()
