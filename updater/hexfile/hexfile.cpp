// Intel HEX reader.  Every line is matched against the record pattern, its
// fields are converted and the record checksum is checked; good records go to
// the caller's handler, bad lines are skipped.
#include "updater/hexfile/hexfile.h"

#include "common/platform.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <syslog.h>

namespace {

// One record: ':', length (2 digits), address (4), type (2), data (any even or
// odd count; everything but the last two digits), checksum (last 2), then
// nothing but white space.
constexpr const char *HEX_LINE_PATTERN =
    R"(^:\([[:xdigit:]]\{2\}\)\([[:xdigit:]]\{4\}\)\([[:xdigit:]]\{2\}\)\([[:xdigit:]]*\)\([[:xdigit:]]\{2\}\)[[:space:]]*$)";

// The whole match and the five groups.
constexpr std::size_t MATCH_SLOTS = 6;
constexpr std::size_t REGEX_ERROR_SIZE = 128;

enum Group { GROUP_LENGTH = 1, GROUP_ADDRESS, GROUP_TYPE, GROUP_DATA, GROUP_CHECKSUM };

bool group_matched(const regmatch_t &m) {
    return m.rm_so >= 0 && m.rm_eo >= 0;
}

// Converts one matched group; a group whose end lies before its start is not
// convertible.
bool convert_group(const char *line, const regmatch_t &m, std::uint32_t *out) {
    if (m.rm_eo < m.rm_so)
        return false;
    return hex2bin(line + m.rm_so, line + m.rm_eo, out) == 0;
}

// Everything after a successful match: the fields, the data bytes and the
// checksum.
int parse_fields(const char *line, const regmatch_t *match, std::uint32_t *address_out,
                 std::uint32_t *type_out, int *length_out, std::uint8_t *data) {
    std::uint32_t length = 0;
    if (!group_matched(match[GROUP_LENGTH]))
        return HEX_LENGTH_MISSING;
    if (!convert_group(line, match[GROUP_LENGTH], &length))
        return HEX_LENGTH_BAD;
    // The data buffer holds HEX_MAX_DATA bytes; nothing is ever stored past it.
    if (length > static_cast<std::uint32_t>(HEX_MAX_DATA)) {
        plat_syslog(LOG_WARNING, "%s: Record length %u above the limit of %d bytes",
                    "hex_parse_line", length, HEX_MAX_DATA);
        return HEX_RECORD_TOO_LONG;
    }

    std::uint32_t address = 0;
    if (!group_matched(match[GROUP_ADDRESS]))
        return HEX_ADDRESS_MISSING;
    if (!convert_group(line, match[GROUP_ADDRESS], &address))
        return HEX_ADDRESS_BAD;

    std::uint32_t type = 0;
    if (!group_matched(match[GROUP_TYPE]))
        return HEX_TYPE_MISSING;
    if (!convert_group(line, match[GROUP_TYPE], &type))
        return HEX_TYPE_BAD;

    std::uint32_t sum = (length + type + address + (address >> 8)) & 0xFFu;

    const regmatch_t &dg = match[GROUP_DATA];
    if (!group_matched(dg))
        return HEX_DATA_MISSING;
    // The handler is given the length field and relies on that many bytes, so
    // a data field that cannot supply them is refused as a whole.
    long digits = static_cast<long>(dg.rm_eo) - static_cast<long>(dg.rm_so);
    if (digits < 2L * static_cast<long>(length)) {
        plat_syslog(LOG_WARNING, "%s: Record data has %ld digits, length %u needs %u",
                    "hex_parse_line", digits < 0 ? 0L : digits, length, 2 * length);
        return HEX_DATA_SHORT;
    }
    const char *pos = line + dg.rm_so;
    const char *end = line + dg.rm_eo;
    for (std::uint32_t count = 0; count < length && end - pos >= 2; ++count, pos += 2) {
        std::uint32_t byte = 0;
        if (hex2bin(pos, pos + 2, &byte) != 0)
            return HEX_DATA_BAD;
        if (data != nullptr)
            data[count] = static_cast<std::uint8_t>(byte);
        sum = (sum + byte) & 0xFFu;
    }

    std::uint32_t checksum = 0;
    if (!group_matched(match[GROUP_CHECKSUM]))
        return HEX_CHECKSUM_MISSING;
    if (!convert_group(line, match[GROUP_CHECKSUM], &checksum))
        return HEX_CHECKSUM_BAD;
    if (((sum + checksum) & 0xFFu) != 0)
        return HEX_CHECKSUM_WRONG;

    if (address_out != nullptr)
        *address_out = address;
    if (type_out != nullptr)
        *type_out = type;
    if (length_out != nullptr)
        *length_out = static_cast<int>(length);
    return HEX_OK;
}

bool blank_line(const char *line) {
    for (const char *p = line; *p; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != '\v' && *p != '\f')
            return false;
    return true;
}

// The records of a file as the flashing will act on them, line by line: the
// address base set by the segment and linear address records, and whether the
// end-of-file record has been seen.
struct ImageWalk {
    std::uint32_t base = 0;
    bool ended = false;
    int data_records = 0;
};

// Highest address of the loader.
constexpr std::uint32_t LOADER_ADDRESS_MAX = 0xFFFF;

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
    case HEX_RECORD_DATA: {
        std::uint32_t last = walk.base + address + static_cast<std::uint32_t>(length);
        if (walk.base + address > LOADER_ADDRESS_MAX ||
            (length > 0 && last - 1 > LOADER_ADDRESS_MAX)) {
            std::snprintf(reason, size, "line %d: data at 0x%X passes 0xFFFF", line,
                          walk.base + address);
            return false;
        }
        ++walk.data_records;
        return true;
    }
    case HEX_RECORD_END:
        walk.ended = true;
        return true;
    case HEX_RECORD_SEGMENT:
        if (length != 2) {
            std::snprintf(reason, size, "line %d: segment address record of %d bytes, not 2", line,
                          length);
            return false;
        }
        walk.base = value * 16;
        return true;
    case HEX_RECORD_START: {
        std::uint32_t start = value * 16 + (length == 4 ? data[2] * 256u + data[3] : 0);
        if (length != 4) {
            std::snprintf(reason, size, "line %d: start address record of %d bytes, not 4", line,
                          length);
            return false;
        }
        if (start > LOADER_ADDRESS_MAX) {
            std::snprintf(reason, size, "line %d: start address 0x%X passes 0xFFFF", line, start);
            return false;
        }
        return true;
    }
    case HEX_RECORD_LINEAR:
        // Upper address 0 is where the loader's addresses are anyway.
        if (length != 2 || value != 0) {
            std::snprintf(reason, size, "line %d: extended linear address record other than 0",
                          line);
            return false;
        }
        walk.base = 0;
        return true;
    case HEX_RECORD_START_LINEAR:
        std::snprintf(reason, size, "line %d: start linear address record", line);
        return false;
    default:
        std::snprintf(reason, size, "line %d: unknown record type %02X", line, type);
        return false;
    }
}

} // namespace

int hex2bin(const char *start, const char *end, std::uint32_t *out) {
    std::uint32_t value = 0;
    for (const char *p = start; p < end && *p != '\0'; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            value = value * 16u + static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value = value * 16u + 10u + static_cast<std::uint32_t>(c - 'a');
        } else if (c >= 'A' && c <= 'F') {
            value = value * 16u + 10u + static_cast<std::uint32_t>(c - 'A');
        } else {
            plat_syslog(LOG_ERR, "%s: Illegal hex char %c", "hex2bin", c);
            return 2;
        }
    }
    if (out != nullptr)
        *out = value;
    return 0;
}

int hex_parse_line(const char *line, std::uint32_t *address, std::uint32_t *type, int *length,
                   std::uint8_t *data) {
    if (line == nullptr)
        return HEX_BAD_FORMAT;

    // Compiled anew for every line and released whatever the line's outcome.
    regex_t pattern;
    int rc = regcomp(&pattern, HEX_LINE_PATTERN, 0);
    if (rc != 0) {
        std::array<char, REGEX_ERROR_SIZE> error{};
        regerror(rc, &pattern, error.data(), error.size());
        plat_syslog(LOG_ERR, "%s: Regex compilation failed with %s(%d)", "hex_parse_line",
                    error.data(), rc);
        return HEX_REGEX_FAILED;
    }

    std::array<regmatch_t, MATCH_SLOTS> match{};
    int status = HEX_OK;
    rc = regexec(&pattern, line, match.size(), match.data(), 0);
    if (rc != 0) {
        plat_syslog(LOG_WARNING, "%s: Wrong hex file line format (%d) '%s'", "hex_parse_line", rc,
                    line);
        status = HEX_BAD_FORMAT;
    } else {
        status = parse_fields(line, match.data(), address, type, length, data);
    }
    regfree(&pattern);
    return status;
}

int read_hex_file(const char *path, HexRecordHandler handler, void *context, int flag) {
    std::FILE *file = std::fopen(path, "r");
    if (file == nullptr)
        return HEX_FILE_UNOPENED;

    // The line buffer grows to the longest line; the data buffer is lent to
    // the handler for one call at a time.
    char *line = nullptr;
    std::size_t capacity = 0;
    std::array<std::uint8_t, HEX_MAX_DATA> data{};
    int status = HEX_OK;
    int number = 0;
    bool refused = false;
    int refusal = 0;

    while (getline(&line, &capacity, file) >= 0) {
        ++number;
        std::uint32_t address = 0;
        std::uint32_t type = 0;
        int length = 0;
        status = hex_parse_line(line, &address, &type, &length, data.data());
        if (status != HEX_OK || handler == nullptr)
            continue;
        int rc = handler(address, type, data.data(), length, context, flag);
        if (rc != 0) {
            plat_syslog(LOG_ERR, "%s: Error at line %d", "read_hex_file", number);
            refused = true;
            refusal = rc;
            break;
        }
    }

    std::free(line);
    std::fclose(file);
    return refused ? refusal : status;
}

bool hex_file_complete(int result, bool ends_blank) {
    return result == HEX_OK || (result == HEX_BAD_FORMAT && ends_blank);
}

bool hex_check_file(const char *path, char *reason, std::size_t size, bool *ends_blank) {
    *ends_blank = false;
    std::FILE *f = std::fopen(path, "r");
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
