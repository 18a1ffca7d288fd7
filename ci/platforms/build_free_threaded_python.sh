#!/usr/bin/env bash
# Runs inside the sid root: builds CPython 3.13 from the upstream tarball of Debian's source
# package (Debian's patches only adapt it to Debian's layout) with the interpreter lock
# disabled, and installs it, pip included, into $FT_PREFIX.
set -euo pipefail
: "${FT_PREFIX:?}"
rm -rf /build && mkdir /build && cd /build
tarball=$(bash "$(dirname "$0")/fetch_source.sh" python3.13)
tar -xf "$tarball"
cd Python-3.13*/
# CPython's own test package is neither built nor installed: nothing here runs it, and it is
# a large part of the build and of the bytecode compiled at install.
./configure -q --disable-gil --disable-test-modules --prefix="$FT_PREFIX" --with-ensurepip=install
make -s -j2
make -s install
python=$FT_PREFIX/bin/python3.13t
"$python" -c 'import sys, sysconfig; assert sysconfig.get_config_var("Py_GIL_DISABLED"); print(sys.version)'
rm -rf /build
