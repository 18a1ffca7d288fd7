# Free-threaded CPython on 32-bit ARM with musl: the cached interpreter, the NumPy wheel
# built for it, and the roots they run in. Sourced after common.sh, roots.sh,
# musl_toolchain.sh, musl_python.sh and arm_musl_python.sh (which builds both).
#
# Everything runs in a sid root (x86_64) that also holds musl's armhf loader and the ARM
# interpreter: ARM programs run there through the kernel's binfmt handler (qemu-arm), and
# the x86_64 tools (zig, cmake, ninja) at full speed beside them.
#
# Interface:
#   arm_ft_python_tarball    cached interpreter (in $ARM_FT_PREFIX) and musl's armhf loader
#   arm_ft_numpy_tarball     cached NumPy wheel for it (in /arm-ft-wheels)
#   arm_ft_suite_wheels      cached folder of the pure wheels the suite and the build need
# (arm_musl_enter ROOT armv7l makes zig, its wrappers and qemu-arm usable inside ROOT.)

# The newest first: the day Debian's archive serves a newer source, it is the one built.
ARM_FT_CANDIDATES="python3.15 python3.14 python3.13"
ARM_FT_PREFIX=/opt/python-ft-armhf-musl
ARM_FT_PYTHON=$ARM_FT_PREFIX/bin/python
ARM_FT_WHEELS=/arm-ft-wheels   # inside the roots: the NumPy wheel
ARM_FT_SUITE_REQUIREMENTS=(pytest hypothesis "scikit-build-core>=0.10")

build_arm_ft_python() {  # out
  build_arm_musl_python "$1" armv7l t "$ARM_FT_PREFIX" "$ARM_FT_CANDIDATES"
}

arm_ft_python_tarball() {
  local key
  sid_root_tarball >/dev/null
  key=$(recipe_key v2 "$CACHE_DIR/roots/sid-amd64.key" "$ARM_FT_CANDIDATES" "$ARM_FT_PREFIX" \
        "$(declare -f build_arm_ft_python)" "$(arm_musl_recipe)")
  cached_artefact arm-musl-python-ft "$key" build_arm_ft_python
}

build_arm_ft_numpy() {  # out
  build_arm_musl_numpy "$1" armv7l "$(arm_ft_python_tarball)" "$ARM_FT_PYTHON" "$ARM_FT_WHEELS"
}

arm_ft_numpy_tarball() {
  local key
  arm_ft_python_tarball >/dev/null
  key=$(recipe_key v2 "$CACHE_DIR/roots/arm-musl-python-ft.key" "$ARM_FT_WHEELS" \
        "$(declare -f build_arm_ft_numpy)" "$(arm_musl_recipe)")
  cached_artefact arm-musl-numpy-ft "$key" build_arm_ft_numpy
}

arm_ft_suite_wheels() {  # python_version (major.minor)
  local key dir
  key=$(recipe_key v1 "$1" "${ARM_FT_SUITE_REQUIREMENTS[@]}")
  dir=$CACHE_DIR/arm-ft-suite-wheels-$key
  publish_dir "$dir" download_arm_ft_suite_wheels "$1" || die "downloading the suite's wheels"
  echo "$dir"
}

download_arm_ft_suite_wheels() {  # dir dest python_version (publish_dir's)
  log "arm-musl-ft: fetching the suite's pure wheels"
  download_pure_wheels "$1" "$3" "${ARM_FT_SUITE_REQUIREMENTS[@]}"
}
