#!/usr/bin/env bash
# Builds the programs and the test suite for the controller (ARMv5TE, soft-float
# EABI, statically linked) in build-arm-test, runs the tests under qemu-arm
# through CMake's cross-compiling emulator, and makes the package archive
# build-arm-test/tarvo_update-VERSION-armel.tar.gz of the tested programs.
#
# The build type is the production one (no sanitizers), so the archive holds
# exactly the programs that were tested.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build cross
jobs=$(nproc)
build=build-arm-test

cmake --no-warn-unused-cli -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake \
  -DTARVO_SANITIZE=OFF -DTARVO_WERROR=ON >/dev/null
cmake --build "$build" -j"$jobs"

# qemu-user runs one ARM program; an ARM program that execs another ARM program
# needs binfmt_misc, which neither this machine nor CI has.  The page tests
# start the programs that the pages start through the emulator (a host
# script in the world); the boot-time tests in which the simulated
# tarvo_recover starts the updater run in the host build.
needs_binfmt=(
  'Recover\.ABoardThatAlwaysFailsIsFlashedThreeTimesThenLeftToAPerson'
  'Recover\.ABoardTakenOutIsGivenUpAsAnyOtherAndNotFlashedWhenPutBack'
  'Recover\.ARefusedImageNeedsAPersonAtOnce'
  'Recover\.WhatIsInThePrivateStateDirectoryCounts'
  'Interruptions/RecoverAfter\.TheNextBootFinishesTheUpdate/.*'
)
exclude=$(IFS='|'; echo "${needs_binfmt[*]}")
echo "not run under qemu-user (an ARM program starting an ARM program): ${needs_binfmt[*]//\\/}"
(cd "$build" && ctest --output-on-failure -j"$jobs" -E "^($exclude)\$")

(cd "$build" && cpack -G TGZ >/dev/null)
ls -l "$build"/tarvo_update-*-armel.tar.gz
