// Ready-made far ends of a port for tests: a recorder, a silent partner, an
// echo and a partner that answers from a script.  Every one of them records
// what it receives and every change of the control lines.
#pragma once

#include "sim/clock.h"
#include "sim/line.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace sim {

struct ReceivedByte {
    std::uint8_t byte;
    FrameFormat fmt; // format and rate the controller sent it with
    Nanos start;     // start bit began
    Nanos end;       // stop bit ended
};

struct LineChange {
    bool a;
    bool b;
    Nanos when;
};

class RecorderPartner : public LinePartner {
  public:
    explicit RecorderPartner(int port = 1, FrameFormat fmt = format_8n1()) : port(port), fmt(fmt) {}

    int port;        // the port it sends to
    FrameFormat fmt; // the format it sends with

    std::vector<ReceivedByte> received;
    std::vector<LineChange> lines; // the first entry comes from plugging in

    // The received bytes alone.
    std::vector<std::uint8_t> bytes() const;
    void clear() {
        received.clear();
        lines.clear();
    }

    // Sends bytes back to back in `fmt`, the first no earlier than `earliest`.
    // Returns the start time of the first.
    Nanos send(std::span<const std::uint8_t> data, Nanos earliest = 0);
    Nanos send(std::initializer_list<std::uint8_t> data, Nanos earliest = 0) {
        return send(std::span<const std::uint8_t>(data.begin(), data.size()), earliest);
    }

    void on_byte(std::uint8_t byte, const FrameFormat &f, Nanos start) override;
    void on_lines(bool a, bool b, Nanos when) override;

  protected:
    // Called after each received byte has been recorded.
    virtual void react(const ReceivedByte &) {}
};

// Sends every byte back `delay` after it arrived: in the format it came in
// (same_format), or in `fmt`.
class EchoPartner : public RecorderPartner {
  public:
    using RecorderPartner::RecorderPartner;
    Nanos delay = 0;
    bool same_format = true;

  protected:
    void react(const ReceivedByte &r) override;
};

// Answers from a script: a reply is due `delay` after the k-th byte received
// (1 = the first, counted since plugging in or clear()), or after every byte.
// Replies go out in the rule's format, or the partner's `fmt`.
class ScriptedPartner : public RecorderPartner {
  public:
    using RecorderPartner::RecorderPartner;

    void answer_after(std::size_t k, std::vector<std::uint8_t> reply, Nanos delay,
                      std::optional<FrameFormat> as = std::nullopt);
    void answer_each(std::vector<std::uint8_t> reply, Nanos delay,
                     std::optional<FrameFormat> as = std::nullopt);
    // Free-form reaction, run after the rules for every byte received.
    std::function<void(ScriptedPartner &, const ReceivedByte &)> on_receive;

  protected:
    void react(const ReceivedByte &r) override;

  private:
    struct Rule {
        std::size_t k; // 0: after every byte
        std::vector<std::uint8_t> reply;
        Nanos delay;
        std::optional<FrameFormat> as;
    };
    std::vector<Rule> rules_;
};

} // namespace sim
