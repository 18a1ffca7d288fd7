#!/usr/bin/env bash
# Fresh machine to demo: system packages, the package with its plotting extra in a
# virtual environment (.venv), then the demo on a synthetic field. Extra arguments go
# to the demo (see: .venv/bin/python -m quillmoor demo --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_system_deps.sh
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q '.[demo]'
# -P: import the installed package, not the source folder of the same name.
exec .venv/bin/python -P -m quillmoor demo "$@"
