#!/usr/bin/env bash
# Stage: free-threaded CPython 3.13 (built from Debian's source with --disable-gil, cached):
# the cp313t wheel in a fresh virtual environment with NumPy (cp313t wheels), pytest and
# hypothesis from PyPI, and the whole test suite against it, including the free-threading
# tests, which run only on such an interpreter. Then a compile of all of src/ (warnings as
# errors) against CPython 3.14's headers with Py_GIL_DISABLED.
# The wheel is taken from $QUILLMOOR_WHEEL_DIR (build/wheelhouse), built there if missing.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
FT_PIP_PACKAGES=("numpy>=2.1" pytest hypothesis)

wheel=$(wheel_in_house 'cp313-cp313t-manylinux*_x86_64.whl' free-threaded)
log "free-threaded: $(basename "$wheel")"

sid=$(sid_root_tarball)
interpreter=$(free_threaded_python_tarball)
root=$(fresh_root free-threaded "$sid" "$interpreter")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor

log "free-threaded: fresh virtual environment, the wheel with ${FT_PIP_PACKAGES[*]} from PyPI"
mkdir -p "$root/wheels"
cp "$wheel" "$root/wheels/"
# Wheels only: newer hypothesis releases ship abi3 wheels, which a free-threaded build
# cannot load, and their source build needs a Rust toolchain from the network.
in_root "$root" sh -c "'$FT_PYTHON' -m venv /venv && /venv/bin/python -m pip install -q \
  --only-binary=:all: /wheels/$(basename "$wheel") $(printf "'%s' " "${FT_PIP_PACKAGES[@]}")" \
  || die "installing the cp313t wheel and the test dependencies into CPython 3.13t"

log "free-threaded: test suite against the installed wheel"
report=$WORK_DIR/free-threaded-pytest.txt
in_root "$root" sh -c "cd /tmp && /venv/bin/python -c 'import sys; print(sys.version)' \
  && PYTHONPATH=$src/ci/platforms nice -n 10 /venv/bin/python -m pytest -q -p no:cacheprovider \
     -p hypothesis_budget -rs $src/tests" | tee "$report" \
  || die "test suite on free-threaded CPython 3.13"
# The free-threading tests must have run here, not been skipped.
if grep -q 'SKIPPED.*test_platform_free_threading' "$report"; then
  die "free-threading tests were skipped on the free-threaded interpreter"
fi

log "free-threaded: all of src/ compiled against CPython 3.14 headers with Py_GIL_DISABLED, -Werror"
in_root "$root" bash "$src/ci/platforms/compile_free_threaded.sh" python3.14 /build/py314t \
  || die "the module does not compile against free-threaded CPython 3.14 headers"
