#!/usr/bin/env bash
# The platform stages: 32-bit ARM (glibc, emulated) with its wheel, free-threaded CPython
# 3.13 with its wheel, CPython 3.14 with NumPy 2, the engine on 32-bit ARM with musl, the
# x86_64 wheel on a bare Debian root, and the module with its musllinux wheel on a
# free-threaded CPython 3.13 linked against musl (x86_64).
# Usage: ci/platforms/run_all.sh [STAGE...]
#        (stages: armhf free-threaded python314 musl bare-wheel musl-python; default: all)
# Needs root (debootstrap, chroot, binfmt). Roots, the free-threaded interpreter and the
# cross toolchain are cached in ~/.cache/quillmoor (QUILLMOOR_PLATFORM_CACHE), so a second
# run takes minutes. Every stage runs; the script fails when any stage failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(musl free-threaded python314 armhf bare-wheel musl-python)
[ "$(id -u)" -eq 0 ] || { echo "the platform stages need root (chroot, debootstrap)" >&2; exit 1; }

declare -A script=([armhf]=stage_armhf.sh [free-threaded]=stage_free_threaded.sh
                   [python314]=stage_python314.sh [musl]=stage_musl.sh
                   [bare-wheel]=stage_bare_wheel.sh [musl-python]=stage_musl_python.sh)
summary=() failed=0
for stage in "${stages[@]}"; do
  [ -n "${script[$stage]:-}" ] || { echo "unknown stage: $stage" >&2; exit 2; }
  echo "== platform stage: $stage"
  started=$SECONDS
  if bash "$here/${script[$stage]}"; then result=passed; else result=FAILED; failed=1; fi
  summary+=("$(printf '%-14s %-7s %5d s' "$stage" "$result" $((SECONDS - started)))")
done
echo "== platform stages"
printf '%s\n' "${summary[@]}"
exit $failed
