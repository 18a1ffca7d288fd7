#!/usr/bin/env bash
# Stage: 32-bit ARM (hard-float), Debian bookworm under qemu-user emulation.
# Builds the armv7l wheel inside the root and proves it on a root without compilers: the
# demo and the whole test suite against Debian's NumPy 1.24 (fewer generated examples:
# emulation is slow) run from a fresh virtual environment holding the wheel (see
# armhf_wheel.sh). Then, with that install: the 32-bit machine word, and digests of merge
# results on generated fields compared with the same run on x86_64, among them one field
# of ten million points, generated on the host and merged in one 32-bit process.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"

ensure_arm_emulation
tarball=$(armhf_root_tarball)
root=$(fresh_root armhf "$tarball")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor
python=/wheel-venv/bin/python

bash "$PLATFORM_DIR/armhf_wheel.sh" "$root" || die "the armv7l wheel"

log "armhf: machine word and num_threads"
in_root "$root" sh -c "cd /tmp && $python $src/ci/platforms/show_machine_word.py" \
  || die "machine word checks on armhf"

log "armhf: result digests, 32-bit ARM against x86_64"
arm_digests=$WORK_DIR/digests-armhf.txt
host_digests=$WORK_DIR/digests-x86_64.txt
in_root "$root" sh -c "cd /tmp && $python $src/ci/platforms/result_digest.py" \
  >"$arm_digests" || die "digests on armhf"
"$PLATFORM_DIR/host_module.sh" "$root$src" "$PLATFORM_DIR/result_digest.py" >"$host_digests" \
  || die "digests on x86_64"
if ! diff -u "$host_digests" "$arm_digests"; then
  die "results on 32-bit ARM differ from x86_64"
fi
log "armhf: $(wc -l <"$arm_digests") fields give bit-identical results on armhf and x86_64"

log "armhf: a field of ten million points in one 32-bit process"
large=/large-field
host_large=$("$PLATFORM_DIR/host_module.sh" "$root$src" "$PLATFORM_DIR/large_field_digest.py" generate "$root$large") \
  || die "large field on x86_64"
arm_large=$(in_root "$root" sh -c "cd /tmp && $python $src/ci/platforms/large_field_digest.py digest $large") \
  || die "large field on armhf"
rm -rf "${root:?}$large"
if [ "$host_large" != "$arm_large" ]; then
  die "large field: x86_64 gives '$host_large', armhf '$arm_large'"
fi
log "armhf: $arm_large, as on x86_64"
