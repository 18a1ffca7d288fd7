#!/usr/bin/env bash
# Installs the system packages the build and the tests need (Debian): GoogleTest, ccache
# (the engine's test builds, run after run), and the build tools, Python's headers and
# venv when the machine lacks them. Runs apt-get only when something is missing.
set -euo pipefail
packages=(libgtest-dev g++ ccache)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
# A bare Debian python3 has neither its C headers nor venv's pip.
python3 -c 'import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' \
  2>/dev/null || missing+=(python3-dev)
python3 -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
