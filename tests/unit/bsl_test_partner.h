// A small bootstrap loader on the far side of a simulated port, for the loader
// client's tests: it records every byte the controller puts on the line, splits
// them into SYNC bytes and frames, and answers them from a script (by default
// like a well-behaved loader with 64 KB of memory).
#pragma once

#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/line.h"
#include "sim/platform_sim.h"
#include "tests/support/port_row.h"
#include "updater/port/uart.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bsl_test {

constexpr std::uint8_t ACK = 0x90;
constexpr std::uint8_t NAK = 0xA0;

struct Frame {
    std::vector<std::uint8_t> bytes;
    std::uint8_t cmd() const { return bytes.size() > 1 ? bytes[1] : 0; }
    std::uint16_t address() const {
        return bytes.size() > 5 ? static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8) : 0;
    }
};

class LoaderPartner : public sim::LinePartner {
  public:
    explicit LoaderPartner(int port) : port_(port) {
        memory.fill(0);
        // The chip's identification: an F149 with loader 1.10.
        memory[0x0FF0] = 0xF1;
        memory[0x0FF1] = 0x49;
        set_version(0x0110);
    }
    // The loader version in the identification (BCD).
    void set_version(std::uint16_t version) {
        memory[0x0FFA] = static_cast<std::uint8_t>(version >> 8);
        memory[0x0FFB] = static_cast<std::uint8_t>(version & 0xFF);
    }

    // Every byte received, in order.
    std::vector<std::uint8_t> line;
    // Complete frames received (SYNC bytes left out).
    std::vector<Frame> frames;
    int syncs = 0;
    std::array<std::uint8_t, 0x10000> memory;

    // Answer to a SYNC (empty: silence).
    std::vector<std::uint8_t> sync_answer{ACK};
    // Answer to a frame; the default acts on it like a loader.
    std::function<std::vector<std::uint8_t>(const Frame &)> answer;
    // Frames of command `cmd` get `reply`, the others the loader's answer.
    void answer_to(std::uint8_t cmd, std::vector<std::uint8_t> reply) {
        answer = [this, cmd, reply](const Frame &f) { return f.cmd() == cmd ? reply : act(f); };
    }
    // The loader's answers, with the bits `flip` of byte `at` flipped in the
    // answers to command `cmd` that are long enough to have it.
    void corrupt_answer(std::uint8_t cmd, std::size_t at, std::uint8_t flip) {
        answer = [this, cmd, at, flip](const Frame &f) {
            std::vector<std::uint8_t> out = act(f);
            if (f.cmd() == cmd && at < out.size())
                out[at] ^= flip;
            return out;
        };
    }
    // Delay between the last byte received and the first byte of the answer.
    sim::Nanos answer_delay = 100 * sim::NS_PER_US;

    void on_byte(std::uint8_t byte, const sim::FrameFormat &fmt, sim::Nanos) override {
        fmt_ = fmt;
        line.push_back(byte);
        if (pending_.empty()) {
            if (byte == 0x80 && !in_frame_) {
                // SYNC, or the header of the frame that follows one.
                if (expect_frame_) {
                    pending_.push_back(byte);
                    in_frame_ = true;
                    return;
                }
                ++syncs;
                expect_frame_ = sync_answer.size() == 1 && sync_answer[0] == ACK;
                send(sync_answer);
                return;
            }
            return; // a stray byte
        }
        pending_.push_back(byte);
        if (pending_.size() >= 4) {
            std::size_t total = static_cast<std::size_t>(pending_[2]) + 6;
            if (pending_.size() == total) {
                Frame f{pending_};
                pending_.clear();
                in_frame_ = false;
                expect_frame_ = false;
                frames.push_back(f);
                send(answer ? answer(f) : act(f));
            }
        }
    }

    // What a loader does with a frame: writes and reads memory, ACKs the rest.
    std::vector<std::uint8_t> act(const Frame &f) {
        const auto &b = f.bytes;
        if (f.cmd() == 0x12) {
            for (std::size_t i = 8; i + 2 < b.size(); ++i)
                memory[(f.address() + i - 8) & 0xFFFF] = b[i];
            return {ACK};
        }
        if (f.cmd() == 0x14) {
            int n = b[6];
            std::vector<std::uint8_t> out{0x80, 0x00, static_cast<std::uint8_t>(n),
                                          static_cast<std::uint8_t>(n)};
            for (int i = 0; i < n; ++i)
                out.push_back(memory[(f.address() + i) & 0xFFFF]);
            out.push_back(0);
            out.push_back(0);
            return out;
        }
        return {ACK};
    }

  private:
    void send(const std::vector<std::uint8_t> &bytes) {
        sim::Nanos at = sim::now() + answer_delay;
        for (auto b : bytes)
            sim::partner_send(port_, b, fmt_, at);
    }

    int port_;
    sim::FrameFormat fmt_ = sim::format_8e1();
    std::vector<std::uint8_t> pending_;
    bool in_frame_ = false;
    bool expect_frame_ = false;
};

// A fresh controller with the partner on `port` and the port's UART set up for
// the loader.
inline void start(LoaderPartner &partner, int port) {
    sim::reset_clock();
    sim::controller_reset();
    sim::clear_log();
    sim::attach_partner(port, &partner);
    uart_init_bsl(port_row(port));
}

inline void stop(int port) {
    sim::attach_partner(port, nullptr);
}

// The messages logged so far, as "LEVEL TEXT" with LEVEL err, warn, info, ...
inline std::vector<std::string> log() {
    std::vector<std::string> out;
    for (const auto &l : sim::log_lines())
        out.push_back(std::string(sim::level_name(l.level)) + " " + l.text);
    return out;
}

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

} // namespace bsl_test
