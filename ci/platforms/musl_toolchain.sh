# The zig C/C++ toolchain (PyPI's ziglang) and its wrappers for 32-bit ARM with musl;
# sourced after common.sh and roots.sh.
ZIG_VERSION=0.17.1
MUSL_TARGET=arm-linux-musleabihf
MUSL_CPU=cortex_a7  # ARMv7-A with VFPv4 and NEON, as on the robots' boards
ZIG_DIR=$CACHE_DIR/zig-$ZIG_VERSION
# zig keeps the libc and libc++ it builds per target here; kept with the cache.
export ZIG_GLOBAL_CACHE_DIR=$CACHE_DIR/zig-cache

# zig and its wrappers for 32-bit ARM, installed once (stages may run side by side).
install_zig() { with_lock zig install_zig_unlocked; }

install_zig_unlocked() {
  if [ ! -x "$ZIG_DIR/wrappers/c++" ]; then
    rm -rf "$ZIG_DIR"
    python3 -m venv "$ZIG_DIR/venv"
    "$ZIG_DIR/venv/bin/python" -m pip install -q "ziglang==$ZIG_VERSION" >&2
    local zig
    zig=$(zig_binary "$ZIG_DIR/venv")
    mkdir -p "$ZIG_DIR/wrappers"
    printf '#!/bin/sh\nexec %s cc -target %s -mcpu=%s "$@"\n' "$zig" "$MUSL_TARGET" "$MUSL_CPU" >"$ZIG_DIR/wrappers/cc"
    printf '#!/bin/sh\nexec %s c++ -target %s -mcpu=%s "$@"\n' "$zig" "$MUSL_TARGET" "$MUSL_CPU" >"$ZIG_DIR/wrappers/c++"
    printf '#!/bin/sh\nexec %s ar "$@"\n' "$zig" >"$ZIG_DIR/wrappers/ar"
    printf '#!/bin/sh\nexec %s ranlib "$@"\n' "$zig" >"$ZIG_DIR/wrappers/ranlib"
    chmod +x "$ZIG_DIR"/wrappers/*
  fi
}
