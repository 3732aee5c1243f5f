// Placeholder controller: every access is a bus fault.
#include "sim/controller.h"
#include "updater/port/mem.h"

#include <cstdio>

namespace sim {
namespace {
std::vector<std::string> faults;
Nanos cost = 20 * NS_PER_US;
int fault(const char *dir, int width, std::uint32_t base, std::uint32_t offset) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s%d 0x%08X", dir, width, base + offset);
    faults.push_back(buf);
    advance(cost);
    return 0;
}
} // namespace
void controller_start() {}
void controller_shutdown() {}
void controller_reset() {}
void set_access_cost(Nanos c) { cost = c; }
Nanos access_cost() { return cost; }
const std::vector<std::string> &bus_faults() { return faults; }
void clear_bus_faults() { faults.clear(); }
} // namespace sim

int mem_read8(std::uint32_t b, std::uint32_t o, std::uint8_t *out) {
    if (out)
        *out = 0;
    return sim::fault("R", 8, b, o);
}
int mem_read16(std::uint32_t b, std::uint32_t o, std::uint16_t *out) {
    if (out)
        *out = 0;
    return sim::fault("R", 16, b, o);
}
int mem_read32(std::uint32_t b, std::uint32_t o, std::uint32_t *out) {
    if (out)
        *out = 0;
    return sim::fault("R", 32, b, o);
}
int mem_write8(std::uint32_t b, std::uint32_t o, std::uint32_t) { return sim::fault("W", 8, b, o); }
int mem_write16(std::uint32_t b, std::uint32_t o, std::uint32_t) { return sim::fault("W", 16, b, o); }
int mem_write32(std::uint32_t b, std::uint32_t o, std::uint32_t) { return sim::fault("W", 32, b, o); }
void mem_set_device_for_tests(const char *) {}
