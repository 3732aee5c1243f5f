// Placeholder until the /dev/mem access lands: every access fails as if the
// device could not be opened.
#include "updater/port/mem.h"

#include "common/platform.h"

#include <syslog.h>

namespace {
int fail() {
    plat_syslog(LOG_ERR, "Cannot open /dev/mem\n");
    return -1;
}
} // namespace

int mem_read8(std::uint32_t, std::uint32_t, std::uint8_t *) { return fail(); }
int mem_read16(std::uint32_t, std::uint32_t, std::uint16_t *) { return fail(); }
int mem_read32(std::uint32_t, std::uint32_t, std::uint32_t *) { return fail(); }
int mem_write8(std::uint32_t, std::uint32_t, std::uint32_t) { return fail(); }
int mem_write16(std::uint32_t, std::uint32_t, std::uint32_t) { return fail(); }
int mem_write32(std::uint32_t, std::uint32_t, std::uint32_t) { return fail(); }
void mem_set_device_for_tests(const char *) {}
