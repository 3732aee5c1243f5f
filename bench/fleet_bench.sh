#!/usr/bin/env bash
# Fleet rollouts with the Ansible playbook to N simulated controllers (two
# TARVO boards each, the factory image on both): a whole rollout (package
# installed, both ports updated) and a second run that finds nothing to do,
# each as wall time and as the control node's processor time (user and
# system time of ansible-playbook and of everything it waited for), in total
# and per controller.  The simulated clock runs as fast as it goes, so the
# figures are Ansible's and the programs' own cost, not the protocol's.  Over
# the local connection the controllers' programs run on the control node and
# count in its processor time; over SSH (as root, with sshd and dropbear
# installed) the controllers are busybox chroots behind real SSH servers on
# loopback ports, half OpenSSH and half dropbear (tests/fleet/ssh_fleet.py),
# and only the control node's side counts.
#
#   bench/fleet_bench.sh [BUILD_DIR] [N...]    (default: build-rel; 10 40 160)
#
# SSH takes the counts up to TARVO_BENCH_SSH_MAX (default 40).  Then the scale
# check: a no-op run's processor time per controller at the largest count
# stays within 1.3 times the smallest count's (exit status 1 otherwise).  Last
# the planning of a dry run over TARVO_BENCH_PLAN_HOSTS inventory hosts
# (default 2000; 0: none), local connection, whose answers come from one
# world that every host shares (it runs the image: nothing to change).
#
# BUILD_DIR is made when new (without sanitizers) and brought up to date.  One
# batch takes the whole fleet (forks from deploy/ansible/ansible.cfg).  The
# machine may be shared: the load average is printed first.
set -euo pipefail
cd "$(dirname "$0")/.."
# TARVO_BENCH_QUICK=1: 2 and 6 controllers on build-release, 50 planned.
quick=${TARVO_BENCH_QUICK:-}
build=${1:-$([ -n "$quick" ] && echo build-release || echo build-rel)}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(10 40 160)
[ -z "$quick" ] || [ $# -gt 0 ] || counts=(2 6)
ssh_max=${TARVO_BENCH_SSH_MAX:-$([ -n "$quick" ] && echo 2 || echo 40)}
plan_hosts=${TARVO_BENCH_PLAN_HOSTS:-$([ -n "$quick" ] && echo 50 || echo 2000)}
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

seconds() { # "XmY.YYYs" -> Y.YY
  awk -v t="$1" 'BEGIN { split(t, p, "m"); sub("s", "", p[2]); printf "%.2f", p[1] * 60 + p[2] }'
}

playbook() { # DIR N ARG...: one playbook run -> "wall cpu" in seconds
  local dir=$1 n=$2 start end
  shift 2
  start=$(date +%s.%N)
  # times: the subshell's children's user and system time (everything waited for).
  (cd deploy/ansible && ansible-playbook -i "$dir/inventory.yml" rollout.yml \
     -e "tarvo_image=$src/fw/V1a2a3c4b5b6b7o.hex" -e tarvo_image_version=0x01010000 \
     -e "tarvo_package=$work/package.tar.gz" -e "tarvo_report_dir=$dir/report" \
     -e "{\"tarvo_serial\": [$n]}" "$@" >"$dir/run.log" 2>&1 && times >"$dir/times") ||
    { echo "rollout to $n controllers failed, see its log:" >&2; tail -20 "$dir/run.log" >&2; exit 1; }
  end=$(date +%s.%N)
  local user sys
  read -r user sys < <(sed -n 2p "$dir/times")
  awk -v a="$start" -v b="$end" -v u="$(seconds "$user")" -v s="$(seconds "$sys")" \
    'BEGIN { printf "%.2f %.2f\n", b - a, u + s }'
}

noop_cpu=()
row() { # KIND DIR N: a full rollout and a no-op run, one table row
  local kind=$1 dir=$2 n=$3 full noop updated
  full=$(playbook "$dir" "$n")
  updated=$(grep -c ',updated,' "$dir/report/latest/fleet_report.csv" || true)
  [ "$updated" -eq $((2 * n)) ] || { echo "only $updated of $((2 * n)) ports updated" >&2; exit 1; }
  noop=$(playbook "$dir" "$n")
  grep -q 'changed=[1-9]' "$dir/run.log" && { echo "the second run to $n changed something" >&2; exit 1; }
  [ "$kind" != local ] || noop_cpu+=("$n $(echo "$noop" | cut -d' ' -f2)")
  echo "$kind $n $full $noop" | awk '{ n = $2
    printf "%-6s %11d %9.1f %8.1f %9.2f %8.2f %9.1f %8.1f %9.2f %8.2f\n",
      $1, n, $3, $4, $3 / n, $4 / n, $5, $6, $5 / n, $6 / n }'
}

echo "cores: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine counts in the wall times)"
printf '%-6s %11s %18s %18s %18s %18s\n' "" "" "full rollout (s)" "per controller" "no-op run (s)" "per controller"
printf '%-6s %11s %9s %8s %9s %8s %9s %8s %9s %8s\n' "" controllers wall cpu wall cpu wall cpu wall cpu
for n in "${counts[@]}"; do
  dir="$work/fleet$n"
  scripts/sim_fleet.sh make "$dir" "$n" "$build"
  row local "$dir" "$n"
  rm -rf "$dir"
done
if [ "$(id -u)" -ne 0 ] || ! command -v dropbear >/dev/null || [ ! -x /usr/sbin/sshd ]; then
  echo "no SSH figures: they need root, sshd and dropbear (scripts/deps.sh test)"
else
  for n in "${counts[@]}"; do
    [ "$n" -le "$ssh_max" ] || continue
    dir="$work/ssh$n"
    tests/fleet/ssh_fleet.py start "$dir" "$build" "$n" both >/dev/null
    row ssh "$dir" "$n"
    tests/fleet/ssh_fleet.py stop "$dir"
    rm -rf "$dir"
  done
fi

status=0
if [ ${#noop_cpu[@]} -ge 2 ]; then
  printf '%s\n' "${noop_cpu[@]}" | sort -n | awk -v quick="$quick" '
    NR == 1 { n0 = $1; c0 = $2 / $1 } { n1 = $1; c1 = $2 / $1 }
    END { ok = c1 <= 1.3 * c0
      printf "scale check: no-op processor time per controller %.3f s at %d, %.3f s at %d (%.2fx, at most 1.3x): %s\n",
        c0, n0, c1, n1, c1 / c0, ok ? "ok" : (quick ? "over (quick form: not judged)" : "FAILED")
      exit !ok && !quick }' || status=1
fi

if [ "$plan_hosts" -gt 0 ]; then
  # One world, brought to the image by one real run; every planned host shares it.
  dir="$work/plan"
  scripts/sim_fleet.sh make "$dir" 1 "$build"
  playbook "$dir" 1 >/dev/null
  world=$(sed -n 's/^    c01: //p' "$dir/inventory.yml")
  { echo "controllers:"; echo "  vars:"; echo "    ansible_connection: local"; echo "  hosts:"
    for i in $(seq 1 "$plan_hosts"); do printf '    h%05d: %s\n' "$i" "$world"; done
  } > "$dir/inventory.yml"
  read -r wall cpu < <(playbook "$dir" "$plan_hosts" --check)
  current=$(grep -c ',current,' "$dir/report/latest-check/fleet_report.csv" || true)
  echo "dry run over $plan_hosts inventory hosts (one shared world, nothing to change): $wall s wall, $cpu s processor time, $current ports current"
  [ "$current" -eq $((2 * plan_hosts)) ] || { echo "the dry run did not plan every port" >&2; status=1; }
fi
exit $status
