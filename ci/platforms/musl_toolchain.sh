# The zig C/C++ cross toolchain for 32-bit ARM with musl (PyPI's ziglang), and GoogleTest
# built with it from Debian's sources; sourced after common.sh and roots.sh.
ZIG_VERSION=0.17.1
MUSL_TARGET=arm-linux-musleabihf
MUSL_CPU=cortex_a7  # ARMv7-A with VFPv4 and NEON, as on the robots' boards
ZIG_DIR=$CACHE_DIR/zig-$ZIG_VERSION
# zig keeps the libc and libc++ it builds per target here; kept with the cache.
export ZIG_GLOBAL_CACHE_DIR=$CACHE_DIR/zig-cache

# zig and its wrappers for 32-bit ARM, installed once (the musl stages may run side by side).
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

# Prints the path of a CMake toolchain file for 32-bit ARM with musl, finding libraries in
# PREFIX when given; one file per prefix, so no caller rewrites another's.
ensure_zig() {  # [prefix]
  install_zig
  local prefix=${1:-}
  local file=$ZIG_DIR/toolchain${prefix:+-$(basename "$prefix")}.cmake
  cat >"$file" <<CMAKE
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER $ZIG_DIR/wrappers/cc)
set(CMAKE_CXX_COMPILER $ZIG_DIR/wrappers/c++)
set(CMAKE_AR $ZIG_DIR/wrappers/ar)
set(CMAKE_RANLIB $ZIG_DIR/wrappers/ranlib)
# Target programs (test discovery, ctest) run under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR $(command -v qemu-arm-static))
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE
  if [ -n "$prefix" ]; then
    echo "set(CMAKE_FIND_ROOT_PATH $prefix)" >>"$file"
  fi
  echo "$file"
}

# GoogleTest from Debian's googletest package (its sources in /usr/src/googletest).
ensure_googletest_sources() {
  if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
    apt-get update -qq && apt-get install -y -qq googletest >/dev/null
  fi
}

build_musl_arm_deps() {
  local out=$1 toolchain
  toolchain=$(ensure_zig)
  ensure_googletest_sources
  local build=$WORK_DIR/musl-deps-build
  rm -rf "$build"; mkdir -p "$build"

  log "musl: GoogleTest $(dpkg-query -W -f='${Version}' googletest)"
  cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$out" -DBUILD_GMOCK=OFF \
    -DBUILD_SHARED_LIBS=OFF >"$build/googletest.log" 2>&1 \
    && $NICE cmake --build "$build/googletest" -j 2 >>"$build/googletest.log" 2>&1 \
    && cmake --install "$build/googletest" >>"$build/googletest.log" 2>&1 \
    || { tail -n 30 "$build/googletest.log"; die "building GoogleTest for $MUSL_TARGET"; }

  rm -rf "$build"
}

musl_arm_deps_tarball() {
  local key
  ensure_googletest_sources
  key=$(recipe_key v2 "$ZIG_VERSION" "$MUSL_TARGET" "$MUSL_CPU" \
        "$(dpkg-query -W -f='${Version}' googletest)" "$PLATFORM_DIR/musl_toolchain.sh")
  cached_artefact musl-arm-deps "$key" build_musl_arm_deps
}
