#include "sim/scripted_partners.h"

#include "sim/controller/controller.h"

#include <utility>

namespace sim {

std::vector<std::uint8_t> RecorderPartner::bytes() const {
    std::vector<std::uint8_t> out;
    out.reserve(received.size());
    for (const auto &r : received)
        out.push_back(r.byte);
    return out;
}

Nanos RecorderPartner::send(std::span<const std::uint8_t> data, Nanos earliest) {
    Nanos first = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        Nanos start = partner_send(port, data[i], fmt, earliest);
        if (i == 0)
            first = start;
    }
    return first;
}

void RecorderPartner::on_byte(std::uint8_t byte, const FrameFormat &f, Nanos start) {
    received.push_back({byte, f, start, now()});
    react(received.back());
}

void RecorderPartner::on_lines(bool a, bool b, Nanos when) {
    lines.push_back({a, b, when});
}

void EchoPartner::react(const ReceivedByte &r) {
    partner_send(port, r.byte, same_format ? r.fmt : fmt, now() + delay);
}

void ScriptedPartner::answer_after(std::size_t k, std::vector<std::uint8_t> reply, Nanos delay,
                                   std::optional<FrameFormat> as) {
    rules_.push_back({k == 0 ? 1 : k, std::move(reply), delay, as});
}

void ScriptedPartner::answer_each(std::vector<std::uint8_t> reply, Nanos delay,
                                  std::optional<FrameFormat> as) {
    rules_.push_back({0, std::move(reply), delay, as});
}

void ScriptedPartner::react(const ReceivedByte &r) {
    for (const auto &rule : rules_) {
        if (rule.k != 0 && rule.k != received.size())
            continue;
        const FrameFormat &f = rule.as ? *rule.as : fmt;
        for (auto b : rule.reply)
            partner_send(port, b, f, now() + rule.delay);
    }
    if (on_receive)
        on_receive(*this, r);
}

} // namespace sim
