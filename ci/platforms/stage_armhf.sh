#!/usr/bin/env bash
# Stage: 32-bit ARM (hard-float), Debian bookworm under qemu-user emulation.
# The stable-ABI armv7l wheel that zig cross-compiles for glibc 2.28 (scripts/build_wheels.sh
# armhf) is proven on the root with its compilers taken out: pip picks it from the wheel
# folder into a fresh virtual environment that sees Debian's NumPy 1.24 (PyPI has no armv7l
# NumPy), then the demo, the README's examples and the whole test suite (fewer generated
# examples: emulation is slow). Then, with that install: the 32-bit machine word, and digests of merge
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

wheel=$(wheel_in_house 'cp311-abi3-manylinux_2_28_armv7l.whl' armhf)
wheels_into_root "$wheel" "$root"
log "armhf: $(basename "$wheel")"

log "armhf: taking the compilers out of the root"
in_root "$root" sh -c 'dpkg-query -W -f "\${Package}\n" | grep -E "^(g\+\+|gcc|cpp)" \
  | xargs dpkg --purge --force-depends >/dev/null 2>&1' || true
if in_root "$root" sh -c 'command -v cc || command -v gcc || command -v g++' >/dev/null; then
  die "a compiler is still installed in the root"
fi

log "armhf: fresh virtual environment, demo, README examples, test suite (emulated)"
in_root "$root" sh -c "python3 -m venv --system-site-packages /wheel-venv \
    && $python -m pip install -q --no-index --find-links /wheels quillmoor" \
  || die "installing the armv7l wheel"
module=$(in_root "$root" sh -c "cd /tmp && $python $src/ci/platforms/wheel_smoke.py \
    && $python -m quillmoor demo --output /tmp/demo.png" </dev/null) \
  || die "the demo from the armv7l wheel"
echo "$module" >&2
case $module in *"_native.abi3.so"*) ;; *) die "armv7l did not get the stable-ABI module" ;; esac
in_root "$root" QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES="${QUILLMOOR_ARMHF_MAX_EXAMPLES:-20}" \
  PYTHONPATH="$src/ci/platforms" sh -c "cd /tmp && nice -n 10 $python -m pytest -q -rs \
  -p no:cacheprovider -p hypothesis_budget $src/tests" \
  || die "the test suite against the armv7l wheel"

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
if [ "$host_large" != "$arm_large" ]; then
  die "large field: x86_64 gives '$host_large', armhf '$arm_large'"
fi
log "armhf: $arm_large, as on x86_64"

log "armhf: the same field merged from file to file within $BOUNDED_MEMORY"
peak=$WORK_DIR/armhf-bounded-peak.txt
arm_bounded=$(in_root "$root" sh -c "cd /tmp && $python $src/ci/platforms/large_field_digest.py \
  bounded $large $BOUNDED_MEMORY" 2>"$peak") || { cat "$peak"; die "the field merged within $BOUNDED_MEMORY on armhf"; }
rm -rf "${root:?}$large"
[ "$host_large" = "$arm_bounded" ] || die "within $BOUNDED_MEMORY: x86_64 gives '$host_large', armhf '$arm_bounded'"
log "armhf: $(cat "$peak"); the result as on x86_64"
