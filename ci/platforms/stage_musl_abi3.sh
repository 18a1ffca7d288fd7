#!/usr/bin/env bash
# Stage: the stable-ABI musllinux wheel on a classic CPython for musl (x86_64, on the host).
# CPython 3.13 with the interpreter lock, linked against musl by the script that builds
# the free-threaded one (cached), with NumPy's and pandas' musllinux wheels. In a clean venv, from
# outside the checkout, pip picks quillmoor's wheel out of the whole wheel folder (glibc
# and musl wheels side by side) and must take cp311-abi3-musllinux_1_2_x86_64; then the
# whole suite, and merge results compared bit for bit with x86_64 glibc.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
source "$PLATFORM_DIR/musl_toolchain.sh"
source "$PLATFORM_DIR/musl_python.sh"

ensure_musl_x86_host_tools
wheel=$(wheel_in_house 'cp311-abi3-musllinux_1_2_x86_64.whl' musl)
base=$WORK_DIR/musl-abi3
rm -rf "$base"; mkdir -p "$base/wheels"
python=$(musl_interpreter "" "$base/python")
wheelhouse=$(musl_wheelhouse "")
src=$base/checkout
copy_checkout "$src"
cp "$(dirname "$wheel")"/quillmoor-*.whl "$base/wheels/"
log "musl-abi3: the wheel folder: $(cd "$base/wheels" && echo *.whl)"

log "musl-abi3: a clean venv; pip picks quillmoor's wheel from the folder"
musl_new_venv "$python" "$wheelhouse" "$base/venv" pytest hypothesis pandas
musl_run "$base/venv/bin/python" -m pip install -q --find-links "$base/wheels" quillmoor \
  || die "installing quillmoor from the wheel folder"
picked=$(cd "$base" && musl_run "$base/venv/bin/python" -c 'import importlib.metadata as m, quillmoor._native as n
wheel = m.distribution("quillmoor").read_text("WHEEL")
print(n.__file__, *[line.split(": ", 1)[1] for line in wheel.splitlines() if line.startswith("Tag: ")])') \
  || die "the installed module"
log "musl-abi3: $picked"
case $picked in
  *"/site-packages/quillmoor/_native.abi3.so cp311-abi3-musllinux_1_2_x86_64") ;;
  *) die "pip did not pick the stable-ABI musllinux wheel: $picked" ;;
esac

log "musl-abi3: the whole suite"
report=$base/pytest.txt
(cd "$base" && musl_run nice -n 10 "$base/venv/bin/python" -m pytest -q -p no:cacheprovider -rs \
   "$src/tests") | tee "$report" || die "the test suite on the classic musl CPython"

log "musl-abi3: result digests, musl against x86_64 glibc"
digests=$WORK_DIR/digests-musl-abi3.txt
(cd "$base" && musl_run "$base/venv/bin/python" "$src/ci/platforms/result_digest.py") \
  >"$digests" || die "digests on musl"
fields=$(match_host_digests "$digests" "$src" "musl x86_64 (classic)") || exit 1
version=$(musl_run "$python" -c 'import platform; print(platform.python_version())')
echo "musl-abi3: CPython $version (classic) on x86_64 musl, $(basename "$wheel") picked by pip," \
  "$(grep -oE '[0-9]+ passed' "$report" | tail -n1), $fields fields bit-identical to x86_64 glibc"
