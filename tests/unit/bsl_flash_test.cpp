// The RAM patch and the flashing of records, against a scripted loader on the
// simulated line.
#include "tests/support/capture.h"
#include "tests/support/port_row.h"
#include "tests/unit/bsl_test_partner.h"
#include "updater/bsl/bsl.h"
#include "updater/hexfile/hexfile.h"
#include "updater/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

using bsl_test::ACK;
using bsl_test::Frame;
using bsl_test::LoaderPartner;
using bsl_test::NAK;

namespace {

std::vector<std::string> errors() {
    std::vector<std::string> out;
    for (const auto &l : bsl_test::log())
        if (l.rfind("err ", 0) == 0 || l.rfind("warn ", 0) == 0)
            out.push_back(l);
    return out;
}

bool logged(const std::string &line) {
    for (const auto &l : bsl_test::log())
        if (l == line)
            return true;
    return false;
}

// What the flashing prints on standard output.
using Stdout = testing_support::StdoutCapture;

// Every test starts, as a run does, with loader 1.10's profile.
void assume_loader_1_10() {
    ASSERT_EQ(loader_profile(0x0110, &bsl_loader), 0);
}

std::vector<int> commands(const LoaderPartner &partner) {
    std::vector<int> out;
    for (const auto &f : partner.frames)
        out.push_back(f.cmd());
    return out;
}

class BslPatch : public ::testing::Test {
  protected:
    LoaderPartner partner{2};
    void SetUp() override {
        bsl_test::start(partner, 2);
        assume_loader_1_10();
    }
    void TearDown() override {
        bsl_test::stop(2);
        assume_loader_1_10();
    }
};

TEST(LoaderProfiles, OnlyLoader110AndBelowNeedThePatch) {
    const struct {
        std::uint16_t version;
        int rc;
        bool patch;
    } rows[] = {
        {0x0110, 0, true},    {0x0100, 0, true},    {0x0130, 0, false},   {0x0140, 0, false},
        {0x0160, 0, false},   {0x0161, 0, false},   {0x0220, 0, false},   {0x011A, -16, false},
        {0x01F0, -16, false}, {0xA110, -16, false}, {0xFFFF, -16, false},
    };
    for (const auto &row : rows) {
        const LoaderProfile *p = nullptr;
        EXPECT_EQ(loader_profile(row.version, &p), row.rc) << std::hex << row.version;
        if (row.rc == 0) {
            EXPECT_EQ(p->needs_patch, row.patch) << std::hex << row.version;
        }
    }
}

TEST_F(BslPatch, LoadsAndChecksTheImage) {
    ASSERT_EQ(msp430_patch_bsl(port_row(2)), 0);
    ASSERT_EQ(partner.frames.size(), 6u);
    EXPECT_EQ(partner.frames[0].cmd(), 0x10);
    // The identification is read first, 16 bytes from 0x0FF0.
    EXPECT_EQ(partner.frames[1].bytes,
              bsl_test::bytes({0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x10, 0x00, 0x9B, 0xE0}));
    EXPECT_EQ(partner.frames[2].cmd(), 0x1A);
    EXPECT_EQ(partner.frames[2].address(), 0x0C22);
    EXPECT_EQ(partner.frames[3].cmd(), 0x10);
    EXPECT_EQ(partner.frames[4].cmd(), 0x12);
    EXPECT_EQ(partner.frames[4].bytes.size(), 204u);
    EXPECT_EQ(partner.frames[5].cmd(), 0x14);
    EXPECT_TRUE(bsl_loader->needs_patch);
    EXPECT_EQ(0, std::memcmp(&partner.memory[0x0220], bsl_patch_image, BSL_PATCH_SIZE));
    // The image begins by setting up the stack and ends with a return.
    EXPECT_EQ(bsl_patch_image[0], 0x31);
    EXPECT_EQ(bsl_patch_image[BSL_PATCH_SIZE - 2], 0x30);
    EXPECT_EQ(bsl_patch_image[BSL_PATCH_SIZE - 1], 0x41);
    EXPECT_EQ(bsl_test::log(),
              (std::vector<std::string>{"info MSP430 device ID 0xF149, loader version 1.10",
                                        "info Starting code at 0C22:0000",
                                        "info BSL patch loaded successfuly at 0x0220"}));
}

// A later loader is identified and left as it is: no loader restart, no
// patch, and its data blocks go without patch runs.
TEST_F(BslPatch, LaterLoaderNeedsNone) {
    partner.set_version(0x0161);
    ASSERT_EQ(msp430_patch_bsl(port_row(2)), 0);
    EXPECT_EQ(commands(partner), (std::vector<int>{0x10, 0x14}));
    EXPECT_FALSE(bsl_loader->needs_patch);
    EXPECT_EQ(bsl_test::log(),
              (std::vector<std::string>{"info MSP430 device ID 0xF149, loader version 1.61",
                                        "info Loader 1.61 needs no patch"}));
    testing_support::StdoutCapture out;
    std::uint8_t data[] = {1, 2, 3, 4};
    EXPECT_EQ(flash_chunk(port_row(2), 0xC000, data, 4, flash_printer()), 0);
    EXPECT_EQ(out.text(), "wr");
    EXPECT_EQ(commands(partner), (std::vector<int>{0x10, 0x14, 0x12, 0x14}));
    EXPECT_EQ(partner.memory[0xC003], 4);
}

TEST_F(BslPatch, UnreadableIdentificationFailsIt) {
    partner.memory[0x0FFB] = 0x1A;
    EXPECT_EQ(msp430_patch_bsl(port_row(2)), -16);
    EXPECT_EQ(commands(partner), (std::vector<int>{0x10, 0x14}));
    EXPECT_EQ(errors(), std::vector<std::string>{
                            "err identify_loader: MSP430 identification at 0x0FF0 names no "
                            "loader version: F1 49 00 00 00 00 00 00 00 00 01 1A 00 00 00 00"});

    sim::clear_log();
    partner.answer_to(0x14, {NAK});
    EXPECT_EQ(msp430_patch_bsl(port_row(2)), -6);
    EXPECT_EQ(errors().back(),
              "err identify_loader: MSP430 identification read from 0x0FF0 failed with code -6");
}

// The published patch for loader 1.10 at 0x0220, as its maker lists it.
TEST(BslPatchImage, IsThePublishedOneByteForByte) {
    // Sixteen bytes a row, as listed.
    // clang-format off
    const std::uint8_t published[] = {
        0x31, 0x40, 0x1A, 0x02, 0x09, 0x43, 0xB0, 0x12, 0x2A, 0x0E, 0xB0, 0x12, 0xBA, 0x0D, 0x55, 0x42,
        0x0B, 0x02, 0x75, 0x90, 0x12, 0x00, 0x1F, 0x24, 0xB0, 0x12, 0xBA, 0x02, 0x55, 0x42, 0x0B, 0x02,
        0x75, 0x90, 0x16, 0x00, 0x16, 0x24, 0x75, 0x90, 0x14, 0x00, 0x11, 0x24, 0xB0, 0x12, 0x84, 0x0E,
        0x06, 0x3C, 0xB0, 0x12, 0x94, 0x0E, 0x03, 0x3C, 0x21, 0x53, 0xB0, 0x12, 0x8C, 0x0E, 0xB2, 0x40,
        0x10, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x00, 0xA5, 0x28, 0x01, 0x30, 0x40, 0x42, 0x0C, 0x30, 0x40,
        0x76, 0x0D, 0x30, 0x40, 0xAC, 0x0C, 0x16, 0x42, 0x0E, 0x02, 0x17, 0x42, 0x10, 0x02, 0xE2, 0xB2,
        0x08, 0x02, 0x14, 0x24, 0xB0, 0x12, 0x10, 0x0F, 0x36, 0x90, 0x00, 0x10, 0x06, 0x28, 0xB2, 0x40,
        0x00, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x40, 0xA5, 0x28, 0x01, 0xD6, 0x42, 0x06, 0x02, 0x00, 0x00,
        0x16, 0x53, 0x17, 0x83, 0xEF, 0x23, 0xB0, 0x12, 0xBA, 0x02, 0xD3, 0x3F, 0xB0, 0x12, 0x10, 0x0F,
        0x17, 0x83, 0xFC, 0x23, 0xB0, 0x12, 0xBA, 0x02, 0xD0, 0x3F, 0x18, 0x42, 0x12, 0x02, 0xB0, 0x12,
        0x10, 0x0F, 0xD2, 0x42, 0x06, 0x02, 0x12, 0x02, 0xB0, 0x12, 0x10, 0x0F, 0xD2, 0x42, 0x06, 0x02,
        0x13, 0x02, 0x38, 0xE3, 0x18, 0x92, 0x12, 0x02, 0xBF, 0x23, 0xE2, 0xB3, 0x08, 0x02, 0xBC, 0x23,
        0x30, 0x41,
    };
    // clang-format on
    ASSERT_EQ(sizeof published, 194u);
    ASSERT_EQ(BSL_PATCH_SIZE, 194);
    for (std::size_t i = 0; i < sizeof published; ++i)
        EXPECT_EQ(bsl_patch_image[i], published[i]) << "byte " << i;
}

TEST_F(BslPatch, AReadBackThatDiffersFailsThePatch) {
    // The loader hands back the patch with one byte changed far from the start.
    partner.corrupt_answer(0x14, 4 + 100, 0x01);
    EXPECT_EQ(msp430_patch_bsl(port_row(2)), -14);
    EXPECT_EQ(errors(), (std::vector<std::string>{
                            "err msp430_patch_bsl: MSP430 BSL patch check at 0x00000220 failed",
                            "err msp430_patch_bsl: Payload: 0x31, Device: 0x31"}));
    EXPECT_FALSE(logged("info BSL patch loaded successfuly at 0x0220"));
}

TEST_F(BslPatch, FailingStepsStopIt) {
    partner.answer = [](const Frame &) { return std::vector<std::uint8_t>{NAK}; };
    EXPECT_EQ(msp430_patch_bsl(port_row(2)), -9);
    EXPECT_EQ(partner.frames.size(), 1u);
    EXPECT_TRUE(logged("err msp430_patch_bsl: MSP430 BSL 1st authentication failed at PORT2"));

    // The write is refused: the read never follows.
    partner.frames.clear();
    sim::clear_log();
    partner.answer_to(0x12, {NAK});
    EXPECT_EQ(msp430_patch_bsl(port_row(2)), -9);
    EXPECT_EQ(partner.frames.size(), 5u);
    EXPECT_TRUE(logged("err msp430_patch_bsl: MSP430 BSL write patch to 0x0220 failed at PORT2"));
}

class BslFlash : public ::testing::Test {
  protected:
    LoaderPartner partner{1};
    int port = 1;
    void SetUp() override {
        bsl_test::start(partner, 1);
        html_mode = false;
        assume_loader_1_10();
    }
    void TearDown() override {
        bsl_test::stop(1);
        html_mode = false;
    }
    // The image of an Intel HEX file of these lines, as the firmware check reads it.
    const HexImage &image(const std::vector<std::string> &lines) {
        char tmpl[] = "/tmp/bsl-flash-XXXXXX";
        int fd = mkstemp(tmpl);
        std::string text;
        for (const auto &l : lines)
            text += l + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        lseek(fd, 0, SEEK_SET);
        char reason[FIRMWARE_REASON_SIZE] = "";
        EXPECT_TRUE(hex_read_image(fd, image_.get(), reason, sizeof reason)) << reason;
        close(fd);
        std::remove(tmpl);
        return *image_;
    }
    int load(const HexImage &img) {
        return msp430_load_fw(port_row(port), img, "/fw/image.hex", flash_printer());
    }
    int chunk(std::uint32_t address, std::vector<std::uint8_t> data) {
        return flash_chunk(port_row(port), address, data.data(), static_cast<int>(data.size()),
                           flash_printer());
    }
    std::unique_ptr<HexImage> image_ = std::make_unique<HexImage>();
};

// Three data records, the reset vector, the start record before them all and
// the end-of-file record.
const std::vector<std::string> THREE_RECORDS = {":040000030000C00039", ":04C000000102030432",
                                                ":04C010000506070812", ":02C02000AABBB9",
                                                ":02FFFE0000C041",     ":00000001FF"};

TEST(FlashProgress, PercentOfMainFlashClampedOutsideIt) {
    EXPECT_EQ(flash_progress_percent(0xC000), 0);
    EXPECT_EQ(flash_progress_percent(0xE000), 50);
    EXPECT_EQ(flash_progress_percent(0xFFE0), 99);
    EXPECT_EQ(flash_progress_percent(0xFFFF), 100);
    EXPECT_EQ(flash_progress_percent(0x1000), 0);
    EXPECT_EQ(flash_progress_percent(0xBFFF), 0);
    EXPECT_EQ(flash_progress_percent(0x10000), 100);
}

TEST_F(BslFlash, TextModeLettersInImageOrderAndTheStartLast) {
    const HexImage &img = image(THREE_RECORDS);
    Stdout out;
    EXPECT_EQ(load(img), 0);
    EXPECT_EQ(out.text(), "wrwrwrwrjf");
    EXPECT_EQ(partner.memory[0xC011], 0x06);
    EXPECT_EQ(partner.memory[0xC021], 0xBB);
    EXPECT_EQ(partner.memory[0xFFFF], 0xC0);
    // Every data transfer is preceded by a patch run; the program is started
    // after the last write, although its start record came first.
    std::vector<int> cmds;
    for (const auto &f : partner.frames)
        cmds.push_back(f.cmd());
    std::vector<int> per_record{0x1A, 0x12, 0x1A, 0x14};
    std::vector<int> expected;
    for (int i = 0; i < 4; ++i)
        expected.insert(expected.end(), per_record.begin(), per_record.end());
    expected.push_back(0x1A);
    EXPECT_EQ(cmds, expected);
    EXPECT_EQ(partner.frames[0].address(), 0x0220);
    EXPECT_EQ(partner.frames.back().address(), 0xC000);
    EXPECT_EQ(bsl_test::log(), (std::vector<std::string>{"info Starting code at C000:0000",
                                                         "info Sending HEX-file finished"}));
}

TEST_F(BslFlash, HtmlProgressAndStartFragments) {
    std::string padding;
    for (int i = 0; i < 64; ++i)
        padding += "<!-- padding -->";
    // Without a start record the program starts at the reset vector.
    const HexImage &img = image({":02C0000001023B", ":02FFFE0000C041", ":00000001FF"});
    html_mode = true;
    Stdout out;
    EXPECT_EQ(load(img), 0);
    auto span = [](const std::string &at) {
        return "<span style=\"display: inline-block; position: absolute; "
               "background-color: #F4F4F4; width: 10em\">&nbsp;" +
               at + "&nbsp;%)</span>";
    };
    EXPECT_EQ(out.text(), span("0xC000 (&nbsp;0") + padding + span("0xFFFE (&nbsp;99") + padding +
                              "</td></tr><tr><td>Starting program at 0xC000 on PORT1 ... " +
                              padding + "done</td></tr><tr><td>" + padding);
}

TEST_F(BslFlash, ReadBackThatDiffersStopsTheFlashing) {
    partner.corrupt_answer(0x14, 4 + 2, 0xFF);
    Stdout out;
    EXPECT_EQ(chunk(0xC000, {1, 2, 3, 4}), -14);
    out.text();
    EXPECT_EQ(errors(),
              (std::vector<std::string>{"err flash_block: Memory check at 0x0000C000 failed",
                                        "err flash_block: Payload: 0x01, Device: 0x01"}));
}

TEST_F(BslFlash, DeviceFailuresPerStep) {
    Stdout out;
    // The write is refused.
    partner.answer_to(0x12, {NAK});
    EXPECT_EQ(chunk(0xC000, {1}), -12);
    EXPECT_TRUE(logged("err flash_block: Write to 0x0000C000 failed with code -9"));
    EXPECT_TRUE(logged("err flash_block: UART status: 0x00"));

    // The second patch run fails: the message names the patch address.
    sim::clear_log();
    int runs = 0;
    partner.answer = [this, &runs](const Frame &f) {
        if (f.cmd() == 0x1A && ++runs == 2)
            return std::vector<std::uint8_t>{NAK};
        return partner.act(f);
    };
    EXPECT_EQ(chunk(0xC010, {1}), -13);
    EXPECT_TRUE(logged("err flash_block: Patch at 0x00000220 execution failed with code -9"));

    // The read-back answer is cut short.
    sim::clear_log();
    partner.answer_to(0x14, {0x80});
    EXPECT_EQ(chunk(0xC020, {1}), -11);
    EXPECT_TRUE(logged("err flash_block: Read from 0x0000C020 failed with code -6"));

    // The start is refused after every chunk went through.
    sim::clear_log();
    const HexImage &img = image(THREE_RECORDS);
    partner.answer = [this](const Frame &f) {
        return f.cmd() == 0x1A && f.address() == 0xC000 ? std::vector<std::uint8_t>{NAK}
                                                        : partner.act(f);
    };
    EXPECT_EQ(load(img), -9);
    EXPECT_TRUE(logged("err start_program: BSL load PC with 0xC000 failed"));
    EXPECT_TRUE(
        logged("err msp430_load_fw: Flashing file /fw/image.hex failed with error code -9"));
    EXPECT_FALSE(logged("info Sending HEX-file finished"));
    out.text();
}

TEST_F(BslFlash, FailingChunkNamesItsLineAndStopsTheImage) {
    const HexImage &img = image(THREE_RECORDS);
    partner.answer = [this](const Frame &f) {
        return f.cmd() == 0x12 && f.address() == 0xC010 ? std::vector<std::uint8_t>{NAK}
                                                        : partner.act(f);
    };
    Stdout out;
    EXPECT_EQ(load(img), -12);
    EXPECT_EQ(out.text(), "wrw");
    EXPECT_TRUE(logged("err msp430_load_fw: Error at line 3"));
    EXPECT_EQ(partner.memory[0xFFFE], 0);
}

// Chunks go to the loader as even blocks of at most 16 bytes at even
// addresses, padded with 0xFF; one w and r each up to 256 bytes, whatever the
// blocks.
TEST_F(BslFlash, ChunksGoInEvenBlocksOfSixteenBytes) {
    using Blocks = std::vector<std::pair<std::uint16_t, int>>; // address, length
    const struct {
        std::uint16_t address;
        int length;
        Blocks blocks; // the first blocks written and read
        std::size_t count;
        const char *progress;
    } rows[] = {
        {0xC000, 16, {{0xC000, 16}}, 1, "wr"},
        {0xC101, 3, {{0xC100, 4}}, 1, "wr"},
        {0xC201, 16, {{0xC200, 16}, {0xC210, 2}}, 2, "wr"},
        {0xC300, 33, {{0xC300, 16}, {0xC310, 16}, {0xC320, 2}}, 3, "wr"},
        {0xC400, 255, {{0xC400, 16}}, 16, "wr"},
        {0xC600, 300, {{0xC600, 16}}, 19, "wrwr"},
    };
    for (const auto &row : rows) {
        partner.frames.clear();
        std::vector<std::uint8_t> data(static_cast<std::size_t>(row.length));
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
        Stdout out;
        EXPECT_EQ(chunk(row.address, data), 0) << std::hex << row.address;
        EXPECT_EQ(out.text(), row.progress);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), partner.memory.begin() + row.address));
        Blocks writes, reads;
        for (const auto &f : partner.frames) {
            if (f.cmd() == 0x12)
                writes.push_back({f.address(), static_cast<int>(f.bytes.size()) - 10});
            if (f.cmd() == 0x14)
                reads.push_back({f.address(), f.bytes[6]});
        }
        EXPECT_EQ(writes.size(), row.count) << std::hex << row.address;
        EXPECT_EQ(Blocks(writes.begin(), writes.begin() + static_cast<long>(row.blocks.size())),
                  row.blocks)
            << std::hex << row.address;
        EXPECT_EQ(reads, writes);
    }
    // The padding is 0xFF, which leaves flash as it is.
    EXPECT_EQ(partner.memory[0xC100], 0xFF);
    EXPECT_EQ(partner.memory[0xC211], 0xFF);
    EXPECT_EQ(partner.memory[0xC321], 0xFF);
    EXPECT_TRUE(errors().empty());
}

} // namespace
