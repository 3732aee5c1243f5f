// The loader client's frames and answers, as they appear on the simulated line.
#include "tests/support/port_row.h"
#include "tests/unit/bsl_test_partner.h"
#include "updater/bsl/bsl.h"

#include <gtest/gtest.h>

using bsl_test::ACK;
using bsl_test::bytes;
using bsl_test::LoaderPartner;
using bsl_test::NAK;

namespace {

class BslFrames : public ::testing::Test {
  protected:
    LoaderPartner partner{1};
    void SetUp() override { bsl_test::start(partner, 1); }
    void TearDown() override { bsl_test::stop(1); }

    // The SYNC byte and then the frame: what one command puts on the line.
    static std::vector<std::uint8_t> command(std::vector<std::uint8_t> frame) {
        frame.insert(frame.begin(), 0x80);
        return frame;
    }
};

TEST(BslChecksum, CoversEvenAndOddPositionsSeparately) {
    std::uint8_t empty[2] = {0, 0};
    bsl_checksum(empty, 0);
    EXPECT_EQ(empty[0], 0xFF);
    EXPECT_EQ(empty[1], 0xFF);

    std::uint8_t erase[10] = {0x80, 0x18, 0x04, 0x04, 0x00, 0x00, 0x06, 0xA5};
    bsl_checksum(erase, 8);
    EXPECT_EQ(erase[8], 0x7D);
    EXPECT_EQ(erase[9], 0x46);

    // An odd count: the last byte is at an even position and goes into CKL.
    std::uint8_t odd[5] = {0x01, 0x02, 0x04};
    bsl_checksum(odd, 3);
    EXPECT_EQ(odd[3], static_cast<std::uint8_t>(~(0x01 ^ 0x04)));
    EXPECT_EQ(odd[4], static_cast<std::uint8_t>(~0x02));
}

TEST_F(BslFrames, EveryCommandFrameByteForByte) {
    ASSERT_EQ(msp430_mass_erase(port_row(1)), 0);
    EXPECT_EQ(partner.line,
              command(bytes({0x80, 0x18, 0x04, 0x04, 0x00, 0x00, 0x06, 0xA5, 0x7D, 0x46})));

    partner.line.clear();
    ASSERT_EQ(msp430_load_pc(port_row(1), 0x0C22, 1), 0);
    EXPECT_EQ(partner.line,
              command(bytes({0x80, 0x1A, 0x04, 0x04, 0x22, 0x0C, 0x00, 0x00, 0x59, 0xED})));

    partner.line.clear();
    ASSERT_EQ(msp430_load_pc(port_row(1), 0x0220, 0), 0);
    EXPECT_EQ(partner.line,
              command(bytes({0x80, 0x1A, 0x04, 0x04, 0x20, 0x02, 0x00, 0x00, 0x5B, 0xE3})));

    partner.line.clear();
    std::uint8_t answer[200];
    ASSERT_EQ(msp430_read_memory(port_row(1), 0x0220, answer, 194), 0);
    EXPECT_EQ(partner.line,
              command(bytes({0x80, 0x14, 0x04, 0x04, 0x20, 0x02, 0xC2, 0x00, 0x99, 0xED})));

    // The password of an erased device: 32 bytes of 0xFF.
    partner.line.clear();
    ASSERT_EQ(msp430_send_passwd(port_row(1)), 0);
    std::vector<std::uint8_t> passwd = bytes({0x80, 0x10, 0x24, 0x24, 0, 0, 0, 0});
    passwd.insert(passwd.end(), 32, 0xFF);
    passwd.push_back(0x5B);
    passwd.push_back(0xCB);
    EXPECT_EQ(partner.line, command(passwd));

    partner.line.clear();
    const std::uint8_t data[3] = {0x12, 0x34, 0x56};
    ASSERT_EQ(msp430_write_memory(port_row(1), 0xC000, data, 3), 0);
    std::vector<std::uint8_t> write =
        bytes({0x80, 0x12, 0x07, 0x07, 0x00, 0xC0, 0x03, 0x00, 0x12, 0x34, 0x56});
    write.resize(13);
    bsl_checksum(write.data(), 11);
    EXPECT_EQ(partner.line, command(write));
    EXPECT_EQ(partner.memory[0xC001], 0x34);

    // The log holds the start address line of the verbose load PC only.
    EXPECT_EQ(bsl_test::log(), std::vector<std::string>{"info Starting code at 0C22:0000"});
}

TEST_F(BslFrames, DataBlockLengthLimits) {
    // No data: a 10-byte frame with L1 = L2 = 4 and LL = 0.
    ASSERT_EQ(msp430_write_memory(port_row(1), 0x0200, nullptr, 0), 0);
    ASSERT_EQ(partner.frames.size(), 1u);
    EXPECT_EQ(partner.frames[0].bytes,
              bytes({0x80, 0x12, 0x04, 0x04, 0x00, 0x02, 0x00, 0x00, 0x7B, 0xEB}));

    // 250 bytes, the loader guide's most: L1 = L2 = 254 still fits its byte.
    partner.line.clear();
    partner.answer = [](const bsl_test::Frame &) { return std::vector<std::uint8_t>{}; };
    std::vector<std::uint8_t> big(251, 0x11);
    msp430_write_memory(port_row(1), 0x0200, big.data(), 250);
    ASSERT_EQ(partner.line.size(), 1u + 260u);
    EXPECT_EQ(partner.line[3], 254);
    EXPECT_EQ(partner.line[4], 254);
    EXPECT_EQ(partner.line[7], 250);
    EXPECT_EQ(partner.line[8], 0x00);

    // 251 bytes (and reads of them) are refused before anything is sent, not
    // even SYNC: the length field would wrap.
    partner.line.clear();
    sim::clear_log();
    std::uint8_t answer[251 + 6];
    EXPECT_EQ(msp430_write_memory(port_row(1), 0x0200, big.data(), 251), -6);
    EXPECT_EQ(msp430_write_memory(port_row(1), 0x0200, big.data(), -1), -6);
    EXPECT_EQ(msp430_read_memory(port_row(1), 0x0200, answer, 251), -6);
    EXPECT_TRUE(partner.line.empty());
    EXPECT_EQ(bsl_test::log(),
              (std::vector<std::string>{
                  "err msp430_write_memory: Error building BSL write packet for 0x00000200.",
                  "err msp430_write_memory: Error building BSL write packet for 0x00000200.",
                  "err msp430_read_memory: Error building BSL read packet for 0x00000200."}));
}

TEST_F(BslFrames, LoadPcCarriesTheLowHalfOfTheAddress) {
    ASSERT_EQ(msp430_load_pc(port_row(1), 0x12345, 1), 0);
    ASSERT_EQ(partner.frames.size(), 1u);
    EXPECT_EQ(partner.frames[0].bytes[4], 0x45);
    EXPECT_EQ(partner.frames[0].bytes[5], 0x23);
    EXPECT_EQ(bsl_test::log(), std::vector<std::string>{"info Starting code at 2345:0001"});
}

TEST_F(BslFrames, RefusedCommands) {
    partner.answer = [](const bsl_test::Frame &) { return std::vector<std::uint8_t>{NAK}; };
    // The mass erase only needs an answer; any byte will do.
    EXPECT_EQ(msp430_mass_erase(port_row(1)), 0);
    EXPECT_EQ(msp430_send_passwd(port_row(1)), -9);
    EXPECT_EQ(msp430_load_pc(port_row(1), 0xC000, 0), -9);
    const std::uint8_t data[1] = {0};
    EXPECT_EQ(msp430_write_memory(port_row(1), 0xC000, data, 1), -9);
    auto log = bsl_test::log();
    std::vector<std::string> own;
    for (const auto &l : log)
        if (l.rfind("err", 0) == 0)
            own.push_back(l);
    EXPECT_EQ(own, (std::vector<std::string>{
                       "err msp430_send_passwd: ACK failed: 0x90",
                       "err msp430_load_pc: ACK(exp. 0x90) failed",
                       "err msp430_write_memory: ACK failed for BSL write at 0x0000C000"}));
}

TEST_F(BslFrames, UnansweredEraseAndSync) {
    partner.answer = [](const bsl_test::Frame &) { return std::vector<std::uint8_t>{}; };
    EXPECT_EQ(msp430_mass_erase(port_row(1)), -8);
    // The long budget: the erase waits half a second (nominal) for its answer.
    EXPECT_GE(sim::now(), 500 * sim::NS_PER_MS);
    for (const auto &l : bsl_test::log())
        EXPECT_NE(l.rfind("err", 0), 0u) << l;

    partner.frames.clear();
    partner.sync_answer.clear();
    sim::clear_log();
    EXPECT_EQ(msp430_mass_erase(port_row(1)), -9);
    EXPECT_TRUE(partner.frames.empty());
    EXPECT_EQ(partner.line.back(), 0x80);
    auto log = bsl_test::log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "err bsl_sync: ACK timeout of 5000 us reached.");

    partner.sync_answer = {NAK};
    sim::clear_log();
    EXPECT_EQ(bsl_sync(port_row(1)), -9);
    log = bsl_test::log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "err bsl_sync: Unexpected ACK(exp. 0x90) value received");
}

TEST_F(BslFrames, ShortAnswerToReadIsAFailure) {
    partner.answer = [](const bsl_test::Frame &) { return std::vector<std::uint8_t>{NAK}; };
    std::uint8_t buffer[32];
    EXPECT_EQ(msp430_read_memory(port_row(1), 0xC000, buffer, 16), -6);
    auto log = bsl_test::log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "err msp430_read_memory: UART receive packet failed: -2");
}

TEST_F(BslFrames, ReadAnswerLandsBehindTheHeader) {
    for (int i = 0; i < 4; ++i)
        partner.memory[0xC010 + i] = static_cast<std::uint8_t>(0xA0 + i);
    std::uint8_t buffer[10] = {};
    ASSERT_EQ(msp430_read_memory(port_row(1), 0xC010, buffer, 4), 0);
    EXPECT_EQ(buffer[4], 0xA0);
    EXPECT_EQ(buffer[7], 0xA3);
}

} // namespace
