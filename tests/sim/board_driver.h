// Drives a simulated MSP430 directly, without the controller: plays line
// patterns, sends bytes as a UART at the controller's rate would, and records
// what the chip answers.  For the board model's tests.
#pragma once

#include "sim/board/bsl_frame.h"
#include "sim/board/bsl_rom_patch.h"
#include "sim/board/msp430.h"
#include "sim/clock.h"
#include "tests/support/line_pattern.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::board {

class BoardDriver {
  public:
    // The controller's PORT1 rate: 48 MHz / (16 x 312).
    static constexpr double RATE = 48e6 / (16.0 * 312.0);

    struct Sent {
        std::uint8_t byte;
        Nanos start;
    };

    explicit BoardDriver(const BoardState &state, int port = 1) : own_(port), chip(own_) {
        listen();
        chip.load(state);
        chip.on_lines(true, true, now());
    }
    // Drives a chip that lives elsewhere (a world's board), as it stands.
    explicit BoardDriver(Msp430 &other) : own_(other.port()), chip(other) { listen(); }

  private:
    Msp430 own_;
    void listen() {
        chip.set_sink([this](std::uint8_t b, const FrameFormat &, Nanos start) {
            out.push_back({b, start});
        });
    }

  public:
    Msp430 &chip;
    std::vector<Sent> out;

    void lines(bool a, bool b) { chip.on_lines(a, b, now()); }
    static void wait_us(Nanos us) { advance(us * NS_PER_US); }

    // Plays a line pattern on the chip.
    void play(std::initializer_list<line_pattern::Step> steps) {
        line_pattern::play(steps, [this](bool a, bool b) { lines(a, b); });
    }

    // The bootstrap entry pattern of the updater, with its minimum delays.
    void entry_pattern(bool release_rst_while_tck_high = false) {
        play({{true, true, 500},
              {true, false, 1000},
              {false, false, 100},
              {true, false, 100},
              {false, false, 50}});
        if (release_rst_while_tck_high)
            play({{true, false, 50}, {true, true, 5000}});
        else
            play({{false, true, 50}, {true, true, 5000}});
    }

    // Bytes on the line, back to back, in `fmt`.
    void send(const std::vector<std::uint8_t> &bytes, const FrameFormat &fmt) {
        for (std::uint8_t b : bytes) {
            Nanos start = now();
            advance(fmt.byte_time());
            chip.on_byte(b, fmt, start);
        }
    }
    void send_bsl(const std::vector<std::uint8_t> &bytes) { send(bytes, format_8e1(RATE)); }

    // What the chip sends within `wait_ms` after the bytes.
    std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t> &bytes, int wait_ms = 30,
                                       const FrameFormat &fmt = format_8e1(RATE)) {
        out.clear();
        send(bytes, fmt);
        advance(static_cast<Nanos>(wait_ms) * NS_PER_MS);
        std::vector<std::uint8_t> got;
        for (const Sent &s : out)
            got.push_back(s.byte);
        return got;
    }

    // A frame with its checksum appended.
    static std::vector<std::uint8_t> frame(std::uint8_t cmd, std::uint16_t address,
                                           std::uint16_t word,
                                           const std::vector<std::uint8_t> &data = {}) {
        auto l = static_cast<std::uint8_t>(data.size() + 4);
        // Sized once and filled: GCC 12 at -O3 takes an insert after a
        // braced initialiser for an overflow.
        std::vector<std::uint8_t> f(8 + data.size());
        f[0] = BSL_HDR;
        f[1] = cmd;
        f[2] = l;
        f[3] = l;
        f[4] = static_cast<std::uint8_t>(address);
        f[5] = static_cast<std::uint8_t>(address >> 8);
        f[6] = static_cast<std::uint8_t>(word);
        f[7] = static_cast<std::uint8_t>(word >> 8);
        std::copy(data.begin(), data.end(), f.begin() + 8);
        append_checksum(&f);
        return f;
    }

    // SYNC exchange, then the frame; the answer to the frame (the SYNC's ACK
    // left out).  An unanswered SYNC gives an empty answer.
    std::vector<std::uint8_t> command(const std::vector<std::uint8_t> &f, int wait_ms = 30) {
        std::vector<std::uint8_t> sync = exchange({BSL_SYNC}, 2);
        if (sync != ack())
            return {};
        return exchange(f, wait_ms);
    }

    static std::vector<std::uint8_t> ack() { return {BSL_ACK}; }
    static std::vector<std::uint8_t> nak() { return {BSL_NAK}; }

    std::vector<std::uint8_t> mass_erase() {
        return command(frame(CMD_MASS_ERASE, 0, ERASE_ALL_WORD));
    }
    std::vector<std::uint8_t> password(std::uint8_t fill = 0xFF) {
        return command(frame(CMD_RX_PASSWORD, 0, 0, std::vector<std::uint8_t>(32, fill)));
    }
    std::vector<std::uint8_t> password(const std::vector<std::uint8_t> &pw) {
        return command(frame(CMD_RX_PASSWORD, 0, 0, pw));
    }
    std::vector<std::uint8_t> load_pc(std::uint16_t a) { return command(frame(CMD_LOAD_PC, a, 0)); }
    std::vector<std::uint8_t> write(std::uint16_t a, const std::vector<std::uint8_t> &data) {
        return command(frame(CMD_RX_DATA, a, static_cast<std::uint16_t>(data.size()), data), 60);
    }
    // The data of a TX data block answer (empty when it is not a full answer).
    std::vector<std::uint8_t> read(std::uint16_t a, std::uint16_t n) {
        std::vector<std::uint8_t> got = command(frame(CMD_TX_DATA, a, n), 400);
        if (got.size() != n + FRAME_OVERHEAD)
            return {};
        return {got.begin() + DATA_FRAME_DATA, got.end() - CHECKSUM_SIZE};
    }

    // Entry, mass erase, patch loaded into RAM and the password given, as the
    // updater prepares a board for flashing.
    bool prepare_for_flashing() {
        entry_pattern();
        std::vector<std::uint8_t> patch(LOADER_PATCH.begin(), LOADER_PATCH.end());
        return mass_erase() == ack() && password() == ack() && load_pc(LOADER_ENTRY) == ack() &&
               password() == ack() && write(PATCH_ADDRESS, patch) == ack();
    }

    // A MODBUS ASCII request line; the reply as text.
    std::string modbus(const std::string &line, int wait_ms = 40) {
        std::vector<std::uint8_t> got = exchange(
            std::vector<std::uint8_t>(line.begin(), line.end()), wait_ms, format_8n1(RATE));
        return std::string(got.begin(), got.end());
    }
};

} // namespace sim::board
