// The serial line at bit level, and the scripted partners that tests plug into
// a port.
#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/line.h"
#include "sim/scripted_partners.h"
#include "updater/port/mem.h"

#include <bit>
#include <gtest/gtest.h>

namespace {

using sim::format_8e1;
using sim::format_8n1;
using sim::FrameFormat;
using sim::receive_as;

TEST(ReceiveAs, EqualFormatsAtNearbyRatesGiveEveryByteBack) {
    // The two UART rates against the loader's nominal 9600 baud.
    for (double rx_baud : {9615.38, 9642.19}) {
        for (const FrameFormat &f : {format_8n1(9600), format_8e1(9600)}) {
            FrameFormat rx = f;
            rx.baud = rx_baud;
            for (int b = 0; b < 256; ++b) {
                auto r = receive_as(static_cast<std::uint8_t>(b), f, rx);
                ASSERT_TRUE(r.ok()) << b << " at " << rx_baud;
                ASSERT_EQ(r.byte, b);
            }
        }
    }
}

// Sent without parity into a receiver that expects it, the stop bit is taken
// for the parity bit: bytes whose even parity bit would be 0 get a parity error.
// The other way round the parity bit is taken for the stop bit: where it is 0,
// a framing error.  The data bits themselves line up either way.
TEST(ReceiveAs, ParityDisagreementFlagsExactlyTheBytesWithAnEvenCountOfOnes) {
    for (int b = 0; b < 256; ++b) {
        bool even_ones = std::popcount(static_cast<unsigned>(b)) % 2 == 0;
        auto into_8e1 =
            receive_as(static_cast<std::uint8_t>(b), format_8n1(9600), format_8e1(9615));
        EXPECT_EQ(into_8e1.parity_error, even_ones) << b;
        EXPECT_FALSE(into_8e1.framing_error) << b;
        EXPECT_EQ(into_8e1.byte, b);

        auto into_8n1 =
            receive_as(static_cast<std::uint8_t>(b), format_8e1(9600), format_8n1(9615));
        EXPECT_EQ(into_8n1.framing_error, even_ones) << b;
        EXPECT_FALSE(into_8n1.parity_error) << b;
    }
}

TEST(ReceiveAs, OddParityAndStopBitCounts) {
    FrameFormat odd = format_8e1();
    odd.even = false;
    auto r = receive_as(0x03, odd, odd);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.byte, 0x03);
    // Odd-parity sender, even-parity receiver: every byte's parity is wrong.
    EXPECT_TRUE(receive_as(0x03, odd, format_8e1()).parity_error);
    EXPECT_TRUE(receive_as(0x07, odd, format_8e1()).parity_error);

    // A second stop bit looks like idle line to a one-stop receiver, and a
    // two-stop receiver checks only the first.
    FrameFormat two_stop = format_8n1();
    two_stop.stop_bits = 2;
    EXPECT_TRUE(receive_as(0xA5, two_stop, format_8n1()).ok());
    EXPECT_TRUE(receive_as(0xA5, format_8n1(), two_stop).ok());

    // Seven data bits: the eighth is not part of the frame.
    FrameFormat seven = format_8n1();
    seven.data_bits = 7;
    auto s = receive_as(0xC1, seven, seven);
    EXPECT_TRUE(s.ok());
    EXPECT_EQ(s.byte, 0x41);
}

TEST(ReceiveAs, ARateFarOffGivesGarbage) {
    // Sampled twice as fast, the receiver sees each bit twice and the stop bit
    // lands inside the data.
    auto r = receive_as(0x55, format_8n1(9600), format_8n1(19200));
    EXPECT_EQ(r.byte, 0x66);
    EXPECT_TRUE(r.framing_error);
    // Sampled half as fast, the frame is over early and the idle line reads
    // as ones: a wrong byte that no flag betrays.
    auto slow = receive_as(0x55, format_8n1(19200), format_8n1(9600));
    EXPECT_EQ(slow.byte, 0xFF);
    EXPECT_TRUE(slow.ok());
}

class Partners : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset_clock();
        sim::controller_reset();
    }
    void TearDown() override {
        sim::attach_partner(1, nullptr);
        sim::attach_partner(2, nullptr);
    }
    // PORT1's UART at 8N1 with FIFOs.
    static void uart1_8n1() {
        mem_write16(0xD0000000, 0x24, 312);
        mem_write16(0xD0000000, 0x2C, 0x70);
        mem_write16(0xD0000000, 0x30, 0x301);
    }
    static std::uint16_t read_dr() {
        std::uint16_t v = 0;
        mem_read16(0xD0000000, 0x00, &v);
        return v;
    }
    static int rx_count() { return sim::uart_state(1).rx_fifo; }
};

TEST_F(Partners, PluggingInTellsTheLineLevels) {
    sim::advance(5 * sim::NS_PER_US);
    sim::RecorderPartner rec(1);
    sim::attach_partner(1, &rec);
    EXPECT_EQ(sim::partner(1), &rec);
    ASSERT_EQ(rec.lines.size(), 1u);
    EXPECT_TRUE(rec.lines[0].a);
    EXPECT_TRUE(rec.lines[0].b);
    EXPECT_EQ(rec.lines[0].when, 5 * sim::NS_PER_US);
    sim::attach_partner(1, nullptr);
    EXPECT_EQ(sim::partner(1), nullptr);
}

TEST_F(Partners, BytesFromThePartnerQueueBackToBack) {
    FrameFormat f = format_8n1(9600);
    sim::Nanos bt = f.byte_time();
    EXPECT_EQ(sim::partner_send(1, 0x01, f), 0u);
    EXPECT_EQ(sim::partner_send(1, 0x02, f), bt);
    // A later earliest time leaves a gap; an earlier one queues behind.
    EXPECT_EQ(sim::partner_send(1, 0x03, f, 10 * bt), 10 * bt);
    EXPECT_EQ(sim::partner_send(1, 0x04, f, 1), 11 * bt);
    // The other port's line is independent.
    EXPECT_EQ(sim::partner_send(2, 0x05, f), 0u);
}

TEST_F(Partners, EchoSendsEachByteBackInItsFormat) {
    sim::EchoPartner echo(1);
    echo.delay = 200 * sim::NS_PER_US;
    sim::attach_partner(1, &echo);
    uart1_8n1();
    mem_write16(0xD0000000, 0x00, 0x41);
    sim::advance(3 * sim::NS_PER_MS);
    ASSERT_EQ(echo.bytes(), std::vector<std::uint8_t>{0x41});
    EXPECT_EQ(read_dr(), 0x41); // no error bits
}

TEST_F(Partners, ScriptedAnswersAfterTheKthByteAndAfterEach) {
    sim::ScriptedPartner p(1, format_8n1(9600));
    p.answer_after(2, {0x90, 0x91}, 100 * sim::NS_PER_US);
    sim::attach_partner(1, &p);
    uart1_8n1();

    mem_write16(0xD0000000, 0x00, 0x80);
    sim::advance(5 * sim::NS_PER_MS);
    EXPECT_EQ(rx_count(), 0);
    mem_write16(0xD0000000, 0x00, 0x80);
    sim::advance(5 * sim::NS_PER_MS);
    ASSERT_EQ(rx_count(), 2);
    EXPECT_EQ(read_dr(), 0x90);
    EXPECT_EQ(read_dr(), 0x91);
    mem_write16(0xD0000000, 0x00, 0x80);
    sim::advance(5 * sim::NS_PER_MS);
    EXPECT_EQ(rx_count(), 0);

    // The reply starts its delay after the stop bit of the byte it answers.
    p.clear();
    p.answer_each({0xA0}, 0, format_8e1(9600));
    int seen = 0;
    p.on_receive = [&](sim::ScriptedPartner &, const sim::ReceivedByte &r) {
        ++seen;
        EXPECT_EQ(r.end - r.start, r.fmt.byte_time());
    };
    mem_write16(0xD0000000, 0x00, 0x03);
    sim::advance(5 * sim::NS_PER_MS);
    EXPECT_EQ(seen, 1);
    // Sent 8E1 into the 8N1 receiver: 0xA0 has an even count of ones, so its
    // parity bit 0 is taken as a bad stop bit.
    ASSERT_EQ(rx_count(), 1);
    EXPECT_EQ(read_dr(), 0x1A0);
}

} // namespace
