// Firmware images as lists of data records, and their Intel HEX text: the
// writer that makes the sample images' files and the reader of tarvo-sim flash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::board {

struct ImageRecord {
    std::uint16_t address;
    std::vector<std::uint8_t> data;
};

struct FwImage {
    std::vector<ImageRecord> records; // data records, ascending addresses
    std::uint16_t start_cs = 0;       // start segment address record
    std::uint16_t start_ip = 0;
};

// Intel HEX text: the data records, the start segment address record, the
// end-of-file record; upper-case digits, one record per line ending in LF.
std::string intel_hex(const FwImage &image);

// Reads Intel HEX text: data records (with extended segment addresses), the
// start segment address record, the end-of-file record.  False with a reason
// for a bad line.
bool parse_intel_hex(const std::string &text, FwImage *image, std::string *error);

} // namespace sim::board
