#!/usr/bin/env bash
# Runs inside the sid root: compiles all of src/ (the engine and the module) with the
# project's own CMake build against the headers of the given interpreter, with
# Py_GIL_DISABLED=1 and warnings as errors, and links the module. Holds the module to the
# free-threaded C API of that version before an interpreter of it can be built here.
# Where only the headers of the version's build with the interpreter lock exist (Debian
# ships no free-threaded 3.14), they serve: both builds install the same headers, and
# pyconfig.h's Py_GIL_DISABLED (left undefined there) is the only switch between them. The
# module compiled so is never imported: that build's libpython lacks the free-threaded
# build's symbols.
# Usage: compile_free_threaded.sh PYTHON BUILD_DIR
set -euo pipefail
python=$(command -v "$1"); build=$2
src=$(cd "$(dirname "$0")/../.." && pwd)
own_build=$("$python" -c 'import sysconfig; print(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))')
echo "$("$python" --version): free-threaded build's own headers: $own_build; compiling with Py_GIL_DISABLED=1, -Werror"
rm -rf "$build"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
  -DQUILLMOOR_ENGINE_TESTS=OFF -DCMAKE_CXX_FLAGS="-DPy_GIL_DISABLED=1 -Werror" >/dev/null
cmake --build "$build" -j 2 --target _native
compiled=$(find "$build" -name '*.o' | wc -l)
module=$(find "$build" -maxdepth 1 -name '_native*.so' | head -n1)
[ -n "$module" ] || { echo "no module was linked" >&2; exit 1; }
# Only the free-threaded Py_DECREF calls this: proof that the switch reached the headers.
nm -D --undefined-only "$module" | grep -w _Py_MergeZeroLocalRefcount >/dev/null \
  || { echo "the module does not use the free-threaded reference counting" >&2; exit 1; }
echo "compiled $compiled sources of src/ and linked $(basename "$module") with Py_GIL_DISABLED=1"
