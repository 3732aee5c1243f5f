#!/usr/bin/env bash
# Builds and runs every test: the host build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the optimised host build that packagers make and
# the fleet rollout against simulated controllers on it and a controller's boot
# after interrupted updates, then the target build
# under qemu-arm, then the browser tests of the web interface.  Every build of
# this script treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build test
jobs=$(nproc)

echo "== host build (sanitizers) =="
cmake -S . -B build-test -DTARVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DTARVO_WERROR=ON >/dev/null
cmake --build build-test -j"$jobs"
(cd build-test && ctest --output-on-failure -j"$jobs")

# The optimiser finds warnings that a Debug build does not (GCC at -O3), and
# undefined behaviour that the sanitizers miss may show only here.
echo "== host build (Release) =="
cmake -S . -B build-release -DTARVO_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release -DTARVO_WERROR=ON >/dev/null
cmake --build build-release -j"$jobs"
(cd build-release && ctest --output-on-failure -j"$jobs")

echo "== fleet rollout with Ansible (simulated controllers over SSH) =="
(cd deploy/ansible && ansible-lint --nocolor --profile production rollout.yml roles/tarvo_rollout)
tests/fleet/fleet_test.py build-release

echo "== boot under busybox init after interrupted updates; the systemd unit =="
tests/boot/boot_test.py build-release

echo "== target build under emulation =="
scripts/test_cross.sh
echo "== web interface in a browser =="
TARVO_BUILD_DIR=build-release scripts/test_browser.sh

# Every benchmark once in its quick form (TARVO_BENCH_QUICK=1: few runs, small
# sizes, the builds made above), so that none of them breaks unnoticed.
echo "== benchmarks, quick =="
for bench in bench/*.sh; do
  echo "-- $bench"
  TARVO_BENCH_QUICK=1 "$bench"
done
