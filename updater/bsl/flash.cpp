// Flashing a firmware image: every chunk of the image that the firmware check
// decoded is written through the loader (patched where it needs it) and read
// back, then the new program is started.  Progress goes to the printer the caller hands over.
#include "updater/bsl/bsl.h"

#include "common/paths.h"
#include "common/platform.h"
#include "updater/hexfile/hexfile.h"
#include "updater/port/uart.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

// Most bytes of one write and read-back, the w/r unit of the progress: the
// longest data record the Intel HEX format has (255 bytes), rounded up to a
// whole word.  A piece goes to the loader in blocks of BSL_FLASH_BLOCK bytes.
constexpr int FLASH_PIECE = 256;

// One piece of a chunk: written and read back block by block, then compared.
int flash_block(const PortInfo &port, std::uint32_t device, const std::uint8_t *data, int length,
                const FlashPrinter &printer) {
    if (length < 0 || length > FLASH_PIECE) {
        plat_log_here(LOG_ERR, "Block at 0x%08X too long (%d bytes)", device, length);
        return BSL_ERR_TOO_LONG;
    }
    printer.writing(device);
    int rc = msp430_write_record(port, device, data, length, "flash_block");
    if (rc < 0)
        return rc;
    printer.written();
    std::array<std::uint8_t, FLASH_PIECE> back{};
    rc = msp430_read_record(port, device, back.data(), length, "flash_block");
    if (rc < 0)
        return rc;
    if (length > 0 && std::memcmp(data, back.data(), static_cast<std::size_t>(length)) != 0) {
        plat_syslog(LOG_ERR, "%s: Memory check at 0x%08X failed", "flash_block", device);
        plat_syslog(LOG_ERR, "%s: Payload: 0x%02X, Device: 0x%02X", "flash_block", data[0],
                    back[0]);
        return BSL_ERR_VERIFY;
    }
    return 0;
}

// Starts the new program: its code is in place.
int start_program(const PortInfo &port, std::uint32_t start, const FlashPrinter &printer) {
    printer.starting(start, port);
    int rc = msp430_load_pc(port, start, 1);
    if (rc < 0) {
        plat_syslog(LOG_ERR, "%s: BSL load PC with 0x%04X failed", "start_program", start);
        return rc;
    }
    printer.started();
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
    std::snprintf(path->fixed, sizeof path->fixed, PATH_FIRMWARE_DIR "%s", file);
    if (has_parent_component(file)) {
        std::snprintf(reason, size, "the name has a \"..\" component");
        return false;
    }
    if (std::strlen(path->fixed) >= static_cast<std::size_t>(FIRMWARE_PATH_SIZE)) {
        std::snprintf(reason, size, "the path is longer than %d characters",
                      FIRMWARE_PATH_SIZE - 1);
        return false;
    }
    std::memcpy(path->where, LocalPath(path->fixed).path, sizeof path->where);
    return true;
}

int flash_progress_percent(std::uint32_t device_address) {
    const Msp430Range &main = MSP430_MAIN_FLASH;
    if (device_address < main.first)
        return 0;
    if (device_address > main.last)
        return 100;
    return static_cast<int>(static_cast<double>(device_address - main.first) /
                            static_cast<double>(main.last - main.first) * 100.0);
}

int flash_chunk(const PortInfo &port, std::uint32_t address, const std::uint8_t *data, int length,
                const FlashPrinter &printer) {
    for (int done = 0; done < length;) {
        int block = std::min(length - done, FLASH_PIECE);
        int rc = flash_block(port, address + static_cast<std::uint32_t>(done), data + done, block,
                             printer);
        if (rc < 0)
            return rc;
        done += block;
    }
    return 0;
}

int msp430_load_fw(const PortInfo &port, const HexImage &image, const char *path,
                   const FlashPrinter &printer) {
    int rc = 0;
    for (int i = 0; i < image.chunks && rc == 0; ++i) {
        const HexChunk &chunk = image.chunk[i];
        rc = flash_chunk(port, chunk.address, hex_chunk_bytes(image, chunk), chunk.length, printer);
        if (rc < 0)
            plat_syslog(LOG_ERR, "%s: Error at line %d", "msp430_load_fw", chunk.line);
    }
    // The program starts after the last write, wherever the file put its
    // start address record.
    if (rc == 0)
        rc = start_program(port, image.start, printer);
    if (rc == 0) {
        plat_syslog(LOG_INFO, "Sending HEX-file %s", "finished");
        printer.finished();
    } else {
        plat_syslog(LOG_ERR, "%s: Flashing file %s failed with error code %d", "msp430_load_fw",
                    path, rc);
    }
    return rc;
}
