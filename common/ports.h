// The expansion ports, one row each: everything that differs between them, for
// every program.  A number is a port when it has a row here.  A program looks
// its port argument up once, where it reads it, refuses a number without a
// row, and hands the row down: nothing below asks about a number again.
#pragma once

#include <cstdint>

struct PortInfo {
    int number; // messages name it "PORT%d"
    // The port's PL011 UART and its integer divisor for the loader's 9600
    // baud: the UARTs run from different reference clocks.
    std::uint32_t uart_base;
    std::uint16_t uart_divisor;
    // RAS select bits that route the port's pins, and the GPIODATA masks of
    // its two control lines (line A = TCK, line B = RST/NMI on the board).
    std::uint32_t ras_select_bits;
    std::uint8_t line_a;
    std::uint8_t line_b;
    // "/dev/gpio" request for the board type (read, type 'B', size 0).
    unsigned long board_type_request;
    // The web pages: the settings key, the form field and the labels.
    const char *settings_key;
    const char *form_field;
    const char *selector_label;
    const char *update_button;
};

constexpr PortInfo PORT_TABLE[] = {
    {1, 0xD0000000u, 312, 0x34, 0x20, 0x10, 0x80004209UL /* number 9 */,
     "MOD_TARVOUPDATE_FIRMWARE1", "firmware1", "New Firmware for PORT1", "Update PORT1"},
    {2, 0xA3000000u, 538, 0xC4, 0x08, 0x04, 0x8000420BUL /* number 11 */,
     "MOD_TARVOUPDATE_FIRMWARE2", "firmware2", "New Firmware for PORT2", "Update PORT2"},
};
constexpr int PORT_COUNT = sizeof PORT_TABLE / sizeof PORT_TABLE[0];

// The port's row, or null for a number that is no port.
constexpr const PortInfo *port_info(int port) {
    for (const PortInfo &row : PORT_TABLE)
        if (row.number == port)
            return &row;
    return nullptr;
}
