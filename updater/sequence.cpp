// The update stages after the board check: firmware file check, current version
// and configuration, bootstrap entry, erase, RAM patch, authentication,
// flashing, new version and configuration with the match mark.  The first
// failing stage ends the sequence.
#include "common/platform.h"
#include "updater/bsl/bsl.h"
#include "updater/hexfile/hexfile.h"
#include "updater/modbus/modbus.h"
#include "updater/port/bsl_entry.h"
#include "updater/port/uart.h"
#include "updater/run.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <syslog.h>

namespace {

constexpr int CONFIG_TEXT_SIZE = 128;
constexpr int REASON_SIZE = 160;
constexpr const char *MATCH_MARK = " <font color=\"green\">&#10004;</font>";
constexpr const char *MISMATCH_MARK = " <font color=\"red\">&#10008;</font>";

constexpr unsigned long BSL_ENTRY_PAUSE_US = 5000;
constexpr unsigned long ERASE_PAUSE_US = 17200;
constexpr unsigned long AUTH_PAUSE_US = 5000;

// A stage failed: logged with its code, "failed" ends the line.
int stage_failed(const char *message, int code) {
    plat_syslog(LOG_ERR, message, "main", code);
    std::printf("failed%s", line_suffix);
    std::fflush(stdout);
    return EXIT_STAGE_FAILED;
}

bool blank_line(const char *line) {
    for (const char *p = line; *p; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != '\v' && *p != '\f')
            return false;
    return true;
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

// The records of the firmware file as the flashing will act on them, line by
// line: the address base set by the segment and linear address records, and
// whether the end-of-file record has been seen.
struct ImageWalk {
    std::uint32_t base = 0;
    bool ended = false;
    int data_records = 0;
};

// One good record of the file.  False with the reason (naming the line) for a
// record that the flashing would not write where the file means it: the
// loader's addresses have 16 bits, and the flashing follows segment records of
// two bytes and start records of four.
bool record_ok(ImageWalk &walk, int line, std::uint32_t address, std::uint32_t type, int length,
               const std::uint8_t *data, char *reason, std::size_t size) {
    if (walk.ended) {
        std::snprintf(reason, size, "line %d: a record after the end-of-file record", line);
        return false;
    }
    std::uint32_t value = length >= 2 ? data[0] * 256u + data[1] : 0;
    switch (type) {
    case 0: {
        std::uint32_t last = walk.base + address + static_cast<std::uint32_t>(length);
        if (walk.base + address > 0xFFFF || (length > 0 && last - 1 > 0xFFFF)) {
            std::snprintf(reason, size, "line %d: data at 0x%X passes 0xFFFF", line,
                          walk.base + address);
            return false;
        }
        ++walk.data_records;
        return true;
    }
    case 1:
        walk.ended = true;
        return true;
    case 2:
        if (length != 2) {
            std::snprintf(reason, size, "line %d: segment address record of %d bytes, not 2", line,
                          length);
            return false;
        }
        walk.base = value * 16;
        return true;
    case 3: {
        std::uint32_t start = value * 16 + (length == 4 ? data[2] * 256u + data[3] : 0);
        if (length != 4) {
            std::snprintf(reason, size, "line %d: start address record of %d bytes, not 4", line,
                          length);
            return false;
        }
        if (start > 0xFFFF) {
            std::snprintf(reason, size, "line %d: start address 0x%X passes 0xFFFF", line, start);
            return false;
        }
        return true;
    }
    case 4:
        // Upper address 0 is where the loader's addresses are anyway.
        if (length != 2 || value != 0) {
            std::snprintf(reason, size, "line %d: extended linear address record other than 0",
                          line);
            return false;
        }
        walk.base = 0;
        return true;
    case 5:
        std::snprintf(reason, size, "line %d: start linear address record", line);
        return false;
    default:
        std::snprintf(reason, size, "line %d: unknown record type %02X", line, type);
        return false;
    }
}

// Reads the whole firmware file before the board is touched: every line that
// is not blank must be a good record that the flashing writes as the file
// means it, and the file must hold at least one data record and an end-of-file
// record.  False with the reason when it does not.  *ends_blank tells whether
// the file's last line is blank.
bool firmware_file_ok(const char *name, const char *path, char *reason, std::size_t size,
                      bool *ends_blank) {
    *ends_blank = false;
    if (has_parent_component(name)) {
        std::snprintf(reason, size, "the name has a \"..\" component");
        return false;
    }
    if (std::strlen(path) >= static_cast<std::size_t>(FIRMWARE_PATH_SIZE)) {
        std::snprintf(reason, size, "the path is longer than %d characters",
                      FIRMWARE_PATH_SIZE - 1);
        return false;
    }
    char where[FIRMWARE_PATH_SIZE + 512];
    plat_path(path, where, sizeof where);
    FILE *f = std::fopen(where, "r");
    if (!f) {
        std::snprintf(reason, size, "cannot be opened (%s)", std::strerror(errno));
        return false;
    }
    char *line = nullptr;
    std::size_t cap = 0;
    int number = 0;
    ImageWalk walk;
    bool ok = true;
    while (getline(&line, &cap, f) >= 0) {
        ++number;
        *ends_blank = blank_line(line);
        if (*ends_blank)
            continue;
        std::uint32_t address = 0, type = 0;
        int length = 0;
        std::uint8_t data[HEX_MAX_DATA];
        int status = hex_parse_line(line, &address, &type, &length, data);
        if (status != HEX_OK) {
            std::snprintf(reason, size, "line %d is not a good record (status %d)", number, status);
            ok = false;
            break;
        }
        if (!record_ok(walk, number, address, type, length, data, reason, size)) {
            ok = false;
            break;
        }
    }
    if (ok && std::ferror(f)) {
        std::snprintf(reason, size, "read error after line %d", number);
        ok = false;
    }
    std::free(line);
    std::fclose(f);
    if (ok && walk.data_records == 0) {
        std::snprintf(reason, size, "no data record");
        ok = false;
    } else if (ok && !walk.ended) {
        std::snprintf(reason, size, "no end-of-file record");
        ok = false;
    }
    return ok;
}

// The board reports the configuration its firmware was built for; image names
// carry it after one leading letter.
bool config_matches(const char *file, const char *text) {
    std::size_t n = std::strlen(text);
    if (std::strlen(file) < n + 1)
        return false;
    return std::strncmp(file + 1, text, n) == 0;
}

} // namespace

int update_sequence(int port, const char *file) {
    std::uint32_t version = 0;
    char text[CONFIG_TEXT_SIZE] = "";
    struct timespec stage_start, stage_end;
    int seconds;
    double micros;

    // Firmware file check.
    std::printf("Checking firmware file %s ... ", file);
    std::fflush(stdout);
    char path[FIRMWARE_PATH_SIZE + 1];
    std::snprintf(path, sizeof path, FIRMWARE_DIR_PATTERN, file);
    char reason[REASON_SIZE];
    bool ends_blank = false;
    if (!firmware_file_ok(file, path, reason, sizeof reason, &ends_blank)) {
        std::printf("failed%s", line_suffix);
        std::fflush(stdout);
        plat_syslog(LOG_ERR, "%s: Firmware file %s refused: %s", "main", path, reason);
        return EXIT_FILE_REFUSED;
    }
    std::printf("done%s", line_suffix);
    std::fflush(stdout);

    // Current version and configuration.
    std::printf("Reading current TARVO FW version on PORT%d ... ", port);
    std::fflush(stdout);
    uart_init_modbus(port);
    read_fw_version(port, &version);
    std::printf("0x%08X%s", version, line_suffix);
    std::fflush(stdout);
    std::printf("Reading current TARVO config on PORT%d ... ", port);
    std::fflush(stdout);
    read_config_string(port, text, CONFIG_TEXT_SIZE);
    std::printf("%s%s", text, line_suffix);
    std::fflush(stdout);

    // Bootstrap entry.
    msp430_enter_bsl(port);
    plat_usleep(BSL_ENTRY_PAUSE_US);

    // Erase.
    plat_syslog(LOG_INFO, "Erasing device on PORT%d ...", port);
    std::printf("Erasing device on PORT%d ... ", port);
    std::fflush(stdout);
    plat_clock_monotonic(&stage_start);
    int rc = msp430_mass_erase(port);
    if (rc < 0)
        return stage_failed("%s: Device mass erase failed with code %d", rc);
    std::printf("done%s", line_suffix);
    std::fflush(stdout);
    plat_clock_monotonic(&stage_end);
    elapsed_time(stage_start, stage_end, &seconds, &micros);
    plat_syslog(LOG_INFO, "Device erased at %.3f us", seconds * 1e6 + micros);
    plat_usleep(ERASE_PAUSE_US);

    // RAM patch.
    std::printf("Patching device on PORT%d ... ", port);
    std::fflush(stdout);
    rc = msp430_patch_bsl(port);
    if (rc < 0)
        return stage_failed("%s: Device patch failed with code %d", rc);
    std::printf("done%s", line_suffix);
    std::fflush(stdout);

    // Authentication.
    plat_syslog(LOG_INFO, "Authenticating to Bootstrap Loader on PORT%d ...", port);
    std::printf("Authenticating to Bootstrap Loader on PORT%d ... ", port);
    plat_clock_monotonic(&stage_start);
    rc = msp430_send_passwd(port);
    if (rc < 0)
        return stage_failed("%s: Device authentication failed with code %d", rc);
    plat_clock_monotonic(&stage_end);
    elapsed_time(stage_start, stage_end, &seconds, &micros);
    plat_syslog(LOG_INFO, "Device authenticated at %ds %.3f us", seconds, micros);
    std::printf("done%s", line_suffix);
    std::fflush(stdout);
    plat_usleep(AUTH_PAUSE_US);

    // Flashing: the progress letters or fragments follow the title on its line.
    plat_syslog(LOG_INFO, "Flashing %s on PORT%d ...", file, port);
    std::printf("Flashing TARVO on PORT%d ... ", port);
    std::fflush(stdout);
    plat_clock_monotonic(&stage_start);
    int flashed = msp430_load_fw(port, file, html_mode ? 1 : 0);
    if (flashed < 0)
        return stage_failed("%s: Device flashing failed with code %d", flashed);
    plat_clock_monotonic(&stage_end);
    elapsed_time(stage_start, stage_end, &seconds, &micros);
    plat_syslog(LOG_INFO, "Device flashed at %ds %0.3fus", seconds, micros);

    // New version and configuration.
    uart_init_modbus(port);
    std::printf("Reading new TARVO FW version on PORT%d ... ", port);
    std::fflush(stdout);
    uart_init_modbus(port);
    read_fw_version(port, &version);
    std::printf("0x%08X%s", version, line_suffix);
    std::fflush(stdout);
    std::printf("Reading new TARVO config on PORT%d ... ", port);
    std::fflush(stdout);
    // A configuration that could not be read confirms nothing: the text then
    // still holds what was there before the flashing.  An empty text matches
    // any name and gets the match mark, but confirms no image either: a board
    // without a configuration (or whose new program does not run) reports none.
    bool match =
        read_config_string(port, text, CONFIG_TEXT_SIZE) == 0 && config_matches(file, text);
    bool confirmed = match && text[0] != '\0';
    std::size_t n = std::strlen(text);
    std::snprintf(text + n, sizeof text - n, "%s", match ? MATCH_MARK : MISMATCH_MARK);
    std::printf("%s%s", text, line_suffix);
    std::fflush(stdout);

    // A positive flashing result (the reader's status of the file's last line)
    // means the image did not go through as checked, except for the status of a
    // blank last line: the check has accepted blank lines, and every record
    // before it has been written and verified.
    if (flashed != 0 && !(flashed == HEX_BAD_FORMAT && ends_blank))
        return EXIT_STAGE_FAILED;
    return confirmed ? EXIT_UPDATED : EXIT_MISMATCH;
}
