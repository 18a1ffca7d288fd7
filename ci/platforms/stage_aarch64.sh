#!/usr/bin/env bash
# Stage: 64-bit ARM (aarch64), Debian bookworm under qemu-user emulation.
# The stable-ABI wheel cross-compiled by zig (scripts/build_wheels.sh aarch64) goes into a
# fresh virtual environment of bookworm's CPython 3.11 with NumPy, pytest and hypothesis
# from PyPI; pip picks quillmoor's wheel from the wheel folder on its own. Then: the demo,
# the README's examples, digests of merge results compared with x86_64's, and the whole
# suite (fewer generated examples: emulation is slow).
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"

wheel=$(wheel_in_house 'cp311-abi3-manylinux_2_28_aarch64.whl' aarch64)
root=$(fresh_root aarch64 "$(arm64_root_tarball)")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor
venv=/wheel-venv
wheels_into_root "$wheel" "$root"
log "aarch64: $(basename "$wheel")"

log "aarch64: fresh virtual environment (emulated)"
in_root "$root" sh -c "python3 -m venv $venv \
    && $venv/bin/python -m pip install -q --only-binary=:all: numpy pytest hypothesis \
    && $venv/bin/python -m pip install -q --no-index --find-links /wheels quillmoor" \
  || die "installing the aarch64 wheel"
module=$(in_root "$root" sh -c "cd /tmp && $venv/bin/python $src/ci/platforms/wheel_smoke.py \
    && $venv/bin/python -c 'import platform; print(platform.machine())' \
    && $venv/bin/python -m quillmoor demo --output /tmp/demo.png" </dev/null) \
  || die "the demo from the aarch64 wheel"
echo "$module" >&2
case $module in *"_native.abi3.so"*aarch64*) ;; *) die "aarch64 did not get the stable-ABI module" ;; esac
in_root "$root" sh -c "cd /tmp && $venv/bin/python -m pytest -q -rs -p no:cacheprovider \
    $src/tests/test_readme_examples.py" || die "the README's examples on aarch64"

log "aarch64: result digests, 64-bit ARM against x86_64"
arm_digests=$WORK_DIR/digests-aarch64.txt
in_root "$root" sh -c "cd /tmp && $venv/bin/python $src/ci/platforms/result_digest.py" \
  >"$arm_digests" || die "digests on aarch64"
fields=$(match_host_digests "$arm_digests" "$root$src" aarch64) || exit 1
log "aarch64: $fields fields give bit-identical results on aarch64 and x86_64"

log "aarch64: the whole suite against the wheel (emulated)"
in_root "$root" QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES="${QUILLMOOR_AARCH64_MAX_EXAMPLES:-20}" \
  PYTHONPATH="$src/ci/platforms" sh -c "cd /tmp && nice -n 10 $venv/bin/python -m pytest -q -rs \
  -p no:cacheprovider -p hypothesis_budget $src/tests" \
  || die "the test suite against the aarch64 wheel"
