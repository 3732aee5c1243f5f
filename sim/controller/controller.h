// The simulated controller behind the register access interface: the two
// PL011 UARTs, the PL061 GPIO block, the RAS select, control and clock-enable
// registers.  Addresses and behaviour follow the controller's register map.
#pragma once

#include "sim/clock.h"
#include "sim/line.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The register map, and the simulator's choices where the hardware leaves one.
namespace hw {
constexpr std::uint32_t PAGE_SIZE = 0x1000;

constexpr std::uint32_t UART1_BASE = 0xD0000000;
constexpr std::uint32_t UART2_BASE = 0xA3000000;
constexpr double UART1_REF_CLOCK_HZ = 48e6; // model choice
constexpr double UART2_REF_CLOCK_HZ = 83e6; // model choice

constexpr std::uint32_t GPIO_BASE = 0xFC980000;

constexpr std::uint32_t RAS_BASE = 0xB3000000;
constexpr std::uint32_t RAS_SELECT = RAS_BASE + 0x0C;
constexpr std::uint32_t CONTROL = RAS_BASE + 0x10;
constexpr std::uint32_t CLK_BASE = 0xFCA80000;
constexpr std::uint32_t PERIP1_CLK_ENB = CLK_BASE + 0x2C;
constexpr std::uint32_t GPIO_CLOCK_BIT = 0x40000;

// Power-on values (model choices): the boot firmware has routed both ports;
// the GPIO clock is off.
constexpr std::uint32_t RAS_SELECT_RESET = 0x000000F4;
constexpr std::uint32_t CONTROL_RESET = 0x00000000;
constexpr std::uint32_t PERIP1_CLK_ENB_RESET = 0x00000000;

// Per port (index 0 = PORT1): RAS select bits and the GPIODATA bits of the
// control lines (A = TCK, B = RST/NMI on a TARVO board).
constexpr std::uint32_t SELECT_BITS[2] = {0x34, 0xC4};
constexpr std::uint8_t LINE_A[2] = {0x20, 0x08};
constexpr std::uint8_t LINE_B[2] = {0x10, 0x04};

constexpr Nanos DEFAULT_ACCESS_COST = 20 * NS_PER_US;
} // namespace hw

// Start of a simulated run: opens the register trace named by TARVO_SIM_TRACE,
// and from now on bus faults are also printed to stderr.
void controller_start();
// End of a run: flushes and closes the trace; faults are no longer printed.
void controller_shutdown();

// Power-on state of every register, FIFO and line; bytes in flight are
// forgotten; partners stay plugged in (and hear of line changes).  The access
// cost and the trace settings are kept.  A controller never reset starts in
// the same state.
void controller_reset();

// Virtual time charged for every register access (default 20 us): half of it
// before the access (the page is mapped), half after (unmapped).
void set_access_cost(Nanos cost);
Nanos access_cost();

// Accesses to addresses outside the controller's blocks, or of a width a block
// does not support.  Each entry describes one access ("R8 0xB300000C: ...").
const std::vector<std::string> &bus_faults();
void clear_bus_faults();

// One register access at base + offset, without cost or trace: what the
// register access layer calls.  A faulting access is recorded; its read gives 0.
std::uint32_t bus_read(std::uint32_t base, std::uint32_t offset, int width);
void bus_write(std::uint32_t base, std::uint32_t offset, int width, std::uint32_t value);

// For tests: a register's value without side effects (DR shows the next
// received byte without taking it; the GPIO reads as if clocked), and a
// write with its usual effects but no cost or trace.  Both record faults.
std::uint32_t peek(std::uint32_t address, int width = 32);
void poke(std::uint32_t address, std::uint32_t value, int width = 32);

// For tests: what a port's UART is set to and holds.
struct UartState {
    FrameFormat format; // baud 0 while no divisor is set
    bool tx_enabled = false;
    bool rx_enabled = false;
    int tx_fifo = 0;      // bytes waiting to be sent
    int rx_fifo = 0;      // bytes received and not read
    bool sending = false; // a byte is on the wire
};
UartState uart_state(int port);

// Whether a port's pins are routed to the board (all its RAS select bits set).
bool port_connected(int port);

// ---- The line side of each port ----

// Plugs a partner into port 1 or 2 (nullptr unplugs).  The controller does not
// own it.  The partner is told the current line levels at once.
void attach_partner(int port, LinePartner *partner);
LinePartner *partner(int port);

// The partner sends a byte towards the controller's UART.  Bytes queue behind
// the partner's earlier ones; the start bit begins no earlier than `earliest`
// (or now).  Returns the time its start bit begins.
Nanos partner_send(int port, std::uint8_t byte, const FrameFormat &fmt, Nanos earliest = 0);

// Control line levels of a port as the board sees them, and their history
// (one entry per change, plus the level at reset).
struct LineLevels {
    Nanos when;
    bool a;
    bool b;
};
LineLevels line_levels(int port);
const std::vector<LineLevels> &line_history(int port);

} // namespace sim
