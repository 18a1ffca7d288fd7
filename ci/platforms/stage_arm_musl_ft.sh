#!/usr/bin/env bash
# Stage: the platform the module is made for, end to end: a free-threaded CPython on 32-bit
# ARM (hard-float) with musl, run under qemu-arm. The interpreter (the newest whose source
# Debian's archive serves, cross-built with zig) and NumPy (built from its sdist for it)
# are cached (arm_musl_ft.sh). The module is built for that interpreter; with that build:
# the interpreter lock stays off after import, the 32-bit machine word, merge results on
# generated fields and one field of ten million points compared bit for bit with x86_64
# glibc (merged file to file within a budget in the armhf stage). Then the cp3XXt musllinux
# armv7l wheel, repaired and judged by auditwheel's own musllinux policy, goes into a
# clean venv, and the tests this platform alone can show run against it from outside the
# checkout, the free-threading tests among them (the whole suite runs on 32-bit ARM in
# the armhf stage).
# Ends with one line saying what ran; exits non-zero if any of it failed.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
source "$PLATFORM_DIR/musl_toolchain.sh"
source "$PLATFORM_DIR/musl_python.sh"
source "$PLATFORM_DIR/arm_musl_python.sh"
source "$PLATFORM_DIR/arm_musl_ft.sh"

# Every emulated step is bounded: a hang fails the stage instead of stalling CI.
STEP_TIMEOUT=${QUILLMOOR_ARM_FT_STEP_TIMEOUT:-900}
SUITE_TIMEOUT=${QUILLMOOR_ARM_FT_SUITE_TIMEOUT:-2400}

ensure_arm_emulation
sid=$(sid_root_tarball)
interpreter=$(arm_ft_python_tarball)
numpy=$(arm_ft_numpy_tarball)
auditwheel=$(musl_auditwheel)
root=$(fresh_root arm-musl-ft "$sid" "$interpreter" "$numpy")
trap 'remove_root "$root"' EXIT
arm_musl_enter "$root" armv7l
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor
version=$(cat "$root$ARM_FT_PREFIX/quillmoor-version.txt")
suite_wheels=$(arm_ft_suite_wheels "${version%.*}")
mkdir -p "$root/suite-wheels" && cp "$suite_wheels"/*.whl "$root/suite-wheels/"
numpy_version=$(cd "$root$ARM_FT_WHEELS" && ls numpy-*.whl | cut -d- -f2)
work=$WORK_DIR/arm-musl-ft-files  # beside the root ($WORK_DIR/arm-musl-ft), never in it
rm -rf "$work" && mkdir -p "$work"

emulated() {  # timeout command...: runs in the root, bounded
  local limit=$1; shift
  in_root "$root" timeout --kill-after=10 "$limit" "$@"
}

# The interpreter's site-packages: its pip runs in the venvs (ensurepip would install
# another copy into each, slowly, under emulation).
base_packages=$(in_root "$root" "$ARM_FT_PYTHON" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')

new_venv() {  # venv requirement...: the interpreter's venv, wheels from the root's folders
  emulated "$STEP_TIMEOUT" "$ARM_FT_PYTHON" -m venv --without-pip "$1" \
    && emulated "$STEP_TIMEOUT" env PYTHONPATH="$base_packages" "$1/bin/python" -m pip install -q \
         --no-index --find-links /suite-wheels --find-links "$ARM_FT_WHEELS" "${@:2}"
}

log "arm-musl-ft: the interpreter"
emulated "$STEP_TIMEOUT" "$ARM_FT_PYTHON" "$src/ci/platforms/arm_ft_interpreter_check.py" 4 | tee "$work/interpreter.txt" \
  || die "the free-threaded interpreter on $MUSL_TARGET"

log "arm-musl-ft: the module built for it (zig, native speed; CMake asks the emulated interpreter)"
new_venv /venv-build "numpy==$numpy_version" pytest hypothesis "scikit-build-core>=0.10" \
  || die "the build venv"
compilers=(CC="$ARM_FT_WRAPPERS/cc" CXX="$ARM_FT_WRAPPERS/c++")
emulated "$STEP_TIMEOUT" env "${compilers[@]}" cmake -S "$src" -B /build/module -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/venv-build/bin/python -DQUILLMOOR_ENGINE_TESTS=OFF \
  >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; die "configuring the module for $MUSL_TARGET"; }
emulated "$STEP_TIMEOUT" nice -n 10 cmake --build /build/module -j 2 >>"$work/cmake.log" 2>&1 \
  || { tail -n 40 "$work/cmake.log"; die "building the module for $MUSL_TARGET"; }
in_tree=(env PYTHONPATH="/build/module/pkg:$src/ci/platforms" sh -c 'cd /tmp && exec "$@"' in-tree)
emulated "$STEP_TIMEOUT" "${in_tree[@]}" /venv-build/bin/python -c 'import sys, quillmoor._native as n
assert n.__file__.startswith("/build/module/pkg/"), n.__file__
assert not sys._is_gil_enabled(), "importing the module turned the interpreter lock on"
print("in-tree build:", n.__file__.rsplit("/", 1)[1], "| interpreter lock stays off:", not sys._is_gil_enabled())' \
  || die "the in-tree module"
emulated "$STEP_TIMEOUT" "${in_tree[@]}" /venv-build/bin/python "$src/ci/platforms/show_machine_word.py" \
  || die "machine word checks"

log "arm-musl-ft: result digests against x86_64 glibc"
arm_digests=$WORK_DIR/digests-arm-musl-ft.txt
emulated "$STEP_TIMEOUT" "${in_tree[@]}" /venv-build/bin/python "$src/ci/platforms/result_digest.py" \
  >"$arm_digests" || die "digests on $MUSL_TARGET"
fields=$(match_host_digests "$arm_digests" "$root$src" "$MUSL_TARGET") || exit 1
log "arm-musl-ft: $fields fields give bit-identical results"

log "arm-musl-ft: a field of ten million points in one 32-bit free-threaded process"
large=/large-field
host_large=$("$PLATFORM_DIR/host_module.sh" "$root$src" "$PLATFORM_DIR/large_field_digest.py" \
  generate "$root$large") || die "large field on x86_64"
arm_large=$(emulated "$STEP_TIMEOUT" "${in_tree[@]}" /venv-build/bin/python \
  "$src/ci/platforms/large_field_digest.py" digest "$large") || die "large field on $MUSL_TARGET"
[ "$host_large" = "$arm_large" ] || die "large field: x86_64 gives '$host_large', $MUSL_TARGET '$arm_large'"
log "arm-musl-ft: $arm_large, as on x86_64"

rm -rf "${root:?}$large"

log "arm-musl-ft: the wheel"
# As in the other wheels: the module exports its init function only, not the C++ library
# linked into it, and ships without debug information (no strip for ARM here, so the
# linker leaves it out).
printf '{ global: PyInit_*; local: *; };\n' >"$root/build/module.map"
emulated "$STEP_TIMEOUT" env "${compilers[@]}" LDFLAGS="-Wl,--version-script=/build/module.map -Wl,--strip-all" \
  PYTHONPATH="$base_packages" nice -n 10 /venv-build/bin/python -m pip wheel -q \
  --no-index --no-deps --no-build-isolation -w /dist "$src" >"$work/wheel.log" 2>&1 \
  || { tail -n 40 "$work/wheel.log"; die "building the wheel"; }
raw_wheel=$(ls "$root"/dist/quillmoor-*.whl)
wheel=$(repair_musl_wheel "$auditwheel" "$raw_wheel" armv7l "$work/repair") || exit 1
cat "$wheel.auditwheel.txt"
abi=$(sed 's/\.//' <<<"${version%.*}")
case $(basename "$wheel") in
  *-cp$abi-cp${abi}t-musllinux_1_2_armv7l.whl) ;;
  *) die "unexpected wheel tag: $(basename "$wheel")" ;;
esac
# The suffix a CPython built on the board looks for, platform triplet included.
module=$(unzip -Z1 "$wheel" | grep -E '^quillmoor/_native\..*\.so$') || die "no module in $(basename "$wheel")"
[ "$module" = "quillmoor/_native.cpython-${abi}t-$MUSL_TARGET.so" ] \
  || die "the wheel's module is $module, not _native.cpython-${abi}t-$MUSL_TARGET.so"
wheel_kib=$(du -k "$wheel" | cut -f1)
log "arm-musl-ft: $(basename "$wheel"), $wheel_kib KiB"
out=${QUILLMOOR_WHEEL_DIR:-$REPO_ROOT/build/wheelhouse}
# Whole, as the other lane may be copying the folder's wheels at this moment.
publish_file "$wheel" "$out" && publish_file "$wheel.auditwheel.txt" "$out"

log "arm-musl-ft: the platform's tests against the wheel in a clean venv (emulated)"
mkdir -p "$root/wheelhouse" && cp "$wheel" "$root/wheelhouse/"
new_venv /venv-wheel "numpy==$numpy_version" pytest hypothesis "/wheelhouse/$(basename "$wheel")" \
  || die "installing the wheel into a clean venv"
emulated "$STEP_TIMEOUT" sh -c 'cd /tmp && /venv-wheel/bin/python -c "import sys, quillmoor._native as n
assert \"/venv-wheel/\" in n.__file__ and \"/site-packages/quillmoor/\" in n.__file__, n.__file__
assert not sys._is_gil_enabled(), \"importing the module turned the interpreter lock on\"
print(\"wheel:\", n.__file__)"' || die "the wheel's module"
report=$work/pytest-wheel.txt
# The whole suite runs on 32-bit ARM in the armhf stage (the merge within a memory budget
# there too); here, what this platform alone can show: free threading, the 32-bit word
# with NumPy 2, the interpreter's exit during a call, the README. From outside the
# checkout, so that the installed package is the one imported; fewer generated examples
# per property, as emulation is slow.
platform_tests=(test_platform_free_threading test_platform_word_size test_platform_thread_conditions
  test_host_exit_during_call test_binding test_readme_examples)
test_files=$(printf "$src/tests/%s.py " "${platform_tests[@]}")
emulated "$SUITE_TIMEOUT" env QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES="${QUILLMOOR_ARM_FT_MAX_EXAMPLES:-20}" \
  PYTHONPATH="$src/ci/platforms" sh -c "cd /tmp && exec nice -n 10 /venv-wheel/bin/python -m pytest -q \
  -p no:cacheprovider -p hypothesis_budget -rs $test_files" | tee "$report" \
  || die "the platform's tests against the wheel on $MUSL_TARGET"
if grep -q 'SKIPPED.*test_platform_free_threading' "$report"; then
  die "free-threading tests were skipped on the free-threaded interpreter"
fi
passed=$(grep -oE '[0-9]+ passed' "$report" | tail -n1 | cut -d' ' -f1)
skipped=$(grep -oE '[0-9]+ skipped' "$report" | tail -n1 | cut -d' ' -f1)
[ -n "$passed" ] || die "no test passed"

echo "arm-musl-ft: CPython $version free-threaded (GIL off) on armv7l musl, NumPy $numpy_version," \
  "$passed passed, ${skipped:-0} skipped, $fields fields and the 10^7-point field bit-identical" \
  "to x86_64"
