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

# Environment words (VAR=value) that make CMake build with the wrappers against the static
# oneTBB in $1.
manylinux_build_env() {  # tbb_prefix
  local wrappers; wrappers=$(ensure_manylinux_zig)
  echo "CC=$wrappers/cc CXX=$wrappers/c++ CMAKE_PREFIX_PATH=$1 LDFLAGS=-Wl,--version-script=$wrappers/module.map ZIG_GLOBAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR"
}

# oneTBB's pristine source from Debian's archive, fetched in the sid root, unpacked into $1.
fetch_onetbb_source() {
  local dest=$1 sid fetcher tarball log=$WORK_DIR/fetch-onetbb-manylinux.log
  sid=$(sid_root_tarball)
  fetcher=$(fresh_root source-fetcher-manylinux "$sid")
  cp "$PLATFORM_DIR/fetch_source.sh" "$fetcher/root/"
  mkdir -p "$fetcher/sources"
  tarball=$(in_root "$fetcher" sh -c 'cd /sources && bash /root/fetch_source.sh onetbb' 2>"$log") \
    || { cat "$log"; remove_root "$fetcher"; die "fetching oneTBB's source"; }
  log "manylinux: $(grep '^fetched' "$log")"
  mkdir -p "$dest"
  tar -xf "$fetcher$tarball" -C "$dest" --strip-components=1
  remove_root "$fetcher"
}

build_manylinux_onetbb() {
  local out=$1 wrappers build=$WORK_DIR/manylinux-onetbb-build
  wrappers=$(ensure_manylinux_zig)
  rm -rf "$build"; mkdir -p "$build"
  fetch_onetbb_source "$build/src"
  # Static, the scheduler only: no allocator, no hwloc binding.
  CC=$wrappers/cc CXX=$wrappers/c++ cmake -S "$build/src" -B "$build/out" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$out" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_AR="$wrappers/ar" -DCMAKE_RANLIB="$wrappers/ranlib" \
    -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
    -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    >"$build/onetbb.log" 2>&1 \
    && $NICE cmake --build "$build/out" -j 2 >>"$build/onetbb.log" 2>&1 \
    && cmake --install "$build/out" >>"$build/onetbb.log" 2>&1 \
    || { tail -n 40 "$build/onetbb.log"; die "building oneTBB for $MANYLINUX_TARGET"; }
  rm -rf "$build"
}

# Prints the path of the cached tarball of the static oneTBB (its prefix's contents).
manylinux_onetbb_tarball() {
  local key
  key=$(recipe_key v1 "$MANYLINUX_ZIG_VERSION" "$MANYLINUX_TARGET" "$MANYLINUX_CPU" \
        "$(declare -f fetch_onetbb_source build_manylinux_onetbb)" \
        "$PLATFORM_DIR/fetch_source.sh")
  cached_artefact "onetbb-$MANYLINUX_TARGET" "$key" build_manylinux_onetbb
}
