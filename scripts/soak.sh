#!/usr/bin/env bash
# Soak: N consecutive upgrades (default 200) against ptz-headsim with faults drawn at random,
# alternately through ptz-upgrade and the window program's headless backend. Not part of the
# test suite. Usage: scripts/soak.sh [N] [SEED] [BUILD_DIR]
# Exits 0 only with no hang, no false success, no unexpected outcome and steady memory.
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-200}
seed=${2:-$RANDOM}
build=${3:-build/native}

if [ ! -d "$build" ]; then
    cmake --preset native >/dev/null
fi
cmake --build "$build" --target ptz_soak ptz-upgrade ptz-headsim -j "$(nproc)"
exec "$build/tests/faults/ptz_soak" \
    --upgrade "$build/src/cli/ptz-upgrade" \
    --headsim "$build/tools/headsim/ptz-headsim" \
    --count "$count" --seed "$seed"
