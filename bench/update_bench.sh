#!/usr/bin/env bash
# Whole simulated updates, one per sample image: how long each takes in
# simulated time, against the floor that the protocol allows, and in wall time.
#
#   bench/update_bench.sh [BUILD_DIR]      (default: build; built when needed)
#
# The floor is the critical path of the update when nothing but the protocol
# costs time: every pause and sleep the updater must make, the wire time of
# every byte that is not covered by such a pause (a frame's bytes go out during
# the 1.5 ms pause before the next one, so only the last byte of each frame
# counts), and the board's answer times.  Register access costs and polling
# granularity are what the simulated duration adds on top.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -x "$build/sim/tarvo_update" ] || [ ! -x "$build/sim/tarvo-sim" ]; then
  cmake -S . -B "$build" >/dev/null
  cmake --build "$build" -j2 --target tarvo_update_sim tarvo-sim >/dev/null
fi

# Line and board timing, in microseconds (PORT1: 48 MHz reference clock,
# divisor 312).
baud=$(awk 'BEGIN { printf "%.6f", 48e6 / (16 * 312) }')
# Board answer times of the simulated MSP430 loader and MODBUS firmware, taken
# from the board model's choices.
model_us() { # NAME -> its value in microseconds
  awk -v n="$1" '$0 ~ "constexpr Nanos " n " =" {
    v = $5; u = $7; sub(/;/, "", u)
    print (u == "NS_PER_MS" ? v * 1000 : u == "NS_PER_S" ? v * 1000000 : v) }' sim/board_model_choices.h
}
loader_answer_us=$(model_us LOADER_ANSWER_DELAY)
erase_us=$(model_us ERASE_TIME)
flash_byte_us=$(model_us FLASH_BYTE_TIME)
modbus_answer_us=$(model_us MODBUS_REPLY_DELAY)

floor_us() { # HEX file -> floor of a whole update with it, in microseconds
  awk -v baud="$baud" -v A="$loader_answer_us" -v E="$erase_us" -v F="$flash_byte_us" \
      -v M="$modbus_answer_us" '
    function hex(s,   i, v) {
      v = 0
      for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", toupper(substr(s, i, 1))) - 1
      return v
    }
    function bsl(frame, answer, work) { # one command with its SYNC exchange
      return (WE + A + WE + 1500) + (frame * 1500 + WE) + (A + work + answer * WE)
    }
    BEGIN {
      WE = 11e6 / baud; WN = 10e6 / baud
      modbus = 17 * 1500 + WN + M + 15 * WN
      t = 3 * modbus                           # current version and configuration
      t += 100000 + 500 + 1000 + 100 + 100 + 50 + 50 + 1000   # bootstrap entry
      t += 5000                                # after the entry
      t += bsl(10, 1, E) + 17200               # mass erase and the pause after it
      t += bsl(42, 1, 0) + bsl(10, 1, 0) + bsl(42, 1, 0)      # patch: passwords, loader restart
      t += bsl(194 + 10, 1, 0) + bsl(10, 194 + 6, 0)          # patch written and read back
      t += bsl(42, 1, 0) + 5000                # authentication and the pause after it
    }
    /^:/ {
      len = hex(substr($0, 2, 2)); type = hex(substr($0, 8, 2))
      if (type == 0)
        t += bsl(10, 1, 0) + bsl(len + 10, 1, len * F) + bsl(10, 1, 0) + bsl(10, len + 6, 0)
      else if (type == 3)
        t += bsl(10, 1, 0)
    }
    END { t += 3 * modbus; printf "%.0f", t }' "$1"
}

world=$(mktemp -d /tmp/tarvo-bench-XXXXXX)
trap 'rm -rf "$world"' EXIT
printf '%-22s %14s %14s %7s %10s\n' image simulated floor ratio wall
for hex in fw/*.hex; do
  name=$(basename "$hex")
  rm -rf "$world" && mkdir -p "$world"
  "$build/sim/tarvo-sim" init "$world" >/dev/null
  start=$(date +%s%N)
  status=0
  TARVO_SIM_ROOT="$world" TARVO_SIM_SPEED= "$build/sim/tarvo_update" 1 "$name" >/dev/null || status=$?
  end=$(date +%s%N)
  line=$(grep -o 'All done in [0-9]*s [0-9.]*us' "$world/var/log/messages" | tail -1)
  sim_us=$(echo "$line" | awk '{ s = $4; u = $5; sub(/s$/, "", s); sub(/us$/, "", u); printf "%.0f", s * 1e6 + u }')
  fl=$(floor_us "$hex")
  awk -v n="$name" -v s="$sim_us" -v f="$fl" -v w="$(( (end - start) / 1000 ))" -v st="$status" 'BEGIN {
    printf "%-22s %12.3f s %12.3f s %7.3f %8.3f s%s\n", n, s / 1e6, f / 1e6, s / f, w / 1e6,
      st == 0 ? "" : "  (exit " st ")" }'
done
