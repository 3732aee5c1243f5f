// What connects the simulated controller to whatever sits on the far side of an
// expansion port: the serial line (bytes with their frame format and timing) and
// the port's two control lines.  The TARVO board model plugs in here; tests plug
// in scripted partners.
#pragma once

#include "sim/clock.h"

#include <cstdint>
#include <vector>

namespace sim {

struct FrameFormat {
    int data_bits = 8;   // 5 to 8
    bool parity = false; // parity bit present
    bool even = false;   // even parity (when parity is set)
    int stop_bits = 1;   // 1 or 2
    double baud = 9600.0;

    // Bit times of one frame: start, data, parity, stop.
    int bits() const { return 1 + data_bits + (parity ? 1 : 0) + stop_bits; }
    Nanos bit_time() const { return static_cast<Nanos>(1e9 / baud + 0.5); }
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

// Plugs a partner into port 1 or 2 (nullptr unplugs).  The controller does not
// own it.  The partner is told the current line levels at once.
void attach_partner(int port, LinePartner *partner);
LinePartner *partner(int port);

// The partner sends a byte towards the controller's UART.  Bytes queue behind
// the partner's earlier ones; the start bit begins no earlier than `earliest`
// (or now).  Returns the time its start bit begins.
Nanos partner_send(int port, std::uint8_t byte, const FrameFormat &fmt, Nanos earliest = 0);

// Control line levels of a port as the board sees them, and their history
// (one entry per change, plus the level at reset).
struct LineLevels {
    Nanos when;
    bool a;
    bool b;
};
LineLevels line_levels(int port);
const std::vector<LineLevels> &line_history(int port);

} // namespace sim
