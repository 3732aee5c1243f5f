#include "sim/board/modbus_slave.h"

#include "sim/board/info.h"
#include "sim/board/model_choices.h"
#include "sim/board/msp430.h"
#include "sim/text_util.h"

namespace sim::board {
namespace {

constexpr std::uint8_t FN_READ_HOLDING = 0x03;
constexpr std::uint8_t EXCEPTION_FLAG = 0x80;
constexpr std::uint8_t ILLEGAL_FUNCTION = 0x01;
constexpr std::uint8_t ILLEGAL_DATA_ADDRESS = 0x02;

} // namespace

std::string modbus_ascii(const std::vector<std::uint8_t> &message) {
    return std::string(":").append(hex_with_sum(message)).append("\r\n");
}

void ModbusSlave::on_char(std::uint8_t c) {
    if (c == ':') {
        line_.clear();
        line_.push_back(':');
        return;
    }
    if (line_.empty())
        return; // waiting for the start of a line
    line_ += static_cast<char>(c);
    if (line_.size() > MODBUS_LINE_MAX) {
        line_.clear();
        return;
    }
    if (c != '\n')
        return;
    std::string line = line_;
    line_.clear();
    // ":" pairs of hex digits, CR LF.
    if (line.size() < 1 + 2 * 3 + 2 || line[line.size() - 2] != '\r' || (line.size() - 3) % 2 != 0)
        return;
    std::vector<std::uint8_t> bytes;
    if (!hex_bytes(line, 1, line.size() - 2, &bytes))
        return;
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    if ((sum & 0xFF) != 0)
        return; // wrong LRC: ignored
    bytes.pop_back();
    if (bytes[0] != MODBUS_SLAVE)
        return; // another slave's (or a broadcast)
    request(bytes);
}

void ModbusSlave::request(const std::vector<std::uint8_t> &m) {
    std::uint8_t fn = m[1];
    if (fn != FN_READ_HOLDING) {
        reply({MODBUS_SLAVE, static_cast<std::uint8_t>(fn | EXCEPTION_FLAG), ILLEGAL_FUNCTION});
        return;
    }
    if (m.size() != 6)
        return; // not a read request at all
    unsigned reg = static_cast<unsigned>(m[2] << 8 | m[3]);
    unsigned quantity = static_cast<unsigned>(m[4] << 8 | m[5]);
    if (quantity != 1 || reg < 1 || reg > 3) {
        reply({MODBUS_SLAVE, static_cast<std::uint8_t>(fn | EXCEPTION_FLAG), ILLEGAL_DATA_ADDRESS});
        return;
    }
    Descriptor d = read_descriptor(chip_.state().main);
    std::uint16_t value = reg == 1   ? static_cast<std::uint16_t>(d.version >> 16)
                          : reg == 2 ? static_cast<std::uint16_t>(d.version & 0xFFFF)
                                     : d.config;
    reply({MODBUS_SLAVE, fn, 0x02, static_cast<std::uint8_t>(value >> 8),
           static_cast<std::uint8_t>(value & 0xFF)});
}

void ModbusSlave::reply(const std::vector<std::uint8_t> &message) {
    const Faults &faults = chip_.state().faults;
    if (faults.modbus_silent)
        return;
    std::string text = modbus_ascii(message);
    if (faults.modbus_short && text.size() > MODBUS_SHORT_LENGTH)
        text.resize(MODBUS_SHORT_LENGTH);
    chip_.send(std::vector<std::uint8_t>(text.begin(), text.end()), format_8n1(),
               now() + MODBUS_REPLY_DELAY);
}

} // namespace sim::board
