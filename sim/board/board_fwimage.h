// The project's sample firmware images for the TARVO board: believable MSP430
// programs (startup code, functions, interrupt handlers, vectors) made from a
// fixed seed, each carrying the firmware descriptor that tells its version and
// channel configuration.  tools/make_fw writes them to fw/ as Intel HEX.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::board {

struct SampleImage {
    const char *file;      // file name, after the configuration text it reports
    std::uint32_t version; // holding registers 1 and 2
    std::uint16_t config;  // holding register 3
    std::uint32_t seed;    // of the generated code
};

// The three sample images; the first is the factory image of a fresh world.
const std::array<SampleImage, 3> &sample_images();

struct ImageRecord {
    std::uint16_t address;
    std::vector<std::uint8_t> data;
};

struct FwImage {
    std::vector<ImageRecord> records; // data records, ascending addresses
    std::uint16_t start_cs = 0;       // start segment address record
    std::uint16_t start_ip = 0;
};

// The image's content as 16-byte records: code from 0xC000, the descriptor
// below the vectors, the vectors; started at 0000:C000.
FwImage make_sample_image(const SampleImage &sample);

// Intel HEX text: the data records, the start segment address record, the
// end-of-file record; upper-case digits, one record per line ending in LF.
std::string intel_hex(const FwImage &image);

// Reads Intel HEX text: data records (with extended segment addresses), the
// start segment address record, the end-of-file record.  False with a reason
// for a bad line.
bool parse_intel_hex(const std::string &text, FwImage *image, std::string *error);

} // namespace sim::board
