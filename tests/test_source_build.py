"""A source build without oneTBB stops at configuration with one message saying what to
install, never at a compiler error (skipped where there is no CMake or C++ compiler, as on
a machine that installs wheels)."""

import shutil
import subprocess
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake")
COMPILER = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


@pytest.mark.skipif(not CMAKE or not COMPILER or not (SOURCE / "CMakeLists.txt").exists(),
                    reason="needs CMake, a C++ compiler and the source tree")
@pytest.mark.parametrize("hide", [
    ["-DCMAKE_DISABLE_FIND_PACKAGE_TBB=ON"],          # as if it were not installed
    ["-DTBB_DIR=/nonexistent", "-DCMAKE_FIND_ROOT_PATH=/nonexistent",
     "-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY"],     # searched only where it is not
], ids=["disabled", "searched-elsewhere"])
def test_missing_onetbb_names_what_to_install(tmp_path, hide):
    configure = subprocess.run(
        [CMAKE, "-S", str(SOURCE), "-B", str(tmp_path / "build"), "-DQUILLMOOR_PYTHON_MODULE=OFF",
         *hide],
        capture_output=True, text=True, timeout=600,
    )
    output = configure.stdout + configure.stderr
    assert configure.returncode != 0, output
    assert output.count("oneTBB was not found") == 1, output
    assert "sudo apt-get install libtbb-dev" in output
    # Nothing was compiled, and CMake's own search report stays out of the way.
    assert not (tmp_path / "build" / "build.ninja").exists()
    assert not (tmp_path / "build" / "Makefile").exists()
    assert "Could not find a package configuration file" not in output
