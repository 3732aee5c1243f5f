#include "sim/controller/pl011.h"

#include <array>
#include <utility>

namespace sim {
namespace {

using namespace pl011;

// Reset values of a PL011.
constexpr std::uint32_t CR_RESET = CR_TXE | CR_RXE;
constexpr std::uint32_t LCR_H_RESET = 0x00;

constexpr std::size_t FIFO_DEPTH = 16;
// Reading DR with an empty receive FIFO gives this (the real part leaves it undefined).
constexpr std::uint32_t DR_EMPTY_READ = 0;

constexpr std::array<std::uint8_t, 8> ID_BYTES = {0x11, 0x10, 0x14, 0x00, 0x0D, 0xF0, 0x05, 0xB1};

} // namespace

Pl011::Pl011(double ref_clock_hz, Deliver deliver)
    : ref_clock_hz_(ref_clock_hz), deliver_(std::move(deliver)) {
    reset();
}

void Pl011::reset() {
    tx_.clear();
    rx_.clear();
    shifting_ = false;
    rsr_ = 0;
    ibrd_ = 0;
    fbrd_ = 0;
    lcr_h_ = LCR_H_RESET;
    cr_ = CR_RESET;
    events_.retire();
}

FrameFormat Pl011::format() const {
    FrameFormat f;
    f.data_bits = 5 + static_cast<int>((lcr_h_ >> LCR_WLEN_SHIFT) & 3);
    f.parity = (lcr_h_ & LCR_PEN) != 0;
    f.even = (lcr_h_ & LCR_EPS) != 0;
    f.stop_bits = (lcr_h_ & LCR_STP2) ? 2 : 1;
    // The fractional divisor is taken as 0.  Without a divisor the UART has no bit clock.
    f.baud = ibrd_ ? ref_clock_hz_ / (16.0 * ibrd_) : 0.0;
    return f;
}

bool Pl011::tx_enabled() const {
    return (cr_ & CR_UARTEN) && (cr_ & CR_TXE) && ibrd_ != 0;
}
bool Pl011::rx_enabled() const {
    return (cr_ & CR_UARTEN) && (cr_ & CR_RXE) && ibrd_ != 0;
}

std::size_t Pl011::depth() const {
    return (lcr_h_ & LCR_FEN) ? FIFO_DEPTH : 1;
}

std::uint32_t Pl011::flags() const {
    std::uint32_t fr = 0;
    if (shifting_ || !tx_.empty())
        fr |= FR_BUSY;
    if (rx_.empty())
        fr |= FR_RXFE;
    if (tx_.size() >= depth())
        fr |= FR_TXFF;
    if (rx_.size() >= depth())
        fr |= FR_RXFF;
    if (tx_.empty())
        fr |= FR_TXFE;
    return fr;
}

bool Pl011::peek(std::uint32_t offset, std::uint32_t *value) const {
    switch (offset) {
    case DR:
        *value = rx_.empty()
                     ? DR_EMPTY_READ
                     : rx_.front().byte | static_cast<std::uint32_t>(rx_.front().errors) << 8;
        return true;
    case RSR_ECR:
        *value = rsr_;
        return true;
    case FR:
        *value = flags();
        return true;
    case IBRD:
        *value = ibrd_;
        return true;
    case FBRD:
        *value = fbrd_;
        return true;
    case LCR_H:
        *value = lcr_h_;
        return true;
    case CR:
        *value = cr_;
        return true;
    default:
        if (offset >= ID_FIRST && offset <= ID_LAST && offset % 4 == 0) {
            *value = ID_BYTES[(offset - ID_FIRST) / 4];
            return true;
        }
        return false;
    }
}

bool Pl011::read(std::uint32_t offset, std::uint32_t *value) {
    if (!peek(offset, value))
        return false;
    if (offset == DR && !rx_.empty()) {
        // As on the real part, framing, parity and break errors reach RSR when the
        // byte that carries them is read; overrun is flagged when it happens.
        rsr_ |= rx_.front().errors & (ERR_FE | ERR_PE | ERR_BE);
        rx_.pop_front();
    }
    return true;
}

bool Pl011::write(std::uint32_t offset, std::uint32_t value) {
    switch (offset) {
    case DR:
        // A byte written to a full FIFO is lost.
        if (tx_.size() < depth())
            tx_.push_back(static_cast<std::uint8_t>(value));
        kick();
        return true;
    case RSR_ECR:
        rsr_ = 0;
        return true;
    case FR:
        return true; // read only
    case IBRD:
        ibrd_ = value & 0xFFFF;
        kick();
        return true;
    case FBRD:
        fbrd_ = value & 0x3F;
        return true;
    case LCR_H:
        // The FIFOs keep their contents when FEN changes; with FEN clear a FIFO
        // holding more than one byte takes no new one until it has drained.
        lcr_h_ = value & 0xFF;
        return true;
    case CR:
        cr_ = value & 0xFFFF;
        kick();
        return true;
    default:
        return offset >= ID_FIRST && offset <= ID_LAST && offset % 4 == 0;
    }
}

// Moves the next byte into the shift register when the transmitter is free.
// The format and rate in force when its start bit begins apply to the whole frame.
void Pl011::kick() {
    if (shifting_ || tx_.empty() || !tx_enabled())
        return;
    std::uint8_t byte = tx_.front();
    tx_.pop_front();
    shifting_ = true;
    FrameFormat fmt = format();
    Nanos start = now();
    events_.schedule(start + fmt.byte_time(), [this, byte, fmt, start] {
        shifting_ = false;
        deliver_(byte, fmt, start);
        kick();
    });
}

void Pl011::receive(std::uint8_t byte, const FrameFormat &sent_as) {
    if (!rx_enabled())
        return;
    Received r = receive_as(byte, sent_as, format());
    std::uint8_t errors =
        static_cast<std::uint8_t>((r.framing_error ? ERR_FE : 0) | (r.parity_error ? ERR_PE : 0));
    if (rx_.size() >= depth()) {
        // Overrun: the new byte is dropped; the newest byte kept carries the flag.
        rsr_ |= ERR_OE;
        rx_.back().errors |= ERR_OE;
        return;
    }
    rx_.push_back({r.byte, errors});
}

} // namespace sim
