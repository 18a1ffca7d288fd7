#!/usr/bin/env bash
# Runs inside the sid root: compiles every source of the module that sees Python.h (not
# the engine) against the headers of the given interpreter with Py_GIL_DISABLED=1, syntax
# only. Catches API that a free-threaded build of that version removes or changes.
# Usage: syntax_check_free_threaded.sh PYTHON
set -euo pipefail
python=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
includes=$("$python" -c 'import sysconfig; p = sysconfig.get_paths()
print(" ".join(sorted({"-I" + p["include"], "-I" + p["platinclude"]})))')
cd "$src"
sources=(src/lib.cpp src/py_binding/*.cpp)
echo "$("$python" --version): ${#sources[@]} sources, Py_GIL_DISABLED=1, $includes"
# shellcheck disable=SC2086
for f in "${sources[@]}"; do
  [ -f "$f" ] || continue
  g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DPy_GIL_DISABLED=1 $includes -Isrc "$f"
done
echo "syntax check passed"
