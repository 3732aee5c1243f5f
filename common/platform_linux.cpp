// The controller's side of the platform interface: plain Linux calls.
#include "common/platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <syslog.h>

int plat_start(void) {
    return 0;
}

void plat_openlog(void) {
    plat_openlog_as("tarvo_update");
}

void plat_openlog_as(const char *ident) {
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

void plat_vsyslog(int level, const char *fmt, va_list ap) {
    vsyslog(level, fmt, ap);
}

int plat_setlogmask(int mask) {
    return setlogmask(mask);
}

void plat_closelog(void) {
    closelog();
}

void plat_clock_monotonic(struct timespec *ts) {
    clock_gettime(CLOCK_MONOTONIC, ts);
}

void plat_usleep(unsigned long usec) {
    struct timespec req;
    req.tv_sec = static_cast<time_t>(usec / 1000000UL);
    req.tv_nsec = static_cast<long>((usec % 1000000UL) * 1000UL);
    while (nanosleep(&req, &req) == -1 && errno == EINTR) {
    }
}

long plat_sleep_resolution_ns(void) {
    struct timespec res;
    if (clock_getres(CLOCK_MONOTONIC, &res) != 0)
        return 1;
    return static_cast<long>(res.tv_sec) * 1000000000L + res.tv_nsec;
}

void plat_yield(void) {
    sched_yield();
}

int plat_gpio_open(const char *path, int flags) {
    return open(path, flags);
}

int plat_gpio_ioctl(int fd, unsigned long request) {
    return ioctl(fd, request, 0);
}

const char *plat_path(const char *fixed, char *buf, std::size_t size) {
    std::snprintf(buf, size, "%s", fixed);
    return buf;
}

unsigned plat_root_uid(void) {
    return 0;
}
