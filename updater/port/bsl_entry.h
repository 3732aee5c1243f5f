// Starting the MSP430's ROM bootstrap loader through the port's two control lines.
#pragma once

#include "common/ports.h"

#include <cstdint>

constexpr std::uint32_t RAS_BASE = 0xB3000000u;
constexpr std::uint32_t RAS_SELECT_OFFSET = 0x0C;
constexpr std::uint32_t RAS_CONTROL_OFFSET = 0x10;
constexpr std::uint32_t CLK_BASE = 0xFCA80000u;
constexpr std::uint32_t PERIP1_CLK_ENB_OFFSET = 0x2C;
constexpr std::uint32_t PERIP1_CLK_GPIO = 0x40000u;
constexpr std::uint32_t GPIO_BASE = 0xFC980000u;
constexpr std::uint32_t GPIO_DATA_LINES_OFFSET = 0xF0; // data bits 2..5
constexpr std::uint32_t GPIO_DIR_OFFSET = 0x400;

// Result of msp430_enter_bsl.
constexpr int BSL_ENTRY_OK = 0;

// Plays the entry pattern on the port's lines: always BSL_ENTRY_OK (a failed
// register access is logged and the pattern goes on).
int msp430_enter_bsl(const PortInfo &port);
// Read-modify-write of GPIODATA bits 2..5.
void msp430_set_bit8(std::uint8_t mask);
void msp430_clear_bit8(std::uint8_t mask);
