// Polled driver for the PL011 UART of each expansion port.  Every wait is a
// loop of short waits (wait_us) and flag reads; only the waits count against a
// budget, the register accesses in between come on top.
#include "updater/port/uart.h"

#include "common/platform.h"
#include "common/ports.h"
#include "updater/port/mem.h"
#include "updater/port/wait.h"

#include <syslog.h>

namespace {

// PL011 registers, as offsets from a UART's base.
constexpr std::uint32_t UARTDR = 0x00;
constexpr std::uint32_t UARTRSR_ECR = 0x04;
constexpr std::uint32_t UARTFR = 0x18;
constexpr std::uint32_t UARTIBRD = 0x24;
constexpr std::uint32_t UARTLCR_H = 0x2C;
constexpr std::uint32_t UARTCR = 0x30;

// UARTFR bits.
constexpr std::uint16_t FR_BUSY = 0x08;
constexpr std::uint16_t FR_RXFE = 0x10;
constexpr std::uint16_t FR_TXFF = 0x20;
constexpr std::uint16_t FR_TXFE = 0x80;

// What a flag read that failed leaves behind: a transmitter still busy and
// full, a receiver with nothing to give.  A polling loop then waits out its
// budget instead of reporting a transfer that did not happen.
constexpr std::uint16_t FR_UNREADABLE = FR_BUSY | FR_RXFE | FR_TXFF;

constexpr std::uint16_t LCR_H_8E1 = 0x76;  // 8 bits, FIFOs on, even parity, 1 stop bit
constexpr std::uint16_t LCR_H_8N1 = 0x70;  // 8 bits, FIFOs on, no parity, 1 stop bit
constexpr std::uint16_t CR_ENABLE = 0x301; // UART, transmitter and receiver on

// The pause before each byte of a packet.
constexpr unsigned long PACKET_BYTE_PAUSE_US = 1500;

// The receive loop reads every waiting byte after a pause, so it loses bytes
// only when one pause outlasts about 16 byte times (~18 ms).  Sleeps coarser
// than this can, and a wait that times its end on a clock in ticks sleeps.
constexpr long COARSE_TIMER_NS = 1000000;

std::uint16_t read_flags(std::uint32_t base) {
    std::uint16_t fr = FR_UNREADABLE;
    mem_read16(base, UARTFR, &fr);
    return fr;
}

std::uint8_t read_data(std::uint32_t base) {
    std::uint16_t dr = 0;
    mem_read16(base, UARTDR, &dr);
    return static_cast<std::uint8_t>(dr & 0xFF);
}

int uart_init(const PortInfo &port, std::uint16_t lcr_h) {
    std::uint32_t base = port.uart_base;
    std::uint16_t cr = 0;
    mem_write16(base, UARTIBRD, port.uart_divisor);
    mem_write16(base, UARTLCR_H, lcr_h);
    mem_read16(base, UARTCR, &cr);
    mem_write16(base, UARTCR, CR_ENABLE);
    mem_read16(base, UARTCR, &cr);
    mem_write8(base, UARTRSR_ECR, 0); // clears pending receive errors
    return UART_OK;
}

} // namespace

int uart_init_bsl(const PortInfo &port) {
    return uart_init(port, LCR_H_8E1);
}

int uart_init_modbus(const PortInfo &port) {
    return uart_init(port, LCR_H_8N1);
}

int uart_send_sync(const PortInfo &port, int byte, int budget) {
    std::uint32_t base = port.uart_base;
    mem_write16(base, UARTDR, static_cast<std::uint32_t>(byte) & 0xFF);
    for (;;) {
        wait_us(10);
        std::uint16_t fr = read_flags(base);
        budget -= 10;
        if (budget <= 0)
            return UART_ERR_TIMEOUT;
        if ((fr & (FR_BUSY | FR_TXFE)) != FR_BUSY)
            return UART_OK;
    }
}

int uart_recv_ack(const PortInfo &port, int expected, int budget) {
    std::uint32_t base = port.uart_base;
    for (;;) {
        wait_us(100);
        std::uint16_t fr = read_flags(base);
        budget -= 100;
        if (budget <= 0) {
            // A byte that shows up in the last pass is left in the FIFO.
            plat_syslog(LOG_WARNING, "%s: Timeout expired on PORT%d expecting 0x%02X",
                        "uart_recv_ack", port.number, static_cast<unsigned>(expected));
            return UART_ERR_TIMEOUT;
        }
        if (!(fr & FR_RXFE))
            break;
    }
    std::uint8_t got = read_data(base);
    if (got == expected)
        return UART_OK;
    plat_syslog(LOG_WARNING, "%s: ACK failed. Received 0x%02X, but expected 0x%02X",
                "uart_recv_ack", static_cast<unsigned>(got), static_cast<unsigned>(expected));
    return UART_ACK_OTHER;
}

int uart_send_packet(const PortInfo &port, const std::uint8_t *data, int length, int budget) {
    std::uint32_t base = port.uart_base;
    for (int i = 0; i < length; ++i) {
        wait_us(PACKET_BYTE_PAUSE_US);
        mem_write16(base, UARTDR, data[i]);
        // Room for the next byte is awaited after this one went in.
        int remaining = budget;
        std::uint16_t fr = read_flags(base);
        while (fr & FR_TXFF) {
            wait_us(100);
            remaining -= 100;
            if (remaining <= 0)
                return UART_ERR_TIMEOUT;
            fr = read_flags(base);
        }
        if (remaining <= 0)
            return UART_ERR_TIMEOUT;
    }
    return UART_OK;
}

int uart_recv_packet(const PortInfo &port, std::uint8_t *buffer, int *length, int budget) {
    if (!buffer) {
        plat_syslog(LOG_ERR, "%s: Target buffer is %p", "uart_recv_packet",
                    static_cast<void *>(buffer));
        return UART_ERR_PORT;
    }
    if (!length) {
        plat_syslog(LOG_ERR, "%s: Expected length pointer is %p", "uart_recv_packet",
                    static_cast<void *>(length));
        return UART_ERR_PORT;
    }
    std::uint32_t base = port.uart_base;
    int pos = 0;
    int remaining = budget;
    // On coarse timers a pass without data polls the flags again at once; the
    // passes still count against the budget.
    bool sleeps = !uart_timers_coarse();
    for (;;) {
        std::uint16_t fr = read_flags(base);
        --remaining;
        // Never more than the expected count is taken: the buffer holds no more,
        // and later bytes stay in the FIFO.
        if ((fr & FR_RXFE) || pos >= *length) {
            if (sleeps)
                wait_us(1);
        } else {
            buffer[pos++] = read_data(base);
            remaining = budget;
        }
        if (pos >= *length && remaining > 0) {
            *length = pos;
            return UART_OK;
        }
        if (remaining <= 0)
            break;
    }
    plat_syslog(LOG_WARNING, "%s: timeout = %d, pos = %d, *packet_len=%d", "uart_recv_packet",
                remaining, pos, *length);
    *length = pos;
    return UART_ERR_TIMEOUT;
}

long uart_timer_resolution_ns(void) {
    return plat_sleep_resolution_ns();
}

bool uart_timers_coarse(void) {
    return uart_timer_resolution_ns() > COARSE_TIMER_NS;
}

int uart_read_status(const PortInfo &port, int drain, std::uint8_t *status) {
    std::uint32_t base = port.uart_base;
    if (drain) {
        std::uint16_t dropped = 0;
        mem_read16(base, UARTDR, &dropped);
    }
    std::uint8_t rsr = 0;
    mem_read8(base, UARTRSR_ECR, &rsr);
    if (status)
        *status = rsr;
    return UART_OK;
}
