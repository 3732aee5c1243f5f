// Flashing a firmware image: the HEX reader hands every record to
// hex_callback, which writes each data record through the patched loader and
// reads it back, follows segment records and starts the new program.
#include "updater/bsl/bsl.h"

#include "common/platform.h"
#include "common/ports.h"
#include "updater/hexfile/hexfile.h"
#include "updater/port/uart.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <syslog.h>

std::uint32_t segment_base = 0;

namespace {

constexpr const char *FIRMWARE_DIR_PATTERN = "/opt/tarvo_update/fw/%s";

constexpr std::uint32_t FLASH_START = 0xC000;
constexpr std::uint32_t FLASH_END = 0xFFFF;
constexpr const char *PROGRESS_STYLE =
    "display: inline-block; position: absolute; background-color: #F4F4F4; width: 10em";
// Read-back frame: 4 header bytes, the data, 2 checksum bytes.
constexpr int READBACK_FRAME = 256;
constexpr int READBACK_MAX_DATA = READBACK_FRAME - BSL_ANSWER_OVERHEAD;

// Keeps the browser rendering the page as it streams in.
void print_padding() {
    for (int i = 0; i < 64; ++i)
        std::fputs("<!-- padding -->", stdout);
}

void progress_letter(char letter) {
    std::putchar(letter);
    std::fflush(stdout);
}

void report_uart_status(int port) {
    std::uint8_t status = 0;
    uart_read_status(port, 1, &status);
    plat_syslog(LOG_ERR, "%s: UART status: 0x%02X", "hex_callback", status);
}

int data_record(int port, std::uint32_t address, const std::uint8_t *data, int length, int html) {
    std::uint32_t device = address + segment_base;
    if (length < 0 || length > READBACK_MAX_DATA) {
        plat_syslog(LOG_ERR, "%s: Record at 0x%08X too long (%d bytes)", "hex_callback", device,
                    length);
        return BSL_ERR_TOO_LONG;
    }
    if (html) {
        std::printf("<span style=\"%s\">&nbsp;0x%04X (&nbsp;%d&nbsp;%%)</span>", PROGRESS_STYLE,
                    device, flash_progress_percent(device));
        print_padding();
        std::fflush(stdout);
    } else {
        progress_letter('w');
    }

    int rc = bsl_loader->needs_patch ? msp430_load_pc(port, BSL_PATCH_ADDRESS, 0) : BSL_OK;
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: Patch for 0x%04X execution failed with code %d", "hex_callback",
                    device, rc);
        report_uart_status(port);
        return BSL_ERR_PATCH_RUN;
    }
    rc = msp430_write_memory(port, device, data, length);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: Write to 0x%08X failed with code %d", "hex_callback", device, rc);
        report_uart_status(port);
        return BSL_ERR_WRITE;
    }
    if (!html)
        progress_letter('r');
    rc = bsl_loader->needs_patch ? msp430_load_pc(port, BSL_PATCH_ADDRESS, 0) : BSL_OK;
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: Patch at 0x%08X execution failed with code %d", "hex_callback",
                    BSL_PATCH_ADDRESS, rc);
        report_uart_status(port);
        return BSL_ERR_PATCH_RUN;
    }
    std::array<std::uint8_t, READBACK_FRAME> frame{};
    rc = msp430_read_memory(port, device, frame.data(), length);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: Read from 0x%08X failed with code %d", "hex_callback", device,
                    rc);
        report_uart_status(port);
        return BSL_ERR_READ;
    }
    if (length > 0 && std::memcmp(data, frame.data() + 4, static_cast<std::size_t>(length)) != 0) {
        plat_syslog(LOG_ERR, "%s: Memory check at 0x%08X failed", "hex_callback", device);
        plat_syslog(LOG_ERR, "%s: Payload: 0x%02X, Device: 0x%02X", "hex_callback", data[0],
                    frame[4]);
        return BSL_ERR_VERIFY;
    }
    return 0;
}

int start_record(int port, const std::uint8_t *data, int length, int html) {
    if (length != 4) {
        plat_syslog(LOG_WARNING, "%s: Starting address length %d != 4", "hex_callback", length);
        return 0;
    }
    std::uint32_t cs = data[0] * 256u + data[1];
    std::uint32_t ip = data[2] * 256u + data[3];
    std::uint32_t start = cs * 16 + ip;
    if (html) {
        std::printf("</td></tr><tr><td>Starting program at 0x%04X on PORT%d ... ", start, port);
        print_padding();
        std::fflush(stdout);
    } else {
        progress_letter('j');
    }
    int rc = msp430_load_pc(port, start, 1);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: BSL load PC with 0x%04X failed", "hex_callback", start);
        return rc;
    }
    if (html) {
        std::fputs("done</td></tr><tr><td>", stdout);
        print_padding();
        std::fflush(stdout);
    }
    return 0;
}

bool has_parent_component(const char *name) {
    const char *p = name;
    while (*p) {
        const char *end = std::strchr(p, '/');
        std::size_t len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (len == 2 && p[0] == '.' && p[1] == '.')
            return true;
        if (!end)
            break;
        p = end + 1;
    }
    return false;
}

} // namespace

bool firmware_path(const char *file, FirmwarePath *path, char *reason, std::size_t size) {
    path->where[0] = '\0';
    std::snprintf(path->fixed, sizeof path->fixed, FIRMWARE_DIR_PATTERN, file);
    if (has_parent_component(file)) {
        std::snprintf(reason, size, "the name has a \"..\" component");
        return false;
    }
    if (std::strlen(path->fixed) >= static_cast<std::size_t>(FIRMWARE_PATH_SIZE)) {
        std::snprintf(reason, size, "the path is longer than %d characters",
                      FIRMWARE_PATH_SIZE - 1);
        return false;
    }
    plat_path(path->fixed, path->where, sizeof path->where);
    return true;
}

int flash_progress_percent(std::uint32_t device_address) {
    if (device_address < FLASH_START)
        return 0;
    if (device_address > FLASH_END)
        return 100;
    return static_cast<int>(static_cast<double>(device_address - FLASH_START) /
                            static_cast<double>(FLASH_END - FLASH_START) * 100.0);
}

int hex_callback(std::uint32_t address, std::uint32_t type, const std::uint8_t *data, int length,
                 void *context, int flag) {
    int port = *static_cast<const int *>(context);
    switch (type) {
    case HEX_RECORD_DATA:
        return data_record(port, address, data, length, flag);
    case HEX_RECORD_END:
        plat_syslog(LOG_INFO, "Sending HEX-file %s", "finished");
        if (!flag)
            progress_letter('f');
        return 0;
    case HEX_RECORD_SEGMENT:
        // The segment is two bytes, high byte first; any other length leaves
        // the base as it was.
        if (length != 2) {
            plat_syslog(LOG_WARNING, "%s: Segment address length %d != 2", "hex_callback", length);
            return 0;
        }
        segment_base = (data[0] * 256u + data[1]) * 16u;
        if (!flag)
            progress_letter('s');
        return 0;
    case HEX_RECORD_START:
        return start_record(port, data, length, flag);
    case HEX_RECORD_LINEAR:
    case HEX_RECORD_START_LINEAR:
        plat_syslog(LOG_WARNING, "%s: Unsupported type %02X", "hex_callback", type);
        // An upper linear address of 0 replaces the segment base with 0, which
        // the loader's 16-bit addresses can follow; the firmware check refuses
        // any other.
        if (type == HEX_RECORD_LINEAR && length == 2 && data[0] == 0 && data[1] == 0)
            segment_base = 0;
        return 0;
    default:
        plat_syslog(LOG_WARNING, "%s: Unknown entry type %02X", "hex_callback", type);
        return 0;
    }
}

int msp430_load_fw(int port, const char *file, int html) {
    if (!port_info(port)) {
        plat_syslog(LOG_ERR, "%s: Unknown PORT%d!", "msp430_load_fw", port);
        return BSL_ERR_PORT;
    }
    FirmwarePath path;
    char reason[FIRMWARE_REASON_SIZE];
    int rc = firmware_path(file, &path, reason, sizeof reason)
                 ? read_hex_file(path.where, hex_callback, &port, html)
                 : HEX_FILE_UNOPENED;
    if (rc != 0)
        plat_syslog(LOG_ERR, "%s: Flashing file %s failed with error code %d", "msp430_load_fw",
                    path.fixed, rc);
    return rc;
}
