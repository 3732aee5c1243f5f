#include "sim/board/info.h"

#include <cstdio>

namespace sim::board {

Descriptor read_descriptor(const MainFlash &main) {
    auto word = [&main](std::uint16_t address) {
        std::size_t at = address - MAIN_START;
        return static_cast<std::uint16_t>(main[at] | main[at + 1] << 8);
    };
    Descriptor d;
    if (word(DESCRIPTOR_ADDRESS) != DESCRIPTOR_MAGIC)
        return d;
    d.found = true;
    d.version = static_cast<std::uint32_t>(word(DESCRIPTOR_ADDRESS + 2)) << 16 |
                word(DESCRIPTOR_ADDRESS + 4);
    d.config = word(DESCRIPTOR_ADDRESS + 6);
    return d;
}

std::string config_text(std::uint16_t config) {
    static const char letters[10] = {'a', 'a', 'c', 'c', 'b', 'b', 'b', 'b', 'o', 'f'};
    std::string out;
    int number = 1;
    for (int bit = 0; bit < 10; ++bit) {
        if (config & (1u << bit)) {
            char piece[16];
            std::snprintf(piece, sizeof piece, "%d%c", number++, letters[bit]);
            out += piece;
        }
    }
    if (config & 0x0400)
        out += " (bidir)";
    return out;
}

std::uint32_t crc32(const std::uint8_t *data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

} // namespace sim::board
