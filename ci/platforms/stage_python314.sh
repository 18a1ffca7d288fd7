#!/usr/bin/env bash
# Stage: the stable-ABI wheel (cp311-abi3, x86_64) on sid's CPython 3.13, 3.14 and 3.15.
# Each interpreter gets a fresh virtual environment with NumPy, pytest and hypothesis from
# PyPI, then pip picks quillmoor's wheel from the wheel folder on its own (--no-index
# --find-links), as a user's pip would. Every one runs the README's examples and the result
# digests, compared with those of the module built from source on this machine: what
# differs by version. The whole suite runs on x86_64 in the host suites (bookworm's 3.11).
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"

wheel=$(wheel_in_house 'cp311-abi3-manylinux*_x86_64.whl' host)
root=$(fresh_root python314 "$(sid_root_tarball)")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor
wheels_into_root "$wheel" "$root"
log "abi3: $(basename "$wheel")"

# 3.13 and 3.15 beside the root's 3.14 (the root's package lists still hold them).
extra="python3.13 python3.13-venv python3.15 python3.15-venv"
in_root "$root" sh -c "apt-get install -y -qq --no-install-recommends $extra >/dev/null 2>&1 \
    || { apt-get update -qq && apt-get install -y -qq --no-install-recommends $extra >/dev/null; }" \
  || die "installing sid's CPython 3.13 and 3.15"

host_digests=$WORK_DIR/digests-abi3-x86_64.txt
"$PLATFORM_DIR/host_module.sh" "$root$src" "$PLATFORM_DIR/result_digest.py" >"$host_digests" \
  || die "digests of the module built from source"

for version in 3.13 3.14 3.15; do
  venv=/venv-$version
  log "abi3: CPython $version, fresh virtual environment"
  in_root "$root" sh -c "python$version -m venv $venv \
      && $venv/bin/python -m pip install -q --only-binary=:all: numpy pytest hypothesis \
      && $venv/bin/python -m pip install -q --no-index --find-links /wheels quillmoor" \
    || die "installing the wheel on CPython $version"
  module=$(in_root "$root" sh -c "cd /tmp && $venv/bin/python $src/ci/platforms/wheel_smoke.py") \
    || die "the wheel on CPython $version"
  echo "$module" >&2
  case $module in *"_native.abi3.so"*) ;; *) die "CPython $version did not get the stable-ABI module" ;; esac
  in_root "$root" $venv/bin/python -m pip list 2>/dev/null | grep -iE '^(numpy|quillmoor) ' >&2

  in_root "$root" sh -c "cd /tmp && $venv/bin/python -m pytest -q -rs -p no:cacheprovider \
      $src/tests/test_readme_examples.py" || die "the README's examples on CPython $version"
  digests=$WORK_DIR/digests-abi3-$version.txt
  in_root "$root" sh -c "cd /tmp && $venv/bin/python $src/ci/platforms/result_digest.py" \
    >"$digests" || die "digests on CPython $version"
  diff -u "$host_digests" "$digests" || die "results on CPython $version differ from the source build's"
  log "abi3: CPython $version: $(wc -l <"$digests") fields give the source build's results"
done
