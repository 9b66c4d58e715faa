#!/usr/bin/env bash
# The main job on a fresh machine: build ptz-upgrade and load a sample image into the built-in
# simulated head, with progress. Exits with the loader's status.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset native
cmake --build --preset native --target ptz-upgrade

# 64 KiB of deterministic bytes stand in for a firmware image.
image=build/native/sample-firmware.bin
{ yes "ptz-upgrade sample firmware image" || true; } | head -c 65536 > "$image"

status=0
build/native/src/cli/ptz-upgrade --port sim "$image" || status=$?
exit "$status"
