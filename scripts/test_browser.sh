#!/usr/bin/env bash
# Browser tests of the web interface: builds the simulated programs, starts
# lighttpd on a free loopback port with a simulated world, runs the Playwright
# tests in tests/browser with node's test runner against Debian's Chromium,
# and stops lighttpd.  The finished and the failed update page and the index
# page's board states are saved as artifacts/update-finished.png,
# artifacts/update-failed.png and artifacts/index-state.png.
#   TARVO_BUILD_DIR  build directory (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source web/lighttpd.sh
for tool in lighttpd chromium node npm; do
  command -v "$tool" >/dev/null || { scripts/deps.sh web; break; }
done
scripts/deps.sh build
build=${TARVO_BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target index_cgi_sim tarvo_update_sim tarvo_info_sim tarvo-sim >/dev/null
bin="$(cd "$build" && pwd)/sim"

(cd tests/browser && { npm ci --no-audit --no-fund >/dev/null 2>&1 || npm install --no-audit --no-fund >/dev/null; })

state=$(mktemp -d /tmp/tarvo-browser-XXXXXX)
world="$state/world"
"$bin/tarvo-sim" init "$world"
port=$(web_free_port 18080)
trap 'web_stop "$state"; rm -rf "$state"' EXIT
# Slow enough that the page is still loading while the progress rows arrive.
speed=${TARVO_TEST_SIM_SPEED:-20}
web_start "$state" "$bin" "$world" "$port" "$speed"
mkdir -p artifacts
TARVO_WEB_URL="http://127.0.0.1:$port" TARVO_SIM_WORLD="$world" TARVO_SIM_TOOL="$bin/tarvo-sim" \
  TARVO_ARTIFACTS="$PWD/artifacts" node --test tests/browser/
