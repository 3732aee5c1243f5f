// The PL011 UART of the simulated controller: register file, FIFOs, flags,
// receive errors and the wire timing that follows from the divisor and the
// UART's reference clock.
#pragma once

#include "sim/clock.h"
#include "sim/line.h"

#include <cstdint>
#include <deque>
#include <functional>

namespace sim {

namespace pl011 {
constexpr std::uint32_t DR = 0x00;
constexpr std::uint32_t RSR_ECR = 0x04;
constexpr std::uint32_t FR = 0x18;
constexpr std::uint32_t IBRD = 0x24;
constexpr std::uint32_t FBRD = 0x28;
constexpr std::uint32_t LCR_H = 0x2C;
constexpr std::uint32_t CR = 0x30;
constexpr std::uint32_t ID_FIRST = 0xFE0; // PeriphID0..3, CellID0..3
constexpr std::uint32_t ID_LAST = 0xFFC;

// Flag register.
constexpr std::uint32_t FR_BUSY = 0x08;
constexpr std::uint32_t FR_RXFE = 0x10;
constexpr std::uint32_t FR_TXFF = 0x20;
constexpr std::uint32_t FR_RXFF = 0x40;
constexpr std::uint32_t FR_TXFE = 0x80;

// Line control.
constexpr std::uint32_t LCR_PEN = 0x02;
constexpr std::uint32_t LCR_EPS = 0x04;
constexpr std::uint32_t LCR_STP2 = 0x08;
constexpr std::uint32_t LCR_FEN = 0x10;
constexpr std::uint32_t LCR_WLEN_SHIFT = 5;

// Control.
constexpr std::uint32_t CR_UARTEN = 0x001;
constexpr std::uint32_t CR_TXE = 0x100;
constexpr std::uint32_t CR_RXE = 0x200;

// Receive error flags: RSR bits, and the same bits shifted by 8 in DR.
constexpr std::uint8_t ERR_FE = 0x01;
constexpr std::uint8_t ERR_PE = 0x02;
constexpr std::uint8_t ERR_BE = 0x04;
constexpr std::uint8_t ERR_OE = 0x08;
} // namespace pl011

class Pl011 {
  public:
    // Called when a byte has left the wire: the clock stands at the end of its
    // last stop bit, `start` is when its start bit began.
    using Deliver = std::function<void(std::uint8_t byte, const FrameFormat &fmt, Nanos start)>;

    Pl011(double ref_clock_hz, Deliver deliver);

    // Power-on state; bytes in flight are forgotten.
    void reset();

    // Register access at an offset from the base.  False when there is no
    // register at that offset.  `peek` reads without side effects.
    bool read(std::uint32_t offset, std::uint32_t *value);
    bool peek(std::uint32_t offset, std::uint32_t *value) const;
    bool write(std::uint32_t offset, std::uint32_t value);

    // A frame sent as `sent_as` by the far end has just ended on the wire.
    void receive(std::uint8_t byte, const FrameFormat &sent_as);

    // The frame format and rate the UART is set to.
    FrameFormat format() const;
    bool tx_enabled() const;
    bool rx_enabled() const;
    std::size_t tx_count() const { return tx_.size(); }
    std::size_t rx_count() const { return rx_.size(); }
    bool shifting() const { return shifting_; }

  private:
    struct RxEntry {
        std::uint8_t byte;
        std::uint8_t errors;
    };

    std::size_t depth() const;
    std::uint32_t flags() const;
    void kick();

    double ref_clock_hz_;
    Deliver deliver_;
    std::deque<std::uint8_t> tx_;
    std::deque<RxEntry> rx_;
    bool shifting_ = false;
    std::uint8_t rsr_ = 0;
    std::uint32_t ibrd_ = 0;
    std::uint32_t fbrd_ = 0;
    std::uint32_t lcr_h_ = 0;
    std::uint32_t cr_ = 0;
    EventScope events_; // the byte on the wire; a reset retires it
};

} // namespace sim
