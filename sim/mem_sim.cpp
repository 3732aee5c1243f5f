// Physical register access of the simulated build: every access reaches the
// simulated controller and costs virtual time, as mapping and unmapping a page
// costs real time on the controller.
#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/trace.h"
#include "updater/port/mem.h"

namespace {

std::uint32_t read(std::uint32_t base, std::uint32_t offset, int width) {
    sim::Nanos cost = sim::access_cost();
    sim::advance(cost / 2);
    std::uint32_t v = sim::bus_read(base, offset, width);
    sim::trace_access('R', width, base + offset, v);
    sim::advance(cost - cost / 2);
    return v;
}

int write(std::uint32_t base, std::uint32_t offset, int width, std::uint32_t value) {
    sim::Nanos cost = sim::access_cost();
    sim::advance(cost / 2);
    std::uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    sim::bus_write(base, offset, width, value & mask);
    sim::trace_access('W', width, base + offset, value & mask);
    sim::advance(cost - cost / 2);
    return 0;
}

} // namespace

// A read without a destination only checks the device: no access, no cost.
int mem_read8(std::uint32_t base, std::uint32_t offset, std::uint8_t *out) {
    if (out)
        *out = static_cast<std::uint8_t>(read(base, offset, 8));
    return 0;
}

int mem_read16(std::uint32_t base, std::uint32_t offset, std::uint16_t *out) {
    if (out)
        *out = static_cast<std::uint16_t>(read(base, offset, 16));
    return 0;
}

int mem_read32(std::uint32_t base, std::uint32_t offset, std::uint32_t *out) {
    if (out)
        *out = read(base, offset, 32);
    return 0;
}

int mem_write8(std::uint32_t base, std::uint32_t offset, std::uint32_t value) {
    return write(base, offset, 8, value);
}

int mem_write16(std::uint32_t base, std::uint32_t offset, std::uint32_t value) {
    return write(base, offset, 16, value);
}

int mem_write32(std::uint32_t base, std::uint32_t offset, std::uint32_t value) {
    return write(base, offset, 32, value);
}
