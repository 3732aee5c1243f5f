// The simulated controller's side of the platform interface: virtual time, a
// syslog that writes the world's var/log/messages as busybox syslogd does, a
// "/dev/gpio" that answers from the world, and fixed paths inside the world.
#include "sim/platform_sim.h"
#include "common/platform.h"
#include "sim/boards.h"
#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/text_util.h"
#include "sim/world.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace sim {
namespace {
std::vector<LogLine> lines;
GpioStats stats;
bool gpio_missing = false;
constexpr int NO_OVERRIDE = -1000000;
int type_override[2] = {NO_OVERRIDE, NO_OVERRIDE};
constexpr int FAKE_GPIO_FD = 1000;
// The program name in the world's log lines.
const char *log_ident = "tarvo_update";

// TARVO_SIM_KILL: the program dies as by "kill -KILL", nothing saved on the
// way out, right after it logs a message that contains a text ("log:TEXT") or
// when its virtual clock reaches a time ("at:SECONDS"): for tests of runs that
// never end.
std::string kill_after_log;
EventScope kill_timer;

void die() {
    std::fflush(stdout);
    std::raise(SIGKILL);
}

void arm_kill(const char *how) {
    if (!how || !*how)
        return;
    if (std::strncmp(how, "log:", 4) == 0 && how[4] != '\0') {
        kill_after_log = how + 4;
    } else if (std::strncmp(how, "at:", 3) == 0) {
        double seconds = std::atof(how + 3);
        kill_timer.schedule(static_cast<Nanos>(seconds * NS_PER_S), die);
    } else {
        std::fprintf(stderr, "TARVO_SIM_KILL: expected log:TEXT or at:SECONDS, not '%s'\n", how);
    }
}

void append_to_messages(int level, const std::string &text) {
    if (world_root().empty())
        return;
    char stamp[32];
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
    char host[64] = "controller";
    gethostname(host, sizeof host - 1);
    host[sizeof host - 1] = '\0';
    if (char *dot = std::strchr(host, '.'))
        *dot = '\0';
    std::string msg = text;
    while (!msg.empty() && msg.back() == '\n')
        msg.pop_back();
    char head[160];
    std::snprintf(head, sizeof head, "%s %s daemon.%s %s[%d]: ", stamp, host, level_name(level),
                  log_ident, static_cast<int>(getpid()));
    std::string line = head + msg + "\n";
    int fd = open(world_path("/var/log/messages").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0)
        return;
    // One write per line keeps lines whole when two programs log at once.
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

Nanos asleep = 0;
std::string cpu_file;

// The run's "ELAPSED ASLEEP" line for TARVO_SIM_CPU.
void write_cpu_use() {
    if (cpu_file.empty())
        return;
    if (FILE *f = std::fopen(cpu_file.c_str(), "a")) {
        std::fprintf(f, "%llu %llu\n", static_cast<unsigned long long>(now() / NS_PER_US),
                     static_cast<unsigned long long>(asleep / NS_PER_US));
        std::fclose(f);
    }
}

void shutdown() {
    write_cpu_use();
    boards_save();
    controller_shutdown();
}
} // namespace

std::uint64_t asleep_ns() {
    return asleep;
}

const std::vector<LogLine> &log_lines() {
    return lines;
}
void clear_log() {
    lines.clear();
}

const char *level_name(int level) {
    static const char *const names[] = {"emerg", "alert",  "crit", "err",
                                        "warn",  "notice", "info", "debug"};
    return names[level & 7];
}

const GpioStats &gpio_stats() {
    return stats;
}
void gpio_reset() {
    stats = GpioStats{};
}
void gpio_set_missing(bool missing) {
    gpio_missing = missing;
}
void gpio_set_type_code(int port, int code) {
    type_override[port == 2 ? 1 : 0] = code;
}
void gpio_clear_type_codes() {
    type_override[0] = type_override[1] = NO_OVERRIDE;
}

} // namespace sim

int plat_start(void) {
    const char *root = std::getenv("TARVO_SIM_ROOT");
    if (!root || !*root) {
        std::fprintf(stderr, "This is the simulated build: set TARVO_SIM_ROOT to a world made "
                             "with 'tarvo-sim init DIR'.\n");
        return -1;
    }
    std::string error;
    if (!sim::world_load(root, &error)) {
        std::fprintf(stderr, "TARVO_SIM_ROOT: %s\n", error.c_str());
        return -1;
    }
    if (sim::world_gpio_missing())
        sim::gpio_set_missing(true);
    if (const char *speed = std::getenv("TARVO_SIM_SPEED"))
        sim::set_speed(std::atof(speed));
    sim::arm_kill(std::getenv("TARVO_SIM_KILL"));
    if (const char *cpu = std::getenv("TARVO_SIM_CPU"))
        sim::cpu_file = cpu;
    sim::controller_start();
    sim::boards_start();
    std::atexit(sim::shutdown);
    return 0;
}

void plat_openlog(void) {}
void plat_openlog_as(const char *ident) {
    sim::log_ident = ident;
}
void plat_closelog(void) {}

namespace {
int log_mask = 0xFF;
} // namespace

int plat_setlogmask(int mask) {
    int before = log_mask;
    if (mask != 0)
        log_mask = mask;
    return before;
}

void plat_vsyslog(int level, const char *fmt, va_list ap) {
    if (!(log_mask & LOG_MASK(LOG_PRI(level))))
        return;
    std::string f = sim::expand_errno(fmt, errno);
    char buf[2048];
    std::vsnprintf(buf, sizeof buf, f.c_str(), ap);
    sim::lines.push_back({LOG_PRI(level), buf});
    sim::append_to_messages(LOG_PRI(level), buf);
    if (!sim::kill_after_log.empty() && std::strstr(buf, sim::kill_after_log.c_str()))
        sim::die();
}

void plat_clock_monotonic(struct timespec *ts) {
    // The read is a system call: it costs time, and the clock is read half-way
    // through.  A clock that advances in steps shows the last step passed.
    sim::advance(sim::CLOCK_READ_COST_NS / 2);
    sim::Nanos t = sim::now();
    if (sim::clock_step_us() > 0) {
        sim::Nanos step = static_cast<sim::Nanos>(sim::clock_step_us()) * sim::NS_PER_US;
        t -= t % step;
    }
    sim::advance(sim::CLOCK_READ_COST_NS - sim::CLOCK_READ_COST_NS / 2);
    // Offset so that the clock does not start at zero, as a booted system's would not.
    t += 1000 * sim::NS_PER_S;
    ts->tv_sec = static_cast<time_t>(t / sim::NS_PER_S);
    ts->tv_nsec = static_cast<long>(t % sim::NS_PER_S);
}

void plat_usleep(unsigned long usec) {
    sim::Nanos start = sim::now();
    sim::Nanos d = static_cast<sim::Nanos>(usec) * sim::NS_PER_US;
    if (sim::kernel_hz() == 0) {
        sim::advance(d);
    } else {
        // A jiffy-based kernel wakes the sleeper at a tick boundary, at least
        // one tick after the sleep has run out: any short sleep lasts one to
        // two ticks.
        sim::Nanos tick = sim::NS_PER_S / static_cast<sim::Nanos>(sim::kernel_hz());
        sim::Nanos due = sim::now() + d + tick;
        sim::advance_to((due + tick - 1) / tick * tick);
    }
    sim::asleep += sim::now() - start;
}

long plat_sleep_resolution_ns(void) {
    return sim::kernel_hz() == 0 ? 1 : static_cast<long>(sim::NS_PER_S) / sim::kernel_hz();
}

void plat_yield(void) {
    // Nothing else runs on the simulated controller: the call only costs its time.
    sim::advance(sim::YIELD_COST_NS);
}

int plat_gpio_open(const char *path, int) {
    if (std::strcmp(path, "/dev/gpio") != 0 || sim::gpio_missing) {
        errno = ENOENT;
        return -1;
    }
    sim::stats.opens++;
    return sim::FAKE_GPIO_FD;
}

int plat_gpio_ioctl(int fd, unsigned long request) {
    if (fd != sim::FAKE_GPIO_FD) {
        errno = EBADF;
        return -1;
    }
    sim::stats.requests.push_back(request);
    int port;
    if (request == 0x80004209UL)
        port = 1;
    else if (request == 0x8000420BUL)
        port = 2;
    else {
        errno = EINVAL;
        return -1;
    }
    int code = sim::type_override[port - 1];
    return code != sim::NO_OVERRIDE ? code : sim::kind_type_code(sim::board_kind(port));
}

const char *plat_path(const char *fixed, char *buf, std::size_t size) {
    if (fixed[0] == '/' && !sim::world_root().empty())
        std::snprintf(buf, size, "%s%s", sim::world_root().c_str(), fixed);
    else
        std::snprintf(buf, size, "%s", fixed);
    return buf;
}

unsigned plat_root_uid(void) {
    struct stat st;
    if (sim::world_root().empty() || stat(sim::world_root().c_str(), &st) != 0)
        return 0;
    return static_cast<unsigned>(st.st_uid);
}
