# Free-threaded CPython on 32-bit ARM with musl: the cached interpreter, the NumPy wheel
# built for it, and the roots they run in. Sourced after common.sh, roots.sh,
# musl_toolchain.sh and musl_python.sh.
#
# Everything runs in a sid root (x86_64) that also holds musl's armhf loader and the ARM
# interpreter: ARM programs run there through the kernel's binfmt handler (qemu-arm), and
# the x86_64 tools (zig, cmake, ninja) at full speed beside them.
#
# Interface:
#   arm_ft_python_tarball    cached interpreter (in $ARM_FT_PREFIX) and musl's armhf loader
#   arm_ft_numpy_tarball     cached NumPy wheel for it (in /arm-ft-wheels)
#   arm_ft_enter ROOT        makes zig, its wrappers and qemu-arm usable inside ROOT
#   arm_ft_suite_wheels      cached folder of the pure wheels the suite and the build need

# The newest first: the day Debian's archive serves a newer source, it is the one built.
ARM_FT_CANDIDATES="python3.15 python3.14 python3.13"
ARM_FT_PREFIX=/opt/python-ft-armhf-musl
ARM_FT_PYTHON=$ARM_FT_PREFIX/bin/python
ARM_FT_ZIG=/opt/zig            # zig's package (bind-mounted) and its cache
ARM_FT_WRAPPERS=/opt/zig-wrappers
ARM_FT_NUMPY_VERSION=2.4.6
ARM_FT_WHEELS=/arm-ft-wheels   # inside the roots: the NumPy wheel
ARM_FT_BUILD_TOOLS=("meson-python>=0.15" "Cython>=3.0.6" pyproject-metadata packaging)
ARM_FT_SUITE_REQUIREMENTS=(pytest hypothesis "scikit-build-core>=0.10")

arm_ft_enter() {  # root
  local root=$1 zig_package handler
  install_zig
  zig_package=$(dirname "$(zig_binary "$ZIG_HOME/venv")")
  mkdir -p "$root$ARM_FT_ZIG/dist" "$root$ARM_FT_ZIG/cache" "$root$ARM_FT_WRAPPERS" "$CACHE_DIR/zig-cache-arm-ft"
  mountpoint -q "$root$ARM_FT_ZIG/dist" || mount --bind "$zig_package" "$root$ARM_FT_ZIG/dist"
  # zig's per-target libc and libc++ are kept between runs.
  mountpoint -q "$root$ARM_FT_ZIG/cache" || mount --bind "$CACHE_DIR/zig-cache-arm-ft" "$root$ARM_FT_ZIG/cache"
  # -dynamic: without it zig links musl statically, and a static interpreter cannot load
  # extension modules.
  local tool
  for tool in cc c++; do
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s exec %s %s -target %s -mcpu=%s -dynamic "$@"\n' \
      "$ARM_FT_ZIG/cache" "$ARM_FT_ZIG/dist/zig" "$tool" "$MUSL_TARGET" "$MUSL_CPU" >"$root$ARM_FT_WRAPPERS/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s exec %s %s "$@"\n' \
      "$ARM_FT_ZIG/cache" "$ARM_FT_ZIG/dist/zig" "$tool" >"$root$ARM_FT_WRAPPERS/$tool"
  done
  chmod +x "$root$ARM_FT_WRAPPERS"/*
  # The handler's emulator is looked up inside the root (its flags lack F).
  handler=$(awk '$1 == "interpreter" {print $2}' /proc/sys/fs/binfmt_misc/qemu-arm)
  [ -n "$handler" ] || die "the qemu-arm handler names no interpreter"
  mkdir -p "$root$(dirname "$handler")"
  cp "$(command -v qemu-arm-static)" "$root$handler"
}

# The interpreter, cross-built in a sid root, then made to run there: musl's armhf loader
# from sid's musl:armhf, pip from the interpreter's own ensurepip (emulated), and a check.
build_arm_ft_python() {
  local out=$1 sid builder log=$WORK_DIR/build-arm-ft-python.log
  sid=$(sid_root_tarball)
  builder=$(fresh_root arm-ft-python-builder "$sid")
  arm_ft_enter "$builder"
  cp "$PLATFORM_DIR/build_arm_ft_python.sh" "$PLATFORM_DIR/fetch_source.sh" \
     "$PLATFORM_DIR/arm_ft_interpreter_check.py" "$builder/root/"
  if ! in_root "$builder" ARM_FT_HOST="$MUSL_TARGET" ARM_FT_PREFIX="$ARM_FT_PREFIX" ARM_FT_WRAPPERS="$ARM_FT_WRAPPERS" \
       ARM_FT_CANDIDATES="$ARM_FT_CANDIDATES" nice -n 10 bash /root/build_arm_ft_python.sh >"$log" 2>&1; then
    tail -n 40 "$log"; remove_root "$builder"; die "cross-building the free-threaded CPython for $MUSL_TARGET"
  fi
  log "arm-musl-ft: built CPython $(tail -n1 "$log")"
  tail -n1 "$log" >"$builder$ARM_FT_PREFIX/quillmoor-version.txt"
  if ! in_root "$builder" sh -c 'dpkg --add-architecture armhf && apt-get update -qq \
        && mkdir -p /tmp/musl && cd /tmp/musl && apt-get download -qq musl:armhf \
        && dpkg-deb -x musl_*_armhf.deb root && ls musl_*_armhf.deb' >>"$log" 2>&1; then
    tail -n 20 "$log"; remove_root "$builder"; die "fetching sid's musl:armhf"
  fi
  log "arm-musl-ft: runtime $(tail -n1 "$log")"
  # musl's libc.so is its loader too. /lib is /usr/lib in sid's merged layout.
  local libc
  libc=$(find "$builder/tmp/musl/root" -name libc.so -type f | head -n1)
  [ -n "$libc" ] || die "no libc.so in sid's musl:armhf"
  cp "$libc" "$builder/usr/lib/ld-musl-armhf.so.1"
  if ! in_root "$builder" timeout --kill-after=10 900 "$ARM_FT_PYTHON" -m ensurepip --default-pip >>"$log" 2>&1 \
     || ! in_root "$builder" timeout --kill-after=10 300 "$ARM_FT_PYTHON" /root/arm_ft_interpreter_check.py 4 >>"$log" 2>&1; then
    tail -n 30 "$log"; remove_root "$builder"; die "the free-threaded CPython does not run under qemu-arm"
  fi
  log "arm-musl-ft: $(tail -n1 "$log")"
  mkdir -p "$out$(dirname "$ARM_FT_PREFIX")" "$out/usr/lib"
  cp -a "$builder$ARM_FT_PREFIX" "$out$ARM_FT_PREFIX"
  cp "$libc" "$out/usr/lib/ld-musl-armhf.so.1"
  remove_root "$builder"
}

arm_ft_python_tarball() {
  local key
  sid_root_tarball >/dev/null
  key=$(recipe_key v1 "$CACHE_DIR/roots/sid-amd64.key" "$ARM_FT_CANDIDATES" "$ARM_FT_PREFIX" \
        "$ZIG_VERSION" "$MUSL_TARGET" "$MUSL_CPU" "$(declare -f arm_ft_enter build_arm_ft_python)" \
        "$PLATFORM_DIR/build_arm_ft_python.sh" "$PLATFORM_DIR/fetch_source.sh")
  cached_artefact arm-musl-python-ft "$key" build_arm_ft_python
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

build_arm_ft_numpy() {
  local out=$1 sid interpreter builder sdist version log=$WORK_DIR/build-arm-ft-numpy.log
  sid=$(sid_root_tarball)
  interpreter=$(arm_ft_python_tarball)
  builder=$(fresh_root arm-ft-numpy-builder "$sid" "$interpreter")
  arm_ft_enter "$builder"
  version=$(cut -d. -f1,2 <"$builder$ARM_FT_PREFIX/quillmoor-version.txt")
  sdist=$(fetch_numpy_sdist "$builder/numpy-src")
  download_pure_wheels "$builder/numpy-src/tools" "$version" "${ARM_FT_BUILD_TOOLS[@]}" \
    || die "downloading NumPy's build tools"
  cp "$PLATFORM_DIR/build_arm_musl_numpy.sh" "$builder/root/"
  log "arm-musl-ft: NumPy $ARM_FT_NUMPY_VERSION from $(basename "$sdist") (emulated interpreter, zig)"
  if ! in_root "$builder" ARM_FT_PYTHON="$ARM_FT_PYTHON" ARM_FT_WRAPPERS="$ARM_FT_WRAPPERS" \
       nice -n 10 timeout --kill-after=10 3600 bash /root/build_arm_musl_numpy.sh \
       "/numpy-src/$(basename "$sdist")" /numpy-src/tools /numpy-src/dist >"$log" 2>&1; then
    tail -n 40 "$log"; remove_root "$builder"; die "building NumPy for $MUSL_TARGET"
  fi
  mkdir -p "$out$ARM_FT_WHEELS"
  cp "$builder"/numpy-src/dist/numpy-*.whl "$out$ARM_FT_WHEELS/"
  remove_root "$builder"
}

arm_ft_numpy_tarball() {
  local key
  arm_ft_python_tarball >/dev/null
  key=$(recipe_key v1 "$CACHE_DIR/roots/arm-musl-python-ft.key" "$ARM_FT_NUMPY_VERSION" \
        "${ARM_FT_BUILD_TOOLS[@]}" "$(declare -f build_arm_ft_numpy fetch_numpy_sdist)" \
        "$PLATFORM_DIR/build_arm_musl_numpy.sh")
  cached_artefact arm-musl-numpy-ft "$key" build_arm_ft_numpy
}

arm_ft_suite_wheels() {  # python_version (major.minor)
  local key dir
  key=$(recipe_key v1 "$1" "${ARM_FT_SUITE_REQUIREMENTS[@]}")
  dir=$CACHE_DIR/arm-ft-suite-wheels-$key
  publish_dir "$dir" download_arm_ft_suite_wheels "$1" || die "downloading the suite's wheels"
  echo "$dir"
}

download_arm_ft_suite_wheels() {  # dir dest python_version (publish_dir's)
  log "arm-musl-ft: fetching the suite's pure wheels"
  download_pure_wheels "$1" "$3" "${ARM_FT_SUITE_REQUIREMENTS[@]}"
}
