// One record's bytes as the loader takes them: even data blocks at even
// addresses, of at most BSL_FLASH_BLOCK bytes, each after a patch run where
// the loader needs one.
#include "updater/bsl/bsl.h"

#include "common/platform.h"
#include "updater/port/uart.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <syslog.h>

namespace {

// The blocks covering [address, address + length): from the even address at
// or below the first byte to the even end at or above the last.
struct Blocks {
    std::uint32_t first, end;
    Blocks(std::uint32_t address, int length)
        : first(address & ~1u), end((address + static_cast<std::uint32_t>(length) + 1) & ~1u) {}
    int size_at(std::uint32_t at) const {
        return static_cast<int>(std::min<std::uint32_t>(end - at, BSL_FLASH_BLOCK));
    }
};

void report_uart_status(const PortInfo &port, const char *who) {
    std::uint8_t status = 0;
    uart_read_status(port, 1, &status);
    plat_syslog(LOG_ERR, "%s: UART status: 0x%02X", who, status);
}

// The patch run that precedes every data block on a loader that needs it.
int run_patch(const PortInfo &port) {
    return bsl_loader->needs_patch ? msp430_load_pc(port, BSL_PATCH_ADDRESS, 0) : BSL_OK;
}

} // namespace

int msp430_write_record(const PortInfo &port, std::uint32_t address, const std::uint8_t *data,
                        int length, const char *who) {
    Blocks blocks(address, length);
    std::uint32_t last = address + static_cast<std::uint32_t>(length);
    for (std::uint32_t at = blocks.first; at < blocks.end; at += BSL_FLASH_BLOCK) {
        int n = blocks.size_at(at);
        // Bytes outside the record are 0xFF, which changes no flash bit.
        std::array<std::uint8_t, BSL_FLASH_BLOCK> block;
        block.fill(MSP430_ERASED_BYTE);
        for (int i = 0; i < n; ++i)
            if (at + i >= address && at + i < last)
                block[i] = data[at + i - address];
        int rc = run_patch(port);
        if (rc < 0) {
            plat_syslog(LOG_ERR, "%s: Patch for 0x%04X execution failed with code %d", who, at, rc);
            report_uart_status(port, who);
            return BSL_ERR_PATCH_RUN;
        }
        rc = msp430_write_memory(port, at, block.data(), n);
        if (rc < 0) {
            plat_syslog(LOG_ERR, "%s: Write to 0x%08X failed with code %d", who, at, rc);
            report_uart_status(port, who);
            return BSL_ERR_WRITE;
        }
    }
    return BSL_OK;
}

int msp430_read_record(const PortInfo &port, std::uint32_t address, std::uint8_t *out, int length,
                       const char *who) {
    Blocks blocks(address, length);
    std::uint32_t last = address + static_cast<std::uint32_t>(length);
    for (std::uint32_t at = blocks.first; at < blocks.end; at += BSL_FLASH_BLOCK) {
        int n = blocks.size_at(at);
        int rc = run_patch(port);
        if (rc < 0) {
            plat_syslog(LOG_ERR, "%s: Patch at 0x%08X execution failed with code %d", who,
                        BSL_PATCH_ADDRESS, rc);
            report_uart_status(port, who);
            return BSL_ERR_PATCH_RUN;
        }
        std::array<std::uint8_t, BSL_FLASH_BLOCK + BSL_ANSWER_OVERHEAD> frame{};
        rc = msp430_read_memory(port, at, frame.data(), n);
        if (rc < 0) {
            plat_syslog(LOG_ERR, "%s: Read from 0x%08X failed with code %d", who, at, rc);
            report_uart_status(port, who);
            return BSL_ERR_READ;
        }
        // Only the record's own bytes are handed back.
        for (int i = 0; i < n; ++i)
            if (at + i >= address && at + i < last)
                out[at + i - address] = frame[4 + i];
    }
    return BSL_OK;
}
