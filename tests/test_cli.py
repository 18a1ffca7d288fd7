"""The command line: merge round trips, messages for mistakes, and the demo."""

import os
import subprocess
import sys

import numpy as np
import pytest

from quillmoor import merge_points_removing_overlap
from quillmoor.__main__ import main

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
        assert "one .npz file or three .npy files" in capsys.readouterr().err

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
        assert "cannot write it" in capsys.readouterr().err

    @pytest.mark.parametrize("args", [["merge", "x.npz", "-o", "y", "--threads", "-1"],
                                      ["merge", "x.npz"], []])
    def test_usage_errors_exit_2(self, args, capsys):
        assert main(args) == 2
        assert "usage: quillmoor" in capsys.readouterr().err

    def test_failing_merge_and_missing_file_without_traceback(self, tables, tmp_path):
        # A points table of two columns has no x, y: the merge itself fails.
        narrow = self.write_npz(tmp_path, **{**tables,
                                             "points_in_rows": tables["points_in_rows"][:, :2]})
        failed = run_module(["merge", narrow, "-o", "o.npy"], cwd=tmp_path)
        assert failed.returncode == 1
        assert "quillmoor merge: error: the merge failed: points_in_rows has 2 columns" in failed.stderr
        assert "it needs at least 4: key_a, key_b, x, y" in failed.stderr
        assert "Traceback" not in failed.stderr
        assert not (tmp_path / "o.npy").exists()

        missing = run_module(["merge", "a.npy", "b.npy", "c.npy", "-o", "o.npy"], cwd=tmp_path)
        assert missing.returncode == 1
        assert "a.npy: no such file" in missing.stderr and "Traceback" not in missing.stderr


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
