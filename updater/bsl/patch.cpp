// The bootstrap loader's RAM patch: loaded into the MSP430's RAM through the
// loader itself and read back, then run before every data block of the
// flashing; only for the loader that needs it, which the chip's identification
// tells.
#include "updater/bsl/bsl.h"

#include "common/platform.h"
#include "common/ports.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <syslog.h>

// The RAM patch that the MSP430's maker publishes for ROM bootstrap loader 1.10
// (its application note on the loader's features), built to run at 0x0220.  The
// ROM loader of that version needs it for reliable data block transfers into
// flash: each run serves exactly one RX or TX data block command.
const std::uint8_t bsl_patch_image[BSL_PATCH_SIZE] = {
    0x31, 0x40, 0x1A, 0x02, 0x09, 0x43, 0xB0, 0x12, 0x2A, 0x0E, 0xB0, 0x12, 0xBA, 0x0D, 0x55,
    0x42, 0x0B, 0x02, 0x75, 0x90, 0x12, 0x00, 0x1F, 0x24, 0xB0, 0x12, 0xBA, 0x02, 0x55, 0x42,
    0x0B, 0x02, 0x75, 0x90, 0x16, 0x00, 0x16, 0x24, 0x75, 0x90, 0x14, 0x00, 0x11, 0x24, 0xB0,
    0x12, 0x84, 0x0E, 0x06, 0x3C, 0xB0, 0x12, 0x94, 0x0E, 0x03, 0x3C, 0x21, 0x53, 0xB0, 0x12,
    0x8C, 0x0E, 0xB2, 0x40, 0x10, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x00, 0xA5, 0x28, 0x01, 0x30,
    0x40, 0x42, 0x0C, 0x30, 0x40, 0x76, 0x0D, 0x30, 0x40, 0xAC, 0x0C, 0x16, 0x42, 0x0E, 0x02,
    0x17, 0x42, 0x10, 0x02, 0xE2, 0xB2, 0x08, 0x02, 0x14, 0x24, 0xB0, 0x12, 0x10, 0x0F, 0x36,
    0x90, 0x00, 0x10, 0x06, 0x28, 0xB2, 0x40, 0x00, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x40, 0xA5,
    0x28, 0x01, 0xD6, 0x42, 0x06, 0x02, 0x00, 0x00, 0x16, 0x53, 0x17, 0x83, 0xEF, 0x23, 0xB0,
    0x12, 0xBA, 0x02, 0xD3, 0x3F, 0xB0, 0x12, 0x10, 0x0F, 0x17, 0x83, 0xFC, 0x23, 0xB0, 0x12,
    0xBA, 0x02, 0xD0, 0x3F, 0x18, 0x42, 0x12, 0x02, 0xB0, 0x12, 0x10, 0x0F, 0xD2, 0x42, 0x06,
    0x02, 0x12, 0x02, 0xB0, 0x12, 0x10, 0x0F, 0xD2, 0x42, 0x06, 0x02, 0x13, 0x02, 0x38, 0xE3,
    0x18, 0x92, 0x12, 0x02, 0xBF, 0x23, 0xE2, 0xB3, 0x08, 0x02, 0xBC, 0x23, 0x30, 0x41,
};

namespace {

// Reads the chip's identification and takes the loader's profile from it.
int identify_loader(const PortInfo &port) {
    std::array<std::uint8_t, BSL_CHIP_ID_SIZE + BSL_ANSWER_OVERHEAD> answer{};
    int rc = msp430_read_memory(port, BSL_CHIP_ID_ADDRESS, answer.data(), BSL_CHIP_ID_SIZE);
    if (rc < 0) {
        plat_log_here(LOG_ERR, "MSP430 identification read from 0x%04X failed with code %d",
                      BSL_CHIP_ID_ADDRESS, rc);
        return rc;
    }
    const std::uint8_t *id = answer.data() + 4;
    auto device = static_cast<unsigned>(id[0] << 8 | id[1]);
    auto version =
        static_cast<std::uint16_t>(id[BSL_CHIP_ID_VERSION] << 8 | id[BSL_CHIP_ID_VERSION + 1]);
    const LoaderProfile *profile = nullptr;
    if (loader_profile(version, &profile) != BSL_OK) {
        char shown[3 * BSL_CHIP_ID_SIZE + 1] = "";
        for (int i = 0; i < BSL_CHIP_ID_SIZE; ++i)
            std::snprintf(shown + 3 * i, sizeof shown - 3 * i, "%02X ", id[i]);
        shown[3 * BSL_CHIP_ID_SIZE - 1] = '\0';
        plat_log_here(LOG_ERR, "MSP430 identification at 0x%04X names no loader version: %s",
                      BSL_CHIP_ID_ADDRESS, shown);
        return BSL_ERR_IDENT;
    }
    plat_syslog(LOG_INFO, "MSP430 device ID 0x%04X, loader version %X.%02X", device,
                static_cast<unsigned>(version >> 8), static_cast<unsigned>(version & 0xFF));
    bsl_loader = profile;
    if (!profile->needs_patch)
        plat_syslog(LOG_INFO, "Loader %X.%02X needs no patch", static_cast<unsigned>(version >> 8),
                    static_cast<unsigned>(version & 0xFF));
    return BSL_OK;
}

} // namespace

int msp430_patch_bsl(const PortInfo &port) {
    std::array<std::uint8_t, BSL_PATCH_SIZE> copy;
    std::memcpy(copy.data(), bsl_patch_image, copy.size());
    std::array<std::uint8_t, BSL_PATCH_SIZE + BSL_ANSWER_OVERHEAD> answer{};

    int rc = msp430_send_passwd(port);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: MSP430 BSL 1st authentication failed at PORT%d",
                    "msp430_patch_bsl", port.number);
        return rc;
    }
    rc = identify_loader(port);
    if (rc < 0 || !bsl_loader->needs_patch)
        return rc;
    // Restarting the loader drops the authentication: a second password follows.
    rc = msp430_load_pc(port, BSL_LOADER_ENTRY, 1);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: MSP430 BSL load PC with 0x%04X failed at PORT%d",
                    "msp430_patch_bsl", BSL_LOADER_ENTRY, port.number);
        return rc;
    }
    rc = msp430_send_passwd(port);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: MSP430 BSL 2nd authentication failed at PORT%d",
                    "msp430_patch_bsl", port.number);
        return rc;
    }
    rc = msp430_write_memory(port, BSL_PATCH_ADDRESS, copy.data(), BSL_PATCH_SIZE);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: MSP430 BSL write patch to 0x%04X failed at PORT%d",
                    "msp430_patch_bsl", BSL_PATCH_ADDRESS, port.number);
        return rc;
    }
    rc = msp430_read_memory(port, BSL_PATCH_ADDRESS, answer.data(), BSL_PATCH_SIZE);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: MSP430 BSL read patch from 0x%04X failed at PORT%d",
                    "msp430_patch_bsl", BSL_PATCH_ADDRESS, port.number);
        return rc;
    }
    // Running a patch that is not intact makes the loader run garbage, so a
    // mismatch fails the patch.
    if (std::memcmp(copy.data(), answer.data() + 4, copy.size()) != 0) {
        plat_syslog(LOG_ERR, "%s: MSP430 BSL patch check at 0x%08X failed", "msp430_patch_bsl",
                    BSL_PATCH_ADDRESS);
        plat_syslog(LOG_ERR, "%s: Payload: 0x%02X, Device: 0x%02X", "msp430_patch_bsl", copy[0],
                    answer[4]);
        return BSL_ERR_VERIFY;
    }
    plat_syslog(LOG_INFO, "BSL patch loaded successfuly at 0x%04X", BSL_PATCH_ADDRESS);
    return BSL_OK;
}
