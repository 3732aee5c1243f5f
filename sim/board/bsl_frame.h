// The ROM loader's framing as it appears on the wire: the control bytes, the
// command codes, where each field of a frame stands, and the checksum.
//   command frame: HDR CMD L1 L2 AL AH LL LH data... CKL CKH  (L1 = L2 = 4 + data)
//   data frame:    HDR 0x00 n n data... CKL CKH               (the TX answers)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::board {

constexpr std::uint8_t BSL_SYNC = 0x80;
constexpr std::uint8_t BSL_HDR = 0x80;
constexpr std::uint8_t BSL_ACK = 0x90;
constexpr std::uint8_t BSL_NAK = 0xA0;

constexpr std::uint8_t CMD_RX_PASSWORD = 0x10;
constexpr std::uint8_t CMD_RX_DATA = 0x12;
constexpr std::uint8_t CMD_TX_DATA = 0x14;
constexpr std::uint8_t CMD_ERASE_SEGMENT = 0x16;
constexpr std::uint8_t CMD_MASS_ERASE = 0x18;
constexpr std::uint8_t CMD_LOAD_PC = 0x1A;
constexpr std::uint8_t CMD_ERASE_CHECK = 0x1C;
constexpr std::uint8_t CMD_TX_VERSION = 0x1E;

// Positions in a frame.
constexpr std::size_t FRAME_CMD = 1;
constexpr std::size_t FRAME_L1 = 2;
constexpr std::size_t FRAME_L2 = 3;
constexpr std::size_t FRAME_AL = 4; // address, low byte first
constexpr std::size_t FRAME_LL = 6; // length or erase word, low byte first
constexpr std::size_t FRAME_DATA = 8;
// L1 counts the address and length words and the data.
constexpr std::size_t FRAME_L1_MIN = 4;
constexpr std::size_t CHECKSUM_SIZE = 2;
// Bytes of a frame that L1 does not count: HDR, CMD, L1, L2, CKL, CKH.
constexpr std::size_t FRAME_OVERHEAD = 4 + CHECKSUM_SIZE;
// Where the data of a data frame begins.
constexpr std::size_t DATA_FRAME_DATA = 4;

// CKL and CKH of bytes[0..n): the complement of the XOR of the bytes at even
// positions, and of those at odd positions.
inline std::array<std::uint8_t, 2> bsl_checksum(const std::uint8_t *bytes, std::size_t n) {
    std::uint8_t lo = 0, hi = 0;
    for (std::size_t i = 0; i < n; ++i)
        (i % 2 == 0 ? lo : hi) ^= bytes[i];
    return {static_cast<std::uint8_t>(~lo), static_cast<std::uint8_t>(~hi)};
}

// Appends the checksum of everything before it.
inline void append_checksum(std::vector<std::uint8_t> *frame) {
    auto ck = bsl_checksum(frame->data(), frame->size());
    frame->insert(frame->end(), ck.begin(), ck.end());
}

// Whether the last two bytes are the checksum of the others.
inline bool checksum_ok(const std::vector<std::uint8_t> &frame) {
    if (frame.size() < 2)
        return false;
    auto ck = bsl_checksum(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == ck[0] && frame[frame.size() - 1] == ck[1];
}

// The word at a position of a frame, low byte first.
inline std::uint16_t frame_word(const std::vector<std::uint8_t> &frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] | frame[at + 1] << 8);
}

} // namespace sim::board
