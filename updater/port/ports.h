// What differs between the two expansion ports: the UART, its divisor, the RAS
// select bits that route the port's pins, and the GPIODATA masks of its two
// control lines (line A = TCK, line B = RST/NMI on the board).
#pragma once

#include <cstdint>

struct PortHardware {
    std::uint32_t uart_base;
    // The UARTs run from different reference clocks: each has its own integer
    // divisor for the loader's 9600 baud.
    std::uint16_t uart_divisor;
    std::uint32_t ras_select_bits;
    std::uint8_t line_a;
    std::uint8_t line_b;
};

constexpr PortHardware PORT_HARDWARE[2] = {
    {0xD0000000u, 312, 0x34, 0x20, 0x10}, // PORT1
    {0xA3000000u, 538, 0xC4, 0x08, 0x04}, // PORT2
};

// The port's row; any port but 1 gets PORT2's.  Callers check the port first
// where another one must be refused.
constexpr const PortHardware &port_hardware(int port) {
    return PORT_HARDWARE[port == 1 ? 0 : 1];
}
