#!/usr/bin/env bash
# The main job: builds the simulated programs, makes a fresh simulated world and
# runs tarvo_update in it against the simulated controller and board.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
world=$(mktemp -d /tmp/tarvo-demo-XXXXXX)
build/sim/tarvo-sim init "$world"
echo "Simulated world: $world"
echo "\$ build/sim/tarvo_update 1 V1a2a3c4b5b6b7o.hex"
set +e
TARVO_SIM_ROOT="$world" build/sim/tarvo_update 1 V1a2a3c4b5b6b7o.hex
status=$?
set -e
echo "exit status: $status"
echo "--- system log ($world/var/log/messages)"
cat "$world/var/log/messages"
