#!/usr/bin/env bash
# Footprint of the controller programs: stripped size, run-time dependencies,
# start-up time of tarvo_update under qemu-arm, and what their size is made of;
# the programs' sizes before signature checking came in and now; and the time
# that checking the signature of the largest image file takes under qemu-arm.
# Usage: bench/footprint.sh [BUILD_DIR] [RUNS]   (default build-arm, 20 runs)
# The build directory is configured with the target toolchain when missing.
# "Before" is built from the commit before the one that added the signature
# check (or TARVO_FOOTPRINT_BEFORE=REV), in a scratch directory; the quick form
# leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
# TARVO_BENCH_QUICK=1: one run on the tested target build (build-arm-test).
quick=${TARVO_BENCH_QUICK:-}
build=${1:-$([ -n "$quick" ] && echo build-arm-test || echo build-arm)}
runs=${2:-$([ -n "$quick" ] && echo 1 || echo 20)}
cross=arm-linux-gnueabi
qemu=$(command -v qemu-arm-static || command -v qemu-arm || true)
[ -n "$qemu" ] || { echo "qemu-arm-static is missing (scripts/deps.sh cross)" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --no-warn-unused-cli -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake >/dev/null
fi
targets=(tarvo_update)
cmake --build "$build" --target help | grep -w index_cgi >/dev/null && targets+=(index_cgi)
cmake --build "$build" -j2 --target "${targets[@]}" tarvo_info tarvo_recover tarvo_update_sim \
  tarvo-sim >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Relinks a program with a linker map, from the build's own link command.
link_map() { # target output-name map
  local target=$1 name=$2 map=$3 dir cmd
  dir=$(dirname "$(grep -rl --include=link.txt -- "-o [^ ]*$name " "$build" | grep "/$target.dir/" | head -1)")
  cmd=$(sed "s# -o [^ ]*$name # -o $work/$name -Wl,-Map=$map #" "$dir/link.txt")
  (cd "$dir/../.." && eval "$cmd")
}

# Bytes of allocated sections in the map, by origin: the project's own objects,
# and the C library, C++ runtime and compiler runtime that static linking adds.
# Code and data that the file carries are counted apart from zeroed data (bss).
size_by_origin() { # map
  awk '
    /^Linker script and memory map/ { on = 1; next }
    !on { next }
    /^[^ ]/ {
      split($0, f, " ")
      keep = f[1] !~ /^\.(debug|comment|ARM\.attributes|stab|gnu\.attributes)/
      zero = f[1] ~ /^\.t?bss/
      next
    }
    !keep { next }
    /^ \*fill\*/ { next }
    /^ [^ *]/ && NF == 1 { pending = 1; next }
    /^ [^ *]/ && $2 ~ /^0x/ && $3 ~ /^0x/ { add(hex($3), $4); pending = 0; next }
    pending && $1 ~ /^0x/ && $2 ~ /^0x/ && NF >= 3 { add(hex($2), $3); pending = 0; next }
    { pending = 0 }
    function hex(s,   n, i) {
      n = 0
      for (i = 3; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
      return n
    }
    function add(n, file,   who, member) {
      if (n == 0) return
      member = file
      if (file ~ /libc\.a\(/) who = "C library (libc.a)"
      else if (file ~ /libm\.a\(/) who = "maths library (libm.a)"
      else if (file ~ /libstdc\+\+\.a\(/) who = "C++ runtime (libstdc++.a)"
      else if (file ~ /libgcc(_eh)?\.a\(/) who = "compiler runtime (libgcc, libgcc_eh: unwinder for static glibc)"
      else if (file ~ /libsodium\.a\(/) who = "signature library (libsodium.a)"
      else if (file ~ /^\//) who = "C start-up files"
      else if (file == "linker" || file == "stubs") who = "linker stubs"
      else { who = "own code"; sub(/.*\//, "", member) }
      seen[who] = 1
      if (zero) bss[who] += n; else text[who] += n
      if (!zero && (who ~ /^C library/ || who == "own code")) {
        sub(/.*\(/, "", member); sub(/\)$/, "", member); obj[who ": " member] += n
      }
    }
    END {
      printf "    %8s %8s\n", "in file", "bss"
      for (w in seen) printf "    %8d %8d  %s\n", text[w], bss[w], w | "sort -rn"
      close("sort -rn")
      print "    largest objects (in file):"
      for (o in obj) printf "    %8d  %s\n", obj[o], o | "sort -rn | head -12"
    }' "$1"
}

check_absent() { # binary
  local syms out=()
  syms=$("$cross-nm" -C "$1")
  grep -q 'std::basic_ostream\|std::ios_base\|std::basic_istream' <<<"$syms" && out+=(iostreams)
  grep -q '__cxa_throw\|__gxx_personality' <<<"$syms" && out+=(exceptions)
  grep -q 'typeinfo for\|__dynamic_cast' <<<"$syms" && out+=(RTTI)
  grep -q 'std::locale' <<<"$syms" && out+=("C++ locale")
  if [ ${#out[@]} -eq 0 ]; then echo "none of iostreams, C++ exceptions, RTTI, std::locale"; else echo "CONTAINS: ${out[*]}"; fi
}

for target in "${targets[@]}"; do
  case $target in tarvo_update) name=tarvo_update ;; index_cgi) name=index.cgi ;; esac
  bin=$build/$name
  "$cross-strip" -o "$work/$name.stripped" "$bin"
  echo "== $name"
  echo "  file:          $(file -b "$work/$name.stripped" | cut -d, -f1-4)"
  echo "  stripped size: $(stat -c %s "$work/$name.stripped") bytes"
  needed=$("$cross-readelf" -d "$bin" 2>/dev/null | awk '/NEEDED/ { gsub(/[][]/, "", $5); printf "%s ", $5 }')
  interp=$("$cross-readelf" -l "$bin" | grep -c 'INTERP' || true)
  echo "  run-time dependencies: ${needed:-none}$([ "$interp" -gt 0 ] && echo ' (dynamic loader needed)')"
  echo "  C++ machinery: $(check_absent "$bin")"
  if link_map "$target" "$name" "$work/$name.map" 2>/dev/null; then
    echo "  size by origin (allocated sections, before stripping):"
    size_by_origin "$work/$name.map"
  fi
done

# Start-up of the updater without arguments: it sets up, logs the usage error,
# prints its usage and exits 1 without touching hardware.  An empty static
# program gives the emulator's own share of that time.
mean_us() { # runs program...
  local n=$1 start end
  shift
  "$qemu" "$@" >/dev/null 2>&1 || true
  start=$(date +%s%N)
  for _ in $(seq "$n"); do "$qemu" "$@" >/dev/null 2>&1 || true; done
  end=$(date +%s%N)
  echo $(((end - start) / n / 1000))
}
echo 'int main() { return 0; }' >"$work/empty.c"
"$cross-gcc" -march=armv5te -mfloat-abi=soft -static -o "$work/empty" "$work/empty.c"
echo "== start-up under $(basename "$qemu") on $(uname -m), mean of $runs runs"
echo "  tarvo_update without arguments: $(mean_us "$runs" "$build/tarvo_update") us"
echo "  empty static program:           $(mean_us "$runs" "$work/empty") us"

# The programs' stripped sizes before signature checking and now.
programs=(tarvo_update tarvo_info tarvo_recover)
[[ " ${targets[*]} " == *" index_cgi "* ]] && programs+=(index.cgi)
before_rev=${TARVO_FOOTPRINT_BEFORE:-}
if [ -z "$before_rev" ]; then
  added=$(git log --diff-filter=A --format=%H -1 -- updater/trust/minisign.cpp 2>/dev/null || true)
  [ -n "$added" ] && before_rev=$added^
fi
echo "== stripped sizes, before signature checking (${before_rev:-unknown}) and now"
if [ -n "$quick" ] || [ -z "$before_rev" ] || ! git rev-parse -q --verify "$before_rev^{commit}" >/dev/null; then
  echo "  before: not built (quick form, or no such commit in this clone)"
  for p in "${programs[@]}"; do
    "$cross-strip" -o "$work/$p.now" "$build/$p"
    printf '  %-14s %8s %8d bytes\n' "$p" - "$(stat -c %s "$work/$p.now")"
  done
else
  mkdir "$work/before"
  git archive "$before_rev" | tar -x -C "$work/before"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake --no-warn-unused-cli -S "$work/before" -B "$work/before/build" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake -DTARVO_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
  cmake --build "$work/before/build" -j2 --target tarvo_update tarvo_info tarvo_recover \
    $([[ " ${programs[*]} " == *" index.cgi "* ]] && echo index_cgi) >/dev/null
  printf '  %-14s %8s %8s %8s\n' program before now added
  for p in "${programs[@]}"; do
    "$cross-strip" -o "$work/$p.before" "$work/before/build/$p"
    "$cross-strip" -o "$work/$p.now" "$build/$p"
    b=$(stat -c %s "$work/$p.before") n=$(stat -c %s "$work/$p.now")
    printf '  %-14s %8d %8d %8d bytes\n' "$p" "$b" "$n" $((n - b))
  done
fi

# Checking a signature of the largest file the firmware check reads (253,696
# bytes), under qemu-arm: the simulated updater of this build refuses the file
# after decoding it (no data to write), once where no key is installed and
# once where the file is signed by an installed key; the difference of the
# mean run times is the signature check.  Keys belong to root.
echo "== signature check of the largest image file under $(basename "$qemu"), mean of $runs runs"
if [ "$(id -u)" -ne 0 ] || ! command -v minisign >/dev/null; then
  echo "  not measured (needs root and minisign)"
  exit 0
fi
limit=$(( (16384 + 256) * 15 + 4096 ))
for world in unsigned signed; do
  "$qemu" "$build/sim/tarvo-sim" init "$work/$world" >/dev/null
  awk -v limit="$limit" 'BEGIN {
    n = int(limit / 13)
    for (i = 0; i < n; i++) printf ":00C0000040\r\n"
    for (i = n * 13; i < limit; i++) printf "\n"
  }' >"$work/$world/opt/tarvo_update/fw/largest.hex"
done
keys=$work/signed/opt/tarvo_update/keys
mkdir -m 0755 "$keys"
minisign -G -W -p "$keys/bench.pub" -s "$work/bench.sec" >/dev/null
chmod 0644 "$keys/bench.pub"
minisign -S -s "$work/bench.sec" -m "$work/signed/opt/tarvo_update/fw/largest.hex" >/dev/null
check_us() { # world
  local world=$1 start end status=0
  TARVO_SIM_ROOT=$world "$qemu" "$build/sim/tarvo_update" 1 largest.hex >/dev/null || status=$?
  [ "$status" = 5 ] || { echo "footprint: largest.hex in $world: exit $status, not 5" >&2; exit 1; }
  start=$(date +%s%N)
  for _ in $(seq "$runs"); do
    TARVO_SIM_ROOT=$world "$qemu" "$build/sim/tarvo_update" 1 largest.hex >/dev/null || true
  done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000))
}
plain=$(check_us "$work/unsigned")
signed=$(check_us "$work/signed")
grep -q "largest.hex verified: signed by key" "$work/signed/var/log/messages" ||
  { echo "footprint: the signature of largest.hex was not verified" >&2; exit 1; }
echo "  firmware check, no key installed: $plain us"
echo "  firmware check, signed (ED):      $signed us"
echo "  signature check:                  $((signed - plain)) us ($(stat -c %s "$work/signed/opt/tarvo_update/fw/largest.hex") bytes)"
