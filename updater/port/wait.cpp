// Waits that keep their minimum without rounding up to scheduler ticks.
#include "updater/port/wait.h"

#include "common/platform.h"

#include <climits>
#include <cstdint>
#include <ctime>

namespace {

// Timers at least this fine are high-resolution ones: a sleep ends when asked.
constexpr long FINE_TIMER_NS = 1000;
// A clock that advances in steps of this or more cannot time the rest of a
// wait: the 1500 us pause before a byte would come out as two or three steps.
constexpr long COARSE_CLOCK_NS = 1000000;
// The changes of the clock the measurement looks at; the smallest difference
// between two readings across them is the step (a reading that was held up,
// by an interrupt or another process, shows a larger one).
constexpr int STEP_SAMPLES = 3;
// Reads without a change after which the clock is taken as not advancing at
// all: far more than a 10 ms step takes to read through on any controller.
constexpr long MAX_STEADY_READS = 1L << 22;

bool measured = false;
WaitMethod method = WAIT_SLEEPS;
long clock_step_ns = 0;

std::int64_t now_ns() {
    struct timespec ts;
    plat_clock_monotonic(&ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The smallest advance of the clock between two readings: its step, or for a
// clock finer than a read, the time one read takes.  LONG_MAX when it does
// not advance.
long measure_step_ns() {
    long step = LONG_MAX;
    std::int64_t last = now_ns();
    for (int changes = 0; changes < STEP_SAMPLES; ++changes) {
        std::int64_t t = last;
        for (long reads = 0; t == last; ++reads) {
            if (reads == MAX_STEADY_READS)
                return LONG_MAX;
            t = now_ns();
        }
        if (t - last < step)
            step = static_cast<long>(t - last);
        last = t;
    }
    return step;
}

void measure() {
    if (measured)
        return;
    measured = true;
    if (plat_sleep_resolution_ns() <= FINE_TIMER_NS) {
        method = WAIT_SLEEPS;
        clock_step_ns = 0;
        return;
    }
    clock_step_ns = measure_step_ns();
    method = clock_step_ns < COARSE_CLOCK_NS ? WAIT_POLLS_CLOCK : WAIT_COARSE_CLOCK;
}

} // namespace

WaitMethod wait_method(void) {
    measure();
    return method;
}

long wait_clock_step_ns(void) {
    measure();
    return clock_step_ns;
}

void wait_forget(void) {
    measured = false;
}

void wait_us(unsigned long usec) {
    if (wait_method() != WAIT_POLLS_CLOCK) {
        plat_usleep(usec);
        return;
    }
    // A reading may lag the true time by up to one step: the deadline adds it,
    // so that the wait cannot end early.
    std::int64_t asked = static_cast<std::int64_t>(usec) * 1000;
    std::int64_t deadline = now_ns() + asked + clock_step_ns;
    // A sleep of n ticks ends within n + 2 ticks: whole ticks of sleep up to
    // two ticks before the deadline end in time.
    std::int64_t tick = plat_sleep_resolution_ns();
    std::int64_t ticks = (asked - 2 * tick) / tick;
    if (ticks > 0)
        plat_usleep(static_cast<unsigned long>(ticks * tick / 1000));
    while (now_ns() < deadline)
        plat_yield();
}
