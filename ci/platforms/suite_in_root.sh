#!/usr/bin/env bash
# Runs inside a platform root: builds the module with the given interpreter (CMake + Ninja,
# the developer layout build/pkg) and runs the whole pytest suite against that build.
# Usage: suite_in_root.sh PYTHON BUILD_DIR [extra pytest arguments...]
# QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES, when set, caps hypothesis' generated examples.
set -euo pipefail
python=$(command -v "$1"); build=$2; shift 2
src=$(cd "$(dirname "$0")/../.." && pwd)
"$python" -c 'import sys, sysconfig, numpy
print(sys.version.replace("\n", " "), "| free-threaded:", bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
      "| numpy", numpy.__version__)'
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
  -DQUILLMOOR_ENGINE_TESTS="${QUILLMOOR_ENGINE_TESTS:-OFF}" >/dev/null
cmake --build "$build" -j 2
# From outside the checkout, so that the built package is the one imported.
cd /tmp
PYTHONPATH="$build/pkg:$src/ci/platforms" "$python" -m pytest -q -p no:cacheprovider \
  -p hypothesis_budget "$@" "$src/tests"
