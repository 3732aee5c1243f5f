// The simulated board behind the simulated controller: bytes through the
// port's UART registers, the entry pattern through the GPIO block, both ports.
#include "sim/board/state.h"
#include "sim/boards.h"
#include "sim/clock.h"
#include "sim/controller/controller.h"
#include "sim/world.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t UART_BASE[2] = {sim::hw::UART1_BASE, sim::hw::UART2_BASE};
constexpr std::uint32_t IBRD[2] = {312, 538};
constexpr std::uint32_t LCR_8N1 = 0x70; // 8 bits, FIFOs on
constexpr std::uint32_t LCR_8E1 = 0x76; // 8 bits, FIFOs on, even parity

// A tiny UART and GPIO driver that writes the controller's registers.
class Port {
  public:
    explicit Port(int port) : i_(port - 1) {}

    void setup(std::uint32_t lcr) {
        bus_write(0x30, 0);
        bus_write(0x24, IBRD[i_]);
        bus_write(0x2C, lcr);
        bus_write(0x30, 0x301);
        while (!(bus_read(0x18) & 0x10)) // drain what is left
            bus_read(0x00);
    }

    std::string transfer(const Bytes &out, int wait_ms) {
        for (std::uint8_t b : out) {
            while (bus_read(0x18) & 0x20) // TXFF
                sim::advance(100 * sim::NS_PER_US);
            bus_write(0x00, b);
        }
        std::string in;
        for (int t = 0; t < wait_ms * 10; ++t) {
            sim::advance(100 * sim::NS_PER_US);
            while (!(bus_read(0x18) & 0x10)) {
                std::uint32_t dr = bus_read(0x00);
                if (!(dr & 0xF00))
                    in += static_cast<char>(dr & 0xFF);
            }
        }
        return in;
    }

    // Line A = TCK, line B = RST: the updater's entry pattern.
    void enter_loader() {
        sim::poke(sim::hw::PERIP1_CLK_ENB, sim::hw::GPIO_CLOCK_BIT);
        const std::uint8_t a = sim::hw::LINE_A[i_], b = sim::hw::LINE_B[i_];
        sim::poke(sim::hw::GPIO_BASE + 0x400, a | b, 8);
        struct Step {
            std::uint8_t levels;
            int us;
        } steps[] = {{std::uint8_t(a | b), 500}, {a, 1000}, {0, 100}, {a, 100}, {0, 50}, {b, 50},
                     {std::uint8_t(a | b), 5000}};
        for (const Step &s : steps) {
            sim::poke(sim::hw::GPIO_BASE + 0xF0, s.levels, 8);
            sim::advance(static_cast<sim::Nanos>(s.us) * sim::NS_PER_US);
        }
    }

  private:
    std::uint32_t bus_read(std::uint32_t off) { return sim::bus_read(UART_BASE[i_], off, 16); }
    void bus_write(std::uint32_t off, std::uint32_t v) {
        sim::bus_write(UART_BASE[i_], off, 16, v);
    }
    int i_;
};

class BoardOnController : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset_clock();
        sim::set_board_kind(1, sim::BoardKind::Tarvo);
        sim::set_board_kind(2, sim::BoardKind::Tarvo);
        sim::controller_reset();
        sim::board::boards_start_in("");
    }
    void TearDown() override {
        sim::attach_partner(1, nullptr);
        sim::attach_partner(2, nullptr);
        sim::controller_reset();
        sim::reset_clock();
    }
    static Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }
};

TEST_F(BoardOnController, ModbusOnBothPortsThenLoaderAfterEntry) {
    for (int port = 1; port <= 2; ++port) {
        Port p(port);
        p.setup(LCR_8N1);
        EXPECT_EQ(p.transfer(text(":030300030001F6\r\n"), 40), ":03030201F304\r\n")
            << "PORT" << port;
        EXPECT_EQ(p.transfer(text(":030300010001F8\r\n"), 40), ":0303020100F7\r\n")
            << "PORT" << port;
    }

    Port p1(1);
    p1.enter_loader();
    EXPECT_EQ(sim::board::board(1)->mode(), sim::board::Mode::Loader);
    EXPECT_EQ(sim::board::board(2)->mode(), sim::board::Mode::Running);
    // The loader does not speak MODBUS.
    EXPECT_EQ(p1.transfer(text(":030300030001F6\r\n"), 40), "");
    p1.setup(LCR_8E1);
    EXPECT_EQ(p1.transfer({0x80}, 5), "\x90");
    EXPECT_EQ(p1.transfer({0x80, 0x18, 0x04, 0x04, 0x00, 0x00, 0x06, 0xA5, 0x7D, 0x46}, 40),
              "\x90");
    EXPECT_EQ(sim::board::board(1)->state().main[0x3FFE], 0xFF);
    // The other port's board was not touched.
    Port p2(2);
    EXPECT_EQ(p2.transfer(text(":030300030001F6\r\n"), 40), ":03030201F304\r\n");
}

} // namespace
