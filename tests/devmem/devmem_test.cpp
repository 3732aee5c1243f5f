// Register access over a sparse 4 GiB file that stands in for physical memory:
// the device is opened once and kept, each access reaches exactly the bytes of
// its register at the right physical address, and failures are logged.
#define _FILE_OFFSET_BITS 64

#include "tests/devmem/mem_device.h"
#include "tests/devmem/test_platform.h"
#include "tests/support/regmap.h"
#include "updater/port/mem.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {

using regmap::GPIO;
using regmap::UART1;
using regmap::UART2;
constexpr off_t PHYS_SIZE = off_t{1} << 32;

// Descriptors of this process whose target is `path` (also once it is deleted).
int open_count(const std::string &path) {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent *e = readdir(d)) {
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        char target[4096];
        ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
        if (len <= 0)
            continue;
        target[len] = '\0';
        if (path == target || path + " (deleted)" == target)
            ++n;
    }
    closedir(d);
    return n;
}

class DevMem : public ::testing::Test {
  protected:
    std::string path;

    void SetUp() override {
        char tmpl[] = "/tmp/devmem_test_XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, PHYS_SIZE), 0);
        close(fd);
        path = tmpl;
        mem_set_device_for_tests(path.c_str());
        devmem_test::reset();
    }
    void TearDown() override {
        mem_set_device_for_tests("/dev/mem");
        unlink(path.c_str());
    }

    // The "physical memory" as the file holds it.
    void put(std::uint32_t address, std::vector<std::uint8_t> bytes) {
        int fd = open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), address),
                  static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    std::vector<std::uint8_t> get(std::uint32_t address, std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        int fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(pread(fd, bytes.data(), n, address), static_cast<ssize_t>(n));
        close(fd);
        return bytes;
    }
    static std::vector<std::string> texts() { return devmem_test::logged_texts(); }
};

using Bytes = std::vector<std::uint8_t>;

TEST_F(DevMem, FirstAccessOpensTheDeviceAndLaterOnesKeepIt) {
    for (bool read_first : {true, false}) {
        SCOPED_TRACE(read_first ? "read first" : "write first");
        TearDown();
        SetUp();
        put(UART1 + 0x30, {0x01, 0x03});
        EXPECT_EQ(open_count(path), 0);
        std::uint16_t cr = 0;
        if (read_first)
            ASSERT_EQ(mem_read16(UART1, 0x30, &cr), 0);
        else
            ASSERT_EQ(mem_write16(UART1, 0x24, 312), 0);
        EXPECT_EQ(open_count(path), 1);

        // With the file gone from its path, only the kept descriptor reaches it.
        ASSERT_EQ(unlink(path.c_str()), 0);
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(mem_write8(UART1, 0x04, 0), 0);
            ASSERT_EQ(mem_read16(UART1, 0x30, &cr), 0);
        }
        EXPECT_EQ(cr, 0x0301);
        EXPECT_EQ(open_count(path), 1);
        EXPECT_TRUE(devmem_test::logged().empty());
    }
}

TEST_F(DevMem, ReadWithoutDestinationOnlyOpens) {
    std::uint8_t *none = nullptr;
    EXPECT_EQ(mem_read8(GPIO, 0xF0, none), 0);
    EXPECT_EQ(open_count(path), 1);

    // On a device that cannot be mapped the open still succeeds; nothing is
    // mapped, so nothing is logged.
    mem_set_device_for_tests("/dev/null");
    EXPECT_EQ(mem_read16(UART1, 0x18, nullptr), 0);
    EXPECT_EQ(mem_read32(UART1, 0x18, nullptr), 0);
    EXPECT_TRUE(devmem_test::logged().empty());
}

TEST_F(DevMem, UnopenableDeviceFailsAndLogsEveryAccessUntilItAppears) {
    std::string missing = path + ".missing";
    mem_set_device_for_tests(missing.c_str());
    std::uint8_t v8 = 0xEE;
    std::uint16_t v16 = 0xEEEE;
    std::uint32_t v32 = 0xEEEEEEEE;
    EXPECT_EQ(mem_read8(GPIO, 0xF0, &v8), -1);
    EXPECT_EQ(mem_read16(UART1, 0x18, &v16), -1);
    EXPECT_EQ(mem_read32(UART1, 0x18, &v32), -1);
    EXPECT_EQ(mem_read32(UART1, 0x18, nullptr), -1);
    EXPECT_EQ(mem_write8(GPIO, 0xF0, 1), -1);
    EXPECT_EQ(mem_write16(UART1, 0x00, 1), -1);
    EXPECT_EQ(mem_write32(UART1, 0x00, 1), -1);
    EXPECT_EQ(v8, 0xEE);
    EXPECT_EQ(v16, 0xEEEE);
    EXPECT_EQ(v32, 0xEEEEEEEEu);
    ASSERT_EQ(devmem_test::logged().size(), 7u);
    for (const auto &l : devmem_test::logged()) {
        EXPECT_EQ(l.level, LOG_ERR);
        EXPECT_EQ(l.text, "Cannot open /dev/mem\n");
    }

    // A failed open is not remembered: the next access tries again.
    ASSERT_EQ(rename(path.c_str(), missing.c_str()), 0);
    path = missing;
    EXPECT_EQ(mem_write32(UART1, 0x00, 0x5A), 0);
    EXPECT_EQ(get(UART1, 4), (Bytes{0x5A, 0, 0, 0}));
}

TEST_F(DevMem, MappingFailureIsLoggedAndLeavesTheDescriptorOpen) {
    mem_set_device_for_tests("/dev/null"); // opens, cannot be mapped
    std::uint32_t v = 0xEEEEEEEE;
    EXPECT_EQ(mem_read32(UART1, 0x18, &v), -1);
    EXPECT_EQ(mem_write32(UART1, 0x00, 1), -1);
    EXPECT_EQ(v, 0xEEEEEEEEu);
    ASSERT_EQ(devmem_test::logged().size(), 2u);
    std::string marker = sizeof(void *) == 8 ? "0xffffffffffffffff" : "0xffffffff";
    for (const auto &l : devmem_test::logged()) {
        EXPECT_EQ(l.level, LOG_ERR);
        EXPECT_EQ(l.text, std::string("Memory map failed. error ") + std::strerror(ENODEV) +
                              " at " + marker);
    }
}

TEST_F(DevMem, BaseAboveTwoGigabytesReachesItsOwnPage) {
    put(UART1 + 0x18, {0x90, 0x00});
    put(UART2 + 0x18, {0x80, 0x00});
    std::uint16_t fr1 = 0, fr2 = 0;
    EXPECT_EQ(mem_read16(UART1, 0x18, &fr1), 0);
    EXPECT_EQ(mem_read16(UART2, 0x18, &fr2), 0);
    EXPECT_EQ(fr1, 0x90);
    EXPECT_EQ(fr2, 0x80);

    EXPECT_EQ(mem_write32(regmap::CLK, regmap::PERIP1_CLK_ENB_OFFSET, 0x00040001), 0);
    EXPECT_EQ(get(regmap::CLK + regmap::PERIP1_CLK_ENB_OFFSET, 4), (Bytes{0x01, 0x00, 0x04, 0x00}));
    // The lowest page of the file, where a truncated offset would land, is untouched.
    EXPECT_EQ(get(0x7CA8002C, 4), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(get(0x0000002C, 4), (Bytes{0, 0, 0, 0}));
}

// Each width touches exactly its register's bytes, writes the low bits of the
// value, and reads back unsigned.
TEST_F(DevMem, EachWidthTouchesExactlyItsBytes) {
    const std::uint32_t reg = GPIO + 0x100;
    auto fill = [&] { put(reg - 4, Bytes(12, 0xA5)); };

    fill();
    EXPECT_EQ(mem_write8(GPIO, 0x100, 0x1234), 0);
    EXPECT_EQ(get(reg - 4, 12),
              (Bytes{0xA5, 0xA5, 0xA5, 0xA5, 0x34, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}));
    fill();
    EXPECT_EQ(mem_write16(GPIO, 0x100, 0xABCDEF), 0);
    EXPECT_EQ(get(reg - 4, 12),
              (Bytes{0xA5, 0xA5, 0xA5, 0xA5, 0xEF, 0xCD, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}));
    fill();
    EXPECT_EQ(mem_write32(GPIO, 0x100, 0x80112233), 0);
    EXPECT_EQ(get(reg - 4, 12),
              (Bytes{0xA5, 0xA5, 0xA5, 0xA5, 0x33, 0x22, 0x11, 0x80, 0xA5, 0xA5, 0xA5, 0xA5}));

    // Reads: top bit set, neighbours all ones; the destination next to the
    // value is not written either.
    put(reg - 4, Bytes(12, 0xFF));
    put(reg, {0x81, 0x80, 0x7F, 0x80});
    struct {
        std::uint8_t before[4];
        std::uint16_t v16;
        std::uint8_t after[4];
    } dst16;
    std::memset(&dst16, 0x5C, sizeof dst16);
    EXPECT_EQ(mem_read16(GPIO, 0x100, &dst16.v16), 0);
    EXPECT_EQ(std::uint32_t{dst16.v16}, 0x8081u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(dst16.before[i], 0x5C);
        EXPECT_EQ(dst16.after[i], 0x5C);
    }
    std::uint8_t v8 = 0;
    std::uint32_t v32 = 0;
    EXPECT_EQ(mem_read8(GPIO, 0x101, &v8), 0);
    EXPECT_EQ(mem_read32(GPIO, 0x100, &v32), 0);
    EXPECT_EQ(v8, 0x80);
    EXPECT_EQ(v32, 0x807F8081u);

    // The last register of the page.
    put(GPIO + 0xFFC, {0xB1, 0x05, 0xF0, 0x0D});
    EXPECT_EQ(mem_read32(GPIO, 0xFFC, &v32), 0);
    EXPECT_EQ(v32, 0x0DF005B1u);
    EXPECT_TRUE(devmem_test::logged().empty());
}

// An access that would leave the mapped page, or straddle its width, is refused
// instead of touching memory that is not mapped.
TEST_F(DevMem, AccessOutsideThePageIsRefused) {
    long page = sysconf(_SC_PAGESIZE);
    std::uint32_t v32 = 0xEEEEEEEE;
    std::uint16_t v16 = 0xEEEE;
    EXPECT_EQ(mem_read32(GPIO, static_cast<std::uint32_t>(page) - 2, &v32), -1);
    EXPECT_EQ(mem_write8(GPIO, static_cast<std::uint32_t>(page), 1), -1);
    EXPECT_EQ(mem_read16(UART1, 0x19, &v16), -1);
    EXPECT_EQ(v32, 0xEEEEEEEEu);
    EXPECT_EQ(v16, 0xEEEE);
    EXPECT_EQ(devmem_test::logged().size(), 3u);

    // A base off a page boundary cannot be mapped.
    devmem_test::reset();
    EXPECT_EQ(mem_read32(UART1 + 0x800, 0x18, &v32), -1);
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0].rfind("Memory map failed. error ", 0), 0u);
}

} // namespace
