#!/usr/bin/env bash
# Starts the web interface (index.cgi, set.cgi, slog.cgi) under lighttpd on
# 127.0.0.1 with a fresh simulated world, and prints its address.  The
# simulated clock runs slowly enough to watch an update's progress rows
# arrive.  Stops with Ctrl-C.
#   TARVO_WEB_PORT   port to listen on (default: the first free one from 8080)
#   TARVO_SIM_SPEED  simulated clock speed (default: see below)
#   TARVO_BUILD_DIR  build directory (default: build)
#   extra arguments go to tarvo-sim init, e.g. --port2 none
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  -h|--help)
    echo "usage: scripts/web.sh [tarvo-sim init options, e.g. --port2 none]"
    exit 0 ;;
esac
source web/lighttpd.sh
source scripts/build_sim.sh
command -v lighttpd >/dev/null || scripts/deps.sh web
build=${TARVO_BUILD_DIR:-build}
build_sim "$build"

# A simulated update of a sample image takes about 106 s of simulated time:
# at 4 times wall-clock speed it runs for about 27 seconds.
speed=${TARVO_SIM_SPEED:-4}
state=$(mktemp -d /tmp/tarvo-web-XXXXXX)
world="$state/world"
"$build/sim/tarvo-sim" init "$world" "$@"
# Changes are taken only through the server's own names: "localhost" too here.
echo localhost > "$world/opt/tarvo_update/etc/hosts_allowed"
port=${TARVO_WEB_PORT:-$(web_free_port 8080)}
trap 'web_stop "$state"; echo; echo "stopped; world kept in $world"' EXIT
web_start "$state" "$(cd "$build" && pwd)/sim" "$world" "$port" "$speed"
echo "Simulated world: $world (clock speed $speed)"
echo "Web interface:   http://127.0.0.1:$port/index.cgi"
echo "Press Ctrl-C to stop."
while kill -0 "$(cat "$state/lighttpd.pid")" 2>/dev/null; do
  sleep 1
done
