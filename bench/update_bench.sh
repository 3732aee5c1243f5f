#!/usr/bin/env bash
# Whole simulated updates: how long each takes in simulated time, against the
# floor that the protocol allows, and in wall time; for every sample image on
# today's board, then for the first image at the corners of the data sheet's
# envelope (slowest flash and erase, loader 1.61, kernels with a 250 Hz and a
# 100 Hz tick).
#
#   bench/update_bench.sh [BUILD_DIR]   (default: build, or build-release with
#                                        TARVO_BENCH_QUICK=1; built when needed)
#   TARVO_BENCH_QUICK=1: the first sample image only, and every corner.
#
# The floor is the critical path of the update when nothing but the protocol
# costs time: every pause and sleep the updater must make, the wire time of
# every byte that is not covered by such a pause (a frame's bytes go out during
# the 1.5 ms pause before the next one, so only the last byte of each frame
# counts), and the board's answer, erase and programming times.  Register
# access costs, clock reads and what a wait overshoots are what the simulated
# duration adds on top.
#
# The cpu column is the share of the simulated update in which the updater is
# not asleep: it accesses registers, reads the clock or yields the processor
# (TARVO_SIM_CPU).  On a controller where another process is ready to run, a
# yield gives it the processor; here nothing else runs.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib/common.sh
quick=${TARVO_BENCH_QUICK:-}
build=${1:-$([ -n "$quick" ] && echo build-release || echo build)}
bench_build "$build" tarvo_update_sim tarvo-sim

# Line timing, in microseconds (PORT1: 48 MHz reference clock, divisor 312).
baud=$(awk 'BEGIN { printf "%.6f", 48e6 / (16 * 312) }')
# Answer times of the simulated MSP430 loader and MODBUS firmware, from the
# board model's choices; the flash times come from the board's settings.
model_us() { # NAME -> its value in microseconds
  awk -v n="$1" '$0 ~ "constexpr Nanos " n " =" {
    v = $5; u = $7; sub(/;/, "", u)
    print (u == "NS_PER_MS" ? v * 1000 : u == "NS_PER_S" ? v * 1000000 : v) }' sim/board/model_choices.h
}
loader_answer_us=$(model_us LOADER_ANSWER_DELAY)
modbus_answer_us=$(model_us MODBUS_REPLY_DELAY)
cycles=$(sed -n 's/^static_assert(MASS_ERASE_CYCLES == \([0-9]*\).*/\1/p' updater/bsl/bsl.h)
block=$(sed -n 's/^constexpr int BSL_FLASH_BLOCK = \([0-9]*\);/\1/p' updater/bsl/bsl.h)

setting() { # SETTINGS NAME -> value
  echo "$1" | tr ',' '\n' | sed -n "s/^$2=//p"
}

floor_us() { # HEX-file SETTINGS -> floor of a whole update with it, in microseconds
  local patch=1
  [ "$(setting "$2" loader)" = 1.10 ] || patch=0
  awk -v baud="$baud" -v A="$loader_answer_us" -v E="$(setting "$2" erase-cycle-us)" \
      -v F="$(setting "$2" flash-byte-us)" -v M="$modbus_answer_us" -v C="$cycles" \
      -v B="$block" -v P="$patch" '
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
      t += C * bsl(10, 1, E) + 17200           # the mass erase cycles and the pause after them
      t += bsl(42, 1, 0) + bsl(10, 16 + 6, 0)  # password, identification
      if (P)                                   # loader restart, password, patch written and read
        t += bsl(10, 1, 0) + bsl(42, 1, 0) + bsl(194 + 10, 1, 0) + bsl(10, 194 + 6, 0)
      t += bsl(42, 1, 0) + 5000                # authentication and the pause after it
      base = 0
    }
    /^:/ {
      len = hex(substr($0, 2, 2)); addr = hex(substr($0, 4, 4)); type = hex(substr($0, 8, 2))
      if (type == 2) base = hex(substr($0, 10, 4)) * 16
      if (type == 0) {                         # even blocks of at most B bytes
        a = addr + base; first = a - a % 2; end = a + len + (a + len) % 2
        for (b = first; b < end; b += B) {
          n = end - b < B ? end - b : B
          t += bsl(n + 10, 1, n * F) + bsl(10, n + 6, 0) + P * 2 * bsl(10, 1, 0)
        }
      } else if (type == 3)
        t += bsl(10, 1, 0)
    }
    END { t += 3 * modbus; printf "%.0f", t }' "$1"
}

world=$(mktemp -d /tmp/tarvo-bench-XXXXXX)
trap 'rm -rf "$world"' EXIT
run() { # LABEL HEX [SETTING... | kernel-hz=N | clock-step-us=N]
  local label=$1 hex=$2 name start end status=0 line sim_us fl settings cpu
  shift 2
  name=$(basename "$hex")
  rm -rf "$world" && mkdir -p "$world"
  "$build/sim/tarvo-sim" init "$world" >/dev/null
  for s in "$@"; do
    case $s in
      kernel-hz=* | clock-step-us=*) "$build/sim/tarvo-sim" set "$world" "$s" ;;
      *) "$build/sim/tarvo-sim" set "$world" 1 "$s" ;;
    esac
  done
  settings=$("$build/sim/tarvo-sim" show "$world" | head -1 | sed 's/.*"settings":"\([^"]*\)".*/\1/')
  start=$(date +%s%N)
  TARVO_SIM_ROOT="$world" TARVO_SIM_SPEED= TARVO_SIM_TRACE= TARVO_SIM_CPU="$world/cpu" \
    "$build/sim/tarvo_update" 1 "$name" >/dev/null || status=$?
  end=$(date +%s%N)
  line=$(grep -o 'All done in [0-9]*s [0-9.]*us' "$world/var/log/messages" | tail -1)
  sim_us=$(echo "$line" | awk '{ s = $4; u = $5; sub(/s$/, "", s); sub(/us$/, "", u); printf "%.0f", s * 1e6 + u }')
  fl=$(floor_us "$hex" "$settings")
  cpu=$(awk '{ printf "%.1f", 100 * (1 - $2 / $1) }' "$world/cpu")
  awk -v n="$label" -v s="$sim_us" -v f="$fl" -v c="$cpu" -v w="$(( (end - start) / 1000 ))" \
      -v st="$status" 'BEGIN {
    printf "%-34s %12.3f s %12.3f s %7.3f %6.1f %% %8.3f s%s\n", n, s / 1e6, f / 1e6, s / f, c,
      w / 1e6, st == 0 ? "" : "  (exit " st ")" }'
  [ "$status" = 0 ]
}

printf '%-34s %14s %14s %7s %8s %10s\n' "image / corner" simulated floor ratio cpu wall
images=(fw/*.hex)
[ -z "$quick" ] || images=("${images[0]}")
for hex in "${images[@]}"; do
  run "$(basename "$hex")" "$hex"
done
first=${images[0]}
run "slowest flash and erase" "$first" flash-byte-us=136.186 erase-cycle-us=20610.894
run "loader 1.61" "$first" loader=1.61
run "kernel 250 Hz" "$first" kernel-hz=250
run "kernel 100 Hz" "$first" kernel-hz=100
run "worst corner" "$first" loader=1.61 flash-byte-us=136.186 erase-cycle-us=11100 \
  cumulative-erase=yes firmware-start-ms=1500 kernel-hz=100
