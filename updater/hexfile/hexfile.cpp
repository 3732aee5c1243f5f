// Intel HEX reader.  Every line is matched against the record pattern, its
// fields are converted and the record checksum is checked; hex_read_image
// decodes a whole firmware file into the image that the flashing writes, and
// holds the rules of where its records put their data.
#include "updater/hexfile/hexfile.h"

#include "common/crc32.h"
#include "common/platform.h"
#include "common/small_file.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <regex.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

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
    // The handler is given the length field and relies on that many bytes,
    // and digits beyond them would be data that nobody writes: the data field
    // must hold exactly the record's bytes.
    long digits = static_cast<long>(dg.rm_eo) - static_cast<long>(dg.rm_so);
    if (digits != 2L * static_cast<long>(length)) {
        plat_log_here(LOG_WARNING, "Record data has %ld digits, length %u needs %u",
                      digits < 0 ? 0L : digits, length, 2 * length);
        return digits < 2L * static_cast<long>(length) ? HEX_DATA_SHORT : HEX_DATA_LONG;
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

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Where a byte of the board's memory stands in the image's map of written
// bytes; -1 outside main flash and information memory.
int map_index(std::uint32_t address) {
    if (MSP430_MAIN_FLASH.holds(address))
        return static_cast<int>(address - MSP430_MAIN_FLASH.first);
    if (MSP430_INFO_MEMORY.holds(address))
        return static_cast<int>(MSP430_MAIN_FLASH.size() + address - MSP430_INFO_MEMORY.first);
    return -1;
}

bool in_one_region(std::uint32_t first, std::uint32_t last) {
    return (MSP430_MAIN_FLASH.holds(first) && MSP430_MAIN_FLASH.holds(last)) ||
           (MSP430_INFO_MEMORY.holds(first) && MSP430_INFO_MEMORY.holds(last));
}

// Why a program cannot start at this address, or nullptr when it can.
const char *start_fault(std::uint32_t address) {
    if (address == 0xFFFF)
        return "erased";
    if (address & 1u)
        return "odd";
    if (address < MSP430_MAIN_FLASH.first || address > MSP430_START_LAST)
        return "outside main flash below the vectors, 0xC000..0xFFDE";
    return nullptr;
}

// The image as its records build it, line by line: the address base of the
// segment and linear address records, whether the end-of-file record has been
// seen, and which bytes are written.
struct ImageBuild {
    HexImage *image;
    std::uint32_t base;
    bool ended;
    std::array<std::uint8_t, HEX_IMAGE_MAX_BYTES / 8> written;
    char *reason;
    std::size_t size;
};

bool is_written(const ImageBuild &b, int index) {
    return (b.written[static_cast<std::size_t>(index) / 8] >> (index % 8)) & 1u;
}

// The line of the chunk that writes the address.
int writer_line(const HexImage &image, std::uint32_t address) {
    for (int i = 0; i < image.chunks; ++i) {
        const HexChunk &c = image.chunk[i];
        if (address >= c.address && address < static_cast<std::uint32_t>(c.address) + c.length)
            return c.line;
    }
    return 0;
}

__attribute__((format(printf, 2, 3))) bool refuse(ImageBuild &b, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(b.reason, b.size, format, args);
    va_end(args);
    return false;
}

bool add_data(ImageBuild &b, int line, std::uint32_t address, const std::uint8_t *data,
              int length) {
    // Records without data are legal and write nothing.
    if (length == 0)
        return true;
    std::uint32_t first = b.base + address;
    std::uint32_t last = first + static_cast<std::uint32_t>(length) - 1;
    if (!in_one_region(first, last))
        return refuse(b,
                      "line %d: data at 0x%04X..0x%04X outside main flash (0xC000..0xFFFF) and "
                      "information memory (0x1000..0x10FF)",
                      line, first, last);
    for (std::uint32_t a = first; a <= last; ++a)
        if (is_written(b, map_index(a)))
            return refuse(b, "line %d: data at 0x%04X written before, by line %d", line, a,
                          writer_line(*b.image, a));

    HexImage &image = *b.image;
    HexChunk *previous = image.chunks > 0 ? &image.chunk[image.chunks - 1] : nullptr;
    if (previous != nullptr && (first & 1u) &&
        static_cast<std::uint32_t>(previous->address) + previous->length == first) {
        previous->length = static_cast<std::uint16_t>(previous->length + length);
    } else {
        image.chunk[image.chunks++] = {static_cast<std::uint16_t>(first),
                                       static_cast<std::uint16_t>(length),
                                       static_cast<std::uint16_t>(image.size), line};
    }
    std::memcpy(image.bytes + image.size, data, static_cast<std::size_t>(length));
    image.size += length;
    for (std::uint32_t a = first; a <= last; ++a) {
        int index = map_index(a);
        b.written[static_cast<std::size_t>(index) / 8] |=
            static_cast<std::uint8_t>(1u << (index % 8));
    }
    return true;
}

// A start address record of either type: one per image, at an address where
// a program can start.
bool add_start(ImageBuild &b, int line, std::uint32_t start) {
    HexImage &image = *b.image;
    if (image.start_record)
        return refuse(b, "line %d: a second start address record, after line %d", line,
                      image.start_line);
    if (const char *fault = start_fault(start))
        return refuse(b, "line %d: start address 0x%X cannot start a program (%s)", line, start,
                      fault);
    image.start = static_cast<std::uint16_t>(start);
    image.start_record = true;
    image.start_line = line;
    return true;
}

// One good record.  False with the reason (naming the line) for a record the
// board cannot take as the file means it: the loader's addresses have 16 bits.
bool add_record(ImageBuild &b, int line, std::uint32_t address, std::uint32_t type,
                const std::uint8_t *data, int length) {
    if (b.ended)
        return refuse(b, "line %d: a record after the end-of-file record", line);
    std::uint32_t value = length >= 2 ? data[0] * 256u + data[1] : 0;
    switch (type) {
    case HEX_RECORD_DATA:
        return add_data(b, line, address, data, length);
    case HEX_RECORD_END:
        b.ended = true;
        return true;
    case HEX_RECORD_SEGMENT:
        if (length != 2)
            return refuse(b, "line %d: segment address record of %d bytes, not 2", line, length);
        b.base = value * 16;
        return true;
    case HEX_RECORD_START:
        // Segment and offset: the address is segment * 16 + offset.
        if (length != 4)
            return refuse(b, "line %d: start address record of %d bytes, not 4", line, length);
        return add_start(b, line, value * 16 + (data[2] * 256u + data[3]));
    case HEX_RECORD_LINEAR:
        // Upper address 0 is where the loader's addresses are anyway.
        if (length != 2 || value != 0)
            return refuse(b, "line %d: extended linear address record other than 0", line);
        b.base = 0;
        return true;
    case HEX_RECORD_START_LINEAR: {
        // One 32-bit address, as srec_cat and linkers of 32-bit targets write
        // the start: the loader's addresses have 16 bits.
        if (length != 4)
            return refuse(b, "line %d: start linear address record of %d bytes, not 4", line,
                          length);
        std::uint32_t start = value << 16 | (data[2] * 256u + data[3]);
        if (start > 0xFFFF)
            return refuse(b,
                          "line %d: start linear address 0x%X above 0xFFFF, beyond the loader's "
                          "16-bit addresses",
                          line, start);
        return add_start(b, line, start);
    }
    default:
        return refuse(b, "line %d: unknown record type %02X", line, type);
    }
}

// After the last line: the image must write something, end with its
// end-of-file record, and start a program, at its start address or its reset
// vector, from bytes it writes itself.
bool finish_image(ImageBuild &b) {
    HexImage &image = *b.image;
    if (image.size == 0)
        return refuse(b, "no data to write");
    if (!b.ended)
        return refuse(b, "no end-of-file record");
    int low = map_index(MSP430_RESET_VECTOR);
    if (!is_written(b, low) || !is_written(b, low + 1))
        return refuse(b, "no reset vector: nothing written at 0xFFFE..0xFFFF");
    // The reset vector is the last word of main flash, which map_index puts
    // first; its bytes stand where the chunks that write them put them.
    std::uint8_t vector[2] = {0, 0};
    for (int i = 0; i < image.chunks; ++i) {
        const HexChunk &c = image.chunk[i];
        for (std::uint32_t k = 0; k < 2; ++k) {
            std::uint32_t a = MSP430_RESET_VECTOR + k;
            if (a >= c.address && a < static_cast<std::uint32_t>(c.address) + c.length)
                vector[k] = hex_chunk_bytes(image, c)[a - c.address];
        }
    }
    std::uint32_t reset = vector[0] | vector[1] << 8;
    int vector_line = writer_line(image, MSP430_RESET_VECTOR);
    if (const char *fault = start_fault(reset))
        return refuse(b, "line %d: reset vector 0x%04X cannot start a program (%s)", vector_line,
                      reset, fault);
    if (!image.start_record) {
        image.start = static_cast<std::uint16_t>(reset);
        image.start_line = vector_line;
    }
    int at = map_index(image.start);
    if (!is_written(b, at) || !is_written(b, at + 1))
        return refuse(b,
                      "line %d: the program would start at 0x%04X, which the image does not "
                      "write",
                      image.start_line, image.start);
    return true;
}

// Reads the whole file into buffer (capacity bytes): its length, or -1 with
// the reason.
long read_whole(int fd, char *buffer, long capacity, char *reason, std::size_t size) {
    // The size first, to name it: a file too large is refused unread.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > capacity) {
        std::snprintf(reason, size, "%lld bytes, larger than any image the board holds (%ld)",
                      static_cast<long long>(st.st_size), capacity);
        return -1;
    }
    long got = read_small_file(fd, buffer, capacity);
    if (got == SMALL_FILE_UNREADABLE)
        std::snprintf(reason, size, "cannot be read (%s)", std::strerror(errno));
    else if (got == SMALL_FILE_NOT_REGULAR)
        std::snprintf(reason, size, "is not a regular file");
    else if (got == SMALL_FILE_TOO_LARGE)
        std::snprintf(reason, size, "more than %ld bytes, larger than any image the board holds",
                      capacity);
    return got < 0 ? -1 : got;
}

// The text of a firmware file, with room for the terminating zero of its
// last line.
char file_text[HEX_FILE_MAX + 2];
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

    // Compiled at the first line and kept for the process: compiling it is
    // most of the time a line takes.  A failed compilation is tried again at
    // the next line.
    static regex_t pattern;
    static bool compiled = false;
    if (!compiled) {
        int rc = regcomp(&pattern, HEX_LINE_PATTERN, 0);
        if (rc != 0) {
            std::array<char, REGEX_ERROR_SIZE> error{};
            regerror(rc, &pattern, error.data(), error.size());
            plat_syslog(LOG_ERR, "%s: Regex compilation failed with %s(%d)", "hex_parse_line",
                        error.data(), rc);
            return HEX_REGEX_FAILED;
        }
        compiled = true;
    }

    std::array<regmatch_t, MATCH_SLOTS> match{};
    int status = HEX_OK;
    int rc = regexec(&pattern, line, match.size(), match.data(), 0);
    if (rc != 0) {
        plat_syslog(LOG_WARNING, "%s: Wrong hex file line format (%d) '%s'", "hex_parse_line", rc,
                    line);
        status = HEX_BAD_FORMAT;
    } else {
        status = parse_fields(line, match.data(), address, type, length, data);
    }
    return status;
}

const char *hex_status_text(int status) {
    switch (status) {
    case HEX_OK:
        return "a good record";
    case HEX_REGEX_FAILED:
        return "the record pattern did not compile";
    case HEX_BAD_FORMAT:
        return "not of the record form";
    case HEX_CHECKSUM_WRONG:
        return "wrong checksum";
    case HEX_DATA_LONG:
        return "more data digits than its length";
    case HEX_DATA_SHORT:
        return "fewer data digits than its length";
    case HEX_BAD_CHARACTER:
        return "a byte that no HEX line holds";
    default:
        return "a field that does not convert";
    }
}

int hex_line_bytes(const char *line, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && !is_space(static_cast<char>(c))) || c >= 0x7F)
            return HEX_BAD_CHARACTER;
    }
    return HEX_OK;
}

const char *hex_read_file(int fd, long *length, char *reason, std::size_t size) {
    *length = read_whole(fd, file_text, HEX_FILE_MAX, reason, size);
    return *length < 0 ? nullptr : file_text;
}

bool hex_read_image(int fd, HexImage *image, char *reason, std::size_t size) {
    long length = 0;
    return hex_read_file(fd, &length, reason, size) != nullptr &&
           hex_decode_image(length, image, reason, size);
}

bool hex_decode_image(long length, HexImage *image, char *reason, std::size_t size) {
    image->chunks = 0;
    image->size = 0;
    image->start = 0;
    image->start_record = false;
    image->start_line = 0;
    image->file_crc32 = crc32_update(0, file_text, static_cast<std::size_t>(length));
    ImageBuild build{image, 0, false, {}, reason, size};
    int number = 0;
    std::array<std::uint8_t, HEX_MAX_DATA> data{};
    for (long at = 0; at < length;) {
        ++number;
        char *line = file_text + at;
        char *newline =
            static_cast<char *>(std::memchr(line, '\n', static_cast<std::size_t>(length - at)));
        long end = newline != nullptr ? newline - file_text + 1 : length;
        std::size_t line_size = static_cast<std::size_t>(end - at);
        // The record pattern sees the line with its line end.  The byte after it is the next line's
        // first, kept aside while this line is a string.
        char after = file_text[end];
        file_text[end] = '\0';
        int status = hex_line_bytes(line, line_size);
        bool blank = true;
        for (std::size_t i = 0; i < line_size && blank; ++i)
            blank = is_space(line[i]);
        std::uint32_t address = 0, type = 0;
        int count = 0;
        if (status == HEX_OK && !blank)
            status = hex_parse_line(line, &address, &type, &count, data.data());
        file_text[end] = after;
        if (status != HEX_OK) {
            std::snprintf(reason, size, "line %d is not a good record: %s", number,
                          hex_status_text(status));
            return false;
        }
        if (!blank && !add_record(build, number, address, type, data.data(), count))
            return false;
        at = end;
    }
    return finish_image(build);
}
