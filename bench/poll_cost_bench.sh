#!/usr/bin/env bash
# What the updater's polling waits cost the other processes of a controller.
# On one core (taskset), a CPU-bound process and a process that wakes every
# 10 ms run at nice 0, first alone, then beside a loop that waits as the
# updater does on a kernel whose timers tick: 1500 us pauses timed on the
# monotonic clock, yielding the processor between reads.  The loop runs at
# nice -19, as the updater does; for comparison also without the yield, and
# with the yield at a real-time priority (SCHED_FIFO), which the updater does
# not take.  Printed per case: the CPU-bound process's throughput against its
# run alone, how late the periodic one woke (median, 99th percentile, worst),
# and by how much the loop's pauses outlasted 1500 us on average.
#
#   bench/poll_cost_bench.sh [SECONDS] [CPU]   (default: 3 s per case, the
#                                              first CPU this shell may use)
#   TARVO_BENCH_QUICK=1: 0.5 s per case, no real-time case.
#
# Figures from a machine that others share are noisy: compare cases of one run.
# The real-time case needs root; it takes the core for its whole run (the
# kernel's real-time throttling leaves the others 5 % by default).
set -euo pipefail
quick=${TARVO_BENCH_QUICK:-}
secs=${1:-$([ -n "$quick" ] && echo 0.5 || echo 3)}
cpu=${2:-$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//')}
work=$(mktemp -d /tmp/tarvo-poll-XXXXXX)
trap 'rm -rf "$work"' EXIT

cat >"$work/load.c" <<'C'
#define _GNU_SOURCE
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

static long long now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int by_value(const void *a, const void *b) {
    long long x = *(const long long *)a, y = *(const long long *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    const char *role = argv[1];
    long long end = now() + (long long)(atof(argv[2]) * 1e9);
    if (strcmp(role, "cpu") == 0) {
        unsigned long long rounds = 0;
        volatile unsigned sink = 0;
        while (now() < end) {
            for (int i = 0; i < 1000; i++)
                sink += i;
            rounds++;
        }
        printf("%llu\n", rounds);
    } else if (strcmp(role, "periodic") == 0) {
        static long long late[100000];
        int n = 0;
        long long next = now();
        while (now() < end && n < 100000) {
            next += 10000000;
            struct timespec t = {next / 1000000000LL, next % 1000000000LL};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL);
            late[n++] = now() - next;
        }
        qsort(late, n, sizeof late[0], by_value);
        printf("%.0f %.0f %.0f\n", late[n / 2] / 1e3, late[n * 99 / 100] / 1e3, late[n - 1] / 1e3);
    } else { /* poll, spin or fifo */
        int yield = strcmp(role, "spin") != 0;
        if (strcmp(role, "fifo") == 0) {
            struct sched_param p = {.sched_priority = 10};
            if (sched_setscheduler(0, SCHED_FIFO, &p) != 0) {
                printf("-\n");
                return 0;
            }
        } else {
            setpriority(PRIO_PROCESS, 0, -19);
        }
        long long waits = 0, over = 0;
        while (now() < end) {
            long long deadline = now() + 1500000;
            while (now() < deadline)
                if (yield)
                    sched_yield();
            over += now() - deadline;
            waits++;
        }
        printf("%.0f\n", over / 1e3 / waits);
    }
    return 0;
}
C
cc -O2 -o "$work/load" "$work/load.c"

case_run() { # LABEL [POLLER]
  local label=$1 poller=${2:-}
  taskset -c "$cpu" "$work/load" cpu "$secs" >"$work/cpu" &
  taskset -c "$cpu" "$work/load" periodic "$secs" >"$work/periodic" &
  if [ -n "$poller" ]; then
    taskset -c "$cpu" "$work/load" "$poller" "$secs" >"$work/poller" &
  else
    echo "-" >"$work/poller"
  fi
  wait
  [ -n "${alone:-}" ] || alone=$(cat "$work/cpu")
  read -r median p99 worst <"$work/periodic"
  awk -v n="$label" -v c="$(cat "$work/cpu")" -v a="$alone" -v m="$median" -v p="$p99" \
      -v w="$worst" -v o="$(cat "$work/poller")" 'BEGIN {
    printf "%-36s %7.0f %% %9d %9d %9d %12s\n", n, 100 * c / a, m, p, w, o == "-" ? "-" : o " us" }'
}

echo "CPU $cpu, $secs s per case, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-36s %9s %9s %9s %9s %12s\n' "case" "cpu-bound" "late p50" "late p99" "late max" "pause over"
printf '%-36s %9s %9s %9s %9s %12s\n' "" "" "us" "us" "us" ""
case_run "alone"
case_run "beside polling, yield, nice -19" poll
case_run "beside polling, no yield, nice -19" spin
[ -n "$quick" ] || case_run "beside polling, yield, SCHED_FIFO" fifo
