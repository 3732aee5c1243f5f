# Shell functions for running the web interface under lighttpd with a
# simulated world; sourced by scripts/web.sh and scripts/test_browser.sh.

# A TCP port on 127.0.0.1 that nothing listens on, from $1 upwards.
web_free_port() {
  local port=${1:-8080}
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    port=$((port + 1))
  done
  echo "$port"
}

# web_start STATE_DIR SIM_BIN_DIR WORLD PORT SPEED
# Lays out the document root STATE_DIR/www with the three program names and
# starts lighttpd in the background (its pid in STATE_DIR/lighttpd.pid).
web_start() {
  local state=$1 bin=$2 world=$3 port=$4 speed=$5 conf
  conf="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lighttpd.conf"
  mkdir -p "$state/www"
  local name
  for name in index.cgi set.cgi slog.cgi; do
    ln -sfn "$bin/index.cgi" "$state/www/$name"
  done
  TARVO_WEB_DIR="$state/www" TARVO_WEB_PORT="$port" TARVO_WEB_STATE="$state" \
    TARVO_SIM_ROOT="$world" TARVO_SIM_SPEED="$speed" lighttpd -f "$conf"
  # Serving once the port answers.
  local i
  for i in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "lighttpd did not start; see $state/error.log" >&2
  return 1
}

# web_stop STATE_DIR: stops the lighttpd that web_start started there.
web_stop() {
  local pidfile="$1/lighttpd.pid"
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  kill "$pid" 2>/dev/null || true
  local i
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$pidfile"
}
