#!/usr/bin/env bash
# Builds and runs every test: the host build under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the target build under qemu-arm, then the
# browser tests of the web interface.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build test
jobs=$(nproc)

echo "== host build (sanitizers) =="
cmake -S . -B build-test -DTARVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-test -j"$jobs"
(cd build-test && ctest --output-on-failure -j"$jobs")

if [ -x scripts/test_cross.sh ]; then
  echo "== target build under emulation =="
  scripts/test_cross.sh
fi
if [ -x scripts/test_browser.sh ]; then
  echo "== web interface in a browser =="
  scripts/test_browser.sh
fi
