// What can be told about a TARVO board from its flash: the firmware
// descriptor (version and configuration word), the configuration text that
// word stands for, and a CRC-32 of the main flash.
#pragma once

#include "sim/board/model_choices.h"

#include <array>
#include <cstdint>
#include <string>

namespace sim::board {

using MainFlash = std::array<std::uint8_t, MAIN_SIZE>;

struct Descriptor {
    bool found = false;        // the magic word is in place
    std::uint32_t version = 0; // registers 1 (upper half) and 2 (lower half)
    std::uint16_t config = 0;  // register 3
};
Descriptor read_descriptor(const MainFlash &main);

// The channel configuration text of a configuration register value: for each
// set bit 0..9 a running number and its letter (a a c c b b b b o f), then
// " (bidir)" for bit 10.
std::string config_text(std::uint16_t config);

// CRC-32 (the one of zip and Ethernet).
std::uint32_t crc32(const std::uint8_t *data, std::size_t size);

} // namespace sim::board
