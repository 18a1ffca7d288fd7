#!/usr/bin/env bash
# Runs inside the sid root: builds CPython 3.13 from Debian's source package with the
# interpreter lock disabled, installs it into $FT_PREFIX with pip, then installs the test
# dependencies from PyPI (NumPy ships cp313t wheels).
set -euo pipefail
: "${FT_PREFIX:?}" "${FT_PIP_PACKAGES:?}"
apt-get update -qq
rm -rf /build && mkdir /build && cd /build
# The pristine upstream tarball is enough; Debian's patches adapt CPython to Debian's layout.
# The archive's source index can name a newer version than its pool holds yet: take the
# newest version whose files can be fetched.
fetched=""
for version in $(apt-cache showsrc python3.13 | awk '/^Version:/ {print $2}' | sort -rV); do
  if apt-get source --download-only -qq "python3.13=$version"; then fetched=$version; break; fi
  rm -f python3.13_*
done
[ -n "$fetched" ] || { echo "no version of python3.13's source could be fetched" >&2; exit 1; }
echo "CPython source: python3.13 $fetched"
tar -xf python3.13_*.orig.tar.*
cd Python-3.13*/
./configure -q --disable-gil --prefix="$FT_PREFIX" --with-ensurepip=install
make -s -j2
make -s install
python=$FT_PREFIX/bin/python3.13t
"$python" -c 'import sys, sysconfig; assert sysconfig.get_config_var("Py_GIL_DISABLED"); print(sys.version)'
# shellcheck disable=SC2086
"$python" -m pip install -q --root-user-action=ignore $FT_PIP_PACKAGES
"$python" -m pip list
rm -rf /build
