#!/usr/bin/env bash
# Builds the module from a source tree for the host (x86_64), with a cached virtual
# environment holding NumPy 2 from PyPI, and runs the given Python script against it.
# Usage: host_module.sh SOURCE_DIR SCRIPT [ARGS...]
# QUILLMOOR_HOST_BUILD_DIR, when set, is the build folder (one per stage, so two never share).
source "$(dirname "$0")/common.sh"
source_dir=$1; shift
venv=$CACHE_DIR/host-venv
# Stages in both lanes need it, at times at the same moment.
publish_dir "$venv" build_venv "numpy>=2" || die "the host's venv with NumPy"
build=${QUILLMOOR_HOST_BUILD_DIR:-$WORK_DIR/host-build}
rm -rf "$build"
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$venv/bin/python" -DQUILLMOOR_ENGINE_TESTS=OFF >/dev/null
$NICE cmake --build "$build" -j 2 >&2
PYTHONPATH=$build/pkg "$venv/bin/python" "$@"
