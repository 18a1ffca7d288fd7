#!/usr/bin/env bash
# The whole test run: system packages, the sdist and the wheels, the pytest suite against
# NumPy 1.26 and the newest NumPy 2 (each in a fresh virtual environment), the engine's C++
# tests, and the platform stages. Ends with how long each step took, also when one failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${QUILLMOOR_TEST_DIR:-$root/build/test-run}

timings=() step= step_started=$SECONDS run_started=$SECONDS
step() {  # name: ends the step before, if any, and starts this one
  end_step
  step=$1 step_started=$SECONDS
  echo "== $1 [$(date +%H:%M:%S)]"
}
end_step() {
  [ -z "$step" ] || timings+=("$(printf '%6d s  %s' $((SECONDS - step_started)) "$step")")
  step=
}
summary() {
  local status=$? failed=$step line
  end_step
  echo "== test run: $([ "$status" -eq 0 ] && echo passed || echo "FAILED${failed:+ in: $failed}")" \
    "($((SECONDS - run_started)) s)"
  for line in "${timings[@]}"; do echo "$line"; done
}
trap summary EXIT

step "system packages"
scripts/install_system_deps.sh
# GDAL's own ogrinfo reads back the GeoPackage that merge-layers writes.
if ! command -v ogrinfo >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gdal-bin >/dev/null
fi

step "the sdist and the wheels"
# The x86_64 stable-ABI wheel is the one the suites test, built twice from the sdist to
# show the two are the same bytes; the platform stages find it in the same folder and
# build the others there.
export QUILLMOOR_WHEEL_DIR=$work/wheelhouse
rm -rf "$QUILLMOOR_WHEEL_DIR"
scripts/build_wheels.sh host reproducible
wheel=$(ls "$QUILLMOOR_WHEEL_DIR"/quillmoor-*-cp311-abi3-manylinux*_x86_64.whl)

run_suite() {  # $1: name, $2: NumPy requirement, then optional extras to test with
  local venv="$work/venv-$1" numpy=$2
  shift 2
  step "pytest with numpy $numpy${*:+ (with $*)}"
  rm -rf "$venv"
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$numpy" pytest hypothesis "$@" "$wheel"
  "$venv/bin/python" -c "import numpy; print('numpy', numpy.__version__)"
  # Run from outside the checkout so the installed package is the one tested; -rs lists
  # every skipped test with its reason.
  (cd "$work" && "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider "$root/tests")
}
run_suite numpy1 "numpy==1.26.*"
# DataFrames (pandas, polars, Arrow), Parquet, GIS layers, pictures and a real two-worker
# Dask cluster run in this suite only.
run_suite numpy2 "numpy>=2" pandas polars mypy pyarrow "dask[distributed]" geopandas pyogrio \
  shapely matplotlib pytest-timeout s3fs "moto[server]"

step "mypy"
(cd "$root" && "$work/venv-numpy2/bin/python" -m mypy)

step "engine C++ tests"
scripts/engine_tests.sh

step "platform stages: 32-bit ARM, 64-bit ARM, free-threaded CPython, CPython 3.13 to 3.15, musl, bare root, classic and free-threaded musl CPython"
ci/platforms/run_all.sh
end_step
