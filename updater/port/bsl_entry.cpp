// Starts the MSP430's ROM bootstrap loader: routes the port's pins, enables the
// GPIO clock, makes the port's two control lines outputs, sets the UART to the
// loader's 8E1 and plays the entry pattern on the lines (line A = TCK, line B =
// RST/NMI on the board).
#include "updater/port/bsl_entry.h"

#include "common/platform.h"
#include "common/ports.h"
#include "updater/port/mem.h"
#include "updater/port/uart.h"
#include "updater/port/wait.h"

#include <array>
#include <syslog.h>

namespace {

constexpr std::array<std::uint32_t, 4> GPIO_PERIPH_ID = {0xFE0, 0xFE4, 0xFE8, 0xFEC};
constexpr std::array<std::uint32_t, 4> GPIO_CELL_ID = {0xFF0, 0xFF4, 0xFF8, 0xFFC};
constexpr const char *PERIPH_ID_ERRORS[4] = {
    "Error reading GPIO_GPIOPeriphID0", "Error reading GPIO_GPIOPeriphID1",
    "Error reading GPIO_GPIOPeriphID2", "Error reading GPIO_GPIOPeriphID3"};
constexpr const char *CELL_ID_ERRORS[4] = {
    "Error reading GPIO_GPIOCellID0", "Error reading GPIO_GPIOCellID1",
    "Error reading GPIO_GPIOCellID2", "Error reading GPIO_GPIOCellID3"};

// The four 8-bit ID registers as one word, register 0 in the lowest byte; a
// register that cannot be read contributes 0.
std::uint32_t read_id_word(const std::array<std::uint32_t, 4> &offsets,
                           const char *const errors[4]) {
    std::uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        std::uint8_t value = 0;
        if (mem_read8(GPIO_BASE, offsets[i], &value) != 0) {
            plat_syslog(LOG_WARNING, "%s", errors[i]);
            value = 0;
        }
        word |= static_cast<std::uint32_t>(value) << (8 * i);
    }
    return word;
}

void change_lines(const char *name, std::uint8_t mask, bool set) {
    std::uint8_t old = 0;
    if (mem_read8(GPIO_BASE, GPIO_DATA_LINES_OFFSET, &old) != 0) {
        plat_syslog(LOG_WARNING, "%s: GPIODATA reading failed (mask 0x%02X)!", name, mask);
        return;
    }
    std::uint8_t value =
        set ? static_cast<std::uint8_t>(old | mask) : static_cast<std::uint8_t>(old & ~mask);
    if (mem_write8(GPIO_BASE, GPIO_DATA_LINES_OFFSET, value) != 0)
        plat_syslog(LOG_WARNING, "%s: Write 0x%02X to GPIODATA failed", name, value);
}

} // namespace

void msp430_set_bit8(std::uint8_t mask) {
    change_lines("msp430_set_bit8", mask, true);
}

void msp430_clear_bit8(std::uint8_t mask) {
    change_lines("msp430_clear_bit8", mask, false);
}

int msp430_enter_bsl(const PortInfo &port) {

    // Route the port's pins to its UART and GPIO lines.
    std::uint32_t ras = 0;
    if (mem_read32(RAS_BASE, RAS_SELECT_OFFSET, &ras) != 0) {
        plat_syslog(LOG_ERR, "%s: RAS select register (%03X) read failed!", "msp430_enter_bsl",
                    RAS_SELECT_OFFSET);
    } else if ((ras & port.ras_select_bits) != port.ras_select_bits) {
        if (mem_write32(RAS_BASE, RAS_SELECT_OFFSET, ras | port.ras_select_bits) != 0)
            plat_syslog(LOG_WARNING, "%s: Error writing RAS select register (%03X)",
                        "msp430_enter_bsl", RAS_SELECT_OFFSET);
    }

    std::uint32_t control = 0;
    if (mem_read32(RAS_BASE, RAS_CONTROL_OFFSET, &control) != 0)
        plat_syslog(LOG_ERR, "%s: Control register (%03X) read failed!", "msp430_enter_bsl",
                    RAS_CONTROL_OFFSET);
    else
        plat_syslog(LOG_INFO, "Control register: 0x%08X", control);

    std::uint32_t clocks = 0;
    if (mem_read32(CLK_BASE, PERIP1_CLK_ENB_OFFSET, &clocks) == 0) {
        plat_syslog(LOG_INFO, "Saving PERIP1_CLK_ENB: 0x%08X", clocks);
        if (!(clocks & PERIP1_CLK_GPIO) &&
            mem_write32(CLK_BASE, PERIP1_CLK_ENB_OFFSET, clocks | PERIP1_CLK_GPIO) != 0)
            plat_syslog(LOG_WARNING, "%s: Error writing PERIP1_CLK_ENB: (%03X)", "msp430_enter_bsl",
                        PERIP1_CLK_ENB_OFFSET);
    }

    plat_syslog(LOG_INFO, "GPIO PeriphID: 0x%08X", read_id_word(GPIO_PERIPH_ID, PERIPH_ID_ERRORS));
    plat_syslog(LOG_INFO, "GPIO CellID: 0x%08X", read_id_word(GPIO_CELL_ID, CELL_ID_ERRORS));

    // The port's two lines become outputs; every other pin of the block an input.
    std::uint8_t dir = 0;
    if (mem_read8(GPIO_BASE, GPIO_DIR_OFFSET, &dir) == 0)
        mem_write8(GPIO_BASE, GPIO_DIR_OFFSET, port.line_a | port.line_b);

    std::uint8_t status = 0;
    uart_init_bsl(port);
    uart_read_status(port, 1, &status);

    wait_us(100000);

    // Line B (RST) held low while line A (TCK) falls twice; B rises while A is
    // low; then A rises and stays high.
    msp430_set_bit8(port.line_a);
    wait_us(500);
    msp430_clear_bit8(port.line_b);
    wait_us(1000);
    msp430_clear_bit8(port.line_a);
    wait_us(100);
    msp430_set_bit8(port.line_a);
    wait_us(100);
    msp430_clear_bit8(port.line_a);
    wait_us(50);
    msp430_set_bit8(port.line_b);
    wait_us(50);
    msp430_set_bit8(port.line_a);
    wait_us(1000);
    return BSL_ENTRY_OK;
}
