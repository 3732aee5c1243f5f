#!/usr/bin/env bash
# A fleet of simulated controllers for the rollout playbook (deploy/ansible):
#
#   scripts/sim_fleet.sh package BUILD OUT.tar.gz
#       the controller's package (the tree that cmake/install.cmake lays out,
#       modes included) with the simulated programs of BUILD in place of the
#       controller's, and VERSION marked "-sim"; BUILD must be built whole
#   scripts/sim_fleet.sh make DIR N BUILD [HOST...]
#       N worlds DIR/c01 ... (tarvo-sim init; the HOSTs named get no board in
#       port 2) and DIR/inventory.yml: one host per world, over the local
#       connection, with the world as the role's root and environment
set -euo pipefail

case "${1:-}" in
  package)
    build=$(cd "$2" && pwd) out=$3
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    for component in tree sim-programs; do
      cmake --install "$build" --prefix "$stage" --component "$component" >/dev/null
    done
    echo "$(cat "$build/VERSION")-sim" > "$stage/opt/tarvo_update/VERSION"
    (cd "$stage" && tar -czf - --owner=root:0 --group=root:0 *) > "$out"
    ;;
  make)
    dir=$2 n=$3 build=$(cd "$4" && pwd)
    shift 4
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    {
      echo "controllers:"
      echo "  vars:"
      echo "    ansible_connection: local"
      echo "  hosts:"
    } > "$dir/inventory.yml"
    for i in $(seq 1 "$n"); do
      host=$(printf 'c%02d' "$i") port2=tarvo
      for h in "$@"; do [ "$h" = "$host" ] && port2=none; done
      "$build/sim/tarvo-sim" init "$dir/$host" --port2 "$port2" >/dev/null
      echo "    $host: {tarvo_root: '$dir/$host', tarvo_env: {TARVO_SIM_ROOT: '$dir/$host', TARVO_SIM_SPEED: '0'}}" >> "$dir/inventory.yml"
    done
    ;;
  *)
    sed -n '2,11p' "$0" >&2
    exit 1
    ;;
esac
