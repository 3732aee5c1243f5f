// Queries to the board's running firmware: MODBUS ASCII reads of its holding
// registers (slave 3, function 3, one register per request).  The caller sets
// the port's line up for MODBUS (uart_init_modbus) before the first query.
#pragma once

#include <cstdint>

// Holding registers of the board's firmware.
constexpr std::uint16_t MODBUS_REG_VERSION_HIGH = 1;
constexpr std::uint16_t MODBUS_REG_VERSION_LOW = 2;
constexpr std::uint16_t MODBUS_REG_CONFIG = 3;

// Request: ':' slave function address(4) quantity(4) LRC CR LF.
constexpr int MODBUS_REQUEST_LENGTH = 17;
// Reply: ':' slave function count value(4) LRC CR LF.
constexpr int MODBUS_REPLY_LENGTH = 15;

// Longest configuration text: "1a2a3c4c5b6b7b8b9o10f (bidir)".
constexpr int CONFIG_TEXT_MAX = 29;

// Reads one holding register; the budget goes to both the send and the
// receive.  0 (value stored when not null), -1 send failed, -2 receive failed
// (value untouched).
int read_holding_reg(int port, std::uint16_t reg, std::uint16_t *value, int budget);

// Firmware version: register 1 in the upper, register 2 in the lower 16 bits.
// 0, or -1 when a read failed (nothing stored).
int read_fw_version(int port, std::uint32_t *version);

// Configuration text from register 3 into text, which offers space bytes; the
// text is cut at a piece boundary so that it and its terminating zero fit.
// 0, -1 when the read failed (text untouched), -2 when text is null.
int read_config_string(int port, char *text, int space);
