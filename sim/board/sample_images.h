// The project's sample firmware images for the TARVO board: believable MSP430
// programs (startup code, functions, interrupt handlers, vectors) made from a
// fixed seed, each carrying the firmware descriptor that tells its version and
// channel configuration.  tools/make_fw writes them to fw/ as Intel HEX.
#pragma once

#include "sim/board/intel_hex.h"

#include <array>
#include <cstdint>

namespace sim::board {

struct SampleImage {
    const char *file;      // file name, after the configuration text it reports
    std::uint32_t version; // holding registers 1 and 2
    std::uint16_t config;  // holding register 3
    std::uint32_t seed;    // of the generated code
};

// The three sample images; the first is the factory image of a fresh world.
const std::array<SampleImage, 3> &sample_images();

// The image's content as 16-byte records: code from 0xC000, the descriptor
// below the vectors, the vectors; started at 0000:C000.
FwImage make_sample_image(const SampleImage &sample);

} // namespace sim::board
