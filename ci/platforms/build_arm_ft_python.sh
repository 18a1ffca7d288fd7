#!/usr/bin/env bash
# Runs inside the sid root (x86_64): cross-builds the newest CPython whose source Debian's
# archive serves, with the interpreter lock disabled (ARM_FT_FLAVOUR=t, the default) or
# kept (ARM_FT_FLAVOUR empty: the classic build), for an ARM target ($ARM_FT_HOST, a
# GNU triplet: arm-linux-musleabihf, aarch64-linux-gnu), using zig's C compiler (wrappers
# in $ARM_FT_WRAPPERS, which pick the target's C library). zlib and libffi are built
# static first: pip needs zlib, the test suite needs ctypes.
# The build interpreter is sid's binary package of the same version (installed here).
# Installs into $ARM_FT_PREFIX and prints the installed version on the last line.
set -euo pipefail
: "${ARM_FT_HOST:?}" "${ARM_FT_PREFIX:?}" "${ARM_FT_WRAPPERS:?}" "${ARM_FT_CANDIDATES:?}"
flavour=${ARM_FT_FLAVOUR-t}
case $flavour in
  t) gil=(--disable-gil) kind="with the interpreter lock disabled" ;;
  "") gil=() kind="with the interpreter lock" ;;
  *) echo "ARM_FT_FLAVOUR is t or empty, not '$flavour'" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
target=$ARM_FT_HOST
cc=$ARM_FT_WRAPPERS/cc
deps=/build/deps
rm -rf /build && mkdir -p /build/sources "$deps" /build/no-pkgconfig && cd /build/sources

# The newest version whose source can be fetched (an index may name versions whose files
# the pool does not hold).
python_package=
for candidate in $ARM_FT_CANDIDATES; do
  if python_tarball=$(bash "$here/fetch_source.sh" "$candidate"); then
    python_package=$candidate; break
  fi
done
[ -n "$python_package" ] || { echo "no CPython source could be fetched ($ARM_FT_CANDIDATES)" >&2; exit 1; }
zlib_tarball=$(bash "$here/fetch_source.sh" zlib)
libffi_tarball=$(bash "$here/fetch_source.sh" libffi)
apt-get install -y -qq --no-install-recommends "$python_package" autoconf automake libtool libltdl-dev >/dev/null
build_python=/usr/bin/$python_package

unpack() {  # tarball folder
  mkdir -p "$2" && tar -xf "$1" -C "$2" --strip-components=1
}
unpack "$zlib_tarball" /build/zlib
unpack "$libffi_tarball" /build/libffi
unpack "$python_tarball" /build/python

echo "== zlib for $target" >&2
(cd /build/zlib && CHOST=$target CC=$cc AR="$ARM_FT_WRAPPERS/ar" RANLIB="$ARM_FT_WRAPPERS/ranlib" \
   CFLAGS="-O2 -fPIC" ./configure --static --prefix="$deps" && make -j2 && make install) >/build/zlib.log 2>&1 \
  || { tail -n 30 /build/zlib.log; exit 1; }

echo "== libffi for $target" >&2
# Debian's upstream tarball has no generated configure script (its configure.ac needs
# libltdl's macros too). A cross build happens in a folder named after the host; the top
# folder's make then looks for the build machine's folder too, which does not exist.
(cd /build/libffi && autoreconf -fi && CC=$cc AR="$ARM_FT_WRAPPERS/ar" RANLIB="$ARM_FT_WRAPPERS/ranlib" \
   CFLAGS="-O2" ./configure -q --host=$target --build=x86_64-linux-gnu --prefix="$deps" \
   --disable-shared --enable-static --with-pic --disable-docs --disable-multi-os-directory \
   --disable-exec-static-tramp \
   && host_dir=$(find . -maxdepth 1 -type d -name "${target%%-*}-*-linux-*" | head -n1) \
   && make -C "${host_dir:-.}" -j2 && make -C "${host_dir:-.}" install) >/build/libffi.log 2>&1 \
  || { tail -n 30 /build/libffi.log; exit 1; }

echo "== $python_package $kind, for $target" >&2
# pkg-config sees only the libraries above: the build machine's .pc files describe glibc's.
# The ac_cv answers are those configure cannot find out without running target programs.
(cd /build/python \
   && CC=$cc AR="$ARM_FT_WRAPPERS/ar" RANLIB="$ARM_FT_WRAPPERS/ranlib" \
      PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR=/build/no-pkgconfig \
      ZLIB_CFLAGS="-I$deps/include" ZLIB_LIBS="-L$deps/lib -lz" \
      LIBFFI_CFLAGS="-I$deps/include" LIBFFI_LIBS="-L$deps/lib -lffi" \
      ./configure -q --host=$target --build=x86_64-linux-gnu --with-build-python="$build_python" \
        --prefix="$ARM_FT_PREFIX" "${gil[@]}" --disable-test-modules --without-ensurepip \
        ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no \
   && make -s -j2 EXTRA_CFLAGS=-Wno-date-time \
   && make -s install) >/build/python.log 2>&1 \
  || { tail -n 40 /build/python.log; exit 1; }
# zig's clang makes __DATE__ an error (reproducible builds); hence -Wno-date-time above.
grep -A3 -E "necessary bits|Failed to build" /build/python.log >"$ARM_FT_PREFIX/build-notes.txt" || true
version=$(cd /build/python && "$build_python" -c 'import re, sys
print(re.search(r"PY_VERSION\s+\"([^\"]+)\"", open("Include/patchlevel.h").read()).group(1))')
short=${python_package#python}
ln -sf "python${short}${flavour}" "$ARM_FT_PREFIX/bin/python"
[ -x "$ARM_FT_PREFIX/bin/python${short}${flavour}" ] || { echo "no python${short}${flavour} installed" >&2; exit 1; }
rm -rf /build
echo "$version"
