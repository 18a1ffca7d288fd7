#!/usr/bin/env bash
# Runs inside a sid root holding the free-threaded interpreter for 32-bit ARM with musl:
# builds a NumPy wheel for it from NumPy's sdist. The emulated interpreter drives the build
# (meson-python, NumPy's vendored Meson, Cython); zig compiles natively for the target and
# the root's x86_64 ninja runs the compiles. No BLAS: nothing here needs linear algebra
# speed, and none exists for this target.
# Usage: build_arm_musl_numpy.sh SDIST TOOLS_DIR OUTPUT_DIR   (paths inside the root)
set -euo pipefail
: "${ARM_FT_PYTHON:?}" "${ARM_FT_WRAPPERS:?}"
sdist=$1 tools=$2 output=$3
venv=/numpy-build-venv
rm -rf "$venv"
# The venv runs the interpreter's own pip (ensurepip would install another copy, slowly,
# under emulation).
"$ARM_FT_PYTHON" -m venv --without-pip "$venv"
base_packages=$("$ARM_FT_PYTHON" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
PYTHONPATH=$base_packages "$venv/bin/python" -m pip install -q --no-index --find-links "$tools" \
  meson-python Cython pyproject-metadata packaging
PYTHONPATH=$base_packages PATH=$venv/bin:$PATH CC=$ARM_FT_WRAPPERS/cc CXX=$ARM_FT_WRAPPERS/c++ AR=$ARM_FT_WRAPPERS/ar \
  "$venv/bin/python" -m pip wheel --no-index --no-build-isolation --no-deps -w "$output" "$sdist" \
  -Csetup-args=-Dallow-noblas=true -Csetup-args=-Dblas=none -Csetup-args=-Dlapack=none \
  -Csetup-args=-Dcpu-baseline=none -Csetup-args=-Dcpu-dispatch=none -Ccompile-args=-j2
ls "$output"/numpy-*.whl
