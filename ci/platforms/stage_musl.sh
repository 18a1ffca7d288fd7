#!/usr/bin/env bash
# Stage: the engine's C++ tests for 32-bit ARM with musl, cross-built with zig (PyPI's
# ziglang) against GoogleTest built from Debian's sources, run under qemu-arm.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
source "$PLATFORM_DIR/musl_toolchain.sh"

ensure_arm_emulation
deps=$(musl_arm_deps_tarball)
prefix=$WORK_DIR/musl-arm-prefix
rm -rf "$prefix"
unpack_into "$deps" "$prefix"
toolchain=$(ensure_zig "$prefix")

# musl's probe of the main thread's stack never ends under qemu-user (see the shim's
# comment); the test programs get the main thread's stack bounds from the shim instead.
shim=$prefix/emulated_main_stack.o
"$ZIG_DIR/wrappers/cc" -O2 -c "$PLATFORM_DIR/emulated_main_stack.c" -o "$shim" \
  || die "compiling the emulation shim"

source_dir=$WORK_DIR/musl-checkout
copy_checkout "$source_dir"
build=$WORK_DIR/musl-build
rm -rf "$build"
log "musl: building the engine tests for $MUSL_TARGET"
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUILLMOOR_PYTHON_MODULE=OFF -DQUILLMOOR_ENGINE_TESTS=ON \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,--wrap=pthread_getattr_np $shim" \
  >/dev/null || die "configuring the engine for $MUSL_TARGET"
$NICE cmake --build "$build" -j 2 || die "building the engine tests for $MUSL_TARGET"
tests=$build/tests/engine/engine_tests
file -b "$tests" | tee "$WORK_DIR/musl-binary.txt"
grep -q 'ELF 32-bit LSB.*ARM' "$WORK_DIR/musl-binary.txt" || die "engine_tests is not a 32-bit ARM binary"

log "musl: running the engine tests under qemu-arm"
# Bounded: a hang under emulation must fail the stage, not stall CI.
timeout --kill-after=10 "${QUILLMOOR_MUSL_TEST_TIMEOUT:-900}" qemu-arm-static "$tests" \
  || die "engine tests on $MUSL_TARGET"
