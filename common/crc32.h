// CRC-32 of the IEEE 802.3 polynomial (reflected 0xEDB88320, initial and final
// value 0xFFFFFFFF), as zlib and "crc32" compute it: the checksum that names
// the exact bytes of a firmware file.  Feed a file piecewise by passing the
// previous result back in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crc32_detail {
constexpr std::array<std::uint32_t, 256> make_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
inline constexpr std::array<std::uint32_t, 256> TABLE = make_table();
} // namespace crc32_detail

inline std::uint32_t crc32_update(std::uint32_t crc, const void *data, std::size_t length) {
    const auto *p = static_cast<const std::uint8_t *>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i)
        crc = crc32_detail::TABLE[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
