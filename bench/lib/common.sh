# Shared by the benchmarks (sourced, not run).  They set `build` (the build
# directory), `state` (a scratch directory) and `runs` before they use these.

# bench_build BUILD TARGET...: configures BUILD when it is new and brings the
# programs that the benchmark runs up to date.
bench_build() {
  local build=$1
  shift
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
}

# index_page_ms WORLD: the mean wall time of one index page of the simulated
# WORLD over `runs` pages, in milliseconds (the simulated clock at real speed);
# the last page stays in $state/page.
index_page_ms() {
  local start end i
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do
    TARVO_SIM_ROOT=$1 TARVO_SIM_SPEED=1 REQUEST_METHOD=GET "$build/sim/index.cgi" >"$state/page"
  done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000000))
}
