#!/usr/bin/env bash
# Stage: the x86_64 wheel on a machine with nothing: a bare Debian bookworm root with
# python3 and python3-venv only (no compiler). The wheel goes into a fresh
# virtual environment with NumPy, pytest and hypothesis from PyPI; then the demo and the
# README's examples run against the installed wheel (the whole suite runs on x86_64 in the
# host suites). Then the same root installs from the
# sdist, as a fresh Debian machine does: scripts/install_system_deps.sh, then pip.
# The wheel is taken from $QUILLMOOR_WHEEL_DIR (build/wheelhouse), built there if missing.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/bare_roots.sh"
wheel=$(wheel_in_house 'cp311-abi3-manylinux*_x86_64.whl' host)
wheels=$(dirname "$wheel")  # the sdist is beside it
log "bare root: $(basename "$wheel")"

root=$(fresh_root bare-wheel "$(bare_root_tarball)")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor
mkdir -p "$root/wheels"
cp "$wheel" "$root/wheels/"

# The root is what it claims to be: no compiler, no NumPy.
in_root "$root" sh -c '! command -v cc && ! command -v gcc && ! command -v g++ && ! command -v c++' >/dev/null \
  || die "the bare root has a compiler"
in_root "$root" sh -c '! python3 -c "import numpy" 2>/dev/null' || die "the bare root has NumPy"

log "bare root: fresh virtual environment, the wheel with NumPy, pytest and hypothesis from PyPI"
in_root "$root" sh -c "python3 -m venv /venv && /venv/bin/python -m pip install -q --only-binary=:all: \
  /wheels/$(basename "$wheel") pytest hypothesis" || die "installing the wheel into the bare root"
in_root "$root" /venv/bin/python -m pip list 2>/dev/null | grep -iE '^(numpy|quillmoor|pytest|hypothesis) ' >&2

log "bare root: demo"
in_root "$root" sh -c "cd /tmp && /venv/bin/python $src/ci/platforms/wheel_smoke.py \
  && /venv/bin/python -m quillmoor demo --output /tmp/demo.png" </dev/null || die "the demo in the bare root"

log "bare root: the README's examples against the installed wheel"
in_root "$root" sh -c "cd /tmp && /venv/bin/python -m pytest -q -rs -p no:cacheprovider \
  $src/tests/test_readme_examples.py" || die "the README's examples in the bare root"

log "bare root: from the sdist, after scripts/install_system_deps.sh"
sdist=$(ls "$wheels"/quillmoor-*.tar.gz 2>/dev/null | head -n1)
[ -n "$sdist" ] || die "no sdist beside the wheel in $wheels"
cp "$sdist" "$root/wheels/"
in_root "$root" sh -c "$src/scripts/install_system_deps.sh \
  && python3 -m venv /venv-source && /venv-source/bin/python -m pip install -q /wheels/$(basename "$sdist") pytest \
  && cd /tmp && /venv-source/bin/python $src/ci/platforms/wheel_smoke.py \
  && /venv-source/bin/python -m pytest -q -rs -p no:cacheprovider $src/tests/test_readme_examples.py" \
  || die "installing from the sdist in the bare root"
