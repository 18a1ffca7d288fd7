#!/usr/bin/env bash
# Stage: x86_64 with musl, on the host, free-threaded. A free-threaded CPython 3.13 linked
# against musl (zlib and CPython built from Debian's sources with musl-gcc, cached) with
# NumPy's musllinux wheels builds the cp313t musllinux wheel (zig's C++ for musl), which
# auditwheel repairs and judges by its own musllinux policy. From a clean venv, outside
# the checkout: the tests of free threading, of threads and of the interpreter's exit,
# the binding and the README's examples, and merge results compared bit for bit with
# x86_64 glibc. (The whole suite runs free-threaded in the free-threaded stage and on musl
# in musl-abi3, where the stable-ABI musllinux wheel runs on a classic musl CPython.)
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
source "$PLATFORM_DIR/musl_toolchain.sh"
source "$PLATFORM_DIR/musl_python.sh"

ensure_musl_x86_host_tools
base=$WORK_DIR/musl-x86_64
rm -rf "$base"; mkdir -p "$base"
python=$(musl_interpreter t "$base/python")
wheelhouse=$(musl_wheelhouse t)
auditwheel=$(musl_auditwheel)
compilers=$(musl_x86_compilers)
src=$base/checkout
copy_checkout "$src"

log "musl x86_64: the free-threaded wheel, built by the musl interpreter"
musl_new_venv "$python" "$wheelhouse" "$base/venv-build" "scikit-build-core>=0.10"
# C++ for the module: zig's clang and libc++ for musl.
musl_run CC="$compilers/zig-cc" CXX="$compilers/c++" nice -n 10 "$base/venv-build/bin/python" \
  -m pip wheel -q --no-deps --no-build-isolation -w "$base/dist" "$src" \
  || die "building the wheel with the musl interpreter"
raw_wheel=$(ls "$base"/dist/quillmoor-*.whl)
wheel=$(repair_musl_wheel "$auditwheel" "$raw_wheel" x86_64 "$base/repair") || exit 1
cat "$wheel.auditwheel.txt" >&2
case $(basename "$wheel") in
  *-cp313-cp313t-musllinux_1_2_x86_64.whl) ;;
  *) die "unexpected wheel tag: $(basename "$wheel")" ;;
esac
log "musl x86_64: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB"
out=${QUILLMOOR_WHEEL_DIR:-$REPO_ROOT/build/wheelhouse}
# Whole, as the other lane may be copying the folder's wheels at this moment.
publish_file "$wheel" "$out" && publish_file "$wheel.auditwheel.txt" "$out"

log "musl x86_64: the free-threaded musl platform's tests from the wheel in a clean venv"
musl_new_venv "$python" "$wheelhouse" "$base/venv-wheel" pytest hypothesis "$wheel"
report=$base/pytest-wheel.txt
platform_tests=(test_platform_free_threading test_platform_thread_conditions test_parallel
  test_host_thread_limits test_host_exit_during_call test_binding test_readme_examples)
# From outside the checkout, so that the installed package is the one imported.
(cd "$base" && musl_run nice -n 10 "$base/venv-wheel/bin/python" -m pytest -q -p no:cacheprovider -rs \
   $(printf "$src/tests/%s.py " "${platform_tests[@]}")) | tee "$report" \
  || die "the platform's tests from the musllinux wheel"
(cd "$base" && musl_run "$base/venv-wheel/bin/python" -c 'import sys, quillmoor, quillmoor._native as n
assert "/site-packages/quillmoor/" in n.__file__, n.__file__
assert not sys._is_gil_enabled(), "the interpreter lock came back on"
print("imported", n.__file__)') || die "the wheel's module"
if grep -q 'SKIPPED.*test_platform_free_threading' "$report"; then
  die "free-threading tests were skipped on the free-threaded musl interpreter"
fi

log "musl x86_64: result digests, musl against x86_64 glibc"
musl_digests=$WORK_DIR/digests-musl-x86_64.txt
(cd "$base" && musl_run "$base/venv-wheel/bin/python" "$src/ci/platforms/result_digest.py") \
  >"$musl_digests" || die "digests on musl"
fields=$(match_host_digests "$musl_digests" "$src" "musl x86_64") || exit 1
log "musl x86_64: $fields fields give bit-identical results on musl and glibc"
