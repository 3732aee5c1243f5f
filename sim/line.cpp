// The serial line between a UART and the far end, at bit level: what a
// receiver makes of a frame that a sender put on the wire.
#include "sim/line.h"

#include <array>
#include <cmath>

namespace sim {
namespace {

int clamp_data_bits(int n) {
    return n < 5 ? 5 : n > 8 ? 8 : n;
}
int clamp_stop_bits(int n) {
    return n < 2 ? 1 : 2;
}

// Parity bit that makes the count of ones even (or odd).
bool parity_bit(int ones, bool even) {
    return even ? (ones & 1) != 0 : (ones & 1) == 0;
}

} // namespace

Received receive_as(std::uint8_t byte, const FrameFormat &tx, const FrameFormat &rx) {
    Received out;
    if (!(tx.baud > 0.0) || !(rx.baud > 0.0)) {
        // A receiver without a bit clock (or a sender without one) makes no sense of the line.
        out.framing_error = true;
        return out;
    }

    // The sender's bits: start, data LSB first, parity, stop; the idle line stays high.
    std::array<bool, 12> bits{};
    int count = 0;
    bits[count++] = false;
    int ones = 0;
    for (int i = 0; i < clamp_data_bits(tx.data_bits); ++i) {
        bool b = ((byte >> i) & 1) != 0;
        bits[count++] = b;
        ones += b ? 1 : 0;
    }
    if (tx.parity)
        bits[count++] = parity_bit(ones, tx.even);
    for (int i = 0; i < clamp_stop_bits(tx.stop_bits); ++i)
        bits[count++] = true;

    const double tx_bit = 1.0 / tx.baud;
    const double rx_bit = 1.0 / rx.baud;
    auto level_at = [&](double t) {
        auto index = static_cast<long>(std::floor(t / tx_bit));
        return index < count ? bits[static_cast<std::size_t>(index)] : true;
    };

    // The receiver synchronised on the falling edge of the start bit and samples
    // every following bit at its centre, by its own clock.
    int slot = 1;
    int rx_ones = 0;
    for (int i = 0; i < clamp_data_bits(rx.data_bits); ++i, ++slot) {
        if (level_at((slot + 0.5) * rx_bit)) {
            out.byte = static_cast<std::uint8_t>(out.byte | (1u << i));
            ++rx_ones;
        }
    }
    if (rx.parity) {
        bool p = level_at((slot + 0.5) * rx_bit);
        ++slot;
        out.parity_error = p != parity_bit(rx_ones, rx.even);
    }
    // Only the first stop bit is checked, as UART receivers do.
    out.framing_error = !level_at((slot + 0.5) * rx_bit);
    return out;
}

} // namespace sim
