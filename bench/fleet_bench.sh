#!/usr/bin/env bash
# Fleet rollouts with the Ansible playbook to N simulated controllers (two
# TARVO boards each, the factory image on both): wall time of a whole rollout
# (package installed, both ports updated), and of a second run that finds
# nothing to do, in total and per controller.  The simulated clock runs as
# fast as it goes, so the figures are Ansible's and the programs' own cost,
# not the protocol's.  First over the local connection, then (as root, with
# sshd and dropbear installed) to controllers behind real SSH servers on
# loopback ports, half OpenSSH and half dropbear (tests/fleet/ssh_fleet.py).
#
#   bench/fleet_bench.sh [BUILD_DIR] [N...]     (default: build-rel; 10 20 40)
#
# BUILD_DIR is made when new (without sanitizers) and brought up to date.  One
# batch takes the whole fleet (forks from deploy/ansible/ansible.cfg).
set -euo pipefail
cd "$(dirname "$0")/.."
# TARVO_BENCH_QUICK=1: 2 controllers on build-release.
quick=${TARVO_BENCH_QUICK:-}
build=${1:-$([ -n "$quick" ] && echo build-release || echo build-rel)}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(10 20 40)
[ -z "$quick" ] || [ $# -gt 0 ] || counts=(2)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_BUILD_TESTS=OFF >/dev/null
fi
# The package is the controller's whole tree: every program, in both builds.
cmake --build "$build" -j2 >/dev/null
src=$(pwd)
work=$(mktemp -d)
cleanup() {
  for d in "$work"/ssh*; do [ -d "$d" ] && tests/fleet/ssh_fleet.py stop "$d"; done
  rm -rf "$work"
}
trap cleanup EXIT
scripts/sim_fleet.sh package "$build" "$work/package.tar.gz"

rollout() { # DIR N -> wall seconds of one playbook run
  local start end
  start=$(date +%s.%N)
  (cd deploy/ansible && ansible-playbook -i "$1/inventory.yml" rollout.yml \
     -e "tarvo_image=$src/fw/V1a2a3c4b5b6b7o.hex" -e tarvo_image_version=0x01010000 \
     -e "tarvo_package=$work/package.tar.gz" -e "tarvo_report_dir=$1/report" \
     -e "{\"tarvo_serial\": [$2]}" >"$1/run.log" 2>&1) ||
    { echo "rollout to $2 controllers failed, see its log:" >&2; tail -20 "$1/run.log" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }'
}

row() { # DIR N: a full rollout and a no-op run, one table row
  local dir=$1 n=$2 full noop updated
  full=$(rollout "$dir" "$n")
  updated=$(grep -c ',updated,' "$dir/report/latest/fleet_report.csv" || true)
  [ "$updated" -eq $((2 * n)) ] || { echo "only $updated of $((2 * n)) ports updated" >&2; exit 1; }
  noop=$(rollout "$dir" "$n")
  awk -v n="$n" -v f="$full" -v z="$noop" \
    'BEGIN { printf "%12d %14.1f %16.2f %14.1f %16.2f\n", n, f, f / n, z, z / n }'
}

echo "cores: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
header() { printf '%-6s %12s %14s %16s %14s %16s\n' "$1" controllers "rollout (s)" "per controller" "no-op run (s)" "per controller"; }
header local
for n in "${counts[@]}"; do
  dir="$work/fleet$n"
  scripts/sim_fleet.sh make "$dir" "$n" "$build"
  printf '%-6s ' local; row "$dir" "$n"
  rm -rf "$dir"
done
if [ "$(id -u)" -ne 0 ] || ! command -v dropbear >/dev/null || [ ! -x /usr/sbin/sshd ]; then
  echo "no SSH figures: they need root, sshd and dropbear (scripts/deps.sh test)"
  exit 0
fi
header ssh
for n in "${counts[@]}"; do
  dir="$work/ssh$n"
  tests/fleet/ssh_fleet.py start "$dir" "$build" "$n" both >/dev/null
  printf '%-6s ' ssh; row "$dir" "$n"
  tests/fleet/ssh_fleet.py stop "$dir"
  rm -rf "$dir"
done
