// The simulated controller as the updater sees it through the register access
// interface: UART timing, FIFOs, flags and errors; the GPIO block and its
// clock; port routing; bus faults; the register trace.
#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/scripted_partners.h"
#include "sim/trace.h"
#include "tests/support/regmap.h"
#include "tests/support/sim_controller.h"
#include "updater/port/mem.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using regmap::CLK;
using regmap::GPIO;
using regmap::RAS;
using regmap::UART1;
using regmap::UART2;
constexpr std::uint16_t LCR_8N1 = regmap::LCR_H_8N1, LCR_8E1 = regmap::LCR_H_8E1;
constexpr std::uint16_t LCR_8N1_NO_FIFO = 0x60;
constexpr sim::Nanos US = sim::NS_PER_US, MS = sim::NS_PER_MS;

std::uint32_t uart_base(int port) {
    return port == 1 ? UART1 : UART2;
}

std::uint16_t rd16(std::uint32_t base, std::uint32_t off) {
    std::uint16_t v = 0xEEEE;
    mem_read16(base, off, &v);
    return v;
}
std::uint8_t rd8(std::uint32_t base, std::uint32_t off) {
    std::uint8_t v = 0xEE;
    mem_read8(base, off, &v);
    return v;
}
std::uint32_t rd32(std::uint32_t base, std::uint32_t off) {
    std::uint32_t v = 0xEEEEEEEE;
    mem_read32(base, off, &v);
    return v;
}

class Controller : public ::testing::Test {
  protected:
    sim::RecorderPartner rec1{1, sim::format_8n1(9600)};
    sim::RecorderPartner rec2{2, sim::format_8n1(9600)};

    void SetUp() override { sim_test::start_controller(&rec1, &rec2); }
    void TearDown() override { sim_test::stop_controller(); }
    static void init_uart(int port, std::uint16_t lcr_h) {
        mem_write16(uart_base(port), 0x24, port == 1 ? 312 : 538);
        mem_write16(uart_base(port), 0x2C, lcr_h);
        mem_write16(uart_base(port), 0x30, 0x301);
    }
    static std::uint16_t fr(int port) { return rd16(uart_base(port), 0x18); }
    static void gpio_clock_on() { mem_write32(CLK, 0x2C, 0x40000); }
};

TEST_F(Controller, PowerOnState) {
    for (int port : {1, 2}) {
        std::uint32_t b = uart_base(port);
        EXPECT_EQ(rd16(b, 0x30), 0x0300) << port; // CR: not enabled
        EXPECT_EQ(rd16(b, 0x2C), 0x00) << port;
        EXPECT_EQ(rd16(b, 0x18), 0x90) << port; // TXFE | RXFE
        EXPECT_EQ(rd8(b, 0x04), 0x00) << port;
        EXPECT_EQ(rd16(b, 0x00), 0x0000) << port; // empty FIFO reads 0
        const std::uint8_t ids[] = {0x11, 0x10, 0x14, 0x00, 0x0D, 0xF0, 0x05, 0xB1};
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(rd8(b, 0xFE0 + 4 * i), ids[i]) << port << " id " << i;
    }
    EXPECT_EQ(rd32(RAS, 0x0C), 0xF4u);
    EXPECT_EQ(rd32(RAS, 0x10), 0u);
    EXPECT_EQ(rd32(CLK, 0x2C), 0u);
    EXPECT_TRUE(sim::port_connected(1));
    EXPECT_TRUE(sim::port_connected(2));
    for (int port : {1, 2}) {
        ASSERT_EQ(sim::line_history(port).size(), 1u);
        EXPECT_TRUE(sim::line_history(port)[0].a && sim::line_history(port)[0].b);
    }
}

TEST_F(Controller, NothingMovesUntilTheUartIsEnabled) {
    mem_write16(UART1, 0x00, 0x42);
    sim::partner_send(1, 0x17, sim::format_8n1(9600));
    sim::advance(10 * MS);
    EXPECT_TRUE(rec1.received.empty());
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 0);
    init_uart(1, LCR_8N1);
    sim::advance(2 * MS);
    ASSERT_EQ(rec1.bytes(), std::vector<std::uint8_t>{0x42});
}

// One byte on the wire lasts its frame's bit count at clock / (16 * IBRD).
TEST_F(Controller, WireTimeOfOneByteOnBothPortsAndFormats) {
    struct Case {
        int port;
        std::uint16_t lcr;
        double baud;
        double micros;
    };
    const Case cases[] = {{1, LCR_8E1, 9615.38, 1144.0},
                          {1, LCR_8N1, 9615.38, 1040.0},
                          {2, LCR_8E1, 9642.19, 1140.8},
                          {2, LCR_8N1, 9642.19, 1037.1}};
    for (const Case &c : cases) {
        SetUp();
        init_uart(c.port, c.lcr);
        auto &rec = c.port == 1 ? rec1 : rec2;
        rec.clear();
        sim::Nanos before = sim::now();
        mem_write16(uart_base(c.port), 0x00, 0x5A);
        sim::advance(3 * MS);
        ASSERT_EQ(rec.received.size(), 1u) << c.port;
        const auto &r = rec.received[0];
        EXPECT_EQ(r.byte, 0x5A);
        EXPECT_EQ(r.start, before + sim::access_cost() / 2); // the write itself
        EXPECT_NEAR(r.fmt.baud, c.baud, 0.01);
        EXPECT_EQ(r.fmt.parity, c.lcr == LCR_8E1);
        EXPECT_EQ(r.fmt.even, c.lcr == LCR_8E1);
        EXPECT_EQ(r.fmt.data_bits, 8);
        EXPECT_EQ(r.fmt.stop_bits, 1);
        EXPECT_NEAR(static_cast<double>(r.end - r.start) / US, c.micros, 0.1) << c.port;
        EXPECT_NEAR(sim::uart_state(c.port).format.baud, c.baud, 0.01);
    }
}

TEST_F(Controller, TransmitFlagsFifoOf16AndBackToBackBytes) {
    init_uart(1, LCR_8N1);
    EXPECT_EQ(fr(1), 0x90);
    mem_write16(UART1, 0x00, 0);
    // The first byte went straight to the shift register.
    EXPECT_EQ(fr(1), 0x98); // BUSY | TXFE | RXFE
    mem_write16(UART1, 0x00, 1);
    EXPECT_EQ(fr(1) & 0x88, 0x08); // BUSY, TXFE clear
    for (int i = 2; i <= 16; ++i)
        mem_write16(UART1, 0x00, i);
    EXPECT_EQ(fr(1) & 0xA8, 0x28); // TXFF | BUSY
    mem_write16(UART1, 0x00, 99);  // lost: the FIFO is full
    sim::advance(30 * MS);
    ASSERT_EQ(rec1.received.size(), 17u);
    for (std::size_t i = 0; i < 17; ++i) {
        EXPECT_EQ(rec1.received[i].byte, i);
        if (i > 0) {
            EXPECT_EQ(rec1.received[i].start, rec1.received[i - 1].end);
        }
    }
    EXPECT_EQ(fr(1), 0x90);
}

TEST_F(Controller, WithFifosOffEachDirectionHoldsOneByte) {
    init_uart(1, LCR_8N1_NO_FIFO);
    mem_write16(UART1, 0x00, 1); // shifting
    mem_write16(UART1, 0x00, 2); // holding
    EXPECT_EQ(fr(1) & 0x20, 0x20);
    mem_write16(UART1, 0x00, 3); // lost
    sim::advance(5 * MS);
    EXPECT_EQ(rec1.bytes(), (std::vector<std::uint8_t>{1, 2}));

    rec1.send({0x11, 0x22, 0x33});
    sim::advance(5 * MS);
    EXPECT_EQ(fr(1) & 0x50, 0x40);       // RXFF, not RXFE
    EXPECT_EQ(rd8(UART1, 0x04), 0x08);   // OE at once
    EXPECT_EQ(rd16(UART1, 0x00), 0x811); // the kept byte carries the overrun
    EXPECT_EQ(fr(1) & 0x10, 0x10);
}

TEST_F(Controller, OverrunOfTheReceiveFifoDropsAndEcrClears) {
    init_uart(2, LCR_8N1);
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 17; ++i)
        data.push_back(static_cast<std::uint8_t>(0x30 + i));
    rec2.send(data);
    sim::advance(30 * MS);
    EXPECT_EQ(fr(2) & 0x50, 0x40);
    EXPECT_EQ(rd8(UART2, 0x04), 0x08);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(rd16(UART2, 0x00), (0x30 + i) | (i == 15 ? 0x800 : 0)) << i;
    EXPECT_EQ(fr(2) & 0x10, 0x10);
    // Sticky until any write to ECR.
    EXPECT_EQ(rd8(UART2, 0x04), 0x08);
    mem_write8(UART2, 0x04, 0x5A);
    EXPECT_EQ(rd8(UART2, 0x04), 0x00);
    // A new byte is received normally.
    rec2.send({0x77});
    sim::advance(2 * MS);
    EXPECT_EQ(rd16(UART2, 0x00), 0x77);
}

TEST_F(Controller, DisagreeingFramesArriveErrored) {
    init_uart(1, LCR_8E1);
    rec1.fmt = sim::format_8n1(9600);
    rec1.send({0x55, 0x57}); // 0x55: an even count of ones, so its missing parity bit is wrong
    sim::advance(5 * MS);
    // Framing and parity errors reach RSR as their byte is read.
    EXPECT_EQ(rd8(UART1, 0x04), 0x00);
    EXPECT_EQ(rd16(UART1, 0x00), 0x255);
    EXPECT_EQ(rd8(UART1, 0x04), 0x02);
    EXPECT_EQ(rd16(UART1, 0x00), 0x57);
    EXPECT_EQ(rd8(UART1, 0x04), 0x02);
    mem_write8(UART1, 0x04, 0);
    EXPECT_EQ(rd8(UART1, 0x04), 0x00);

    // The other way round: a parity bit of 0 where the stop bit should be.
    init_uart(1, LCR_8N1);
    rec1.fmt = sim::format_8e1(9600);
    rec1.send({0x03});
    sim::advance(3 * MS);
    EXPECT_EQ(rd16(UART1, 0x00), 0x103);
    EXPECT_EQ(rd8(UART1, 0x04), 0x01);

    // Same format at the partner's nominal rate: clean.
    mem_write8(UART1, 0x04, 0);
    rec1.fmt = sim::format_8n1(9600);
    rec1.send({0x03});
    sim::advance(3 * MS);
    EXPECT_EQ(rd16(UART1, 0x00), 0x03);
    EXPECT_EQ(rd8(UART1, 0x04), 0x00);
}

TEST_F(Controller, GpioDataIsAddressMasked) {
    gpio_clock_on();
    mem_write8(GPIO, 0x400, 0xFF);
    mem_write8(GPIO, 0x3FC, 0xFF);
    EXPECT_EQ(rd8(GPIO, 0xF0), 0x3C);
    mem_write8(GPIO, 0xF0, 0x00); // only bits 2..5
    EXPECT_EQ(rd8(GPIO, 0x3FC), 0xC3);
    EXPECT_EQ(rd8(GPIO, 0x000), 0x00);
    mem_write8(GPIO, 0x004, 0xFE); // bit 0 only
    EXPECT_EQ(rd8(GPIO, 0x3FC), 0xC2);
    EXPECT_EQ(rd8(GPIO, 0x200), 0x80);
    mem_write16(GPIO, 0x0C0, 0xFFFF); // bits 4 and 5, written 16 bits wide
    EXPECT_EQ(rd32(GPIO, 0x3FC), 0xF2u);
    EXPECT_EQ(rd16(GPIO, 0x400), 0xFF);
}

TEST_F(Controller, OnlyOutputsAreDrivenInputsFloatHigh) {
    gpio_clock_on();
    mem_write8(GPIO, 0x3FC, 0x00);
    EXPECT_EQ(rd8(GPIO, 0x3FC), 0xFF); // all inputs
    mem_write8(GPIO, 0x400, 0x30);     // PORT1's two lines
    EXPECT_EQ(rd8(GPIO, 0x3FC), 0xCF);
    EXPECT_FALSE(sim::line_levels(1).a);
    EXPECT_FALSE(sim::line_levels(1).b);
    EXPECT_TRUE(sim::line_levels(2).a && sim::line_levels(2).b);
    mem_write8(GPIO, 0xF0, 0x3C);  // raises PORT1's lines; PORT2's are inputs
    mem_write8(GPIO, 0x400, 0x20); // line B becomes an input again
    mem_write8(GPIO, 0xF0, 0x00);
    EXPECT_FALSE(sim::line_levels(1).a);
    EXPECT_TRUE(sim::line_levels(1).b);
    ASSERT_EQ(rec1.lines.size(), 4u);
    EXPECT_TRUE(rec1.lines[1].a == false && rec1.lines[1].b == false);
    EXPECT_TRUE(rec1.lines[2].a && rec1.lines[2].b);
    EXPECT_TRUE(rec1.lines[3].a == false && rec1.lines[3].b);
    EXPECT_EQ(rec2.lines.size(), 1u); // only the level at plugging in
}

TEST_F(Controller, GpioWithoutItsClockReadsZeroAndIgnoresWrites) {
    mem_write8(GPIO, 0x400, 0x30);
    EXPECT_EQ(rd8(GPIO, 0x400), 0x00);
    EXPECT_EQ(rd8(GPIO, 0xFE0), 0x00);
    EXPECT_EQ(rd8(GPIO, 0x3FC), 0x00);
    EXPECT_TRUE(sim::line_levels(1).a && sim::line_levels(1).b);
    gpio_clock_on();
    EXPECT_EQ(rd8(GPIO, 0x400), 0x00);
    const std::uint8_t ids[] = {0x61, 0x10, 0x04, 0x00, 0x0D, 0xF0, 0x05, 0xB1};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(rd8(GPIO, 0xFE0 + 4 * i), ids[i]) << i;
    // Outputs stay driven when the clock goes off again.
    mem_write8(GPIO, 0x400, 0x30);
    mem_write32(CLK, 0x2C, 0);
    mem_write8(GPIO, 0xF0, 0x3C);
    EXPECT_FALSE(sim::line_levels(1).a);
    EXPECT_EQ(sim::peek(GPIO + 0x400, 8), 0x30u);
}

// The line pattern of a bootstrap entry on PORT2, as the board sees it.
TEST_F(Controller, LineHistoryRecordsEveryChangeWithItsTime) {
    gpio_clock_on();
    mem_write8(GPIO, 0xF0, 0x0C); // data high before the pins are driven
    mem_write8(GPIO, 0x400, 0x0C);
    EXPECT_EQ(sim::line_history(2).size(), 1u); // still high: no change
    auto step = [](std::uint8_t data, sim::Nanos sleep) {
        mem_write8(GPIO, 0xF0, data);
        sim::advance(sleep);
    };
    step(0x08, 1000 * US); // B low
    step(0x00, 100 * US);  // A low
    step(0x08, 100 * US);  // A high
    step(0x00, 50 * US);   // A low
    step(0x04, 50 * US);   // B high
    step(0x0C, 1000 * US); // A high
    const auto &h = sim::line_history(2);
    const bool a[] = {true, true, false, true, false, false, true};
    const bool b[] = {true, false, false, false, false, true, true};
    ASSERT_EQ(h.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(h[i].a, a[i]) << i;
        EXPECT_EQ(h[i].b, b[i]) << i;
    }
    EXPECT_EQ(h[3].when - h[2].when, 100 * US + sim::access_cost());
    EXPECT_EQ(h[6].when - h[5].when, 50 * US + sim::access_cost());
    ASSERT_EQ(rec2.lines.size(), 7u);
    EXPECT_EQ(rec2.lines[4].when, h[4].when);
    EXPECT_EQ(sim::line_history(1).size(), 1u);
}

TEST_F(Controller, PortsWithoutTheirSelectBitsAreNotConnected) {
    mem_write32(RAS, 0x0C, 0xD4); // PORT1's 0x20 missing, PORT2's 0xC4 all there
    EXPECT_FALSE(sim::port_connected(1));
    EXPECT_TRUE(sim::port_connected(2));
    init_uart(1, LCR_8N1);
    init_uart(2, LCR_8N1);
    mem_write16(UART1, 0x00, 0x11);
    mem_write16(UART2, 0x00, 0x22);
    rec1.send({0x33});
    rec2.send({0x44});
    sim::advance(5 * MS);
    EXPECT_TRUE(rec1.received.empty());
    EXPECT_EQ(rec2.bytes(), std::vector<std::uint8_t>{0x22});
    EXPECT_EQ(fr(1) & 0x10, 0x10);
    EXPECT_EQ(rd16(UART2, 0x00), 0x44);

    gpio_clock_on();
    mem_write8(GPIO, 0x400, 0x3C); // data 0: every line driven low
    EXPECT_TRUE(sim::line_levels(1).a && sim::line_levels(1).b);
    EXPECT_FALSE(sim::line_levels(2).a || sim::line_levels(2).b);

    // Routing the pins makes the driven levels reach the board.
    mem_write32(RAS, 0x0C, 0xF4);
    EXPECT_FALSE(sim::line_levels(1).a || sim::line_levels(1).b);
    EXPECT_EQ(sim::line_history(1).size(), 2u);
    mem_write16(UART1, 0x00, 0x55);
    sim::advance(2 * MS);
    EXPECT_EQ(rec1.bytes(), std::vector<std::uint8_t>{0x55});
}

TEST_F(Controller, ResetRestoresPowerOnButKeepsPartners) {
    init_uart(1, LCR_8N1);
    gpio_clock_on();
    mem_write8(GPIO, 0x400, 0x30);
    mem_write16(UART1, 0x00, 0x99);
    rec1.send({0x01});
    sim::advance(500 * US); // both bytes half way on the wire
    sim::controller_reset();
    sim::advance(5 * MS);
    EXPECT_TRUE(rec1.received.empty());
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 0);
    EXPECT_EQ(sim::peek(UART1 + 0x30, 16), 0x300u);
    EXPECT_EQ(sim::peek(GPIO + 0x400, 8), 0u);
    EXPECT_EQ(sim::partner(1), &rec1);
    // The partner heard the lines float high again.
    ASSERT_FALSE(rec1.lines.empty());
    EXPECT_TRUE(rec1.lines.back().a && rec1.lines.back().b);
    EXPECT_EQ(sim::line_history(1).size(), 1u);
}

TEST_F(Controller, BusFaults) {
    std::uint8_t v8 = 0xEE;
    std::uint16_t v16 = 0xEEEE;
    std::uint32_t v32 = 0xEEEEEEEE;
    // UART and GPIO registers take every width.
    mem_read8(UART1, 0x18, &v8);
    mem_read32(UART2, 0x18, &v32);
    gpio_clock_on();
    mem_read16(GPIO, 0x400, &v16);
    EXPECT_TRUE(sim::bus_faults().empty());

    EXPECT_EQ(mem_read8(RAS, 0x0C, &v8), 0); // 32-bit register
    EXPECT_EQ(v8, 0);
    mem_write16(RAS, 0x0C, 0);
    mem_read32(0x12345000, 0x000, &v32); // nothing there
    EXPECT_EQ(v32, 0u);
    mem_write32(UART1, 0x08, 1);   // a hole in the UART block
    mem_read16(UART1, 0x44, &v16); // an interrupt register the updater never uses
    mem_write8(GPIO, 0x404, 0);    // not modelled either
    mem_read16(UART1, 0x19, &v16); // unaligned
    mem_read8(RAS, 0x1000, &v8);   // beyond the page
    ASSERT_EQ(sim::bus_faults().size(), 8u);
    EXPECT_EQ(sim::bus_faults()[0].rfind("R8 0xB300000C", 0), 0u) << sim::bus_faults()[0];
    EXPECT_EQ(sim::bus_faults()[2].rfind("R32 0x12345000", 0), 0u) << sim::bus_faults()[2];
    // The faulting write changed nothing.
    EXPECT_EQ(sim::peek(RAS + 0x0C), 0xF4u);
    sim::clear_bus_faults();
}

TEST_F(Controller, EveryAccessCostsVirtualTime) {
    std::uint16_t v;
    mem_read16(UART1, 0x18, &v);
    EXPECT_EQ(sim::now(), 20 * US);
    sim::set_access_cost(3 * US);
    mem_write8(UART1, 0x04, 0);
    EXPECT_EQ(sim::now(), 23 * US);
    // A read without a destination touches nothing.
    sim::trace_capture(true);
    EXPECT_EQ(mem_read32(0x12345000, 0, nullptr), 0);
    EXPECT_EQ(sim::now(), 23 * US);
    EXPECT_TRUE(sim::trace().empty());
    EXPECT_TRUE(sim::bus_faults().empty());
    // Device events run while an access takes its time: a byte written in a
    // polling loop finishes on time.
    init_uart(1, LCR_8N1);
    mem_write16(UART1, 0x00, 0x42);
    sim::Nanos sent = sim::now();
    while (fr(1) & 0x08)
        ;
    EXPECT_EQ(rec1.received.size(), 1u);
    EXPECT_LT(sim::now() - sent, 1040 * US + 2 * sim::access_cost());
}

TEST_F(Controller, TraceLines) {
    sim::trace_capture(true);
    mem_write16(UART1, 0x24, 312);
    std::uint8_t v8;
    mem_read8(UART1, 0x04, &v8);
    std::uint32_t v32;
    mem_read32(RAS, 0x0C, &v32);
    mem_write8(GPIO, 0xF0, 0x1234); // the low 8 bits are written
    ASSERT_EQ(sim::trace().size(), 4u);
    EXPECT_EQ(sim::trace()[0], "10 W 16 0xD0000024 0x0138");
    EXPECT_EQ(sim::trace()[1], "30 R 8 0xD0000004 0x00");
    EXPECT_EQ(sim::trace()[2], "50 R 32 0xB300000C 0x000000F4");
    EXPECT_EQ(sim::trace()[3], "70 W 8 0xFC9800F0 0x34");
    sim::trace_capture(false);

    // In a run, the file named by TARVO_SIM_TRACE gets the same lines.
    char path[] = "/tmp/simctl-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("TARVO_SIM_TRACE", path, 1);
    sim::controller_start();
    mem_write32(CLK, 0x2C, 0x40000);
    sim::controller_shutdown();
    unsetenv("TARVO_SIM_TRACE");
    std::ifstream in(path);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "90 W 32 0xFCA8002C 0x00040000");
    EXPECT_FALSE(std::getline(in, line));
    std::remove(path);
}

} // namespace
