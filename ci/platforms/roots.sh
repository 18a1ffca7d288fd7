# Recipes of the cached roots and toolchains; sourced after common.sh.
# Each *_tarball function prints the path of a tarball, building it first when the cache
# has none made by the current recipe.

# --- Debian bookworm for 32-bit ARM (hard-float), run under qemu-user emulation -----------
ARMHF_SUITE=bookworm
ARMHF_PACKAGES=python3,python3-dev,python3-venv,python3-numpy,python3-pytest,python3-hypothesis,g++,make,ninja-build,cmake

build_armhf_root() {
  local out=$1
  ensure_arm_emulation
  $NICE debootstrap --arch=armhf --variant=minbase --include="$ARMHF_PACKAGES" \
    "$ARMHF_SUITE" "$out" "$(debian_mirror)" >"$WORK_DIR/debootstrap-armhf.log" 2>&1 \
    || { tail -n 30 "$WORK_DIR/debootstrap-armhf.log"; die "debootstrap armhf"; }
  rm -rf "$out"/var/cache/apt/archives/*.deb "$out"/var/lib/apt/lists/*
}

armhf_root_tarball() {
  local key
  ensure_arm_emulation
  key=$(recipe_key v1 "$ARMHF_SUITE" "$ARMHF_PACKAGES")
  cached_artefact "armhf-$ARMHF_SUITE" "$key" build_armhf_root
}

# --- Debian sid for x86_64: CPython 3.14 with Debian's NumPy 2, and the tools to build ----
# CPython 3.13 from Debian's source package.
SID_PACKAGES="build-essential cmake ninja-build pkg-config dpkg-dev ca-certificates
  python3.14 python3.14-dev python3.14-venv python3-numpy python3-pytest python3-hypothesis
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev
  uuid-dev libexpat1-dev"

build_sid_root() {
  local out=$1
  ensure_host_tools
  local mirror; mirror=$(debian_mirror)
  $NICE debootstrap --variant=minbase sid "$out" "$mirror" >"$WORK_DIR/debootstrap-sid.log" 2>&1 \
    || { tail -n 30 "$WORK_DIR/debootstrap-sid.log"; die "debootstrap sid"; }
  # An archive snapshot may be older than its Release file's validity; sources for CPython.
  echo 'Acquire::Check-Valid-Until "false";' >"$out/etc/apt/apt.conf.d/99no-valid-until"
  printf 'deb %s sid main\ndeb-src %s sid main\n' "$mirror" "$mirror" >"$out/etc/apt/sources.list"
  mount_root "$out"
  in_root "$out" sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends $(tr '\n' ' ' <<<"$SID_PACKAGES")" \
    >"$WORK_DIR/apt-sid.log" 2>&1 || { tail -n 30 "$WORK_DIR/apt-sid.log"; die "apt-get install in sid"; }
  in_root "$out" apt-get clean
  unmount_root "$out"
}

sid_root_tarball() {
  local key
  key=$(recipe_key v1 "$SID_PACKAGES")
  cached_artefact sid-amd64 "$key" build_sid_root
}

# --- CPython 3.13 built with --disable-gil ------------------------------------------------
FT_PREFIX=/opt/python3.13t
FT_PYTHON=$FT_PREFIX/bin/python3.13t

build_free_threaded_python() {
  local out=$1
  local sid builder
  sid=$(sid_root_tarball)
  builder=$(fresh_root ft-builder "$sid")
  cp "$PLATFORM_DIR/build_free_threaded_python.sh" "$PLATFORM_DIR/fetch_source.sh" "$builder/root/"
  in_root "$builder" FT_PREFIX="$FT_PREFIX" nice -n 10 bash /root/build_free_threaded_python.sh >"$WORK_DIR/build-python3.13t.log" 2>&1 \
    || { tail -n 40 "$WORK_DIR/build-python3.13t.log"; remove_root "$builder"; die "building CPython 3.13t"; }
  mkdir -p "$out$(dirname "$FT_PREFIX")"
  cp -a "$builder$FT_PREFIX" "$out$FT_PREFIX"
  remove_root "$builder"
}

free_threaded_python_tarball() {
  local sid key
  sid=$(sid_root_tarball)
  key=$(recipe_key v1 "$CACHE_DIR/roots/sid-amd64.key" "$FT_PREFIX" \
        "$PLATFORM_DIR/build_free_threaded_python.sh" "$PLATFORM_DIR/fetch_source.sh")
  cached_artefact python3.13t "$key" build_free_threaded_python
}

# --- Debian bookworm for 64-bit ARM, run under qemu-user emulation ------------------------
# Python for the aarch64 wheels' tests (NumPy and the rest come from PyPI into a fresh
# virtual environment); python3-dev for the interpreter's arm64 configuration header, which
# the cross-compiled stable-ABI module is built against.
ARM64_SUITE=bookworm
ARM64_PACKAGES=python3,python3-dev,python3-venv,libgcc-s1

ensure_arm64_emulation() {
  ensure_arm_emulation
  with_lock binfmt register_arm64_emulation
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || die "the qemu-aarch64 binfmt handler is not registered"
  grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 || die "the qemu-aarch64 binfmt handler is disabled"
}

register_arm64_emulation() {
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
  fi
}

# The emulator as the kernel names it for binfmt (its flags lack F: the path is opened in
# the chroot, so the root carries its own copy).
install_emulator() {  # root [binfmt handler: qemu-aarch64 or qemu-arm]
  local handler
  handler=$(awk '$1 == "interpreter" {print $2}' "/proc/sys/fs/binfmt_misc/${2:-qemu-aarch64}")
  [ -n "$handler" ] || die "the ${2:-qemu-aarch64} handler names no interpreter"
  mkdir -p "$1$(dirname "$handler")"
  cp -L "$handler" "$1$handler"
}

build_arm64_root() {
  local out=$1
  ensure_arm64_emulation
  $NICE debootstrap --foreign --arch=arm64 --variant=minbase --include="$ARM64_PACKAGES" \
    "$ARM64_SUITE" "$out" "$(debian_mirror)" >"$WORK_DIR/debootstrap-arm64.log" 2>&1 \
    || { tail -n 30 "$WORK_DIR/debootstrap-arm64.log"; die "debootstrap arm64 (first stage)"; }
  install_emulator "$out"
  $NICE chroot "$out" /debootstrap/debootstrap --second-stage >>"$WORK_DIR/debootstrap-arm64.log" 2>&1 \
    || { tail -n 30 "$WORK_DIR/debootstrap-arm64.log"; die "debootstrap arm64 (second stage)"; }
  rm -rf "$out"/var/cache/apt/archives/*.deb "$out"/var/lib/apt/lists/*
}

arm64_root_tarball() {
  local key
  ensure_arm64_emulation
  key=$(recipe_key v1 "$ARM64_SUITE" "$ARM64_PACKAGES")
  cached_artefact "arm64-$ARM64_SUITE" "$key" build_arm64_root
}
