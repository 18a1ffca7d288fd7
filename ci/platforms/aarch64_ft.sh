# Free-threaded CPython on 64-bit ARM with glibc: Debian has no such interpreter for arm64,
# so the newest CPython whose source Debian's archive serves is cross-built with zig for
# glibc 2.28 (as the manylinux wheels are) and cached. Sourced after common.sh, roots.sh
# and manylinux_toolchain.sh.
#
# Interface:
#   aarch64_ft_python_tarball   cached interpreter (in $AARCH64_FT_PREFIX), pip included,
#                               its version in quillmoor-version.txt there
#   aarch64_ft_enter ROOT       lets a sid ROOT (x86_64) run aarch64 programs beside zig:
#                               bookworm arm64's glibc and the emulator; prints the folder
#                               of zig's wrappers for aarch64-linux-gnu.2.28
#   aarch64_ft_wheels DEST VERSION REQUIREMENT...
#                               PyPI's wheels for that interpreter, fetched by the host:
#                               NumPy's cp3XXt aarch64 one and the pure ones required

# The newest first: the day Debian's archive serves a newer source, it is the one built.
AARCH64_FT_CANDIDATES="python3.15 python3.14 python3.13"
AARCH64_FT_PREFIX=/opt/python-ft-aarch64
AARCH64_FT_PYTHON=$AARCH64_FT_PREFIX/bin/python
AARCH64_FT_TARGET=aarch64-linux-gnu.$MANYLINUX_GLIBC
AARCH64_FT_CPU=generic
# In the sid root, where aarch64_ft_enter puts bookworm arm64's libraries.
AARCH64_FT_LIBGCC_S=/usr/lib/aarch64-linux-gnu/libgcc_s.so.1

aarch64_ft_enter() {  # root
  local root=$1 dir wrappers
  # First: zig and the wrappers, in the folder bound into the root below.
  wrappers=$(zig_wrappers "$AARCH64_FT_TARGET" "$AARCH64_FT_CPU" "$AARCH64_FT_LIBGCC_S")
  ensure_arm64_emulation
  # Multiarch paths: arm64's libraries sit beside sid's own, and arm64's loader finds them.
  zstd -q -dc "$(arm64_root_tarball)" | tar --numeric-owner -x -C "$root" \
    ./usr/lib/aarch64-linux-gnu ./usr/lib/ld-linux-aarch64.so.1 || die "unpacking arm64's libraries"
  install_emulator "$root"
  # zig and its cache at the paths the wrappers name.
  for dir in "$ZIG_HOME" "$ZIG_GLOBAL_CACHE_DIR"; do
    mkdir -p "$dir" "$root$dir"
    mountpoint -q "$root$dir" || mount --bind "$dir" "$root$dir"
  done
  echo "$wrappers"
}

# Compiled natively in a sid root; pip (ensurepip) and a check run there emulated.
build_aarch64_ft_python() {
  local out=$1 builder wrappers log=$WORK_DIR/build-aarch64-ft-python.log
  builder=$(fresh_root aarch64-ft-python-builder "$(sid_root_tarball)")
  wrappers=$(aarch64_ft_enter "$builder")
  cp "$PLATFORM_DIR/build_arm_ft_python.sh" "$PLATFORM_DIR/fetch_source.sh" \
     "$PLATFORM_DIR/arm_ft_interpreter_check.py" "$builder/root/"
  if ! in_root "$builder" ARM_FT_HOST=aarch64-linux-gnu ARM_FT_PREFIX="$AARCH64_FT_PREFIX" \
       ARM_FT_WRAPPERS="$wrappers" ARM_FT_CANDIDATES="$AARCH64_FT_CANDIDATES" \
       ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" nice -n 10 bash /root/build_arm_ft_python.sh >"$log" 2>&1; then
    tail -n 40 "$log"; remove_root "$builder"; die "cross-building the free-threaded CPython for $AARCH64_FT_TARGET"
  fi
  log "aarch64-ft: built CPython $(tail -n1 "$log")"
  tail -n1 "$log" >"$builder$AARCH64_FT_PREFIX/quillmoor-version.txt"
  if ! in_root "$builder" timeout --kill-after=10 900 "$AARCH64_FT_PYTHON" -m ensurepip --default-pip >>"$log" 2>&1 \
     || ! in_root "$builder" timeout --kill-after=10 300 "$AARCH64_FT_PYTHON" /root/arm_ft_interpreter_check.py 8 >>"$log" 2>&1; then
    tail -n 30 "$log"; remove_root "$builder"; die "the free-threaded CPython does not run under qemu-aarch64"
  fi
  log "aarch64-ft: $(tail -n1 "$log")"
  mkdir -p "$out$(dirname "$AARCH64_FT_PREFIX")"
  cp -a "$builder$AARCH64_FT_PREFIX" "$out$AARCH64_FT_PREFIX"
  remove_root "$builder"
}

aarch64_ft_python_tarball() {
  local key
  sid_root_tarball >/dev/null
  arm64_root_tarball >/dev/null
  key=$(recipe_key v1 "$CACHE_DIR/roots/sid-amd64.key" "$CACHE_DIR/roots/arm64-$ARM64_SUITE.key" \
        "$AARCH64_FT_CANDIDATES" "$AARCH64_FT_PREFIX" "$ZIG_VERSION" "$AARCH64_FT_TARGET" \
        "$AARCH64_FT_CPU" "$(declare -f aarch64_ft_enter build_aarch64_ft_python zig_wrappers)" \
        "$PLATFORM_DIR/build_arm_ft_python.sh" "$PLATFORM_DIR/fetch_source.sh")
  cached_artefact aarch64-python-ft "$key" build_aarch64_ft_python
}

# NumPy publishes manylinux wheels for the free-threaded ABI; any glibc up to bookworm's
# (2.36) will do.
aarch64_ft_wheels() {  # dest python_version requirement...
  local dest=$1 version=$2 glibc platforms=(); shift 2
  for glibc in $(seq 36 -1 17); do platforms+=(--platform "manylinux_2_${glibc}_aarch64"); done
  platforms+=(--platform manylinux2014_aarch64)
  python3 -m pip download -q --only-binary=:all: --no-deps -d "$dest" "${platforms[@]}" \
    --python-version "$version" --implementation cp --abi "cp${version/./}t" numpy >&2 \
    && download_pure_wheels "$dest" "$version" "$@"
}
