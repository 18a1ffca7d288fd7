# CPython on ARM with musl, cross-built with zig in a sid root (x86_64) and run there under
# qemu-user: the free-threaded interpreter for 32-bit ARM (arm_musl_ft.sh's) and the
# classic ones (with the interpreter lock) for 64-bit and 32-bit ARM, on which the
# stable-ABI musllinux wheels run. Sourced after common.sh, roots.sh and musl_toolchain.sh.
#
# ARM programs run in the sid root through the kernel's binfmt handler, and the x86_64
# tools (zig, cmake, ninja) at full speed beside them.
#
# Interface:
#   arm_musl_enter ROOT ARCH      makes zig, its wrappers (in $ARM_FT_WRAPPERS, for ARCH)
#                                 and the emulator usable inside ROOT
#   build_arm_musl_python OUT ARCH FLAVOUR PREFIX CANDIDATES
#                                 the interpreter in OUT/PREFIX ("t": free-threaded, "":
#                                 classic) with musl's loader in OUT/usr/lib
#   build_arm_musl_numpy OUT ARCH INTERPRETER_TARBALL PYTHON WHEELS
#                                 NumPy's wheel for it, from the sdist, in OUT/WHEELS
#   arm_musl_classic_python_tarball ARCH
#                                 the cached classic interpreter (aarch64 or armv7l) in
#                                 $(arm_musl_classic_prefix ARCH)
#   arm_musl_classic_numpy_tarball ARCH
#                                 the cached NumPy wheel for that interpreter, built from
#                                 NumPy's sdist (armv7l: PyPI has no musllinux wheel)
#   pypi_musl_numpy DEST PYTHON_VERSION ARCH
#                                 PyPI's musllinux NumPy wheel for a classic interpreter

ARM_FT_ZIG=/opt/zig            # zig's package (bind-mounted) and its cache
ARM_FT_WRAPPERS=/opt/zig-wrappers
ARM_FT_NUMPY_VERSION=2.4.6
ARM_FT_BUILD_TOOLS=("meson-python>=0.15" "Cython>=3.0.6" pyproject-metadata packaging)
# The newest whose source Debian's archive serves is built.
ARM_MUSL_CLASSIC_CANDIDATES="python3.14 python3.13"
ARM_MUSL_CLASSIC_WHEELS=/arm-musl-wheels  # inside the roots: the NumPy wheel

# arm_musl_arch ARCH: zig's target, the CPU, the binfmt handler, Debian's architecture,
# musl's loader and the pointer's bytes.
arm_musl_arch() {
  case $1 in
    aarch64) echo "aarch64-linux-musl generic qemu-aarch64 arm64 ld-musl-aarch64.so.1 8" ;;
    armv7l) echo "$MUSL_TARGET $MUSL_CPU qemu-arm armhf ld-musl-armhf.so.1 4" ;;
    *) die "no musl CPython for $1" ;;
  esac
}

arm_musl_classic_prefix() { echo "/opt/python-$1-musl"; }

arm_musl_enter() {  # root arch
  local root=$1 target cpu binfmt zig_package tool
  read -r target cpu binfmt _ <<<"$(arm_musl_arch "$2")"
  if [ "$binfmt" = qemu-aarch64 ]; then ensure_arm64_emulation; else ensure_arm_emulation; fi
  install_zig
  zig_package=$(dirname "$(zig_binary "$ZIG_HOME/venv")")
  mkdir -p "$root$ARM_FT_ZIG/dist" "$root$ARM_FT_ZIG/cache" "$root$ARM_FT_WRAPPERS" "$CACHE_DIR/zig-cache-arm-ft"
  mountpoint -q "$root$ARM_FT_ZIG/dist" || mount --bind "$zig_package" "$root$ARM_FT_ZIG/dist"
  # zig's per-target libc and libc++ are kept between runs.
  mountpoint -q "$root$ARM_FT_ZIG/cache" || mount --bind "$CACHE_DIR/zig-cache-arm-ft" "$root$ARM_FT_ZIG/cache"
  # -dynamic: without it zig links musl statically, and a static interpreter cannot load
  # extension modules.
  for tool in cc c++; do
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s exec %s %s -target %s -mcpu=%s -dynamic "$@"\n' \
      "$ARM_FT_ZIG/cache" "$ARM_FT_ZIG/dist/zig" "$tool" "$target" "$cpu" >"$root$ARM_FT_WRAPPERS/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s exec %s %s "$@"\n' \
      "$ARM_FT_ZIG/cache" "$ARM_FT_ZIG/dist/zig" "$tool" >"$root$ARM_FT_WRAPPERS/$tool"
  done
  chmod +x "$root$ARM_FT_WRAPPERS"/*
  install_emulator "$root" "$binfmt"
}

# The interpreter, cross-built in a sid root, then made to run there: musl's loader from
# sid's musl package of the architecture, pip from the interpreter's own ensurepip
# (emulated), and a check.
build_arm_musl_python() {  # out arch flavour prefix candidates
  local out=$1 arch=$2 flavour=$3 prefix=$4 candidates=$5
  local target debian_arch loader pointer builder libc log=$WORK_DIR/build-$arch-musl-python$3.log
  read -r target _ _ debian_arch loader pointer <<<"$(arm_musl_arch "$arch")"
  builder=$(fresh_root "$arch-musl-python$flavour-builder" "$(sid_root_tarball)")
  arm_musl_enter "$builder" "$arch"
  cp "$PLATFORM_DIR/build_arm_ft_python.sh" "$PLATFORM_DIR/fetch_source.sh" \
     "$PLATFORM_DIR/arm_ft_interpreter_check.py" "$builder/root/"
  # CPython's configure tells musl from the marker musl's stdarg.h defines; zig's clang
  # puts its own stdarg.h first, so without the marker on configure's preprocessor the
  # platform triplet is left out of the extension suffix (.cpython-313.so, where an
  # interpreter built on the board looks for .cpython-313-aarch64-linux-musl.so) and
  # PyPI's musllinux modules are not found.
  if ! in_root "$builder" ARM_FT_HOST="$target" ARM_FT_PREFIX="$prefix" ARM_FT_WRAPPERS="$ARM_FT_WRAPPERS" \
       ARM_FT_CANDIDATES="$candidates" ARM_FT_FLAVOUR="$flavour" \
       CPP="$ARM_FT_WRAPPERS/cc -E -D__DEFINED_va_list" \
       nice -n 10 bash /root/build_arm_ft_python.sh >"$log" 2>&1; then
    tail -n 40 "$log"; remove_root "$builder"; die "cross-building CPython (flavour '$flavour') for $target"
  fi
  log "$arch musl: built CPython $(tail -n1 "$log") (flavour '$flavour')"
  tail -n1 "$log" >"$builder$prefix/quillmoor-version.txt"
  if ! in_root "$builder" sh -c "dpkg --add-architecture $debian_arch && apt-get update -qq \
        && mkdir -p /tmp/musl && cd /tmp/musl && apt-get download -qq musl:$debian_arch \
        && dpkg-deb -x musl_*_$debian_arch.deb root && ls musl_*_$debian_arch.deb" >>"$log" 2>&1; then
    tail -n 20 "$log"; remove_root "$builder"; die "fetching sid's musl:$debian_arch"
  fi
  log "$arch musl: runtime $(tail -n1 "$log")"
  # musl's libc.so is its loader too. /lib is /usr/lib in sid's merged layout.
  libc=$(find "$builder/tmp/musl/root" -name libc.so -type f | head -n1)
  [ -n "$libc" ] || die "no libc.so in sid's musl:$debian_arch"
  cp "$libc" "$builder/usr/lib/$loader"
  if ! in_root "$builder" timeout --kill-after=10 900 "$prefix/bin/python" -m ensurepip --default-pip >>"$log" 2>&1 \
     || ! in_root "$builder" timeout --kill-after=10 300 "$prefix/bin/python" /root/arm_ft_interpreter_check.py \
          "$pointer" "${flavour:-classic}" >>"$log" 2>&1; then
    tail -n 30 "$log"; remove_root "$builder"; die "the CPython built for $target does not run under emulation"
  fi
  local soabi
  soabi=$(in_root "$builder" timeout --kill-after=10 300 "$prefix/bin/python" -c \
    'import sysconfig; print(sysconfig.get_config_var("SOABI"))') \
    || { remove_root "$builder"; die "the CPython built for $target names no SOABI"; }
  case $soabi in
    *-"$target") log "$arch musl: extension suffix .$soabi.so" ;;
    *) remove_root "$builder"; die "the CPython built for $target has SOABI $soabi, without its platform triplet" ;;
  esac
  log "$arch musl: $(tail -n1 "$log")"
  mkdir -p "$out$(dirname "$prefix")" "$out/usr/lib"
  cp -a "$builder$prefix" "$out$prefix"
  cp "$libc" "$out/usr/lib/$loader"
  remove_root "$builder"
}

# NumPy's sdist, fetched by the host: pip cannot download an sdist without building it
# for its metadata, so the file is taken from PyPI's simple index (its JSON form, as pip
# reads it), checked against the digest the index gives.
fetch_numpy_sdist() {  # dest_dir
  python3 - "$ARM_FT_NUMPY_VERSION" "$1" <<'PY' || die "fetching NumPy's sdist"
import hashlib, json, sys, urllib.request
from pathlib import Path
version, dest = sys.argv[1], Path(sys.argv[2])
request = urllib.request.Request("https://pypi.org/simple/numpy/",
                                 headers={"Accept": "application/vnd.pypi.simple.v1+json"})
with urllib.request.urlopen(request, timeout=120) as r:
    files = json.load(r)["files"]
(sdist,) = [f for f in files if f["filename"] == f"numpy-{version}.tar.gz"]
with urllib.request.urlopen(sdist["url"], timeout=600) as r:
    data = r.read()
if hashlib.sha256(data).hexdigest() != sdist["hashes"]["sha256"]:
    sys.exit(f"{sdist['filename']}: sha256 mismatch")
dest.mkdir(parents=True, exist_ok=True)
(dest / sdist["filename"]).write_bytes(data)
print(dest / sdist["filename"])
PY
}

build_arm_musl_numpy() {  # out arch interpreter_tarball python wheels_dir
  local out=$1 arch=$2 python=$4 wheels=$5 builder sdist version log=$WORK_DIR/build-$2-musl-numpy.log
  builder=$(fresh_root "$arch-musl-numpy-builder" "$(sid_root_tarball)" "$3")
  arm_musl_enter "$builder" "$arch"
  version=$(cut -d. -f1,2 <"$builder$(dirname "$(dirname "$python")")/quillmoor-version.txt")
  sdist=$(fetch_numpy_sdist "$builder/numpy-src")
  download_pure_wheels "$builder/numpy-src/tools" "$version" "${ARM_FT_BUILD_TOOLS[@]}" \
    || die "downloading NumPy's build tools"
  cp "$PLATFORM_DIR/build_arm_musl_numpy.sh" "$builder/root/"
  log "$arch musl: NumPy $ARM_FT_NUMPY_VERSION from $(basename "$sdist") for $python (emulated interpreter, zig)"
  if ! in_root "$builder" ARM_FT_PYTHON="$python" ARM_FT_WRAPPERS="$ARM_FT_WRAPPERS" \
       nice -n 10 timeout --kill-after=10 3600 bash /root/build_arm_musl_numpy.sh \
       "/numpy-src/$(basename "$sdist")" /numpy-src/tools /numpy-src/dist >"$log" 2>&1; then
    tail -n 40 "$log"; remove_root "$builder"; die "building NumPy for $arch musl ($python)"
  fi
  mkdir -p "$out$wheels"
  cp "$builder"/numpy-src/dist/numpy-*.whl "$out$wheels/"
  remove_root "$builder"
}

# The functions and files a cached interpreter or NumPy is made by.
arm_musl_recipe() {
  printf '%s\n' "$ZIG_VERSION" "$MUSL_TARGET" "$MUSL_CPU" "$ARM_FT_NUMPY_VERSION" "${ARM_FT_BUILD_TOOLS[@]}"
  declare -f arm_musl_arch arm_musl_enter build_arm_musl_python fetch_numpy_sdist build_arm_musl_numpy \
    install_emulator
  cat "$PLATFORM_DIR/build_arm_ft_python.sh" "$PLATFORM_DIR/fetch_source.sh" \
    "$PLATFORM_DIR/build_arm_musl_numpy.sh"
}

build_arm_musl_classic_python() {  # out arch
  build_arm_musl_python "$1" "$2" "" "$(arm_musl_classic_prefix "$2")" "$ARM_MUSL_CLASSIC_CANDIDATES"
}

arm_musl_classic_python_tarball() {  # arch
  local key
  sid_root_tarball >/dev/null
  key=$(recipe_key v1 "$CACHE_DIR/roots/sid-amd64.key" "$1" "$ARM_MUSL_CLASSIC_CANDIDATES" "$(arm_musl_recipe)")
  cached_artefact "$1-musl-python" "$key" build_arm_musl_classic_python "$1"
}

# NumPy for the classic interpreters: PyPI's musllinux wheel on aarch64; on armv7l, for
# which PyPI has none, the one built from NumPy's sdist.
pypi_musl_numpy() {  # dest python_version arch
  python3 -m pip download -q --only-binary=:all: --no-deps -d "$1" --platform "musllinux_1_2_$3" \
    --python-version "$2" --implementation cp --abi "cp${2/./}" "numpy==$ARM_FT_NUMPY_VERSION" >&2
}

build_arm_musl_classic_numpy() {  # out arch
  # Its builder root and log in a folder of their own: the free-threaded interpreter's
  # NumPy for armv7l is built under the same names.
  local WORK_DIR=$WORK_DIR/classic-numpy
  mkdir -p "$WORK_DIR"
  build_arm_musl_numpy "$1" "$2" "$(arm_musl_classic_python_tarball "$2")" \
    "$(arm_musl_classic_prefix "$2")/bin/python" "$ARM_MUSL_CLASSIC_WHEELS"
}

arm_musl_classic_numpy_tarball() {  # arch
  local key
  arm_musl_classic_python_tarball "$1" >/dev/null
  key=$(recipe_key v1 "$CACHE_DIR/roots/$1-musl-python.key" "$(arm_musl_recipe)")
  cached_artefact "$1-musl-numpy" "$key" build_arm_musl_classic_numpy "$1"
}
