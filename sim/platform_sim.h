// What the simulated platform offers to tests and tools beyond the platform
// interface itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct LogLine {
    int level;        // LOG_ERR, LOG_INFO, ...
    std::string text; // the message as formatted
};

// Every message the process has logged (kept in memory as well as appended to
// the world's var/log/messages).
const std::vector<LogLine> &log_lines();
void clear_log();

// busybox syslogd's name of a level ("err", "warn", "info", ...).
const char *level_name(int level);

// The simulated "/dev/gpio" driver.
struct GpioStats {
    int opens = 0;
    std::vector<unsigned long> requests;
};
const GpioStats &gpio_stats();
void gpio_reset();                           // stats cleared, descriptor not open
void gpio_set_missing(bool missing);         // open fails with ENOENT
void gpio_set_type_code(int port, int code); // override the world's board type code
void gpio_clear_type_codes();

// Virtual time the program has spent asleep (plat_usleep) since it started;
// the rest of its time it held the processor: register accesses, clock reads,
// yields.  With TARVO_SIM_CPU naming a file, the run appends one line to it at
// its end: "ELAPSED ASLEEP" in virtual microseconds.
std::uint64_t asleep_ns();

} // namespace sim
