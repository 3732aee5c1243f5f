#!/usr/bin/env bash
# The main job: builds the simulated programs, makes a fresh simulated world and
# runs a whole update in it, in text mode, against the simulated controller and
# board.  Shows the board before and after, the updater's output and exit status,
# the simulated duration of the update and the system log it wrote.  Exits with
# the updater's exit status.
#   scripts/demo.sh [IMAGE]   IMAGE: one of the sample images in fw/
#   TARVO_BUILD_DIR           build directory (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  echo "usage: scripts/demo.sh [IMAGE]   (IMAGE: one of fw/*.hex, default V1a2a3c4b5b6b7o.hex)"
}
case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  -*) usage >&2; exit 1 ;;
esac
[ $# -le 1 ] || { usage >&2; exit 1; }
image=${1:-V1a2a3c4b5b6b7o.hex}
# The world holds the sample images of fw/, and only those.
if [ ! -f "fw/$image" ]; then
  echo "demo: no image $image in fw/; the simulated world holds these:" >&2
  (cd fw && ls -1 -- *.hex) | sed 's/^/  /' >&2
  exit 1
fi
build=${TARVO_BUILD_DIR:-build}
source scripts/build_sim.sh
build_sim "$build"
world=$(mktemp -d /tmp/tarvo-demo-XXXXXX)
"$build/sim/tarvo-sim" init "$world"
echo "Simulated world: $world"
echo "--- board before the update (tarvo-sim show)"
"$build/sim/tarvo-sim" show "$world"
echo "\$ $build/sim/tarvo_update 1 $image"
set +e
start=$(date +%s%N)
TARVO_SIM_ROOT="$world" "$build/sim/tarvo_update" 1 "$image"
status=$?
end=$(date +%s%N)
set -e
echo "exit status: $status"
echo "--- board after the update (tarvo-sim show)"
"$build/sim/tarvo-sim" show "$world"
if [ "$status" -eq 0 ]; then
  # The updater logs its run time, measured on the simulated monotonic clock.
  grep -o 'All done in [0-9]*s [0-9.]*us' "$world/var/log/messages" | tail -1 |
    awk -v wall="$(( (end - start) / 1000000 ))" '{ s = $4; u = $5; sub(/s$/, "", s); sub(/us$/, "", u)
      printf "Simulated duration of the update: %.3f s (wall time %.3f s)\n", s + u / 1e6, wall / 1000 }'
fi
echo "--- system log ($world/var/log/messages)"
cat "$world/var/log/messages"
echo "Next: TARVO_SIM_ROOT=$world $build/sim/tarvo_info 1"
exit "$status"
