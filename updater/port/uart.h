// Polled driver for the PL011 UART of each expansion port.  Budgets are
// reduced on every polling pass (see each operation).
#pragma once

#include "common/ports.h"

#include <cstdint>

// Results.
enum UartResult {
    UART_OK = 0,
    UART_ACK_OTHER = 1,    // uart_recv_ack: a byte came, but not the expected one
    UART_ERR_PORT = -1,    // bad argument (uart_recv_packet without buffer or length)
    UART_ERR_TIMEOUT = -2, // budget exhausted
};

// Line set-ups: 8E1 for the bootstrap loader, 8N1 for MODBUS.  Always 0.
int uart_init_bsl(const PortInfo &port);
int uart_init_modbus(const PortInfo &port);

// Writes one byte and waits for the transmitter (budget in nominal us, 10 per pass).
int uart_send_sync(const PortInfo &port, int byte, int budget);
// Waits for one byte (100 us per pass); UART_OK when it equals expected,
// UART_ACK_OTHER when it differs.
int uart_recv_ack(const PortInfo &port, int expected, int budget);
// Sends length bytes, pausing 1500 us before each (budget per byte while the FIFO is full).
int uart_send_packet(const PortInfo &port, const std::uint8_t *data, int length, int budget);
// Receives *length bytes; budget counts passes without data, anew after each
// byte.  A pass without data waits 1 us, or not at all where the kernel's
// timers are coarse.
int uart_recv_packet(const PortInfo &port, std::uint8_t *buffer, int *length, int budget);

// The kernel's sleeps are coarser than 1 ms (a kernel without high-resolution
// timers): a short sleep then lasts one to two scheduler ticks, 10 to 20 ms at
// 100 Hz, longer than the receive FIFO's 16 bytes take to arrive.
bool uart_timers_coarse(void);
// The kernel's sleep granularity in nanoseconds.
long uart_timer_resolution_ns(void);
// Optionally drops one received byte, then reads the receive status.  Always 0.
int uart_read_status(const PortInfo &port, int drain, std::uint8_t *status);
