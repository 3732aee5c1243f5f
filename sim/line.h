// What connects the simulated controller to whatever sits on the far side of an
// expansion port: the serial line (bytes with their frame format and timing) and
// the far end's view of the port's two control lines.  The TARVO board model is
// such a far end; tests use scripted partners.  The controller's side of the
// port (plugging in, sending, line levels) is in controller/controller.h.
#pragma once

#include "sim/clock.h"

#include <cstdint>

namespace sim {

struct FrameFormat {
    int data_bits = 8;   // 5 to 8
    bool parity = false; // parity bit present
    bool even = false;   // even parity (when parity is set)
    int stop_bits = 1;   // 1 or 2
    double baud = 9600.0;

    // Bit times of one frame: start, data, parity, stop.
    int bits() const { return 1 + data_bits + (parity ? 1 : 0) + stop_bits; }
    Nanos byte_time() const { return static_cast<Nanos>(bits() * (1e9 / baud) + 0.5); }
};

// Line formats of the two protocols the board speaks.
inline FrameFormat format_8e1(double baud = 9600.0) {
    return {8, true, true, 1, baud};
}
inline FrameFormat format_8n1(double baud = 9600.0) {
    return {8, false, false, 1, baud};
}

// What a receiver set to `rx` makes of one frame sent as `tx` (followed by an
// idle line): the byte it samples and its error flags.  Equal formats (and
// rates within a few percent) give the byte back unharmed.
struct Received {
    std::uint8_t byte = 0;
    bool framing_error = false;
    bool parity_error = false;
    bool ok() const { return !framing_error && !parity_error; }
};
Received receive_as(std::uint8_t byte, const FrameFormat &tx, const FrameFormat &rx);

// The far end of one port.
class LinePartner {
  public:
    virtual ~LinePartner() = default;
    // The controller's UART finished putting a byte on the wire; its start bit
    // began at `start`, and the clock now stands at the end of its stop bit.
    virtual void on_byte(std::uint8_t byte, const FrameFormat &fmt, Nanos start) = 0;
    // The port's control lines changed level (line A = TCK, line B = RST/NMI on a
    // TARVO board).  A line the controller does not drive floats high.
    virtual void on_lines(bool line_a, bool line_b, Nanos when) {
        (void)line_a;
        (void)line_b;
        (void)when;
    }
};

} // namespace sim
