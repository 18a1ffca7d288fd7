#!/usr/bin/env bash
# The platform stages: 32-bit ARM (glibc, emulated) with its stable-ABI wheel, 64-bit ARM
# (emulated) with its stable-ABI wheel and with a free-threaded CPython's wheel (stage
# aarch64-ft), free-threaded CPython 3.13 with its wheel, the stable-ABI wheel on CPython
# 3.13, 3.14 and 3.15 (stage python314), free-threaded CPython on 32-bit ARM with musl
# (emulated) with its wheel, the x86_64 wheel on a bare Debian root, the free-threaded
# musllinux wheel on a free-threaded CPython 3.13 linked against musl (x86_64), and the
# stable-ABI musllinux wheels on classic CPythons linked against musl: x86_64 (stage
# musl-abi3), 64-bit and 32-bit ARM (emulated; stage arm-musl-abi3).
# Usage: ci/platforms/run_all.sh [STAGE...]
#        (stages: armhf free-threaded python314 arm-musl-ft bare-wheel musl-python aarch64
#        aarch64-ft musl-abi3 arm-musl-abi3; default: all)
# Needs root (debootstrap, chroot, binfmt). Roots, the free-threaded interpreter and the
# cross toolchain are cached in ~/.cache/quillmoor (QUILLMOOR_PLATFORM_CACHE), so a second
# run takes minutes. Every stage runs; the script fails when any stage failed.
#
# Without names, the stages run in two lanes side by side: the emulated 32-bit ARM stages
# (arm-musl-ft, armhf, arm-musl-abi3), mostly one busy core, beside the x86_64 ones and
# the emulated 64-bit ARM ones. Named stages run one after another. Each stage's output shows as it
# comes, every line headed by the stage's name, and is kept in a log of the stage's own;
# a failed stage is announced when it ends, and the summary comes when both lanes have.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stages=("$@")
[ "$(id -u)" -eq 0 ] || { echo "the platform stages need root (chroot, debootstrap)" >&2; exit 1; }
source "$here/common.sh"
# One run at a time on a cache: the stages' work folders and logs there are fixed paths.
if [ "${QUILLMOOR_STAGES_LOCKED:-}" != "$CACHE_DIR" ]; then
  mkdir -p "$CACHE_DIR/locks"
  lock=$CACHE_DIR/locks/platform-stages.lock
  flock -n "$lock" true || echo "waiting for the other run of the platform stages on $CACHE_DIR" >&2
  QUILLMOOR_STAGES_LOCKED=$CACHE_DIR exec flock -o "$lock" bash "$here/run_all.sh" "$@"
fi
set +e  # a failed stage is reported, and the others still run

declare -A script=([armhf]=stage_armhf.sh [free-threaded]=stage_free_threaded.sh
                   [python314]=stage_python314.sh [arm-musl-ft]=stage_arm_musl_ft.sh
                   [bare-wheel]=stage_bare_wheel.sh [musl-python]=stage_musl_python.sh
                   [aarch64]=stage_aarch64.sh [aarch64-ft]=stage_aarch64_ft.sh
                   [musl-abi3]=stage_musl_abi3.sh [arm-musl-abi3]=stage_arm_musl_abi3.sh)
for stage in "${stages[@]}"; do
  [ -n "${script[$stage]:-}" ] || { echo "unknown stage: $stage" >&2; exit 2; }
done
summary=$WORK_DIR/stage-summary.txt
: >"$summary"

run_stage() {  # stage: 0 when it passed
  local stage=$1 output=$WORK_DIR/stage-$1.log started=$SECONDS result=passed pid follower
  echo "== platform stage started: $stage (log: $output)"
  : >"$output"
  # The stage writes its log; a follower shows each line as it comes. It stops once the
  # stage's process has ended and the log is read to its end, whatever the stage left
  # running (a pipe would stay open as long as anything it started holds it).
  with_lock "stage-$stage" bash "$here/${script[$stage]}" >>"$output" 2>&1 </dev/null &
  pid=$!
  tail -n +1 -s 1 -f --pid="$pid" "$output" | sed -u "s/^/[$stage] /" &
  follower=$!
  wait "$pid" || result=FAILED
  wait "$follower"
  if [ "$result" = passed ]; then
    echo "== platform stage passed: $stage ($((SECONDS - started)) s)"
  else
    echo "== platform stage FAILED: $stage (see $output)"
  fi
  printf '%-14s %-7s %5d s\n' "$stage" "$result" $((SECONDS - started)) >>"$summary"
  [ "$result" = passed ]
}

run_lane() {  # stage...: every stage runs; 0 when all passed
  local stage failed=0
  for stage in "$@"; do run_stage "$stage" || failed=1; done
  return $failed
}

started=$SECONDS failed=0
if [ ${#stages[@]} -gt 0 ]; then
  run_lane "${stages[@]}" || failed=1
else
  # The emulated 32-bit ARM stages are the longest; the lanes take about as long as each
  # other with filled caches.
  run_lane arm-musl-ft armhf arm-musl-abi3 & arm_lane=$!
  run_lane free-threaded python314 bare-wheel musl-abi3 musl-python aarch64 aarch64-ft & x86_lane=$!
  wait "$arm_lane" || failed=1
  wait "$x86_lane" || failed=1
fi
echo "== platform stages ($((SECONDS - started)) s)"
cat "$summary"
exit $failed
