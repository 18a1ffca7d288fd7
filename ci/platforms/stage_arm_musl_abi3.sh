#!/usr/bin/env bash
# Stage: the stable-ABI musllinux wheels for 64-bit and 32-bit ARM on classic CPythons
# (with the interpreter lock) linked against musl, under qemu-user. The interpreters are
# cross-built with zig by the free-threaded one's script and cached; NumPy is PyPI's
# musllinux wheel on aarch64 and built from its sdist on armv7l, for which PyPI has none.
# On each: in a fresh venv pip picks
# cp311-abi3-musllinux_1_2_ARCH out of
# the whole wheel folder, then the README's examples, and merge results compared bit for
# bit with x86_64 glibc. The whole suite runs on musl in musl-abi3 (x86_64) and on each
# ARM in the glibc stages: this one stays short.
# Ends with one line per architecture saying what ran; exits non-zero if any of it failed.
source "$(dirname "$0")/common.sh"
source "$PLATFORM_DIR/roots.sh"
source "$PLATFORM_DIR/musl_toolchain.sh"
source "$PLATFORM_DIR/arm_musl_python.sh"

# Every emulated step is bounded: a hang fails the stage instead of stalling CI.
STEP_TIMEOUT=${QUILLMOOR_ARM_MUSL_STEP_TIMEOUT:-900}
REQUIREMENTS=(pytest hypothesis)

work=$WORK_DIR/arm-musl-abi3-files  # beside the roots, never in them
rm -rf "$work" && mkdir -p "$work"
copy_checkout "$work/checkout"
summary=()
root=  # the current architecture's, global for the exit trap

run_arch() {  # arch
  local arch=$1 wheel interpreter prefix version python numpy= report passed binfmt numpy_version
  wheel=$(wheel_in_house "cp311-abi3-musllinux_1_2_$arch.whl" "musl-${arch/armv7l/armhf}")
  interpreter=$(arm_musl_classic_python_tarball "$arch")
  if [ "$arch" = armv7l ]; then numpy=$(arm_musl_classic_numpy_tarball "$arch"); fi
  root=$(fresh_root "$arch-musl-abi3" "$(sid_root_tarball)" "$interpreter" ${numpy:+"$numpy"})
  trap 'remove_root "$root"' EXIT
  read -r _ _ binfmt _ <<<"$(arm_musl_arch "$arch")"
  install_emulator "$root" "$binfmt"
  copy_checkout "$root/src/quillmoor"
  wheels_into_root "$wheel" "$root"
  prefix=$(arm_musl_classic_prefix "$arch")
  python=$prefix/bin/python
  version=$(cat "$root$prefix/quillmoor-version.txt")
  mkdir -p "$root/deps"
  if [ -n "$numpy" ]; then
    cp "$root$ARM_MUSL_CLASSIC_WHEELS"/numpy-*.whl "$root/deps/"
  else
    pypi_musl_numpy "$root/deps" "${version%.*}" "$arch" || die "downloading PyPI's NumPy for $arch musl"
  fi
  download_pure_wheels "$root/deps" "${version%.*}" "${REQUIREMENTS[@]}" || die "downloading pytest and hypothesis"
  numpy_version=$(cd "$root/deps" && ls numpy-*.whl | cut -d- -f2)
  log "$arch musl: CPython $version (classic), $(basename "$wheel") among $(ls "$root/wheels" | wc -l) wheels"

  emulated() {  # command...: runs in the root, bounded
    in_root "$root" timeout --kill-after=10 "$STEP_TIMEOUT" "$@"
  }
  log "$arch musl: fresh virtual environment (emulated); pip picks quillmoor's wheel"
  # The interpreter's own pip runs in the venv (ensurepip would install another copy,
  # slowly, under emulation).
  local base_packages
  base_packages=$(emulated "$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))') \
    || die "the $arch musl interpreter does not start"
  emulated "$python" -m venv --without-pip /venv \
    && emulated env PYTHONPATH="$base_packages" /venv/bin/python -m pip install -q --no-index \
       --find-links /wheels --find-links /deps numpy "${REQUIREMENTS[@]}" quillmoor \
    || die "installing quillmoor and NumPy into a fresh venv on $arch musl"
  local picked
  picked=$(emulated sh -c 'cd /tmp && /venv/bin/python -c "import importlib.metadata as m, quillmoor._native as n
wheel = m.distribution(\"quillmoor\").read_text(\"WHEEL\")
print(n.__file__, *[line.split(\": \", 1)[1] for line in wheel.splitlines() if line.startswith(\"Tag: \")])"') \
    || die "the installed module on $arch musl"
  log "$arch musl: $picked"
  case $picked in
    *"/site-packages/quillmoor/_native.abi3.so cp311-abi3-musllinux_1_2_$arch") ;;
    *) die "pip did not pick the stable-ABI musllinux wheel on $arch: $picked" ;;
  esac
  emulated sh -c "cd /tmp && /venv/bin/python /src/quillmoor/ci/platforms/wheel_smoke.py" >&2 \
    || die "the wheel's smoke test on $arch musl"

  log "$arch musl: result digests"
  emulated sh -c "cd /tmp && /venv/bin/python /src/quillmoor/ci/platforms/result_digest.py" \
    >"$WORK_DIR/digests-$arch-musl-abi3.txt" || die "digests on $arch musl"

  log "$arch musl: the README's examples (emulated)"
  report=$work/pytest-$arch.txt
  emulated env PYTHONPATH=/src/quillmoor/ci/platforms sh -c "cd /tmp && exec nice -n 10 /venv/bin/python \
    -m pytest -q -p no:cacheprovider -rs /src/quillmoor/tests/test_readme_examples.py" | tee "$report" >&2 \
    || die "the README's examples on $arch musl"
  passed=$(grep -oE '[0-9]+ passed' "$report" | tail -n1 | cut -d' ' -f1)
  [ -n "$passed" ] || die "no README example passed on $arch musl"
  remove_root "$root"
  trap - EXIT
  summary+=("$arch-musl-abi3: CPython $version (classic) on $arch musl, NumPy $numpy_version, $(basename "$wheel") picked by pip, $passed README examples passed")
}

run_arch aarch64
run_arch armv7l
log "arm-musl-abi3: result digests against x86_64 glibc"
# One comparison with x86_64 for both: the second architecture's digests are compared
# with the file the first comparison wrote.
host_digests=$WORK_DIR/digests-aarch64-musl-abi3-x86_64.txt
fields=$(match_host_digests "$WORK_DIR/digests-aarch64-musl-abi3.txt" "$work/checkout" "aarch64 musl") \
  || exit 1
diff -u "$host_digests" "$WORK_DIR/digests-armv7l-musl-abi3.txt" >&2 || die "results on armv7l musl differ from x86_64"
printf '%s\n' "${summary[@]}"
echo "arm-musl-abi3: $fields fields bit-identical to x86_64 glibc on aarch64 and armv7l musl"
