// Frames and commands of the MSP430 ROM bootstrap loader.  Every command is
// self-contained: it builds its frame, makes its own SYNC exchange, sends the
// frame and waits for the answer.  Nothing is retried.
#include "updater/bsl/bsl.h"

#include "common/platform.h"
#include "updater/port/uart.h"
#include "updater/port/wait.h"

#include <array>
#include <cstring>
#include <syslog.h>

namespace {

// How the last exchange with the loader went wrong on the line, for the words
// of a failure (bsl_failure_text).
enum LineFault {
    LINE_OK,         // nothing went wrong on the line (or nothing was sent)
    LINE_SILENT,     // no answer came within the budget
    LINE_OTHER_BYTE, // an answer came, but not the acknowledge
    LINE_SEND,       // the frame did not go out
    LINE_SHORT,      // the answer came incomplete
};
LineFault line_fault = LINE_OK;

// Waits for the loader's acknowledge and notes how it failed.
int await_ack(const PortInfo &port, int budget) {
    int rc = uart_recv_ack(port, BSL_ACK, budget);
    line_fault = rc == UART_OK ? LINE_OK : rc == UART_ACK_OTHER ? LINE_OTHER_BYTE : LINE_SILENT;
    return rc;
}

// A command frame without data: HDR CMD L1 L2 AL AH LL LH CKL CKH.
using ShortFrame = std::array<std::uint8_t, BSL_FRAME_OVERHEAD>;

void frame_head(std::uint8_t *frame, std::uint8_t cmd, int data_length, std::uint32_t address,
                std::uint8_t ll, std::uint8_t lh) {
    std::uint8_t l = static_cast<std::uint8_t>((data_length + 4) & 0xFF);
    frame[0] = BSL_HDR;
    frame[1] = cmd;
    frame[2] = l;
    frame[3] = l;
    frame[4] = static_cast<std::uint8_t>(address & 0xFF);
    frame[5] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
    frame[6] = ll;
    frame[7] = lh;
}

// Every command's exchange: the SYNC, then the frame.  BSL_ERR_NAK when the
// SYNC failed; send_failure, logged for the command, when the frame did not go
// out.  The command then awaits its answer.
int send_command(const PortInfo &port, const char *command, const std::uint8_t *frame, int length,
                 int send_failure) {
    line_fault = LINE_OK;
    if (bsl_sync(port) != BSL_OK)
        return BSL_ERR_NAK;
    int rc = uart_send_packet(port, frame, length, BSL_BUDGET);
    if (rc != UART_OK) {
        plat_syslog(LOG_ERR, "%s: UART send packet failed: %d", command, rc);
        line_fault = LINE_SEND;
        return send_failure;
    }
    return BSL_OK;
}

ShortFrame short_frame(std::uint8_t cmd, std::uint32_t address, std::uint8_t ll, std::uint8_t lh) {
    ShortFrame frame{};
    frame_head(frame.data(), cmd, 0, address, ll, lh);
    bsl_checksum(frame.data(), BSL_FRAME_HEAD);
    return frame;
}

} // namespace

void bsl_checksum(std::uint8_t *frame, std::uint16_t count) {
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (i % 2 == 0)
            low ^= frame[i];
        else
            high ^= frame[i];
    }
    frame[count] = static_cast<std::uint8_t>(~low);
    frame[count + 1] = static_cast<std::uint8_t>(~high);
}

int bsl_sync(const PortInfo &port) {
    // A SYNC byte that could not be sent shows up as a missing ACK.
    uart_send_sync(port, BSL_SYNC, BSL_BUDGET);
    int rc = await_ack(port, BSL_BUDGET);
    if (rc == UART_OK) {
        wait_us(BSL_SYNC_PAUSE_US);
        return BSL_OK;
    }
    if (rc == UART_ACK_OTHER)
        plat_syslog(LOG_ERR, "%s: Unexpected ACK(exp. 0x%02X) value received", "bsl_sync", BSL_ACK);
    else if (rc == UART_ERR_TIMEOUT)
        plat_syslog(LOG_ERR, "%s: ACK timeout of %d us reached.", "bsl_sync", BSL_BUDGET);
    else
        plat_syslog(LOG_ERR, "%s: Unknown error %d", "bsl_sync", rc);
    return BSL_ERR_NAK;
}

int msp430_mass_erase(const PortInfo &port) {
    // Erase control word 0xA506 selects a mass erase.
    ShortFrame frame = short_frame(BSL_CMD_MASS_ERASE, 0, 0x06, 0xA5);
    int rc = send_command(port, "msp430_mass_erase", frame.data(), static_cast<int>(frame.size()),
                          BSL_ERR_PACKET);
    if (rc != BSL_OK)
        return rc;
    // Any answer byte counts: only silence is a failure here.
    if (await_ack(port, BSL_ERASE_ACK_BUDGET) < 0)
        return BSL_ERR_ERASE;
    return BSL_OK;
}

int msp430_send_passwd(const PortInfo &port) {
    std::array<std::uint8_t, BSL_PASSWORD_SIZE + BSL_FRAME_OVERHEAD> frame{};
    frame_head(frame.data(), BSL_CMD_RX_PASSWORD, BSL_PASSWORD_SIZE, 0, 0, 0);
    std::memset(frame.data() + BSL_FRAME_HEAD, MSP430_ERASED_BYTE, BSL_PASSWORD_SIZE);
    bsl_checksum(frame.data(), BSL_FRAME_HEAD + BSL_PASSWORD_SIZE);
    int rc = send_command(port, "msp430_send_passwd", frame.data(), static_cast<int>(frame.size()),
                          BSL_ERR_PACKET);
    if (rc != BSL_OK)
        return rc;
    if (await_ack(port, BSL_BUDGET) != UART_OK) {
        plat_syslog(LOG_ERR, "%s: ACK failed: 0x%02X", "msp430_send_passwd", BSL_ACK);
        return BSL_ERR_NAK;
    }
    return BSL_OK;
}

int msp430_load_pc(const PortInfo &port, std::uint32_t address, int verbose) {
    if (verbose)
        plat_syslog(LOG_INFO, "Starting code at %04X:%04X", address & 0xFFFFu, address >> 16);
    ShortFrame frame = short_frame(BSL_CMD_LOAD_PC, address, 0, 0);
    int rc = send_command(port, "msp430_load_pc", frame.data(), static_cast<int>(frame.size()),
                          BSL_ERR_TRANSMIT);
    if (rc != BSL_OK)
        return rc;
    if (await_ack(port, BSL_BUDGET) != UART_OK) {
        plat_syslog(LOG_ERR, "%s: ACK(exp. 0x%02X) failed", "msp430_load_pc", BSL_ACK);
        return BSL_ERR_NAK;
    }
    return BSL_OK;
}

int msp430_write_memory(const PortInfo &port, std::uint32_t address, const std::uint8_t *data,
                        int length) {
    if (length < 0 || length > BSL_MAX_WRITE || (length > 0 && data == nullptr)) {
        plat_syslog(LOG_ERR, "%s: Error building BSL write packet for 0x%08X.",
                    "msp430_write_memory", address);
        return BSL_ERR_PACKET;
    }
    std::array<std::uint8_t, BSL_MAX_WRITE + BSL_FRAME_OVERHEAD> frame{};
    static_assert(BSL_MAX_WRITE + 4 <= 0xFF, "L1 = n + 4 fits its byte");
    frame_head(frame.data(), BSL_CMD_RX_DATA, length, address,
               static_cast<std::uint8_t>(length & 0xFF), 0);
    if (length > 0)
        std::memcpy(frame.data() + BSL_FRAME_HEAD, data, static_cast<std::size_t>(length));
    bsl_checksum(frame.data(), static_cast<std::uint16_t>(BSL_FRAME_HEAD + length));
    int rc = send_command(port, "msp430_write_memory", frame.data(), length + BSL_FRAME_OVERHEAD,
                          BSL_ERR_TRANSMIT);
    if (rc == BSL_ERR_NAK)
        plat_syslog(LOG_ERR, "%s: BSL SYNC before write at 0x%08X error", "msp430_write_memory",
                    address);
    if (rc != BSL_OK)
        return rc;
    if (await_ack(port, BSL_BUDGET) != UART_OK) {
        plat_syslog(LOG_ERR, "%s: ACK failed for BSL write at 0x%08X", "msp430_write_memory",
                    address);
        return BSL_ERR_NAK;
    }
    return BSL_OK;
}

int msp430_read_memory(const PortInfo &port, std::uint32_t address, std::uint8_t *buffer,
                       int length) {
    if (length < 0 || length > BSL_MAX_WRITE) {
        plat_syslog(LOG_ERR, "%s: Error building BSL read packet for 0x%08X.", "msp430_read_memory",
                    address);
        return BSL_ERR_PACKET;
    }
    ShortFrame frame =
        short_frame(BSL_CMD_TX_DATA, address, static_cast<std::uint8_t>(length & 0xFF), 0);
    int rc = send_command(port, "msp430_read_memory", frame.data(), static_cast<int>(frame.size()),
                          BSL_ERR_PACKET);
    if (rc != BSL_OK)
        return rc;
    int expected = length + BSL_ANSWER_OVERHEAD;
    rc = uart_recv_packet(port, buffer, &expected, BSL_BUDGET);
    if (rc != UART_OK) {
        plat_syslog(LOG_ERR, "%s: UART receive packet failed: %d", "msp430_read_memory", rc);
        line_fault = LINE_SHORT;
        return BSL_ERR_PACKET;
    }
    return BSL_OK;
}

const char *bsl_failure_text(int code) {
    switch (code) {
    case BSL_ERR_ERASE:
        return "no answer from the loader to the mass erase";
    case BSL_ERR_VERIFY:
        return "read-back differs from what was written";
    case BSL_ERR_TOO_LONG:
        return "a block is too long for the loader";
    case BSL_ERR_IDENT:
        return "identification unreadable (it names no loader version)";
    default:
        break;
    }
    switch (line_fault) {
    case LINE_SILENT:
        return "no answer from the loader";
    case LINE_OTHER_BYTE:
        return "not acknowledged by the loader";
    case LINE_SEND:
        return "the serial line did not send the frame";
    case LINE_SHORT:
        return "incomplete answer from the loader";
    default:
        break;
    }
    return "the loader's frame could not be built";
}
