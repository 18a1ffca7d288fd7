#!/usr/bin/env bash
# Stage: CPython 3.14 with Debian's NumPy 2 (sid): the whole test suite.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"

sid=$(sid_root_tarball)
root=$(fresh_root python314 "$sid")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"

log "python3.14: build and test suite"
in_root "$root" nice -n 10 bash /src/quillmoor/ci/platforms/suite_in_root.sh python3.14 /build/py314 \
  || die "test suite on CPython 3.14"
