#!/usr/bin/env bash
# Builds the native program and starts it over a demo drive full of
# realistic leftovers (large files are sparse: they use no disk). It prints
# the address; on a machine without a display no browser is opened.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j"$(nproc)" --target tamsel
export TAMSEL_ROOT="$PWD/build/demo-root"
python3 scripts/make_demo_drive.py "$TAMSEL_ROOT"
args=("$@")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then args+=(--no-browser); fi
exec build/native-release/tamsel "${args[@]}"
