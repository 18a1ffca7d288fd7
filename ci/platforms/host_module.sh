#!/usr/bin/env bash
# Builds the module from a source tree for the host (x86_64), with a cached virtual
# environment holding NumPy 2 from PyPI, and runs the given Python script against it.
# Usage: host_module.sh SOURCE_DIR SCRIPT [ARGS...]
# The build is kept in the cache under a digest of what it is made from (the sources, the
# compiler, CMake and the venv): the stages of a run, in both lanes, compare against one
# build instead of compiling one each, and a later run of the same sources reuses it.
source "$(dirname "$0")/common.sh"
source_dir=$1; shift
venv=$CACHE_DIR/host-venv
# Stages in both lanes need it, at times at the same moment.
publish_dir "$venv" build_venv "numpy>=2" || die "the host's venv with NumPy"

host_module_key() {  # source_dir venv
  {
    cat "$PLATFORM_DIR/host_module.sh"
    c++ --version; cmake --version; ninja --version
    "$2/bin/python" -c 'import sys, numpy; print(sys.version, numpy.__version__)'
    (cd "$1" && find CMakeLists.txt pyproject.toml src quillmoor -type f \
       ! -path '*/__pycache__/*' ! -name '*.so' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
  } | sha256sum | cut -c1-16
}

build_host_module() {  # tmp dest source_dir
  cmake -S "$3" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$venv/bin/python" -DQUILLMOOR_ENGINE_TESTS=OFF >/dev/null \
    && $NICE cmake --build "$1" -j 2 >&2 \
    && find "$(dirname "$2")" -mindepth 1 -maxdepth 1 -mmin +120 ! -name "$(basename "$2")*" \
         -exec rm -rf --one-file-system {} +  # builds of other sources, from earlier runs
}

key=$(host_module_key "$source_dir" "$venv") || die "the digest of $source_dir"
build=$CACHE_DIR/host-module/$key
mkdir -p "$CACHE_DIR/host-module"
[ -f "$build/.complete" ] || log "building the module for x86_64 from $source_dir ($key)" >&2
publish_dir "$build" build_host_module "$source_dir" || die "building the module for x86_64"
PYTHONPATH=$build/pkg "$venv/bin/python" "$@"
