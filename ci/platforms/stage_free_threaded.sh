#!/usr/bin/env bash
# Stage: free-threaded CPython 3.13 (built from Debian's source with --disable-gil, cached)
# with NumPy (cp313t wheels), pytest and hypothesis from PyPI: the whole test suite,
# including the free-threading tests, which run only on such an interpreter. Then a syntax
# check of the module's sources against CPython 3.14's headers with Py_GIL_DISABLED.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
FT_PIP_PACKAGES=("numpy>=2.1" pytest hypothesis)

sid=$(sid_root_tarball)
interpreter=$(free_threaded_python_tarball)
root=$(fresh_root free-threaded "$sid" "$interpreter")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor

log "free-threaded: installing ${FT_PIP_PACKAGES[*]} from PyPI"
# Wheels only: newer hypothesis releases ship abi3 wheels, which a free-threaded build
# cannot load, and their source build needs a Rust toolchain from the network.
in_root "$root" "$FT_PYTHON" -m pip install -q --only-binary=:all: "${FT_PIP_PACKAGES[@]}" \
  || die "installing the test dependencies into CPython 3.13t"

log "free-threaded: build and test suite"
report=$WORK_DIR/free-threaded-pytest.txt
in_root "$root" nice -n 10 bash "$src/ci/platforms/suite_in_root.sh" "$FT_PYTHON" /build/ft -rs \
  | tee "$report" || die "test suite on free-threaded CPython 3.13"
# The free-threading tests must have run here, not been skipped.
if grep -q 'SKIPPED.*test_platform_free_threading' "$report"; then
  die "free-threading tests were skipped on the free-threaded interpreter"
fi

log "free-threaded: syntax check against CPython 3.14 headers with Py_GIL_DISABLED"
in_root "$root" bash "$src/ci/platforms/syntax_check_free_threaded.sh" python3.14 \
  || die "the module does not compile against free-threaded CPython 3.14 headers"
