# The compiler of the x86_64 wheels: zig (PyPI's ziglang) targeting glibc 2.28, so that the
# wheels run on every Linux with glibc 2.28 or newer (manylinux_2_28), and oneTBB built
# static with it from Debian's source. zig links its own libc++ statically, so the module
# needs nothing but glibc; oneTBB is linked in rather than vendored because a shared libtbb
# would carry a second copy of libc++, and an exception thrown in a worker crosses from
# one into the other. Sourced after common.sh and roots.sh.
MANYLINUX_ZIG_VERSION=0.17.1
MANYLINUX_GLIBC=2.28
MANYLINUX_TARGET=x86_64-linux-gnu.$MANYLINUX_GLIBC
MANYLINUX_CPU=x86_64  # the x86-64 baseline: no instruction a 2003 CPU lacks
MANYLINUX_ZIG_DIR=$CACHE_DIR/zig-manylinux-$MANYLINUX_ZIG_VERSION
# zig keeps the libc++ it builds per target here; kept with the cache.
export ZIG_GLOBAL_CACHE_DIR=$CACHE_DIR/zig-cache

# Prints the folder of the cc and c++ wrappers, installing zig first when needed.
ensure_manylinux_zig() {
  local wrappers=$MANYLINUX_ZIG_DIR/wrappers-$MANYLINUX_TARGET
  if [ ! -x "$wrappers/c++" ]; then
    rm -rf "$MANYLINUX_ZIG_DIR"
    python3 -m venv "$MANYLINUX_ZIG_DIR/venv"
    "$MANYLINUX_ZIG_DIR/venv/bin/python" -m pip install -q "ziglang==$MANYLINUX_ZIG_VERSION" >&2
    local zig
    zig=$("$MANYLINUX_ZIG_DIR/venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    mkdir -p "$wrappers"
    local tool
    for tool in cc c++; do
      printf '#!/bin/sh\nexec %s %s -target %s -mcpu=%s "$@"\n' \
        "$zig" "$tool" "$MANYLINUX_TARGET" "$MANYLINUX_CPU" >"$wrappers/$tool"
    done
    printf '#!/bin/sh\nexec %s ar "$@"\n' "$zig" >"$wrappers/ar"
    printf '#!/bin/sh\nexec %s ranlib "$@"\n' "$zig" >"$wrappers/ranlib"
    chmod +x "$wrappers"/*
    # The module exports its init function only, not the C++ library linked into it.
    printf '{ global: PyInit_*; local: *; };\n' >"$wrappers/module.map"
  fi
  echo "$wrappers"
}

# Environment words (VAR=value) that make CMake build with the wrappers.
manylinux_build_env() {
  local wrappers; wrappers=$(ensure_manylinux_zig)
  echo "CC=$wrappers/cc CXX=$wrappers/c++ LDFLAGS=-Wl,--version-script=$wrappers/module.map ZIG_GLOBAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR"
}
