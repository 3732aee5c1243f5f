// Queries to the board's running firmware: MODBUS ASCII reads of its holding
// registers (slave 3, function 3, one register per request).  The caller sets
// the port's line up for MODBUS (uart_init_modbus) before the first query.
#pragma once

#include <cstdint>

struct PortInfo;

// Holding registers of the board's firmware.
constexpr std::uint16_t MODBUS_REG_VERSION_HIGH = 1;
constexpr std::uint16_t MODBUS_REG_VERSION_LOW = 2;
constexpr std::uint16_t MODBUS_REG_CONFIG = 3;

// Request: ':' slave function address(4) quantity(4) LRC CR LF.
constexpr int MODBUS_REQUEST_LENGTH = 17;
// Reply: ':' slave function count value(4) LRC CR LF.
constexpr int MODBUS_REPLY_LENGTH = 15;

// Results.
enum ModbusResult {
    MODBUS_OK = 0,
    MODBUS_ERR_SEND = -1,    // request not sent; for the two readings: a register read failed
    MODBUS_ERR_RECEIVE = -2, // reply not received
    MODBUS_ERR_NO_TEXT = -2, // read_config_string without a text buffer
};

// Reads one holding register; the budget goes to both the send and the
// receive.  MODBUS_OK (value stored when not null), MODBUS_ERR_SEND or
// MODBUS_ERR_RECEIVE (value untouched).
int read_holding_reg(const PortInfo &port, std::uint16_t reg, std::uint16_t *value, int budget);

// Firmware version: register 1 in the upper, register 2 in the lower 16 bits.
// MODBUS_OK, or MODBUS_ERR_SEND when a read failed (nothing stored).
int read_fw_version(const PortInfo &port, std::uint32_t *version);

// Configuration text from register 3 into text, which offers space bytes; the
// text is cut at a piece boundary so that it and its terminating zero fit.
// MODBUS_OK, MODBUS_ERR_SEND when the read failed (text untouched),
// MODBUS_ERR_NO_TEXT when text is null.
int read_config_string(const PortInfo &port, char *text, int space);

// The length of the configuration text's piece that s begins with: a number
// and a piece letter ("1a" ... "10f"), or " (bidir)"; 0 when s begins with
// none.
int config_piece(const char *s);
