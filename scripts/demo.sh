#!/usr/bin/env bash
# The main job: builds the simulated programs, makes a fresh simulated world and
# runs a whole update in it, in text mode, against the simulated controller and
# board.  Shows the board before and after, the updater's output and exit status,
# the simulated duration of the update and the system log it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target tarvo_update_sim tarvo-sim >/dev/null
image=${1:-V1a2a3c4b5b6b7o.hex}
world=$(mktemp -d /tmp/tarvo-demo-XXXXXX)
build/sim/tarvo-sim init "$world"
echo "Simulated world: $world"
echo "--- board before the update (tarvo-sim show)"
build/sim/tarvo-sim show "$world"
echo "\$ build/sim/tarvo_update 1 $image"
set +e
start=$(date +%s%N)
TARVO_SIM_ROOT="$world" build/sim/tarvo_update 1 "$image"
status=$?
end=$(date +%s%N)
set -e
echo "exit status: $status"
echo "--- board after the update (tarvo-sim show)"
build/sim/tarvo-sim show "$world"
# The updater logs its run time, measured on the simulated monotonic clock.
grep -o 'All done in [0-9]*s [0-9.]*us' "$world/var/log/messages" | tail -1 |
  awk -v wall="$(( (end - start) / 1000000 ))" '{ s = $4; u = $5; sub(/s$/, "", s); sub(/us$/, "", u)
    printf "Simulated duration of the update: %.3f s (wall time %.3f s)\n", s + u / 1e6, wall / 1000 }'
echo "--- system log ($world/var/log/messages)"
cat "$world/var/log/messages"
