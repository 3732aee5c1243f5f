#!/usr/bin/env bash
# The firmware check on the largest files it reads: wall time and peak memory
# of a simulated tarvo_update run that reads and decodes the whole file and
# refuses it at its end (no end-of-file record), so the board is never touched
# and the run is the check alone.
#
#   bench/check_bench.sh [BUILD_DIR] [--quick]   (default: build; built when needed)
#   TARVO_BENCH_QUICK=1 is --quick on build-release.
#
# Files, all in one world:
#   sample     the sample image V1a2a3c4b5b6b7o.hex (16-byte records)
#   largest    every byte of main flash and information memory (16,640) in a
#              record of its own, CRLF line ends: the largest image file there is
#   limit      the largest file padded with records without data up to the size
#              limit (253,696 bytes), every line a record to decode
#   densest    the limit in records without data of 12 characters: the most
#              lines a file the check reads can have
#   over       one byte over the limit: refused before it is read
#   missing    no file at all: the run without any check, for comparison
#   NAME+ED    largest and limit again, signed by a key installed in a second
#   NAME+Ed    world: current (BLAKE2b-512 prehashed) and legacy signatures
#              (root and minisign needed)
# Each is run 5 times (once with --quick); the best wall time of the whole run
# (start, board check, file check, end) and the largest peak resident set are
# printed.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib/common.sh
build=build
runs=5
if [ -n "${TARVO_BENCH_QUICK:-}" ]; then
  build=build-release
  runs=1
fi
for arg in "$@"; do
  case $arg in
    --quick) runs=1 ;;
    *) build=$arg ;;
  esac
done
bench_build "$build" tarvo_update_sim tarvo-sim

# The size limit: 16,640 bytes at 15 characters each, and 4 KiB.
limit=$(( (16384 + 256) * 15 + 4096 ))

world=$(mktemp -d /tmp/tarvo-check-bench-XXXXXX)
trap 'rm -rf "$world"' EXIT
"$build/sim/tarvo-sim" init "$world" >/dev/null
fw=$world/opt/tarvo_update/fw

grep -v '^:00000001FF' "$fw/V1a2a3c4b5b6b7o.hex" >"$fw/sample.hex"
awk -v limit="$limit" '
  function rec(addr, byte,   s) {
    s = 1 + int(addr / 256) + addr % 256 + byte
    return sprintf(":01%04X00%02X%02X\r\n", addr, byte, (256 - s % 256) % 256)
  }
  BEGIN {
    for (a = 4096; a <= 4351; a++) out = out rec(a, 63)
    for (a = 49152; a <= 65535; a++)
      out = out rec(a, a == 65534 ? 0 : a == 65535 ? 192 : 63)
    out = out ":040000030000C00039\r\n"
    printf "%s", out > "'"$fw"'/largest.hex"
    # Records without data (13 characters with CRLF), then blanks to the byte.
    pad = ":00C0000040\r\n"
    n = int((limit - length(out)) / 13)
    for (i = 0; i < n; i++) out = out pad
    while (length(out) < limit) out = out "\n"
    printf "%s", out > "'"$fw"'/limit.hex"
    printf "%s\n", out > "'"$fw"'/over.hex"
    # The most lines a file at the limit has: records without data, LF ends.
    out = ""
    for (i = 0; i < int(limit / 12); i++) out = out ":00C0000040\n"
    while (length(out) < limit) out = out "\n"
    printf "%s", out > "'"$fw"'/densest.hex"
  }'

# One row: the best wall time and the largest peak RSS of runs on FILE in
# WORLD, and the reason it was refused.
row() { # label world file
  local label=$1 world=$2 name=$3 file bytes=0 lines=0 best="" peak=0 status start end wall rss reason
  file=$world/opt/tarvo_update/fw/$name.hex
  if [ -f "$file" ]; then
    bytes=$(stat -c %s "$file")
    lines=$(wc -l <"$file")
  fi
  for ((i = 0; i < runs; i++)); do
    : >"$world/var/log/messages"
    status=0
    start=$(date +%s%N)
    /usr/bin/time -f '%M' -o "$world/time" env TARVO_SIM_ROOT="$world" TARVO_SIM_SPEED= \
      "$build/sim/tarvo_update" 1 "$name.hex" >/dev/null || status=$?
    end=$(date +%s%N)
    wall=$(( (end - start) / 1000000 ))
    rss=$(tail -1 "$world/time")
    best=$(awk -v a="$best" -v b="$wall" 'BEGIN { print (a == "" || b < a) ? b : a }')
    [ "$rss" -gt "$peak" ] && peak=$rss
  done
  reason=$(grep -o 'refused: .*' "$world/var/log/messages" | head -1 | cut -c10-)
  [ "$status" = 5 ] || { echo "check_bench: $name.hex: exit $status, not 5" >&2; exit 1; }
  printf '%-10s %9d %7d %7d ms %6d KiB  %s\n' "$label" "$bytes" "$lines" "$best" "$peak" "$reason"
}

printf '%-10s %9s %7s %10s %10s  %s\n' file bytes lines wall peak_RSS reason
for name in sample largest limit densest over missing; do
  row "$name" "$world" "$name"
done

# The same files signed, where a key is installed: the signature is checked
# on the bytes read, before they are decoded (and refused at their end as
# above).  Keys belong to root; minisign makes the key and the signatures.
if [ "$(id -u)" -ne 0 ] || ! command -v minisign >/dev/null; then
  echo "signed: not measured (needs root and minisign)"
  exit 0
fi
signed=$world/signed
"$build/sim/tarvo-sim" init "$signed" >/dev/null
mkdir -m 0755 "$signed/opt/tarvo_update/keys"
minisign -G -W -p "$signed/opt/tarvo_update/keys/bench.pub" -s "$world/bench.sec" >/dev/null
chmod 0644 "$signed/opt/tarvo_update/keys/bench.pub"
for name in largest limit; do
  cp "$fw/$name.hex" "$signed/opt/tarvo_update/fw/$name.hex"
  cp "$fw/$name.hex" "$signed/opt/tarvo_update/fw/$name-legacy.hex"
  minisign -S -s "$world/bench.sec" -m "$signed/opt/tarvo_update/fw/$name.hex" >/dev/null
  minisign -S -l -s "$world/bench.sec" -m "$signed/opt/tarvo_update/fw/$name-legacy.hex" >/dev/null
  row "$name+ED" "$signed" "$name"
  row "$name+Ed" "$signed" "$name-legacy"
done
