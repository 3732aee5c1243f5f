// The serial driver against the simulated controller: register steps of the
// line set-ups, budget edges of every wait, what is consumed and what stays in
// the FIFO, the port check, the pause before each byte of a packet, the
// frame formats as the far end sees them, and the wait behind every pause and
// pass on each kind of kernel.
#include "sim/scripted_partners.h"
#include "sim/world.h"
#include "tests/support/port_row.h"
#include "tests/support/regmap.h"
#include "tests/support/sim_controller.h"
#include "updater/port/mem.h"
#include "updater/port/uart.h"
#include "updater/port/wait.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

constexpr sim::Nanos US = sim::NS_PER_US, MS = sim::NS_PER_MS;
using regmap::UART1;
using regmap::UART2;
constexpr double BAUD1 = 48e6 / (16 * regmap::IBRD_PORT1), BAUD2 = 83e6 / (16 * regmap::IBRD_PORT2);
constexpr std::uint8_t ACK = 0x90, NAK = 0xA0;

using sim_test::Access;
using sim_test::accesses;
using sim_test::count;

class UartDriver : public ::testing::Test {
  protected:
    sim::ScriptedPartner far1{1, sim::format_8e1(BAUD1)};
    sim::ScriptedPartner far2{2, sim::format_8e1(BAUD2)};

    void SetUp() override { sim_test::start_controller(&far1, &far2); }
    void TearDown() override { sim_test::stop_controller(); }

    sim::ScriptedPartner &far(int port) { return port == 1 ? far1 : far2; }

    static std::vector<std::string> log_texts() {
        std::vector<std::string> out;
        for (const auto &l : sim::log_lines())
            out.push_back(l.text);
        return out;
    }
};

TEST_F(UartDriver, LineSetUpsProgramDivisorFormatAndControlInOrder) {
    struct Case {
        int port;
        bool bsl;
        std::uint32_t base;
        std::uint32_t ibrd;
        std::uint32_t lcr_h;
    };
    const Case cases[] = {{1, true, UART1, 312, 0x76},
                          {2, true, UART2, 538, 0x76},
                          {1, false, UART1, 312, 0x70},
                          {2, false, UART2, 538, 0x70}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << (c.bsl ? " bsl" : " modbus"));
        sim::trace_capture(true);
        EXPECT_EQ(c.bsl ? uart_init_bsl(port_row(c.port)) : uart_init_modbus(port_row(c.port)), 0);
        std::vector<Access> t = accesses();
        ASSERT_EQ(t.size(), 6u);
        const struct {
            char dir;
            int width;
            std::uint32_t off;
        } steps[] = {{'W', 16, 0x24}, {'W', 16, 0x2C}, {'R', 16, 0x30},
                     {'W', 16, 0x30}, {'R', 16, 0x30}, {'W', 8, 0x04}};
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(t[i].dir, steps[i].dir) << i;
            EXPECT_EQ(t[i].width, steps[i].width) << i;
            EXPECT_EQ(t[i].address, c.base + steps[i].off) << i;
        }
        EXPECT_EQ(t[0].value, c.ibrd);
        EXPECT_EQ(t[1].value, c.lcr_h);
        EXPECT_EQ(t[3].value, 0x301u);
        EXPECT_EQ(t[5].value, 0u);
        sim::UartState s = sim::uart_state(c.base == UART1 ? 1 : 2);
        EXPECT_EQ(s.format.parity, c.bsl);
        EXPECT_TRUE(s.tx_enabled && s.rx_enabled);
    }
}

// The far end hears 8E1 after the loader set-up and 8N1 after the MODBUS one;
// a byte sent in the other format arrives errored and the status shows it
// until a set-up clears the flags.
TEST_F(UartDriver, FrameFormatsOnTheWireAndMismatchedBytesAreErrored) {
    const std::uint8_t byte[] = {0x3A};
    uart_init_bsl(port_row(1));
    ASSERT_EQ(uart_send_packet(port_row(1), byte, 1, 5000), 0);
    uart_init_modbus(port_row(2));
    ASSERT_EQ(uart_send_packet(port_row(2), byte, 1, 5000), 0);
    sim::advance(5 * MS);
    ASSERT_EQ(far1.received.size(), 1u);
    EXPECT_TRUE(far1.received[0].fmt.parity && far1.received[0].fmt.even);
    EXPECT_EQ(far1.received[0].byte, 0x3A);
    ASSERT_EQ(far2.received.size(), 1u);
    EXPECT_FALSE(far2.received[0].fmt.parity);
    EXPECT_EQ(far2.received[0].byte, 0x3A);

    // Matching format: clean byte, no error flags.
    std::uint8_t status = 0xEE;
    far1.send({0x55});
    sim::advance(5 * MS);
    EXPECT_EQ(uart_read_status(port_row(1), 0, &status), 0);
    EXPECT_EQ(status, 0x00);
    std::uint8_t buf[4] = {};
    int len = 1;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, &len, 100), 0);
    EXPECT_EQ(buf[0], 0x55);

    // 8N1 bytes into the 8E1 receiver (and 8E1 into 8N1).  The status shows a
    // byte's errors once it has been taken from the FIFO, and keeps them.
    sim::partner_send(1, 0x3A, sim::format_8n1(BAUD1));
    sim::partner_send(2, 0x3A, sim::format_8e1(BAUD2));
    sim::advance(5 * MS);
    for (int port : {1, 2}) {
        SCOPED_TRACE(port);
        status = 0;
        EXPECT_EQ(uart_read_status(port_row(port), 1, &status), 0);
        EXPECT_NE(status & 0x03, 0) << "framing or parity error expected";
        EXPECT_EQ(uart_read_status(port_row(port), 0, &status), 0);
        EXPECT_NE(status & 0x03, 0) << "the status read does not clear the flags";
    }
    uart_init_bsl(port_row(1));
    EXPECT_EQ(uart_read_status(port_row(1), 0, &status), 0);
    EXPECT_EQ(status, 0x00);
}

TEST_F(UartDriver, SendSyncBudgetAndBusyTransmitter) {
    uart_init_bsl(port_row(1));
    // A budget of 10 or less is spent by the first pass, idle transmitter or not;
    // the byte has gone out all the same.
    for (int budget : {10, 1, 0, -100}) {
        SCOPED_TRACE(budget);
        far1.clear();
        EXPECT_EQ(uart_send_sync(port_row(1), 0x80, budget), -2);
        sim::advance(2 * MS);
        EXPECT_EQ(far1.bytes(), std::vector<std::uint8_t>{0x80});
    }

    // Idle transmitter: the byte is written first, then one look finds it on
    // its way and the call is done.
    sim::trace_capture(true);
    EXPECT_EQ(uart_send_sync(port_row(1), 0x80, 20), 0);
    std::vector<Access> t = accesses();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_TRUE(t[0].dir == 'W' && t[0].address == UART1 && t[0].value == 0x80);
    EXPECT_TRUE(t[1].dir == 'R' && t[1].address == UART1 + 0x18);

    // A byte queued behind one on the wire (about 1.1 ms long) keeps BUSY set
    // and TXFE clear until the first has gone: a short budget runs out, the
    // usual one does not.
    sim::advance(2 * MS);
    EXPECT_EQ(uart_send_sync(port_row(1), 0x01, 5000), 0);
    EXPECT_EQ(uart_send_sync(port_row(1), 0x02, 200), -2); // 20 passes of 30 us: about 600 us
    sim::advance(5 * MS);
    EXPECT_EQ(uart_send_sync(port_row(1), 0x03, 5000), 0);
    EXPECT_EQ(uart_send_sync(port_row(1), 0x04, 5000), 0);
    sim::advance(5 * MS);
    std::vector<std::uint8_t> sent = far1.bytes();
    ASSERT_GE(sent.size(), 4u);
    std::vector<std::uint8_t> tail(sent.end() - 4, sent.end());
    EXPECT_EQ(tail, (std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04}));
    EXPECT_TRUE(sim::log_lines().empty()) << "a send timeout is the caller's to log";
}

TEST_F(UartDriver, RecvAckMatchingAndOtherBytesAreConsumed) {
    uart_init_bsl(port_row(1));
    far1.send({ACK});
    EXPECT_EQ(uart_recv_ack(port_row(1), ACK, 5000), 0);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 0);
    EXPECT_TRUE(sim::log_lines().empty());

    far1.send({NAK});
    EXPECT_EQ(uart_recv_ack(port_row(1), ACK, 5000), 1);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 0);
    ASSERT_EQ(sim::log_lines().size(), 1u);
    EXPECT_EQ(sim::log_lines()[0].level, LOG_WARNING);
    EXPECT_EQ(sim::log_lines()[0].text,
              "uart_recv_ack: ACK failed. Received 0xA0, but expected 0x90");
}

// Budget 5000 means 50 looks, 100 us apart; the 50th look already counts as a
// timeout, even when it sees the byte, which then stays in the FIFO.
TEST_F(UartDriver, RecvAckBudgetEdge) {
    uart_init_bsl(port_row(1));
    sim::set_access_cost(0); // looks exactly 100 us apart
    const sim::Nanos byte_time = far1.fmt.byte_time();

    sim::Nanos t0 = sim::now();
    sim::partner_send(1, ACK, far1.fmt, t0 + 4850 * US - byte_time); // before look 49
    EXPECT_EQ(uart_recv_ack(port_row(1), ACK, 5000), 0);
    EXPECT_EQ(sim::now() - t0, 4900 * US);

    t0 = sim::now();
    sim::partner_send(1, ACK, far1.fmt, t0 + 4950 * US - byte_time); // between looks 49 and 50
    EXPECT_EQ(uart_recv_ack(port_row(1), ACK, 5000), -2);
    EXPECT_EQ(sim::now() - t0, 5000 * US);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 1) << "the late byte stays unread";
    ASSERT_EQ(sim::log_lines().size(), 1u);
    EXPECT_EQ(sim::log_lines()[0].level, LOG_WARNING);
    EXPECT_EQ(sim::log_lines()[0].text, "uart_recv_ack: Timeout expired on PORT1 expecting 0x90");
    // It is the next call's byte.
    EXPECT_EQ(uart_recv_ack(port_row(1), ACK, 5000), 0);

    // The budget counts sleeps only: with the register accesses' cost the 50
    // looks take longer than 5000 us.
    sim::set_access_cost(sim::hw::DEFAULT_ACCESS_COST);
    sim::trace_capture(true);
    t0 = sim::now();
    EXPECT_EQ(uart_recv_ack(port_row(2), 0x80, 5000), -2);
    EXPECT_EQ(count(accesses(), 'R', UART2 + 0x18), 50);
    EXPECT_EQ(accesses().size(), 50u);
    EXPECT_EQ(sim::now() - t0, 50 * (100 * US + sim::hw::DEFAULT_ACCESS_COST));
    EXPECT_EQ(uart_recv_ack(port_row(1), ACK, 100), -2);
}

// Every byte of a packet, the first included, follows a pause of at least
// 1500 us; the far end sees them no closer than that.
TEST_F(UartDriver, SendPacketPausesBeforeEveryByte) {
    uart_init_bsl(port_row(2));
    const std::uint8_t data[] = {0x80, 0x10, 0x24, 0x24, 0x00, 0x00, 0x00, 0x00};
    sim::Nanos t0 = sim::now();
    EXPECT_EQ(uart_send_packet(port_row(2), data, 8, 5000), 0);
    EXPECT_GE(sim::now() - t0, 8 * 1500 * US);
    sim::advance(5 * MS);
    ASSERT_EQ(far2.received.size(), 8u);
    EXPECT_GE(far2.received[0].start - t0, 1500 * US);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(far2.received[i].byte, data[i]);
        if (i > 0) {
            EXPECT_GE(far2.received[i].start - far2.received[i - 1].start, 1500 * US) << i;
        }
    }
    EXPECT_TRUE(sim::log_lines().empty());
}

// A wait lasts at least what it asks whatever the phase of the tick and of
// the clock's step it starts at, and, unless the clock ticks too, no more
// than two of the clock's steps and a poll's few microseconds beyond it: it is
// never rounded up to ticks.
TEST_F(UartDriver, WaitsKeepTheirMinimumAndNoMoreOnEveryKernel) {
    const struct {
        int hz;
        int step_us;
        WaitMethod method;
        sim::Nanos over; // the most a wait may last beyond what it asks
    } kernels[] = {
        {0, 0, WAIT_SLEEPS, 0},
        {1000, 0, WAIT_POLLS_CLOCK, 20 * US},
        {250, 0, WAIT_POLLS_CLOCK, 20 * US},
        {100, 0, WAIT_POLLS_CLOCK, 20 * US},
        {100, 700, WAIT_POLLS_CLOCK, 1420 * US}, // a step of uncertainty at either end
        {250, 1000, WAIT_COARSE_CLOCK, 8 * MS},
        {100, 10000, WAIT_COARSE_CLOCK, 20 * MS},
    };
    for (const auto &k : kernels) {
        SCOPED_TRACE(testing::Message() << k.hz << " Hz, clock step " << k.step_us << " us");
        sim::set_kernel_hz(k.hz);
        sim::set_clock_step_us(k.step_us);
        wait_forget();
        EXPECT_EQ(wait_method(), k.method);
        // Start phases spread over a 10 ms tick and across the clock's step.
        for (sim::Nanos phase = 0; phase < 10 * MS; phase += 433 * US) {
            for (unsigned long asked : {1UL, 10UL, 100UL, 1500UL, 17200UL, 100000UL}) {
                sim::advance_to((sim::now() / (10 * MS) + 1) * 10 * MS + phase);
                sim::Nanos t0 = sim::now();
                wait_us(asked);
                sim::Nanos took = sim::now() - t0;
                EXPECT_GE(took, asked * US) << "phase " << phase;
                EXPECT_LE(took, asked * US + k.over) << "phase " << phase;
            }
        }
    }
    sim::set_kernel_hz(0);
    sim::set_clock_step_us(0);
    wait_forget();
}

TEST_F(UartDriver, SendPacketEdgeCases) {
    uart_init_bsl(port_row(1));
    // Nothing to send: no register, no time.
    sim::trace_capture(true);
    sim::Nanos t0 = sim::now();
    const std::uint8_t data[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    EXPECT_EQ(uart_send_packet(port_row(1), data, 0, 5000), 0);
    EXPECT_EQ(uart_send_packet(port_row(1), data, -3, 5000), 0);
    EXPECT_TRUE(accesses().empty());
    EXPECT_EQ(sim::now(), t0);

    // No budget: the first byte is written, then the call gives up.
    for (int budget : {0, -1}) {
        far1.clear();
        EXPECT_EQ(uart_send_packet(port_row(1), data, 3, budget), -2);
        sim::advance(5 * MS);
        EXPECT_EQ(far1.bytes(), std::vector<std::uint8_t>{1});
    }

    // A transmitter that does not drain: the FIFO fills with 16 bytes, and the
    // wait for room after the 16th runs out; nothing more is written.
    mem_write16(UART1, 0x30, 0x201); // receiver only
    sim::trace_capture(true);
    EXPECT_EQ(uart_send_packet(port_row(1), data, 20, 300), -2);
    EXPECT_EQ(sim::uart_state(1).tx_fifo, 16);
    EXPECT_EQ(count(accesses(), 'W', UART1), 16);
    EXPECT_TRUE(sim::log_lines().empty());
}

TEST_F(UartDriver, RecvPacketShortAnswerTimesOutWithWhatArrived) {
    uart_init_modbus(port_row(1));
    far1.fmt = sim::format_8n1(BAUD1);
    const std::vector<std::uint8_t> answer = {':', '0', '1', '0', '3', '0',
                                              '2', '0', '0', '2', 'A'};
    far1.send(answer);
    std::uint8_t buf[15] = {};
    int len = 15;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, &len, 5000), -2);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 11), answer);
    EXPECT_EQ(buf[11], 0);
    EXPECT_EQ(log_texts(),
              std::vector<std::string>{"uart_recv_packet: timeout = 0, pos = 11, *packet_len=15"});
    EXPECT_EQ(sim::log_lines()[0].level, LOG_WARNING);

    // The idle count starts anew after each byte: the budget covers the wait
    // for the first byte and each gap, not the whole answer.
    far1.send(std::vector<std::uint8_t>(answer.begin(), answer.begin() + 4));
    len = 4;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, &len, 60), 0);
    EXPECT_EQ(len, 4);
}

TEST_F(UartDriver, RecvPacketTakesNoMoreThanExpected) {
    uart_init_bsl(port_row(1));
    far1.send({1, 2, 3, 4, 5, 6});
    sim::advance(10 * MS);
    std::uint8_t buf[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    int len = 4;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, &len, 5000), 0);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 2);

    // Nothing expected: nothing taken, nothing stored.
    len = 0;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf + 4, &len, 5000), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 2);
    EXPECT_TRUE(sim::log_lines().empty());

    // No budget: one pass, at most one byte stored, then a timeout.
    len = 2;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, &len, 0), -2);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 1);
    len = 1;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, &len, -5), -2);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(buf[0], 6);
    len = 1;
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, &len, 0), -2);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(log_texts(),
              (std::vector<std::string>{"uart_recv_packet: timeout = 0, pos = 1, *packet_len=2",
                                        "uart_recv_packet: timeout = -5, pos = 1, *packet_len=1",
                                        "uart_recv_packet: timeout = -1, pos = 0, *packet_len=1"}));
}

TEST_F(UartDriver, RecvPacketRefusesNullPointers) {
    std::uint8_t buf[2];
    int len = 2;
    sim::trace_capture(true);
    EXPECT_EQ(uart_recv_packet(port_row(1), nullptr, &len, 5000), -1);
    EXPECT_EQ(uart_recv_packet(port_row(1), buf, nullptr, 5000), -1);
    EXPECT_TRUE(accesses().empty());
    EXPECT_EQ(log_texts(),
              (std::vector<std::string>{"uart_recv_packet: Target buffer is (nil)",
                                        "uart_recv_packet: Expected length pointer is (nil)"}));
    for (const auto &l : sim::log_lines())
        EXPECT_EQ(l.level, LOG_ERR);
}

TEST_F(UartDriver, ReadStatusDrainsOneByteOnlyWhenAsked) {
    uart_init_bsl(port_row(1));
    far1.send({0x01, 0x02});
    sim::advance(5 * MS);
    sim::trace_capture(true);
    EXPECT_EQ(uart_read_status(port_row(1), 0, nullptr), 0);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 2);
    EXPECT_EQ(uart_read_status(port_row(1), 1, nullptr), 0);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 1);
    std::vector<Access> t = accesses();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_TRUE(t[0].dir == 'R' && t[0].width == 8 && t[0].address == UART1 + 0x04);
    EXPECT_TRUE(t[1].dir == 'R' && t[1].width == 16 && t[1].address == UART1);
    EXPECT_TRUE(t[2].dir == 'R' && t[2].width == 8 && t[2].address == UART1 + 0x04);
    EXPECT_EQ(uart_read_status(port_row(1), 1, nullptr), 0);
    EXPECT_EQ(uart_read_status(port_row(1), 1, nullptr), 0); // empty FIFO: nothing to drop, no harm
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 0);
}

} // namespace
