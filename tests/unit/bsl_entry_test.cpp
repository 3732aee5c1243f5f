// Bootstrap entry against the simulated controller: which registers it touches
// and in what order, the read-modify-write of the select, clock, direction and
// line registers, its log, and the line pattern as the board sees it.
#include "sim/scripted_partners.h"
#include "tests/support/port_row.h"
#include "tests/support/regmap.h"
#include "tests/support/sim_controller.h"
#include "updater/port/bsl_entry.h"
#include "updater/port/mem.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

constexpr sim::Nanos US = sim::NS_PER_US;
constexpr std::uint32_t RAS_SELECT = regmap::RAS + regmap::RAS_SELECT_OFFSET;
constexpr std::uint32_t CONTROL = regmap::RAS + regmap::RAS_CONTROL_OFFSET;
constexpr std::uint32_t CLK_ENB = regmap::CLK + regmap::PERIP1_CLK_ENB_OFFSET;
using regmap::GPIO;
using regmap::GPIO_DIR;
using regmap::GPIO_LINES;

using sim_test::Access;
using sim_test::accesses;

struct PortValues {
    int port;
    std::uint32_t select_bits;
    std::uint8_t dir;
    std::uint8_t line_a;
    std::uint8_t line_b;
    std::uint32_t uart;
};
constexpr PortValues port_values(const regmap::Port &p) {
    return {p.number, p.ras_select, static_cast<std::uint8_t>(p.line_a | p.line_b),
            p.line_a, p.line_b,     p.uart};
}
constexpr PortValues PORTS[] = {port_values(regmap::PORTS[0]), port_values(regmap::PORTS[1])};

class BslEntry : public ::testing::Test {
  protected:
    sim::RecorderPartner far1{1, sim::format_8e1()};
    sim::RecorderPartner far2{2, sim::format_8e1()};

    void SetUp() override {
        sim_test::start_controller(&far1, &far2);
        far1.clear();
        far2.clear();
    }
    void TearDown() override { sim_test::stop_controller(); }

    static std::vector<std::string> info_lines() {
        std::vector<std::string> out;
        for (const auto &l : sim::log_lines())
            if (l.level == LOG_INFO)
                out.push_back(l.text);
        return out;
    }
};

// Every register step of an entry on PORT1 from power-on, in order.
TEST_F(BslEntry, RegisterStepsInOrder) {
    sim::poke(RAS_SELECT, 0x04);
    sim::trace_capture(true);
    ASSERT_EQ(msp430_enter_bsl(port_row(1)), 0);
    const std::uint32_t U = regmap::UART1;
    std::vector<Access> want = {
        {'R', 32, RAS_SELECT, 0x04}, {'W', 32, RAS_SELECT, 0x34}, {'R', 32, CONTROL, 0},
        {'R', 32, CLK_ENB, 0},       {'W', 32, CLK_ENB, 0x40000},
    };
    const std::uint32_t ids[] = {0x61, 0x10, 0x04, 0x00, 0x0D, 0xF0, 0x05, 0xB1};
    for (int i = 0; i < 8; ++i)
        want.push_back({'R', 8, GPIO + 0xFE0 + 4 * static_cast<std::uint32_t>(i), ids[i]});
    want.push_back({'R', 8, GPIO_DIR, 0x00});
    want.push_back({'W', 8, GPIO_DIR, 0x30});
    // The UART in loader format, then one byte drained and the status read.
    for (Access a : std::vector<Access>{{'W', 16, U + 0x24, 312},
                                        {'W', 16, U + 0x2C, 0x76},
                                        {'R', 16, U + 0x30, 0},
                                        {'W', 16, U + 0x30, 0x301},
                                        {'R', 16, U + 0x30, 0},
                                        {'W', 8, U + 0x04, 0},
                                        {'R', 16, U + 0x00, 0},
                                        {'R', 8, U + 0x04, 0}})
        want.push_back(a);
    // The line pattern: A up, B down, A down, A up, A down, B up, A up; each a
    // read and a write of the masked window.  PORT2's lines (0x0C) are inputs
    // now and read high; writing their data bits back does not drive them.
    const std::uint8_t levels[][2] = {{0x0C, 0x2C}, {0x2C, 0x2C}, {0x2C, 0x0C}, {0x0C, 0x2C},
                                      {0x2C, 0x0C}, {0x0C, 0x1C}, {0x1C, 0x3C}};
    for (const auto &l : levels) {
        want.push_back({'R', 8, GPIO_LINES, l[0]});
        want.push_back({'W', 8, GPIO_LINES, l[1]});
    }
    std::vector<Access> got = accesses();
    // The values read back from the UART are not the entry's business.
    for (Access &a : got)
        if (a.dir == 'R' && a.address >> 12 == U >> 12)
            a.value = 0;
    EXPECT_EQ(got, want);
}

TEST_F(BslEntry, SelectAndClockBitsAreAddedOnlyWhenMissing) {
    struct Case {
        int port;
        std::uint32_t ras_before, ras_after;
        std::uint32_t clk_before, clk_after;
    };
    const Case cases[] = {
        {1, 0xF4, 0xF4, 0x40000, 0x40000},         // all present: neither written
        {1, 0x80000014, 0x80000034, 0x1, 0x40001}, // some missing: added, others kept
        {2, 0x00, 0xC4, 0xFFFBFFFF, 0xFFFFFFFF},
        {2, 0xC0, 0xC4, 0x40000, 0x40000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << std::hex << " ras 0x"
                                        << c.ras_before << " clk 0x" << c.clk_before);
        SetUp();
        sim::poke(RAS_SELECT, c.ras_before);
        sim::poke(CLK_ENB, c.clk_before);
        sim::trace_capture(true);
        EXPECT_EQ(msp430_enter_bsl(port_row(c.port)), 0);
        EXPECT_EQ(sim::peek(RAS_SELECT), c.ras_after);
        EXPECT_EQ(sim::peek(CLK_ENB), c.clk_after);
        int ras_writes = 0, clk_writes = 0, control_writes = 0;
        for (const Access &a : accesses()) {
            ras_writes += a.dir == 'W' && a.address == RAS_SELECT;
            clk_writes += a.dir == 'W' && a.address == CLK_ENB;
            control_writes += a.dir == 'W' && a.address == CONTROL;
        }
        EXPECT_EQ(ras_writes, c.ras_before == c.ras_after ? 0 : 1);
        EXPECT_EQ(clk_writes, c.clk_before == c.clk_after ? 0 : 1);
        EXPECT_EQ(control_writes, 0);
        char saved[64];
        std::snprintf(saved, sizeof saved, "Saving PERIP1_CLK_ENB: 0x%08X", c.clk_before);
        EXPECT_EQ(info_lines().at(1), saved);
    }
}

TEST_F(BslEntry, DirectionIsTheTwoLinesOfThePortWhateverItHeld) {
    for (const PortValues &p : PORTS) {
        for (std::uint8_t before : {0x00, 0xFF, 0x0C, 0x30, 0xC3}) {
            SCOPED_TRACE(testing::Message() << "port " << p.port << " dir before " << int(before));
            SetUp();
            sim::poke(CLK_ENB, 0x40000);
            sim::poke(GPIO_DIR, before, 8);
            EXPECT_EQ(msp430_enter_bsl(port_row(p.port)), 0);
            EXPECT_EQ(sim::peek(GPIO_DIR, 8), p.dir);
        }
    }
}

// The read-modify-write of one line changes just that line's bit.
TEST_F(BslEntry, LineStepsChangeOnlyTheirBits) {
    sim::poke(CLK_ENB, 0x40000);
    sim::poke(GPIO_DIR, 0x3C, 8);
    sim::poke(GPIO_LINES, 0x14, 8);
    sim::trace_capture(true);
    msp430_set_bit8(0x20);
    msp430_clear_bit8(0x10);
    msp430_clear_bit8(0x08); // already low: written back unchanged
    EXPECT_EQ(accesses(), (std::vector<Access>{{'R', 8, GPIO_LINES, 0x14},
                                               {'W', 8, GPIO_LINES, 0x34},
                                               {'R', 8, GPIO_LINES, 0x34},
                                               {'W', 8, GPIO_LINES, 0x24},
                                               {'R', 8, GPIO_LINES, 0x24},
                                               {'W', 8, GPIO_LINES, 0x24}}));
    EXPECT_EQ(sim::peek(GPIO_LINES, 8), 0x24u);
    EXPECT_TRUE(sim::log_lines().empty());
}

TEST_F(BslEntry, LogsTheRegistersItFoundInOrder) {
    sim::poke(CONTROL, 0x12345678);
    sim::poke(CLK_ENB, 0x00000101);
    EXPECT_EQ(msp430_enter_bsl(port_row(2)), 0);
    EXPECT_EQ(info_lines(), (std::vector<std::string>{
                                "Control register: 0x12345678", "Saving PERIP1_CLK_ENB: 0x00000101",
                                "GPIO PeriphID: 0x00041061", "GPIO CellID: 0xB105F00D"}));
    EXPECT_EQ(sim::log_lines().size(), 4u) << "nothing else is logged on success";
}

// What the board sees on each port: B falls, A falls twice while B is low, B
// rises while A is low, then A rises; at least the set delays between the
// edges; the other port's lines left floating high.
TEST_F(BslEntry, LinePatternAsTheBoardSeesIt) {
    for (const PortValues &p : PORTS) {
        SCOPED_TRACE(testing::Message() << "port " << p.port);
        SetUp();
        sim::RecorderPartner &board = p.port == 1 ? far1 : far2;
        sim::RecorderPartner &other = p.port == 1 ? far2 : far1;
        sim::Nanos t0 = sim::now();
        ASSERT_EQ(msp430_enter_bsl(port_row(p.port)), 0);
        EXPECT_GE(sim::now() - t0, 102800 * US);

        // Collapse to changes of level, starting from the floating high lines.
        std::vector<sim::LineChange> edges;
        bool a = true, b = true;
        for (const sim::LineChange &c : board.lines) {
            if (c.a != a || c.b != b)
                edges.push_back(c);
            a = c.a;
            b = c.b;
        }
        EXPECT_TRUE(a && b) << "both lines end high";

        // Find B's fall, then follow the pattern.
        std::size_t i = 0;
        while (i < edges.size() && edges[i].b)
            ++i;
        ASSERT_LT(i, edges.size()) << "line B never fell";
        const sim::Nanos b_fall = edges[i].when;
        std::vector<sim::LineChange> rest(edges.begin() + static_cast<long>(i), edges.end());
        // From B's fall on: A falls twice while B is low, B rises while A is low,
        // then A rises.  States (a, b) after each edge:
        std::vector<std::pair<bool, bool>> states;
        for (const auto &c : rest)
            states.push_back({c.a, c.b});
        // B may fall together with A (A not yet raised) or while A is high.
        std::vector<std::pair<bool, bool>> want_after_a_high = {{true, false}, {false, false},
                                                                {true, false}, {false, false},
                                                                {false, true}, {true, true}};
        std::vector<std::pair<bool, bool>> want_from_low = {
            {false, false}, {true, false}, {false, false}, {true, false},
            {false, false}, {false, true}, {true, true}};
        ASSERT_TRUE(states == want_after_a_high || states == want_from_low)
            << "unexpected line pattern of " << states.size() << " edges";
        std::size_t k = states == want_from_low ? 1 : 0; // rest[k]: A high with B low
        const sim::Nanos a_fall1 = rest[k + 1].when, a_rise = rest[k + 2].when,
                         a_fall2 = rest[k + 3].when, b_rise = rest[k + 4].when,
                         a_final = rest[k + 5].when;
        EXPECT_GE(a_fall1 - b_fall, 1000 * US);
        EXPECT_GE(a_rise - a_fall1, 100 * US);
        EXPECT_GE(a_fall2 - a_rise, 100 * US);
        EXPECT_GE(b_rise - a_fall2, 50 * US);
        EXPECT_GE(a_final - b_rise, 50 * US);
        EXPECT_GE(sim::now() - a_final, 1000 * US);

        // The other port's lines are inputs now and float high.
        for (const sim::LineChange &c : other.lines)
            EXPECT_TRUE(c.a && c.b);
        // The board's UART now speaks 8E1.
        EXPECT_TRUE(sim::uart_state(p.port).format.parity);
        EXPECT_TRUE(sim::uart_state(p.port).format.even);
    }
}

// A byte waiting in the receive FIFO before the entry is dropped by it.
TEST_F(BslEntry, DropsOneWaitingByte) {
    mem_write16(regmap::UART1, regmap::UART_IBRD, regmap::IBRD_PORT1);
    mem_write16(regmap::UART1, regmap::UART_LCR_H, regmap::LCR_H_8E1);
    mem_write16(regmap::UART1, regmap::UART_CR, regmap::CR_ENABLED);
    far1.send({0x42});
    sim::advance(5 * sim::NS_PER_MS);
    ASSERT_EQ(sim::uart_state(1).rx_fifo, 1);
    EXPECT_EQ(msp430_enter_bsl(port_row(1)), 0);
    EXPECT_EQ(sim::uart_state(1).rx_fifo, 0);
}

} // namespace
