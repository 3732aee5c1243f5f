#!/usr/bin/env bash
# How long the index page takes to answer now that it asks each board what it
# runs: the simulated index.cgi run RUNS times with its clock at real speed
# (so the serial exchanges with the boards take as long as on a controller),
# mean wall time per page, for two boards that answer, for two boards of which
# one does not answer (left in its loader by a failed update), and for no
# boards (nothing to ask).
#
#   bench/index_bench.sh [BUILD_DIR] [RUNS]     (default: build, 20)
#   TARVO_BENCH_QUICK=1: build-release, 2 runs.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib/common.sh
quick=${TARVO_BENCH_QUICK:-}
build=${1:-$([ -n "$quick" ] && echo build-release || echo build)}
runs=${2:-$([ -n "$quick" ] && echo 2 || echo 20)}
bench_build "$build" index_cgi_sim tarvo_info_sim tarvo_update_sim tarvo-sim
state=$(mktemp -d /tmp/tarvo-index-bench-XXXXXX)
trap 'rm -rf "$state"' EXIT
sim="$build/sim/tarvo-sim"

"$sim" init "$state/two" >/dev/null
"$sim" init "$state/none" --port1 none --port2 none >/dev/null
"$sim" init "$state/silent" >/dev/null
"$sim" fault "$state/silent" 1 erase-silent >/dev/null
TARVO_SIM_ROOT="$state/silent" "$build/sim/tarvo_update" 1 V1a2a3c4b5b6b7o.hex >/dev/null || true

two=$(index_page_ms "$state/two")
grep -q 'runs V1a2a3b4b5b6b7o.hex' "$state/page" || { echo "index page without board state" >&2; exit 1; }
silent=$(index_page_ms "$state/silent")
grep -q 'no answer' "$state/page" || { echo "index page without 'no answer'" >&2; exit 1; }
none=$(index_page_ms "$state/none")
echo "index.cgi, two boards answering:         ${two} ms per page ($runs runs, $build, clock at real speed)"
echo "index.cgi, one of two boards not answering: ${silent} ms per page"
echo "index.cgi, no boards:                     ${none} ms per page"
