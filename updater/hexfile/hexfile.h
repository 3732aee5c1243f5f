// Intel HEX reader: checks each line against the record pattern and its
// checksum, and hands every good record to a handler.
#pragma once

#include <cstddef>
#include <cstdint>

// Called once per good record.  0 lets the reader go on; any other value stops
// it and becomes the reader's result.
using HexRecordHandler = int (*)(std::uint32_t address, std::uint32_t type,
                                 const std::uint8_t *data, int length, void *context, int flag);

// Most data bytes one record may carry (the flashing reads a record back in a
// 256-byte frame: 4 header bytes, data, 2 checksum bytes).
constexpr int HEX_MAX_DATA = 250;

// Record types.
constexpr std::uint32_t HEX_RECORD_DATA = 0;
constexpr std::uint32_t HEX_RECORD_END = 1;
constexpr std::uint32_t HEX_RECORD_SEGMENT = 2;      // extended segment address
constexpr std::uint32_t HEX_RECORD_START = 3;        // start segment address
constexpr std::uint32_t HEX_RECORD_LINEAR = 4;       // extended linear address
constexpr std::uint32_t HEX_RECORD_START_LINEAR = 5; // start linear address

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

// read_hex_file's result for a file that cannot be opened.  It has the value
// of HEX_REGEX_FAILED, the status of a line whose pattern did not compile: only
// the log tells the two apart.
constexpr int HEX_FILE_UNOPENED = 1;

// Reads the file: HEX_FILE_UNOPENED, the handler's value when it refused a
// record, otherwise the status of the last line (0 for no lines).
int read_hex_file(const char *path, HexRecordHandler handler, void *context, int flag);

// Whether read_hex_file's result says that every record of a file went to the
// handler: 0, or the status of a last line that is blank, which the check
// below accepts.
bool hex_file_complete(int result, bool ends_blank);

// Reads the whole file at path before anything is written: every line that is
// not blank must be a good record that a loader with 16-bit addresses writes
// where the file means it, and the file must hold at least one data record and
// an end-of-file record.  False with the reason (size bytes) when it does not.
// *ends_blank tells whether the file's last line is blank.
bool hex_check_file(const char *path, char *reason, std::size_t size, bool *ends_blank);
