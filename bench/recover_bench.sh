#!/usr/bin/env bash
# How long tarvo_recover adds to a boot when there is nothing to do (no record
# of an unfinished update on either port): the simulated build run RUNS times
# in a fresh world, wall time per run, beside the time of starting a program
# that does nothing (/bin/true) the same way.
#
#   bench/recover_bench.sh [BUILD_DIR] [RUNS]     (default: build, 200)
#   TARVO_BENCH_QUICK=1: build-release, 5 runs.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib/common.sh
quick=${TARVO_BENCH_QUICK:-}
build=${1:-$([ -n "$quick" ] && echo build-release || echo build)}
runs=${2:-$([ -n "$quick" ] && echo 5 || echo 200)}
bench_build "$build" tarvo_recover_sim tarvo-sim
world=$(mktemp -d /tmp/tarvo-recover-bench-XXXXXX)
trap 'rm -rf "$world"' EXIT
"$build/sim/tarvo-sim" init "$world"
export TARVO_SIM_ROOT=$world

per_run_us() { # PROGRAM -> mean wall time of one run in microseconds
  local start end i
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@" >/dev/null; done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000))
}

"$build/sim/tarvo_recover" || { echo "tarvo_recover failed in an empty world" >&2; exit 1; }
if grep -q 'tarvo_update\[' "$world/var/log/messages"; then
  echo "tarvo_recover ran an update with nothing to do" >&2
  exit 1
fi
recover=$(per_run_us "$build/sim/tarvo_recover")
nothing=$(per_run_us /bin/true)
echo "tarvo_recover with nothing to do: ${recover} us per run ($runs runs, $build)"
echo "starting /bin/true:               ${nothing} us per run"
echo "added to a boot:                  $((recover - nothing)) us"
