// The serial driver and the bootstrap entry when no register access succeeds:
// waits run out instead of reporting transfers that did not happen, and the
// entry logs each failure and plays its pattern to the end.
#include "tests/devmem/mem_device.h"
#include "tests/devmem/test_platform.h"
#include "tests/support/port_row.h"
#include "updater/port/bsl_entry.h"
#include "updater/port/mem.h"
#include "updater/port/uart.h"

#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

class FailingDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        mem_set_device_for_tests("/dev/null"); // opens, but no page can be mapped
        devmem_test::reset();
    }
    void TearDown() override { mem_set_device_for_tests("/dev/mem"); }

    // The log without the register access layer's own lines.
    static std::vector<devmem_test::Logged> own_lines() {
        std::vector<devmem_test::Logged> out;
        for (const auto &l : devmem_test::logged())
            if (l.text.rfind("Memory map failed.", 0) != 0 && l.text != "Cannot open /dev/mem\n")
                out.push_back(l);
        return out;
    }
};

TEST_F(FailingDevice, SerialWaitsRunOutInsteadOfSucceeding) {
    EXPECT_EQ(uart_init_bsl(port_row(1)), 0);
    EXPECT_EQ(uart_send_sync(port_row(1), 0x80, 5000), -2);
    EXPECT_EQ(uart_recv_ack(port_row(1), 0x90, 5000), -2);
    const std::uint8_t data[] = {0x80, 0x18};
    EXPECT_EQ(uart_send_packet(port_row(2), data, 2, 5000), -2);
    std::uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int len = 4;
    EXPECT_EQ(uart_recv_packet(port_row(2), buf, &len, 50), -2);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(buf[0], 0xEE);
    std::uint8_t status = 0xEE;
    EXPECT_EQ(uart_read_status(port_row(1), 1, &status), 0);
    EXPECT_EQ(status, 0x00);
    // Each wait slept its whole budget: 5000 + 5000 + (1500 + 5000) + 50 us.
    EXPECT_EQ(devmem_test::slept_us(), 16550u);

    std::vector<std::string> own;
    for (const auto &l : own_lines())
        own.push_back(l.text);
    EXPECT_EQ(own,
              (std::vector<std::string>{"uart_recv_ack: Timeout expired on PORT1 expecting 0x90",
                                        "uart_recv_packet: timeout = 0, pos = 0, *packet_len=4"}));
}

TEST_F(FailingDevice, EntryLogsEveryFailureAndPlaysThePatternToTheEnd) {
    EXPECT_EQ(msp430_enter_bsl(port_row(2)), 0);
    std::vector<devmem_test::Logged> want = {
        {LOG_ERR, "msp430_enter_bsl: RAS select register (00C) read failed!"},
        {LOG_ERR, "msp430_enter_bsl: Control register (010) read failed!"},
        {LOG_WARNING, "Error reading GPIO_GPIOPeriphID0"},
        {LOG_WARNING, "Error reading GPIO_GPIOPeriphID1"},
        {LOG_WARNING, "Error reading GPIO_GPIOPeriphID2"},
        {LOG_WARNING, "Error reading GPIO_GPIOPeriphID3"},
        {LOG_INFO, "GPIO PeriphID: 0x00000000"},
        {LOG_WARNING, "Error reading GPIO_GPIOCellID0"},
        {LOG_WARNING, "Error reading GPIO_GPIOCellID1"},
        {LOG_WARNING, "Error reading GPIO_GPIOCellID2"},
        {LOG_WARNING, "Error reading GPIO_GPIOCellID3"},
        {LOG_INFO, "GPIO CellID: 0x00000000"},
        {LOG_WARNING, "msp430_set_bit8: GPIODATA reading failed (mask 0x08)!"},
        {LOG_WARNING, "msp430_clear_bit8: GPIODATA reading failed (mask 0x04)!"},
        {LOG_WARNING, "msp430_clear_bit8: GPIODATA reading failed (mask 0x08)!"},
        {LOG_WARNING, "msp430_set_bit8: GPIODATA reading failed (mask 0x08)!"},
        {LOG_WARNING, "msp430_clear_bit8: GPIODATA reading failed (mask 0x08)!"},
        {LOG_WARNING, "msp430_set_bit8: GPIODATA reading failed (mask 0x04)!"},
        {LOG_WARNING, "msp430_set_bit8: GPIODATA reading failed (mask 0x08)!"},
    };
    std::vector<devmem_test::Logged> got = own_lines();
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].level, want[i].level) << i;
        EXPECT_EQ(got[i].text, want[i].text) << i;
    }
    // 100 ms before the pattern, then its seven pauses.
    EXPECT_EQ(devmem_test::slept_us(), 102800u);

    // The device cannot even be opened: the same pattern, just more lines from
    // the register access layer.
    mem_set_device_for_tests("/nonexistent/mem");
    devmem_test::reset();
    EXPECT_EQ(msp430_enter_bsl(port_row(1)), 0);
    EXPECT_EQ(own_lines().size(), want.size());
    EXPECT_EQ(devmem_test::slept_us(), 102800u);
}

} // namespace
