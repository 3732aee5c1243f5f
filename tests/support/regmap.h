// The controller's registers that the updater uses, as the hardware reference
// lists them: one place for the tests' addresses and bits.
#pragma once

#include <cstdint>

namespace regmap {

// PL011 UART of each port.
constexpr std::uint32_t UART1 = 0xD0000000;
constexpr std::uint32_t UART2 = 0xA3000000;
constexpr std::uint32_t UART_DR = 0x00;
constexpr std::uint32_t UART_RSR_ECR = 0x04;
constexpr std::uint32_t UART_FR = 0x18;
constexpr std::uint32_t UART_IBRD = 0x24;
constexpr std::uint32_t UART_FBRD = 0x28;
constexpr std::uint32_t UART_LCR_H = 0x2C;
constexpr std::uint32_t UART_CR = 0x30;
constexpr std::uint16_t FR_BUSY = 0x08, FR_RXFE = 0x10, FR_TXFF = 0x20, FR_RXFF = 0x40,
                        FR_TXFE = 0x80;
constexpr std::uint16_t IBRD_PORT1 = 312, IBRD_PORT2 = 538;
constexpr std::uint16_t LCR_H_8E1 = 0x76, LCR_H_8N1 = 0x70;
constexpr std::uint16_t CR_ENABLED = 0x301;

// PL061 GPIO block; DATA at offset 0xF0 carries the mask of bits 2..5.
constexpr std::uint32_t GPIO = 0xFC980000;
constexpr std::uint32_t GPIO_LINES = GPIO + 0xF0;
constexpr std::uint32_t GPIO_DIR = GPIO + 0x400;
constexpr std::uint32_t GPIO_DATA_LINES_OFFSET = 0xF0;
constexpr std::uint32_t GPIO_DIR_OFFSET = 0x400;

// RAS select and control register, clock enable.
constexpr std::uint32_t RAS = 0xB3000000;
constexpr std::uint32_t RAS_SELECT_OFFSET = 0x0C;
constexpr std::uint32_t RAS_CONTROL_OFFSET = 0x10;
constexpr std::uint32_t CLK = 0xFCA80000;
constexpr std::uint32_t PERIP1_CLK_ENB_OFFSET = 0x2C;
constexpr std::uint32_t PERIP1_CLK_GPIO = 0x40000;

// Per port: UART, RAS select bits, control lines (A = TCK, B = RST/NMI).
struct Port {
    int number;
    std::uint32_t uart;
    std::uint16_t ibrd;
    std::uint32_t ras_select;
    std::uint8_t line_a;
    std::uint8_t line_b;
};
constexpr Port PORTS[] = {{1, UART1, IBRD_PORT1, 0x34, 0x20, 0x10},
                          {2, UART2, IBRD_PORT2, 0xC4, 0x08, 0x04}};

} // namespace regmap
