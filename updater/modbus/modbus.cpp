// MODBUS ASCII holding-register reads and the two readings built on them: the
// firmware version and the configuration text.
#include "updater/modbus/modbus.h"

#include "common/platform.h"
#include "updater/port/uart.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

constexpr std::uint8_t SLAVE_ADDRESS = 3;
constexpr std::uint8_t FUNCTION_READ_HOLDING = 3;
constexpr int VERSION_HIGH_BUDGET = 5000;
constexpr int VERSION_LOW_BUDGET = 1000;
constexpr int CONFIG_BUDGET = 5000;

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

void put_hex_byte(std::uint8_t *at, std::uint8_t byte) {
    at[0] = static_cast<std::uint8_t>(HEX_DIGITS[byte >> 4]);
    at[1] = static_cast<std::uint8_t>(HEX_DIGITS[byte & 0x0F]);
}

// ":0303" address "0001" LRC CR LF.  The LRC is the two's complement of the
// sum of the six message bytes 03 03 AH AL 00 01.
void build_request(std::uint16_t reg, std::uint8_t *frame) {
    auto high = static_cast<std::uint8_t>(reg >> 8);
    auto low = static_cast<std::uint8_t>(reg & 0xFF);
    auto lrc = static_cast<std::uint8_t>(
        0u - (SLAVE_ADDRESS + FUNCTION_READ_HOLDING + high + low + 0x00u + 0x01u));
    frame[0] = ':';
    put_hex_byte(frame + 1, SLAVE_ADDRESS);
    put_hex_byte(frame + 3, FUNCTION_READ_HOLDING);
    put_hex_byte(frame + 5, high);
    put_hex_byte(frame + 7, low);
    put_hex_byte(frame + 9, 0x00);
    put_hex_byte(frame + 11, 0x01);
    put_hex_byte(frame + 13, lrc);
    frame[15] = '\r';
    frame[16] = '\n';
}

// Digit value of a reply character: '0'-'9', 'A'-'F' and 'a'-'f' give their
// value; anything else some value from 0 to 15, without complaint.
unsigned reply_digit(std::uint8_t c) {
    unsigned d = (c - 0x30u) & 0xFFu;
    if (d > 9)
        d = (c - 55u) & 0xFFu;
    return d & 0x0Fu;
}

// Pieces of the configuration text, one per bit from bit 0.  Bits 0 to 9
// carry the running channel number; bit 10 is a plain suffix.
struct ConfigPiece {
    std::uint16_t mask;
    const char *format;
};
constexpr std::array<ConfigPiece, 10> NUMBERED_PIECES = {{
    {0x0001, "%da"},
    {0x0002, "%da"},
    {0x0004, "%dc"},
    {0x0008, "%dc"},
    {0x0010, "%db"},
    {0x0020, "%db"},
    {0x0040, "%db"},
    {0x0080, "%db"},
    {0x0100, "%do"},
    {0x0200, "%df"},
}};
constexpr std::uint16_t BIDIR_MASK = 0x0400;
constexpr const char *BIDIR_PIECE = " (bidir)";
constexpr int PIECE_SCRATCH = 16;

} // namespace

int read_holding_reg(const PortInfo &port, std::uint16_t reg, std::uint16_t *value, int budget) {
    // The request's buffer takes the reply as well.
    std::array<std::uint8_t, MODBUS_REQUEST_LENGTH> frame{};
    build_request(reg, frame.data());

    int rc = uart_send_packet(port, frame.data(), MODBUS_REQUEST_LENGTH, budget);
    if (rc != UART_OK) {
        plat_syslog(LOG_ERR, "%s: UART send MODBUS packet failed: %d", "read_holding_reg", rc);
        return MODBUS_ERR_SEND;
    }

    int length = MODBUS_REPLY_LENGTH;
    rc = uart_recv_packet(port, frame.data(), &length, budget);
    if (rc != UART_OK) {
        plat_syslog(LOG_ERR, "%s: UART receive MODBUS packet failed: %d", "read_holding_reg", rc);
        return MODBUS_ERR_RECEIVE;
    }
    if (value == nullptr)
        return MODBUS_OK;

    // Only the four value digits are looked at; the frame's other fields are
    // taken on trust.
    unsigned v = reply_digit(frame[7]) * 4096u + reply_digit(frame[8]) * 256u +
                 reply_digit(frame[9]) * 16u + reply_digit(frame[10]);
    *value = static_cast<std::uint16_t>(v);
    return MODBUS_OK;
}

int read_fw_version(const PortInfo &port, std::uint32_t *version) {
    std::uint16_t high = 0;
    if (read_holding_reg(port, MODBUS_REG_VERSION_HIGH, &high, VERSION_HIGH_BUDGET) != MODBUS_OK)
        return MODBUS_ERR_SEND;
    std::uint16_t low = 0;
    if (read_holding_reg(port, MODBUS_REG_VERSION_LOW, &low, VERSION_LOW_BUDGET) != MODBUS_OK)
        return MODBUS_ERR_SEND;
    if (version != nullptr)
        *version = (static_cast<std::uint32_t>(high) << 16) | low;
    return MODBUS_OK;
}

int read_config_string(const PortInfo &port, char *text, int space) {
    if (text == nullptr)
        return MODBUS_ERR_NO_TEXT;
    std::uint16_t config = 0;
    if (read_holding_reg(port, MODBUS_REG_CONFIG, &config, CONFIG_BUDGET) != MODBUS_OK)
        return MODBUS_ERR_SEND;

    // A buffer of no bytes cannot even take the terminating zero.
    if (space > 0)
        text[0] = '\0';
    int used = 0;
    int remaining = space;
    int number = 1;

    // Once a piece no longer fits every later one is left out too, so the
    // text is only ever cut at a piece boundary.
    auto append = [&](const char *piece, int length) {
        remaining -= length;
        if (remaining > 0) {
            std::memcpy(text + used, piece, static_cast<std::size_t>(length));
            used += length;
            text[used] = '\0';
        }
    };

    for (const ConfigPiece &p : NUMBERED_PIECES) {
        if ((config & p.mask) == 0)
            continue;
        char scratch[PIECE_SCRATCH];
        int length = std::snprintf(scratch, sizeof scratch, p.format, number);
        ++number;
        append(scratch, length);
    }
    if ((config & BIDIR_MASK) != 0)
        append(BIDIR_PIECE, static_cast<int>(std::strlen(BIDIR_PIECE)));
    return MODBUS_OK;
}

int config_piece(const char *s) {
    std::size_t bidir = std::strlen(BIDIR_PIECE);
    if (std::strncmp(s, BIDIR_PIECE, bidir) == 0)
        return static_cast<int>(bidir);
    int digits = 0;
    while (s[digits] >= '0' && s[digits] <= '9')
        ++digits;
    if (digits == 0)
        return 0;
    // Each format is "%d" and its letter.
    for (const ConfigPiece &p : NUMBERED_PIECES)
        if (s[digits] == p.format[2])
            return digits + 1;
    return 0;
}
