// The one way the updater waits: the pauses of the serial driver, the loader
// client, the bootstrap entry and the update sequence, and every pass of a
// polling loop.
#pragma once

// Waits at least usec microseconds, and on every kernel not much longer.
// With high-resolution timers this is one sleep.  On a kernel whose timers
// tick, a sleep lasts one to two ticks beyond what it asks: there the wait
// sleeps whole ticks only for the part beyond two ticks and spends the rest
// reading the monotonic clock, giving the processor away between reads.
// Where the clock itself advances in steps of 1 ms or more it cannot time the
// rest, and the wait is one sleep again.
void wait_us(unsigned long usec);

// How this run's waits keep their time.
enum WaitMethod {
    WAIT_SLEEPS = 0,       // high-resolution timers: sleeps
    WAIT_POLLS_CLOCK = 1,  // ticking timers: whole ticks asleep, the rest on the clock
    WAIT_COARSE_CLOCK = 2, // ticking timers and a clock in steps of 1 ms or more: sleeps
};
// Measures the clock's step the first time a run needs it (on a kernel whose
// timers tick), and answers from that measurement afterwards.
WaitMethod wait_method(void);
// The measured step of the monotonic clock in nanoseconds (0 with
// high-resolution timers, where it is not measured).
long wait_clock_step_ns(void);
// Forgets the measurement (tests that change the kernel within a process).
void wait_forget(void);
