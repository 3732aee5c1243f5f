#include "sim/trace.h"

#include "sim/clock.h"

#include <cinttypes>
#include <cstdio>

namespace sim {
namespace {
std::FILE *file = nullptr;
bool capturing = false;
std::vector<std::string> captured;
} // namespace

bool trace_open(const char *path) {
    trace_close();
    file = std::fopen(path, "a");
    return file != nullptr;
}

void trace_close() {
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
}

void trace_capture(bool on) {
    capturing = on;
    if (on)
        captured.clear();
}

const std::vector<std::string> &trace() {
    return captured;
}

std::string trace_line(std::uint64_t micros, char dir, int width, std::uint32_t address,
                       std::uint32_t value) {
    int digits = width == 8 ? 2 : width == 16 ? 4 : 8;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%" PRIu64 " %c %d 0x%08" PRIX32 " 0x%0*" PRIX32, micros, dir,
                  width, address, digits, value);
    return buf;
}

void trace_access(char dir, int width, std::uint32_t address, std::uint32_t value) {
    if (!file && !capturing)
        return;
    std::string line = trace_line(now() / NS_PER_US, dir, width, address, value);
    if (capturing)
        captured.push_back(line);
    if (file) {
        std::fputs(line.c_str(), file);
        std::fputc('\n', file);
    }
}

} // namespace sim
