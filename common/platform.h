// Everything the programs need from the operating system beyond plain stdio goes
// through these functions.  Two implementations exist and one is chosen at link
// time: platform_linux.cpp for the controller, sim/platform_sim.cpp for the
// simulated controller.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>

// Called first thing in main().  Returns 0 when the program may go on; the
// simulated build returns -1 (after saying why on stderr) when it has no world.
int plat_start(void);

// System log with the updater's identity (ident "tarvo_update", LOG_PID |
// LOG_NDELAY, LOG_DAEMON).  Levels are the <syslog.h> LOG_* values; "%m" in a
// format is the text of errno, as with syslog(3).
void plat_openlog(void);
// The same log under another program's name (ident), for the project's other
// programs that log like the updater.
void plat_openlog_as(const char *ident);
void plat_vsyslog(int level, const char *fmt, va_list ap);
// plat_vsyslog with the arguments in place, the same over every implementation.
__attribute__((format(printf, 2, 3))) inline void plat_syslog(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    plat_vsyslog(level, fmt, ap);
    va_end(ap);
}
void plat_closelog(void);
// setlogmask(3): the levels that reach the log from now on (LOG_MASK bits);
// returns the mask before, and 0 changes nothing.
int plat_setlogmask(int mask);
// A log line that names the function it comes from, "FUNCTION: ...", as
// failure lines do; for lines whose words are not fixed by anyone else.
#define plat_log_here(level, fmt, ...)                                                             \
    plat_syslog(level, "%s: " fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)

// CLOCK_MONOTONIC and microsecond sleeps.
void plat_clock_monotonic(struct timespec *ts);
void plat_usleep(unsigned long usec);
// The granularity of those sleeps in nanoseconds, as clock_getres reports it
// for CLOCK_MONOTONIC: 1 with high-resolution timers, one scheduler tick on a
// kernel without them (where any sleep lasts one to two ticks).
long plat_sleep_resolution_ns(void);
// Gives the processor to any other process that is ready to run; returns at
// once when there is none (sched_yield).
void plat_yield(void);

// The controller's "/dev/gpio" driver: open(path, flags) and ioctl(fd, request, 0).
int plat_gpio_open(const char *path, int flags);
int plat_gpio_ioctl(int fd, unsigned long request);

// Maps one of the system's fixed absolute paths ("/opt/tarvo_update/...") to the
// path to use.  On the controller that is the path itself; returns buf.
const char *plat_path(const char *fixed, char *buf, std::size_t size);

// The user whose files the trust checks take as root's: root (0) on the
// controller; the simulated controller's world belongs to whoever made it.
unsigned plat_root_uid(void);
