#!/usr/bin/env bash
# Stage: free-threaded CPython on 64-bit ARM with glibc (Debian bookworm arm64 under
# qemu-aarch64). The interpreter, cross-built with zig for glibc 2.28, is cached
# (aarch64_ft.sh); NumPy, pytest and hypothesis are PyPI's wheels for it, fetched by the
# host (the interpreter has no TLS). In a fresh virtual environment pip picks the cp3XXt
# aarch64 wheel from the whole wheel folder; then the interpreter lock stays off after
# import, the README's examples, digests of merge results compared with x86_64's, and the
# free-threading tests. The whole suite on 64-bit ARM is the aarch64 stage's (stable-ABI
# wheel): this one stays short.
# Ends with one line saying what ran; exits non-zero if any of it failed.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
source "$PLATFORM_DIR/manylinux_toolchain.sh"
source "$PLATFORM_DIR/aarch64_ft.sh"

# Every emulated step is bounded: a hang fails the stage instead of stalling CI.
STEP_TIMEOUT=${QUILLMOOR_AARCH64_FT_STEP_TIMEOUT:-900}

wheel=$(wheel_in_house 'cp3*-cp3*t-manylinux_2_28_aarch64.whl' aarch64-free-threaded)
interpreter=$(aarch64_ft_python_tarball)
root=$(fresh_root aarch64-ft "$(arm64_root_tarball)" "$interpreter")
trap 'remove_root "$root"' EXIT
copy_checkout "$root/src/quillmoor"
src=/src/quillmoor
wheels_into_root "$wheel" "$root"
version=$(cat "$root$AARCH64_FT_PREFIX/quillmoor-version.txt")
abi=cp$(sed 's/\.//' <<<"${version%.*}")t
case $(basename "$wheel") in
  *-"${abi%t}-$abi"-manylinux_2_28_aarch64.whl) ;;
  *) die "$(basename "$wheel") is not the wheel of CPython $version's free-threaded ABI ($abi)" ;;
esac
log "aarch64-ft: CPython $version ($abi), $(basename "$wheel") among $(ls "$root/wheels" | wc -l) wheels"
aarch64_ft_wheels "$root/deps" "${version%.*}" pytest hypothesis || die "downloading NumPy, pytest and hypothesis"
work=$WORK_DIR/aarch64-ft-files  # beside the root, never in it
rm -rf "$work" && mkdir -p "$work"

emulated() {  # command...: runs in the root, bounded
  in_root "$root" timeout --kill-after=10 "$STEP_TIMEOUT" "$@"
}

log "aarch64-ft: fresh virtual environment (emulated); pip picks quillmoor's wheel"
# The interpreter's own pip runs in the venv (ensurepip would install another copy, slowly,
# under emulation).
base_packages=$(emulated "$AARCH64_FT_PYTHON" -c 'import sysconfig; print(sysconfig.get_path("purelib"))') \
  || die "the free-threaded interpreter does not start"
emulated "$AARCH64_FT_PYTHON" -m venv --without-pip /venv \
  && emulated env PYTHONPATH="$base_packages" /venv/bin/python -m pip install -q --no-index \
     --find-links /wheels --find-links /deps --report /tmp/install-report.json numpy pytest hypothesis quillmoor \
  || die "installing quillmoor and NumPy into a fresh venv"
picked=$(python3 - "$root/tmp/install-report.json" <<'PY'
import json, sys
from urllib.parse import unquote
items = json.load(open(sys.argv[1]))["install"]
(url,) = [i["download_info"]["url"] for i in items if i["metadata"]["name"] == "quillmoor"]
print(unquote(url).rsplit("/", 1)[1])
PY
) || die "reading pip's installation report"
[ "$picked" = "$(basename "$wheel")" ] || die "pip installed $picked, not $(basename "$wheel")"
log "aarch64-ft: pip picked $picked"

module=$(emulated sh -c "cd /tmp && /venv/bin/python $src/ci/platforms/wheel_smoke.py \
    && /venv/bin/python -c 'import platform, sys; import quillmoor
print(platform.machine(), \"interpreter lock on after import:\", sys._is_gil_enabled())'" </dev/null) \
  || die "the free-threaded aarch64 wheel"
echo "$module" >&2
case $module in *"_native.cpython-${abi#cp}-aarch64-linux-gnu.so"*) ;; *) die "not the free-threaded aarch64 module" ;; esac
case $module in *"aarch64 interpreter lock on after import: False"*) ;; *) die "the interpreter lock is on" ;; esac

log "aarch64-ft: result digests, 64-bit ARM free-threaded against x86_64"
arm_digests=$WORK_DIR/digests-aarch64-ft.txt
emulated sh -c "cd /tmp && /venv/bin/python $src/ci/platforms/result_digest.py" >"$arm_digests" \
  || die "digests on aarch64 (free-threaded)"
fields=$(match_host_digests "$arm_digests" "$root$src" "free-threaded aarch64") || exit 1
log "aarch64-ft: $fields fields give bit-identical results"

log "aarch64-ft: the README's examples and the free-threading tests (emulated)"
report=$work/pytest.txt
emulated env QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES="${QUILLMOOR_AARCH64_MAX_EXAMPLES:-20}" \
  PYTHONPATH="$src/ci/platforms" sh -c "cd /tmp && exec nice -n 10 /venv/bin/python -m pytest -q \
  -p no:cacheprovider -p hypothesis_budget -rs $src/tests/test_readme_examples.py \
  $src/tests/test_platform_free_threading.py $src/tests/test_platform_thread_conditions.py" | tee "$report" \
  || die "the README's examples or the free-threading tests on aarch64"
# Examples of extras that are not installed here skip; the free-threading tests must run.
if grep -q 'SKIPPED.*test_platform_free_threading' "$report"; then
  die "free-threading tests were skipped on the free-threaded interpreter"
fi
passed=$(grep -oE '[0-9]+ passed' "$report" | tail -n1 | cut -d' ' -f1)
[ -n "$passed" ] || die "no test passed"

echo "aarch64-ft: CPython $version free-threaded (lock off) on aarch64 glibc, $(basename "$picked")" \
  "picked by pip, $passed tests passed (README examples, free-threading), $fields fields bit-identical to x86_64"
