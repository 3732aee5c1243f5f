#!/usr/bin/env bash
# What the update history costs: the append of one outcome record at the end
# of an update (the file's sync included), mean and worst, to a history filled
# to 1,240 records first, so that the appends include the rotation back to the
# newest 1,000; the read of a port's last record; and the index page's time
# with two boards answering and a history of 1,000 records, beside the same
# page without a history.
#
#   bench/history_bench.sh [BUILD_DIR] [APPENDS] [PAGES]
#     (default: build, 500, 20)
#   TARVO_BENCH_QUICK=1: build-release, 50 appends, 2 pages.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib/common.sh
quick=${TARVO_BENCH_QUICK:-}
build=${1:-$([ -n "$quick" ] && echo build-release || echo build)}
appends=${2:-$([ -n "$quick" ] && echo 50 || echo 500)}
runs=${3:-$([ -n "$quick" ] && echo 2 || echo 20)}
bench_build "$build" history_bench index_cgi_sim tarvo_info_sim tarvo-sim
state=$(mktemp -d /tmp/tarvo-history-bench-XXXXXX)
trap 'rm -rf "$state"' EXIT
sim="$build/sim/tarvo-sim"
tool="$build/tools/history_bench"

mkdir -p "$state/alone/opt/tarvo_update/state" "$state/alone/opt/tarvo_update/etc"
"$tool" "$state/alone" fill 1240
"$tool" "$state/alone" time "$appends"

"$sim" init "$state/empty" >/dev/null
"$sim" init "$state/full" >/dev/null
"$tool" "$state/full" fill 1000
empty=$(index_page_ms "$state/empty")
full=$(index_page_ms "$state/full")
echo "index.cgi, two boards answering, no history:        ${empty} ms per page ($runs runs, $build)"
echo "index.cgi, two boards answering, 1,000 records:     ${full} ms per page"
