#!/usr/bin/env bash
# Developer build without pip: builds the module (and the engine's C++ tests) into
# build/<name> and lays out an importable package in build/<name>/pkg.
# Usage: scripts/dev_build.sh [name] [extra cmake args...]
#   then: PYTHONPATH=build/<name>/pkg python -m pytest tests
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-dev}; shift || true
cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DQUILLMOOR_ENGINE_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "build/$name" --parallel 2
