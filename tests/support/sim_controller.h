// The simulated controller for tests that drive it through the register-access
// interface: a fresh controller with a far end on each port, and the register
// trace read back as accesses.
#pragma once

#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/line.h"
#include "sim/platform_sim.h"
#include "sim/trace.h"

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace sim_test {

// One register access of the trace; its time is left out.
struct Access {
    char dir; // 'R' or 'W'
    int width;
    std::uint32_t address;
    std::uint32_t value;
    bool operator==(const Access &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Access &a) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%c%d 0x%08X 0x%X", a.dir, a.width, a.address, a.value);
    return os << buf;
}

// The accesses captured since trace_capture(true), in order.
inline std::vector<Access> accesses() {
    std::vector<Access> out;
    for (const std::string &line : sim::trace()) {
        unsigned long long t = 0;
        Access a{};
        if (std::sscanf(line.c_str(), "%llu %c %d %x %x", &t, &a.dir, &a.width, &a.address,
                        &a.value) == 5)
            out.push_back(a);
    }
    return out;
}

// How many accesses of one direction went to one address.
inline int count(const std::vector<Access> &trace, char dir, std::uint32_t address) {
    int n = 0;
    for (const Access &a : trace)
        n += a.dir == dir && a.address == address;
    return n;
}

// A controller as after power-on at time 0, with the usual access cost, these
// far ends on PORT1 and PORT2, an empty log and no trace capture.
inline void start_controller(sim::LinePartner *port1, sim::LinePartner *port2) {
    sim::reset_clock();
    sim::set_access_cost(sim::hw::DEFAULT_ACCESS_COST);
    sim::controller_reset();
    sim::attach_partner(1, port1);
    sim::attach_partner(2, port2);
    sim::clear_log();
    sim::trace_capture(false);
}

// Detaches the far ends, stops the trace capture and restores the access cost.
inline void stop_controller() {
    sim::attach_partner(1, nullptr);
    sim::attach_partner(2, nullptr);
    sim::trace_capture(false);
    sim::set_access_cost(sim::hw::DEFAULT_ACCESS_COST);
}

} // namespace sim_test
