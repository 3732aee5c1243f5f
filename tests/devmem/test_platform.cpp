#include "tests/devmem/test_platform.h"

#include "common/platform.h"
#include "sim/text_util.h"

#include <cerrno>
#include <cstdio>
#include <syslog.h>

namespace devmem_test {
namespace {
std::vector<Logged> lines;
unsigned long long slept = 0;
} // namespace

const std::vector<Logged> &logged() {
    return lines;
}

std::vector<std::string> logged_texts() {
    std::vector<std::string> out;
    for (const Logged &l : lines)
        out.push_back(l.text);
    return out;
}

unsigned long long slept_us() {
    return slept;
}

void reset() {
    lines.clear();
    slept = 0;
}

} // namespace devmem_test

int plat_start(void) {
    return 0;
}
void plat_openlog(void) {}
void plat_closelog(void) {}
int plat_setlogmask(int) {
    return 0xFF;
}

void plat_vsyslog(int level, const char *fmt, va_list ap) {
    // "%m" is the text of errno, as syslog(3) has it.
    std::string f = sim::expand_errno(fmt, errno);
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, f.c_str(), ap);
    devmem_test::lines.push_back({LOG_PRI(level), buf});
}

void plat_clock_monotonic(struct timespec *ts) {
    ts->tv_sec = static_cast<time_t>(devmem_test::slept / 1000000);
    ts->tv_nsec = static_cast<long>(devmem_test::slept % 1000000 * 1000);
}

void plat_usleep(unsigned long usec) {
    devmem_test::slept += usec;
}

long plat_sleep_resolution_ns(void) {
    return 1;
}

void plat_yield(void) {}

int plat_gpio_open(const char *, int) {
    errno = ENOENT;
    return -1;
}

int plat_gpio_ioctl(int, unsigned long) {
    errno = EBADF;
    return -1;
}

const char *plat_path(const char *fixed, char *buf, std::size_t size) {
    std::snprintf(buf, size, "%s", fixed);
    return buf;
}
