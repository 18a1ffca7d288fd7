# Recipe of the bare root: Debian bookworm for x86_64 with python3 and python3-venv and
# nothing else (no compiler), the machine a user installs a wheel on.
# Sourced after common.sh.
BARE_SUITE=bookworm
BARE_PACKAGES=python3,python3-venv

build_bare_root() {
  local out=$1
  ensure_host_tools
  $NICE debootstrap --variant=minbase --include="$BARE_PACKAGES" \
    "$BARE_SUITE" "$out" "$(debian_mirror)" >"$WORK_DIR/debootstrap-bare.log" 2>&1 \
    || { tail -n 30 "$WORK_DIR/debootstrap-bare.log"; die "debootstrap of the bare root"; }
  rm -rf "$out"/var/cache/apt/archives/*.deb "$out"/var/lib/apt/lists/*
}

bare_root_tarball() {
  local key
  key=$(recipe_key v1 "$BARE_SUITE" "$BARE_PACKAGES" "$(declare -f build_bare_root)")
  cached_artefact "bare-$BARE_SUITE-amd64" "$key" build_bare_root
}
