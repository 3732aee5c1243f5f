# Sourced by the demo and web scripts: builds every simulated program into
# BUILD/sim, saying so, with the compiler's output kept in BUILD/sim-build.log
# and shown when the build fails.
build_sim() {
  local build=$1
  scripts/deps.sh build
  echo "Building the simulated programs in $build/ (the first build takes a minute or two) ..."
  mkdir -p "$build"
  if ! { cmake -S . -B "$build" && cmake --build "$build" -j"$(nproc)" --target tarvo_sim_programs; } \
      >"$build/sim-build.log" 2>&1; then
    tail -n 40 "$build/sim-build.log" >&2
    echo "build failed; the whole output is in $build/sim-build.log" >&2
    return 1
  fi
  echo "Built: $build/sim/tarvo_update, tarvo_info, tarvo_recover, index.cgi, tarvo-sim"
}
