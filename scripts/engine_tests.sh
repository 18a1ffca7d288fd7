#!/usr/bin/env bash
# Builds and runs the engine's C++ tests: plain, under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUILLMOOR_ENGINE_BUILD_DIR:-build/engine}
launcher=()
if command -v ccache >/dev/null; then
  # The three builds' objects are kept between runs, keyed by the preprocessed source and
  # the flags, wherever the checkout lies (paths under it are hashed relative to it).
  export CCACHE_DIR=${QUILLMOOR_CCACHE_DIR:-${QUILLMOOR_PLATFORM_CACHE:-$HOME/.cache/quillmoor}/ccache}
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-2G}
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
run() {  # $1: build name, $2: extra compiler flags
  echo "-- engine tests: $1"
  cmake -S . -B "$build/$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLMOOR_PYTHON_MODULE=OFF -DQUILLMOOR_ENGINE_TESTS=ON \
    -DCMAKE_CXX_FLAGS="$2" "${launcher[@]}" >/dev/null
  cmake --build "$build/$1" >/dev/null
  (cd "$build/$1" && ctest --output-on-failure -j2)
}
run plain ""
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run asan-ubsan "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# Fork tests start threads in the child of a multi-threaded parent.
TSAN_OPTIONS="halt_on_error=1 die_after_fork=0" \
  run tsan "-fsanitize=thread"
