# Shared by the benchmarks (sourced, not run).

# bench_build BUILD TARGET...: configures BUILD when it is new and brings the
# programs that the benchmark runs up to date.
bench_build() {
  local build=$1
  shift
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
}
