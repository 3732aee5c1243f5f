// Intel HEX reader: checks each line against the record pattern and its
// checksum, and hands every good record to a handler.
#pragma once

#include <cstdint>

// Called once per good record.  0 lets the reader go on; any other value stops
// it and becomes the reader's result.
using HexRecordHandler = int (*)(std::uint32_t address, std::uint32_t type,
                                 const std::uint8_t *data, int length, void *context, int flag);

// Most data bytes one record may carry (the flashing reads a record back in a
// 256-byte frame: 4 header bytes, data, 2 checksum bytes).
constexpr int HEX_MAX_DATA = 250;

// Line statuses.
enum HexLineStatus {
    HEX_OK = 0,
    HEX_REGEX_FAILED = 1,
    HEX_BAD_FORMAT = 2,
    HEX_LENGTH_MISSING = 3,
    HEX_LENGTH_BAD = 4,
    HEX_ADDRESS_MISSING = 5,
    HEX_ADDRESS_BAD = 6,
    HEX_TYPE_MISSING = 7,
    HEX_TYPE_BAD = 8,
    HEX_DATA_MISSING = 9,
    HEX_DATA_BAD = 10,
    HEX_CHECKSUM_MISSING = 11,
    HEX_CHECKSUM_BAD = 12,
    HEX_CHECKSUM_WRONG = 13,
    HEX_RECORD_TOO_LONG = 14, // length field above HEX_MAX_DATA
    HEX_DATA_SHORT = 15,      // fewer data digits than twice the length
};

// Converts the hex digits in [start, end) (stopping at NUL); 0, or 2 on an
// illegal character (logged, nothing stored).
int hex2bin(const char *start, const char *end, std::uint32_t *out);

// One line: its status, and on HEX_OK the record's fields (data up to
// HEX_MAX_DATA bytes into data).
int hex_parse_line(const char *line, std::uint32_t *address, std::uint32_t *type, int *length,
                   std::uint8_t *data);

// Reads the file: 1 when it cannot be opened, the handler's value when it
// refused a record, otherwise the status of the last line (0 for no lines).
int read_hex_file(const char *path, HexRecordHandler handler, void *context, int flag);
