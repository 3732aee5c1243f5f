// Register trace of the simulated controller: one line per register access,
//   TIME DIR WIDTH ADDRESS VALUE
// with the virtual time in microseconds, R or W, 8/16/32, the address as
// 0x%08X and the value with as many hex digits as the width has.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The trace file of a simulated run (appended to); closing flushes it.
bool trace_open(const char *path);
void trace_close();

// In-memory trace for tests: turning it on starts an empty capture.
void trace_capture(bool on);
const std::vector<std::string> &trace();

// One access (R or W); called by the register access layer.
void trace_access(char dir, int width, std::uint32_t address, std::uint32_t value);

// The trace line of one access at virtual time `micros`.
std::string trace_line(std::uint64_t micros, char dir, int width, std::uint32_t address,
                       std::uint32_t value);

} // namespace sim
