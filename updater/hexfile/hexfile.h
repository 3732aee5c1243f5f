// Intel HEX reader: checks each line against the record pattern and its
// checksum, and decodes a firmware file into the image that the flashing
// writes, against the board's memory map.
#pragma once

#include "updater/bsl/bsl.h"

#include <cstddef>
#include <cstdint>

// Most data bytes one record carries: its length field has two digits.
constexpr int HEX_MAX_DATA = 255;

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
    HEX_DATA_LONG = 14,     // more data digits than twice the length
    HEX_DATA_SHORT = 15,    // fewer data digits than twice the length
    HEX_BAD_CHARACTER = 16, // a byte that no HEX line holds (NUL, control, not ASCII)
};

// A few words on a line status, for the reason of a refusal.
const char *hex_status_text(int status);

// HEX_OK when the size bytes of a line (line end included) are all bytes that
// a HEX line may hold, HEX_BAD_CHARACTER otherwise: a NUL or another control
// character than white space ends or hides the record from hex_parse_line.
int hex_line_bytes(const char *line, std::size_t size);

// Converts the hex digits in [start, end) (stopping at NUL); 0, or 2 on an
// illegal character (logged, nothing stored).
int hex2bin(const char *start, const char *end, std::uint32_t *out);

// One line: its status, and on HEX_OK the record's fields (data up to
// HEX_MAX_DATA bytes into data).
int hex_parse_line(const char *line, std::uint32_t *address, std::uint32_t *type, int *length,
                   std::uint8_t *data);

// Most bytes an image writes: all of main flash and information memory.
constexpr int HEX_IMAGE_MAX_BYTES =
    static_cast<int>(MSP430_MAIN_FLASH.size() + MSP430_INFO_MEMORY.size());
// No two chunks begin in one 16-bit word (see HexChunk).
constexpr int HEX_IMAGE_MAX_CHUNKS = HEX_IMAGE_MAX_BYTES / 2;

// Largest firmware file read: every byte the board holds in a record of its
// own with CRLF line ends (":01AAAA00DDCC" and CRLF, 15 characters a byte),
// and 4 KiB for the address, start and end records and blank lines.  253,696
// bytes; a larger file is refused before it is read.
constexpr int HEX_CHARS_PER_BYTE = 15;
constexpr long HEX_FILE_MAX = static_cast<long>(HEX_IMAGE_MAX_BYTES) * HEX_CHARS_PER_BYTE + 4096;

// Bytes written from one address on.  A data record that begins at an odd
// address right after the previous chunk's end is joined to it, so that no two
// chunks share a 16-bit word: a chunk written in even blocks padded with 0xFF
// never touches another chunk's bytes.
struct HexChunk {
    std::uint16_t address;
    std::uint16_t length; // 1 and up
    std::uint16_t offset; // of its first byte in HexImage::bytes
    int line;             // of the record that begins it
};

// What a firmware file writes, in file order, and where the program starts:
// at the start address record's address, else at the reset vector.
struct HexImage {
    int chunks;
    HexChunk chunk[HEX_IMAGE_MAX_CHUNKS];
    int size;
    std::uint8_t bytes[HEX_IMAGE_MAX_BYTES];
    std::uint16_t start;
    bool start_record;        // the file has a start address record
    int start_line;           // of the start address record, or of the reset vector
    std::uint32_t file_crc32; // CRC-32 of the file's bytes as they were read
};

inline const std::uint8_t *hex_chunk_bytes(const HexImage &image, const HexChunk &chunk) {
    return image.bytes + chunk.offset;
}

// Reads the open file fd whole (it must be a regular file of at most
// HEX_FILE_MAX bytes) and decodes it into *image: every line that is not
// blank is a good record, the address records place the data records, and
// the image must fit the board and boot.  False with the reason (size bytes,
// naming the line where there is one) when it does not.  The image carries
// the checksum of the bytes it was decoded from, so that nothing needs to read
// the file again to name what was flashed.
bool hex_read_image(int fd, HexImage *image, char *reason, std::size_t size);

// hex_read_image in its two steps, for a caller that checks the bytes before
// they are decoded: reads the open file fd whole (the same rules) into the
// reader's buffer and returns it, length bytes, or nullptr with the reason;
// then decodes the length bytes of that buffer.  The buffer is the reader's
// until the next read.
const char *hex_read_file(int fd, long *length, char *reason, std::size_t size);
bool hex_decode_image(long length, HexImage *image, char *reason, std::size_t size);
