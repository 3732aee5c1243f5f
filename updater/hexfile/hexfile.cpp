// Intel HEX reader.  Every line is matched against the record pattern, its
// fields are converted and the record checksum is checked; good records go to
// the caller's handler, bad lines are skipped.
#include "updater/hexfile/hexfile.h"

#include "common/platform.h"

#include <array>
#include <cstdio>
#include <cstdlib>
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
        return 1;

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
