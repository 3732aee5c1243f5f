// Holding-register reads, the firmware version and the configuration text,
// against a MODBUS slave scripted on the far side of PORT1.
#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/platform_sim.h"
#include "sim/scripted_partners.h"
#include "tests/support/port_row.h"
#include "updater/modbus/modbus.h"
#include "updater/port/uart.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

std::vector<std::uint8_t> bytes_of(const std::string &s) {
    return {s.begin(), s.end()};
}

// ":030302" value LRC CR LF, upper case.
std::string value_reply(std::uint16_t value) {
    unsigned sum = 3 + 3 + 2 + (value >> 8) + (value & 0xFF);
    char buf[32];
    std::snprintf(buf, sizeof buf, ":030302%04X%02X\r\n", value, (0x100u - (sum & 0xFF)) & 0xFF);
    return buf;
}

// Slave 3 on PORT1: collects request lines and answers each register from
// `replies` (raw text) 2 ms after the line feed; a register without an entry
// gets no answer.
class Slave : public sim::ScriptedPartner {
  public:
    Slave() : sim::ScriptedPartner(1, sim::format_8n1()) {
        on_receive = [this](sim::ScriptedPartner &, const sim::ReceivedByte &r) {
            line_ += static_cast<char>(r.byte);
            if (r.byte != '\n')
                return;
            requests.push_back(line_);
            line_.clear();
            unsigned reg = 0;
            if (std::sscanf(requests.back().c_str(), ":0303%4X", &reg) != 1)
                return;
            auto it = replies.find(static_cast<std::uint16_t>(reg));
            if (it == replies.end())
                return;
            last_reply_end = sim::now() + 2 * sim::NS_PER_MS + it->second.size() * fmt.byte_time();
            send(bytes_of(it->second), sim::now() + 2 * sim::NS_PER_MS);
        };
    }
    void set(std::uint16_t reg, std::uint16_t value) { replies[reg] = value_reply(value); }

    std::map<std::uint16_t, std::string> replies;
    std::vector<std::string> requests;
    sim::Nanos last_reply_end = 0;

  private:
    std::string line_;
};

class Modbus : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset_clock();
        sim::controller_reset();
        sim::clear_log();
        sim::attach_partner(1, &slave);
        uart_init_modbus(port_row(1));
    }
    void TearDown() override { sim::attach_partner(1, nullptr); }

    static bool logged(int level, const std::string &text) {
        for (const auto &l : sim::log_lines())
            if (l.level == level && l.text == text)
                return true;
        return false;
    }
    static bool logged_prefix(int level, const std::string &prefix) {
        for (const auto &l : sim::log_lines())
            if (l.level == level && l.text.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
    std::string config_text(std::uint16_t value, int space = 128) {
        slave.set(MODBUS_REG_CONFIG, value);
        char text[128];
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(read_config_string(port_row(1), text, space), 0);
        EXPECT_LT(std::strlen(text), static_cast<std::size_t>(space));
        for (std::size_t i = static_cast<std::size_t>(space); i < sizeof text; ++i)
            EXPECT_EQ(text[i], '#') << "byte " << i << " beyond the space";
        return text;
    }

    Slave slave;
};

TEST_F(Modbus, RequestFramesOnTheLine) {
    slave.set(1, 0x0001);
    slave.set(2, 0x0203);
    slave.set(3, 0x01F3);
    std::uint32_t version = 0;
    char text[128];
    EXPECT_EQ(read_fw_version(port_row(1), &version), 0);
    EXPECT_EQ(read_config_string(port_row(1), text, sizeof text), 0);
    std::uint16_t v = 0;
    EXPECT_EQ(read_holding_reg(port_row(1), 0x1234, &v, 5000), -2);

    ASSERT_EQ(slave.requests.size(), 4u);
    EXPECT_EQ(slave.requests[0], ":030300010001F8\r\n");
    EXPECT_EQ(slave.requests[1], ":030300020001F7\r\n");
    EXPECT_EQ(slave.requests[2], ":030300030001F6\r\n");
    EXPECT_EQ(slave.requests[3], ":030312340001B3\r\n");

    // 8N1, with at least 1.5 ms between the starts of two bytes.
    for (std::size_t i = 0; i < slave.received.size(); ++i) {
        EXPECT_FALSE(slave.received[i].fmt.parity);
        if (i > 0 && i % 17 != 0) {
            EXPECT_GE(slave.received[i].start - slave.received[i - 1].start, 1500 * sim::NS_PER_US);
        }
    }
}

TEST_F(Modbus, VersionFromRegistersOneAndTwo) {
    slave.set(1, 0x0001);
    slave.set(2, 0x0203);
    std::uint32_t version = 0;
    EXPECT_EQ(read_fw_version(port_row(1), &version), 0);
    EXPECT_EQ(version, 0x00010203u);
    EXPECT_EQ(read_fw_version(port_row(1), nullptr), 0);

    slave.set(1, 0xFEDC);
    slave.set(2, 0xBA98);
    EXPECT_EQ(read_fw_version(port_row(1), &version), 0);
    EXPECT_EQ(version, 0xFEDCBA98u);
    EXPECT_TRUE(sim::log_lines().empty());
}

TEST_F(Modbus, SilentSecondRegisterLeavesTheVersionAlone) {
    slave.set(1, 0x0001);
    std::uint32_t version = 0xDEADBEEF;
    EXPECT_EQ(read_fw_version(port_row(1), &version), -1);
    EXPECT_EQ(version, 0xDEADBEEFu);
    EXPECT_EQ(slave.requests.size(), 2u);
    EXPECT_TRUE(logged_prefix(LOG_WARNING, "uart_recv_packet: timeout = "));
    EXPECT_TRUE(logged(LOG_ERR, "read_holding_reg: UART receive MODBUS packet failed: -2"));

    // The second register is waited for with the smaller budget: 1000 empty
    // passes, well below what 5000 would take.
    sim::Nanos waited = sim::now() - slave.received.back().end;
    sim::Nanos pass = sim::access_cost() + sim::NS_PER_US;
    EXPECT_GE(waited, 1000 * sim::NS_PER_US);
    EXPECT_LT(waited, 5000 * pass / 2);
}

TEST_F(Modbus, ReplyDigitsInEitherCase) {
    slave.replies[3] = ":03030201f304\r\n";
    std::uint16_t v = 0;
    EXPECT_EQ(read_holding_reg(port_row(1), 3, &v, 5000), 0);
    EXPECT_EQ(v, 0x01F3);
    // Only characters 7 to 10 count: a wrong LRC or slave goes unnoticed.
    slave.replies[3] = ":090302ABCD00\r\n";
    EXPECT_EQ(read_holding_reg(port_row(1), 3, &v, 5000), 0);
    EXPECT_EQ(v, 0xABCD);
    // Characters other than hex digits decode to something, without a word.
    slave.replies[3] = ":030302G/~ 00\r\n";
    EXPECT_EQ(read_holding_reg(port_row(1), 3, &v, 5000), 0);
    EXPECT_EQ(v, 0x0879);
    EXPECT_TRUE(sim::log_lines().empty());
    // No holder: the read still succeeds.
    EXPECT_EQ(read_holding_reg(port_row(1), 3, nullptr, 5000), 0);
}

TEST_F(Modbus, ShortAndExceptionRepliesFailAfterTheIdleTimeout) {
    for (const char *reply : {":03030201F3", ":03830278\r\n"}) {
        SCOPED_TRACE(reply);
        sim::clear_log();
        slave.replies[3] = reply;
        std::uint16_t v = 0x5555;
        EXPECT_EQ(read_holding_reg(port_row(1), 3, &v, 5000), -2);
        EXPECT_EQ(v, 0x5555);
        EXPECT_TRUE(logged(LOG_WARNING, "uart_recv_packet: timeout = 0, pos = 11, *packet_len=15"));
        EXPECT_TRUE(logged(LOG_ERR, "read_holding_reg: UART receive MODBUS packet failed: -2"));
        // 5000 passes of at least 1 us each after the last character.
        EXPECT_GE(sim::now() - slave.last_reply_end, 5000 * sim::NS_PER_US);
    }
}

TEST_F(Modbus, StuckTransmitterFailsTheSend) {
    // Transmitter off: the FIFO fills and never drains.
    sim::poke(0xD0000030, 0x201, 16);
    slave.set(3, 0x01F3);
    std::uint16_t v = 0x1111;
    EXPECT_EQ(read_holding_reg(port_row(1), 3, &v, 5000), -1);
    EXPECT_EQ(v, 0x1111);
    EXPECT_TRUE(logged(LOG_ERR, "read_holding_reg: UART send MODBUS packet failed: -2"));
}

TEST_F(Modbus, ConfigurationTexts) {
    struct Case {
        std::uint16_t value;
        const char *text;
    };
    const Case cases[] = {
        {0x01F3, "1a2a3b4b5b6b7o"},
        {0x0177, "1a2a3c4b5b6b7o"},
        {0x01E7, "1a2a3c4b5b6b7o"},
        {0x013F, "1a2a3c4c5b6b7o"},
        {0x060C, "1c2c3f (bidir)"},
        {0x07FF, "1a2a3c4c5b6b7b8b9o10f (bidir)"},
        {0x0000, ""},
        {0x0400, " (bidir)"},
        {0xF1F3, "1a2a3b4b5b6b7o"},
        {0xF800, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(config_text(c.value), c.text) << std::hex << c.value;
}

// The pieces a file name must not go on with after the board's text.
TEST(ConfigPiece, NumberAndLetterOrBidir) {
    const struct {
        const char *s;
        int length;
    } cases[] = {
        {"1a2a", 2}, {"10f", 3}, {"7o_r2", 2}, {" (bidir).hex", 8}, {".hex", 0}, {"_r2", 0},
        {"2x", 0},   {"12", 0},  {"", 0},      {" (bidi", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(config_piece(c.s), c.length) << c.s;
}

// A piece goes in only while the total, this piece included, stays below the
// space; after the first piece left out, none follows.
TEST_F(Modbus, ConfigurationTextIsCutAtPieceBoundaries) {
    struct Case {
        std::uint16_t value;
        int space;
        const char *text;
    };
    const Case cases[] = {
        {0x01F3, 8, "1a2a3b"},
        {0x01F3, 9, "1a2a3b4b"},
        {0x01F3, 14, "1a2a3b4b5b6b"},
        {0x01F3, 15, "1a2a3b4b5b6b7o"},
        {0x07FF, 29, "1a2a3c4c5b6b7b8b9o10f"},
        {0x07FF, 30, "1a2a3c4c5b6b7b8b9o10f (bidir)"},
        {0x07FF, 21, "1a2a3c4c5b6b7b8b9o"},
        {0x0400, 8, ""},
        {0x0400, 9, " (bidir)"},
        {0x01F3, 1, ""},
        {0x01F3, 2, ""},
        {0x01F3, 3, "1a"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(config_text(c.value, c.space), c.text)
            << std::hex << c.value << std::dec << " in " << c.space;
}

TEST_F(Modbus, ConfigurationTextFailuresLeaveTheBuffer) {
    char text[16] = "previous";
    EXPECT_EQ(read_config_string(port_row(1), nullptr, 128), -2);
    EXPECT_TRUE(slave.received.empty());
    EXPECT_TRUE(sim::log_lines().empty());

    // Register 3 does not answer: the text is not even emptied.
    EXPECT_EQ(read_config_string(port_row(1), text, sizeof text), -1);
    EXPECT_STREQ(text, "previous");
    EXPECT_EQ(slave.requests.size(), 1u);

    // A buffer that offers no byte at all is not written.
    slave.set(3, 0x01F3);
    char none[1] = {'X'};
    EXPECT_EQ(read_config_string(port_row(1), none, 0), 0);
    EXPECT_EQ(none[0], 'X');
}

} // namespace
