#!/usr/bin/env bash
# Installs the system packages the build and the tests need (Debian): GoogleTest,
# and the build tools when the machine lacks them. Runs apt-get only when something is missing.
set -euo pipefail
packages=(libgtest-dev g++)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install -q cmake ninja
