#!/usr/bin/env bash
# Runs inside the sid root: fetches the pristine upstream tarball of a Debian source
# package into the current folder and prints its path. Tries the source indexes of sid,
# trixie and bookworm, newest version first: an archive's index can name a version whose
# files its pool does not hold (yet, or any more).
# Usage: fetch_source.sh PACKAGE
set -euo pipefail
package=$1
mirror=$(awk '/^deb-src / {print $2; exit}' /etc/apt/sources.list)
for suite in trixie bookworm; do
  echo "deb-src $mirror $suite main" 
done >/etc/apt/sources.list.d/older-sources.list
apt-get update -qq >&2
for version in $(apt-cache showsrc "$package" | awk '/^Version:/ {print $2}' | sort -ruV); do
  if apt-get source --download-only -qq "$package=$version" >&2 2>&1; then
    echo "fetched $package $version" >&2
    ls "$PWD"/"${package}"_*.orig.tar.* | head -n1
    exit 0
  fi
  rm -f "${package}"_*
done
echo "no version of $package's source could be fetched" >&2
exit 1
