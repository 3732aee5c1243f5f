// Whole updates of boards across the data sheet's envelope: each axis at its
// edge, long records at the slowest flash, and the worst corner of all.  Every
// row ends in exit 0 with the board running the image byte for byte.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

using testing_support::json_field;
using testing_support::World;

namespace {

const std::string IMAGE = "V1a2a3c4b5b6b7o.hex";

struct Corner {
    const char *name;
    std::vector<std::string> settings; // of PORT1's board
    int kernel_hz;
    int record_length; // 0: the image as it is, else records of this many bytes
};

void PrintTo(const Corner &c, std::ostream *os) {
    *os << c.name;
}

// The image's data regrouped into records of n bytes (the last one of a run
// shorter), ending with its start and end-of-file records.
std::string regrouped(const std::string &hex, int n) {
    std::map<unsigned, unsigned> bytes;
    std::istringstream in(hex);
    unsigned base = 0;
    std::string tail, line;
    while (std::getline(in, line)) {
        if (line.size() < 11 || line[0] != ':')
            continue;
        unsigned len = std::stoul(line.substr(1, 2), nullptr, 16);
        unsigned address = std::stoul(line.substr(3, 4), nullptr, 16);
        unsigned type = std::stoul(line.substr(7, 2), nullptr, 16);
        if (type == 0)
            for (unsigned i = 0; i < len; ++i)
                bytes[base + address + i] = std::stoul(line.substr(9 + 2 * i, 2), nullptr, 16);
        else if (type == 2)
            base = std::stoul(line.substr(9, 4), nullptr, 16) * 16;
        else
            tail += line + "\n";
    }
    std::string out;
    auto it = bytes.begin();
    while (it != bytes.end()) {
        unsigned address = it->first;
        std::vector<unsigned> data;
        while (it != bytes.end() && it->first == address + data.size() &&
               static_cast<int>(data.size()) < n)
            data.push_back((it++)->second);
        unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF);
        char buf[16];
        std::snprintf(buf, sizeof buf, ":%02X%04X00", static_cast<unsigned>(data.size()), address);
        out += buf;
        for (unsigned b : data) {
            std::snprintf(buf, sizeof buf, "%02X", b);
            out += buf;
            sum += b;
        }
        std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - sum % 0x100) % 0x100);
        out += buf;
    }
    return out + tail;
}

class Envelope : public ::testing::TestWithParam<Corner> {};

TEST_P(Envelope, UpdateRunsTheImage) {
    const Corner &c = GetParam();
    World w, reference;
    std::string fw = "/opt/tarvo_update/fw/" + IMAGE;
    if (c.record_length > 0)
        testing_support::write_file(
            w.path(fw), regrouped(testing_support::read_file(w.path(fw)), c.record_length));
    // The kernel's clock step belongs to the world, the rest to PORT1's board.
    bool coarse_clock = false;
    for (const std::string &item : c.settings) {
        bool kernel = item.starts_with("clock-step-us=");
        coarse_clock = coarse_clock || kernel;
        if (kernel)
            ASSERT_EQ(w.sim({"set", w.root(), item}).status, 0) << item;
        else
            ASSERT_EQ(w.sim({"set", w.root(), "1", item}).status, 0) << item;
    }
    ASSERT_EQ(w.sim({"set", w.root(), "kernel-hz=" + std::to_string(c.kernel_hz)}).status, 0);

    auto r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("Reading new TARVO config on PORT1 ... 1a2a3c4b5b6b7o <font "
                                "color=\"green\">&#10004;</font>\n"))
        << r.out;
    bool later = !c.settings.empty() && c.settings[0] == "loader=1.61";
    EXPECT_NE(r.out.find(later ? "Patching device on PORT1 ... not needed\n"
                               : "Patching device on PORT1 ... done\n"),
              std::string::npos);
    // One warning on a ticking kernel, and where the clock ticks too it says
    // that the waits sleep.
    std::string warning;
    for (const auto &m : w.messages())
        if (m.text.rfind("report_kernel_timing: Kernel timers are coarse", 0) == 0)
            warning += m.text;
    EXPECT_EQ(!warning.empty(), c.kernel_hz != 0 && (c.kernel_hz < 1000 || coarse_clock));
    EXPECT_EQ(warning.find("waits sleep whole ticks") != std::string::npos, coarse_clock)
        << warning;

    // Byte for byte what a programmer would have put there.
    ASSERT_EQ(reference.sim({"flash", reference.root(), "1", w.path(fw)}).status, 0);
    std::string board = w.sim({"show", w.root()}).out;
    std::string expected = reference.sim({"show", reference.root()}).out;
    EXPECT_EQ(json_field(board, "flash_crc32"), json_field(expected, "flash_crc32"));
    EXPECT_EQ(json_field(board, "mode"), "running");
}

const std::vector<std::string> WORST = {"loader=1.61", "flash-byte-us=136.186",
                                        "cumulative-erase=yes", "erase-cycle-us=11100",
                                        "firmware-start-ms=1500"};

INSTANTIATE_TEST_SUITE_P(
    Corners, Envelope,
    ::testing::Values(Corner{"SlowestFlash", {"flash-byte-us=136.186"}, 0, 0},
                      Corner{"FastestFlash", {"flash-byte-us=73.5"}, 0, 0},
                      Corner{"SlowestErase", {"erase-cycle-us=20610.894"}, 0, 0},
                      Corner{"CumulativeEraseAtTheFastestCycle",
                             {"cumulative-erase=yes", "erase-cycle-us=11100"},
                             0,
                             0},
                      Corner{"Loader161", {"loader=1.61"}, 0, 0},
                      Corner{"SlowFirmwareStart", {"firmware-start-ms=1500"}, 0, 0},
                      Corner{"Kernel250Hz", {}, 250, 0}, Corner{"Kernel100Hz", {}, 100, 0},
                      Corner{"Kernel1000Hz", {}, 1000, 0},
                      Corner{"Kernel100HzWithAClockInTicks", {"clock-step-us=10000"}, 100, 0},
                      Corner{"Records32AtTheSlowestFlash", {"flash-byte-us=136.186"}, 0, 32},
                      Corner{"Records255AtTheSlowestFlash", {"flash-byte-us=136.186"}, 0, 255},
                      Corner{"WorstCorner", WORST, 100, 0}),
    [](const ::testing::TestParamInfo<Corner> &info) { return std::string(info.param.name); });

// On a 100 Hz kernel every byte still leaves at least 1500 us after the one
// before it (the register trace times each write of the data register), and
// the pauses are not rounded up to ticks: the closest bytes leave well within
// a tick of each other.
TEST(EnvelopeTiming, BytesKeepTheirPauseOnA100HzKernel) {
    World w;
    ASSERT_EQ(w.sim({"set", w.root(), "kernel-hz=100"}).status, 0);
    std::string trace = w.path("/tmp/trace");
    auto r = w.update({"1", IMAGE}, {"TARVO_SIM_TRACE=" + trace});
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(trace);
    std::string line;
    long writes = 0, last = -1, closest = -1;
    while (std::getline(in, line)) {
        // "TIME W 16 0xD0000000 VALUE": a byte written to PORT1's data register.
        if (line.find(" W 16 0xD0000000 ") == std::string::npos)
            continue;
        long micros = std::stol(line);
        if (last >= 0 && (closest < 0 || micros - last < closest))
            closest = micros - last;
        last = micros;
        ++writes;
    }
    EXPECT_GT(writes, 40000);
    EXPECT_GE(closest, 1500);
    EXPECT_LT(closest, 1600);
}

} // namespace
