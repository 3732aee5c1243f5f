// The Intel HEX reader: digit conversion, the line forms it accepts and
// refuses, and the image a firmware file decodes into.
#include "common/crc32.h"
#include "sim/platform_sim.h"
#include "updater/hexfile/hexfile.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<sim::LogLine> logged_at(int level) {
    std::vector<sim::LogLine> out;
    for (const auto &l : sim::log_lines())
        if (l.level == level)
            out.push_back(l);
    return out;
}

bool logged_containing(const std::string &needle) {
    for (const auto &l : sim::log_lines())
        if (l.text.find(needle) != std::string::npos)
            return true;
    return false;
}

// A record line with a correct checksum.
std::string record(std::uint32_t address, std::uint32_t type, const std::vector<int> &data) {
    char buf[16];
    unsigned sum = static_cast<unsigned>(data.size()) + type + address + (address >> 8);
    std::string line = ":";
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(data.size()), address,
                  type);
    line += buf;
    for (int b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += static_cast<unsigned>(b);
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100u - (sum & 0xFFu)) & 0xFFu);
    return line + buf;
}

class HexFile : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::clear_log();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("hexfile-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string &content, const std::string &name = "image.hex") {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

    fs::path dir_;
};

TEST(Hex2Bin, DigitsCaseWidthAndLimits) {
    const char *digits = "1F1f";
    std::uint32_t v = 0;
    EXPECT_EQ(hex2bin(digits, digits + 2, &v), 0);
    EXPECT_EQ(v, 31u);
    EXPECT_EQ(hex2bin(digits + 2, digits + 4, &v), 0);
    EXPECT_EQ(v, 31u);

    // Only the last eight digits survive the wrap.
    const char *long_run = "123456789";
    EXPECT_EQ(hex2bin(long_run, long_run + 9, &v), 0);
    EXPECT_EQ(v, 0x23456789u);

    // The end pointer and a NUL both stop the run; an empty run is 0.
    EXPECT_EQ(hex2bin(long_run, long_run + 3, &v), 0);
    EXPECT_EQ(v, 0x123u);
    const char *with_nul = "AB\0CD";
    EXPECT_EQ(hex2bin(with_nul, with_nul + 5, &v), 0);
    EXPECT_EQ(v, 0xABu);
    v = 99;
    EXPECT_EQ(hex2bin(long_run, long_run, &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(hex2bin(long_run, long_run + 4, nullptr), 0);
}

TEST(Hex2Bin, IllegalLetterIsLoggedAndStoresNothing) {
    sim::clear_log();
    const char *bad = "1G";
    std::uint32_t v = 77;
    EXPECT_EQ(hex2bin(bad, bad + 2, &v), 2);
    EXPECT_EQ(v, 77u);
    auto errors = logged_at(LOG_ERR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, "hex2bin: Illegal hex char G");
}

// Line forms, one call of hex_parse_line each.
TEST(HexParseLine, AcceptedAndRefusedForms) {
    struct Case {
        const char *line;
        int status;
    };
    const Case cases[] = {
        {":00000001FF", HEX_OK},
        {":00000001ff\n", HEX_OK},
        {":0400100001020304E2\r\n", HEX_OK},
        {":0400100001020304e2 \t \r\n", HEX_OK},
        {":0400100001020304E3\n", HEX_CHECKSUM_WRONG},
        {" :00000001FF\n", HEX_BAD_FORMAT},
        {"\n", HEX_BAD_FORMAT},
        {"", HEX_BAD_FORMAT},
        {":000000001\n", HEX_BAD_FORMAT}, // nine digits
        {"00000001FF\n", HEX_BAD_FORMAT},
        {":00000001FF x\n", HEX_BAD_FORMAT},
        // A stray character in each field: refused by the pattern, never by
        // the digit conversion.
        {":0G000001FF\n", HEX_BAD_FORMAT},
        {":0000G001FF\n", HEX_BAD_FORMAT},
        {":000000G1FF\n", HEX_BAD_FORMAT},
        {":04001000010g0304E2\n", HEX_BAD_FORMAT},
        {":0400100001020304EZ\n", HEX_BAD_FORMAT},
        {":04001000-1020304E2\n", HEX_BAD_FORMAT},
    };
    for (const auto &c : cases) {
        sim::clear_log();
        std::uint32_t address = 0, type = 0;
        int length = -1;
        std::array<std::uint8_t, HEX_MAX_DATA> data{};
        EXPECT_EQ(hex_parse_line(c.line, &address, &type, &length, data.data()), c.status)
            << "'" << c.line << "'";
        EXPECT_FALSE(logged_containing("hex2bin")) << c.line;
        if (c.status == HEX_BAD_FORMAT) {
            auto w = logged_at(LOG_WARNING);
            ASSERT_EQ(w.size(), 1u) << c.line;
            EXPECT_EQ(w[0].text, "hex_parse_line: Wrong hex file line format (" +
                                     std::to_string(REG_NOMATCH) + ") '" + c.line + "'");
        } else {
            EXPECT_TRUE(sim::log_lines().empty()) << c.line;
        }
    }
}

TEST(HexParseLine, FieldsAndDataBytes) {
    std::uint32_t address = 0, type = 0;
    int length = 0;
    std::array<std::uint8_t, HEX_MAX_DATA> data{};
    ASSERT_EQ(hex_parse_line(":0400100001020304e2\r\n", &address, &type, &length, data.data()),
              HEX_OK);
    EXPECT_EQ(address, 0x0010u);
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[3], 4);

    // Length 0 takes no data byte; digits in its data field are refused.
    data.fill(0xEE);
    EXPECT_EQ(hex_parse_line(":00123400BA\n", &address, &type, &length, data.data()), HEX_OK);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(data[0], 0xEE);
    EXPECT_EQ(hex_parse_line(":00123400ABBA\n", &address, &type, &length, data.data()),
              HEX_DATA_LONG);

    // More digits than the length asks for (and an odd one out): refused,
    // whatever the checksum of the bytes taken would be.
    EXPECT_EQ(hex_parse_line(":01000000AABBC55\n", &address, &type, &length, data.data()),
              HEX_DATA_LONG);
    EXPECT_EQ(hex_parse_line(":01000000AA0055\n", &address, &type, &length, data.data()),
              HEX_DATA_LONG);
}

TEST(HexParseLine, RecordsOfAnyLengthAndShortDataFields) {
    std::uint32_t address = 0, type = 0;
    int length = 0;
    // The test's buffer is exactly HEX_MAX_DATA long: the sanitizer catches
    // any store beyond it.
    std::array<std::uint8_t, HEX_MAX_DATA> data{};

    std::vector<int> full(HEX_MAX_DATA);
    for (int i = 0; i < HEX_MAX_DATA; ++i)
        full[i] = i;
    sim::clear_log();
    EXPECT_EQ(
        hex_parse_line(record(0xC000, 0, full).c_str(), &address, &type, &length, data.data()),
        HEX_OK);
    EXPECT_EQ(length, 255);
    EXPECT_EQ(data[HEX_MAX_DATA - 1], HEX_MAX_DATA - 1);
    EXPECT_TRUE(sim::log_lines().empty());

    // Length 4 with three bytes of data (the checksum fits the bytes present).
    sim::clear_log();
    EXPECT_EQ(hex_parse_line(":04001000010203E6\n", &address, &type, &length, data.data()),
              HEX_DATA_SHORT);
    auto w = logged_at(LOG_WARNING);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].text.rfind("parse_fields: ", 0), 0u);
    // Length 250 with an empty data field.
    EXPECT_EQ(hex_parse_line(":FA00100000\n", &address, &type, &length, data.data()),
              HEX_DATA_SHORT);
}

// The image a firmware file decodes into.
class HexImageRead : public HexFile {
  protected:
    bool decode(const std::string &content) {
        int fd = open(write(content).c_str(), O_RDONLY);
        reason_[0] = '\0';
        bool ok = hex_read_image(fd, image_.get(), reason_, sizeof reason_);
        close(fd);
        return ok;
    }
    std::unique_ptr<HexImage> image_ = std::make_unique<HexImage>();
    char reason_[200];
};

TEST_F(HexImageRead, ChunksInFileOrderWithTheirLines) {
    std::string text = record(0, 2, {0x0C, 0x00}) + "\n" +   // 1: segment 0xC000
                       record(0x0100, 0, {1, 2, 3}) + "\n" + // 2: 0xC100..0xC102
                       record(0x0103, 0, {4}) + "\n" +       // 3: odd, joined to line 2
                       record(0x0104, 0, {5}) + "\n" +       // 4: even, a chunk of its own
                       record(0x0200, 0, {}) + "\n" +        // 5: no data: ignored
                       " \t\r\n" +                           // 6: blank
                       record(0, 4, {0, 0}) + "\n" +         // 7: linear 0: base 0 again
                       record(0x1000, 0, {7}) + "\n" +       // 8: information memory
                       record(0xFFFE, 0, {0x00, 0xC1}) + "\n" + record(0, 1, {}) + "\n";
    ASSERT_TRUE(decode(text)) << reason_;
    const HexImage &img = *image_;
    ASSERT_EQ(img.chunks, 4);
    EXPECT_EQ(img.chunk[0].address, 0xC100);
    EXPECT_EQ(img.chunk[0].length, 4);
    EXPECT_EQ(img.chunk[0].line, 2);
    EXPECT_EQ(img.chunk[1].address, 0xC104);
    EXPECT_EQ(img.chunk[1].line, 4);
    EXPECT_EQ(img.chunk[2].address, 0x1000);
    EXPECT_EQ(img.chunk[3].address, 0xFFFE);
    EXPECT_EQ(img.size, 8);
    const std::uint8_t *first = hex_chunk_bytes(img, img.chunk[0]);
    EXPECT_EQ(std::vector<std::uint8_t>(first, first + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    // No start record: the reset vector's address, from its line.
    EXPECT_FALSE(img.start_record);
    EXPECT_EQ(img.start, 0xC100);
    EXPECT_EQ(img.start_line, 9);
    // The checksum of the bytes read, as "crc32" gives it for the file.
    EXPECT_EQ(img.file_crc32, crc32_update(0, text.data(), text.size()));
}

// The first line that is no good record is named, counting blank lines too;
// nothing after it is read.
TEST_F(HexImageRead, RefusalNamesTheFirstBadLine) {
    const std::string code = record(0xC000, 0, {0xFF, 0x3F}) + "\n";
    const std::string end = record(0xFFFE, 0, {0x00, 0xC0}) + "\n:00000001FF\n";
    const struct {
        std::string content, reason;
    } rows[] = {
        {"", "no data to write"},
        {code + "\n \r\n" + "junk\n" + end + "more junk\n",
         "line 4 is not a good record: not of the record form"},
        {code + ":0400100001020304E3\n" + end, "line 2 is not a good record: wrong checksum"},
        // A line that begins with NUL is no blank line.
        {code + std::string(1, '\0') + code + end,
         "line 2 is not a good record: a byte that no HEX line holds"},
        // A malformed line far longer than any record is one line.
        {code + ":" + std::string(100000, '0') + "X\n" + end,
         "line 2 is not a good record: not of the record form"},
        {code + end + record(0xC010, 0, {5}) + "\n",
         "line 4: a record after the end-of-file record"},
    };
    for (const auto &row : rows) {
        sim::clear_log();
        EXPECT_FALSE(decode(row.content)) << row.reason;
        EXPECT_EQ(std::string(reason_), row.reason);
        EXPECT_LE(logged_at(LOG_WARNING).size(), 1u) << row.reason;
    }
}

// Every byte the board holds in a record of its own, with CRLF line ends: the
// largest file that is accepted fits the image; one byte more is refused
// before it is read.
TEST_F(HexImageRead, LargestFileFitsAndALargerOneIsRefused) {
    std::string text;
    auto add = [&text](std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t a = from; a <= to; ++a)
            text += record(a, 0, {a == 0xFFFF ? 0xC0 : a == 0xFFFE ? 0x00 : 0x3F}) + "\r\n";
    };
    add(MSP430_INFO_MEMORY.first, MSP430_INFO_MEMORY.last);
    add(MSP430_MAIN_FLASH.first, MSP430_MAIN_FLASH.last);
    text += record(0, 3, {0, 0, 0xC0, 0}) + "\r\n" + record(0, 1, {}) + "\r\n";
    ASSERT_LE(static_cast<long>(text.size()), HEX_FILE_MAX);
    ASSERT_TRUE(decode(text)) << reason_;
    EXPECT_EQ(image_->size, HEX_IMAGE_MAX_BYTES);
    EXPECT_EQ(image_->chunks, HEX_IMAGE_MAX_CHUNKS);

    text += std::string(static_cast<std::size_t>(HEX_FILE_MAX) - text.size() + 1, '\n');
    EXPECT_FALSE(decode(text));
    EXPECT_EQ(std::string(reason_), "253697 bytes, larger than any image the board holds (253696)");
}

} // namespace
