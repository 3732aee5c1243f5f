// The HEX reader against an independent tool: srec_cat writes random images as
// Intel HEX, and the records our reader hands over must rebuild exactly the
// bytes that srec_cat itself reads out of the same file.
#include "updater/hexfile/hexfile.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool have_srec_cat() {
    return std::system("command -v srec_cat >/dev/null 2>&1") == 0;
}

std::vector<std::uint8_t> read_bytes(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string read_text(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Rebuilds the memory image from the records, with extended segment (02) and
// extended linear (04) addresses, the way a loader would.
struct Image {
    std::map<std::uint32_t, std::uint8_t> bytes;
    std::uint32_t base = 0;
    int end_records = 0;
    int other_records = 0;

    static int handle(std::uint32_t address, std::uint32_t type, const std::uint8_t *data,
                      int length, void *context, int) {
        auto *self = static_cast<Image *>(context);
        switch (type) {
        case 0:
            for (int i = 0; i < length; ++i)
                self->bytes[self->base + address + static_cast<std::uint32_t>(i)] = data[i];
            break;
        case 1:
            ++self->end_records;
            break;
        case 2:
            self->base = ((static_cast<std::uint32_t>(data[0]) << 8) | data[1]) << 4;
            break;
        case 4:
            self->base = ((static_cast<std::uint32_t>(data[0]) << 8) | data[1]) << 16;
            break;
        default:
            ++self->other_records;
            break;
        }
        return 0;
    }

    // From `from` to the highest byte, holes as zero (as srec_cat's binary
    // output leaves them).
    std::vector<std::uint8_t> flat(std::uint32_t from) const {
        if (bytes.empty())
            return {};
        std::vector<std::uint8_t> out(bytes.rbegin()->first - from + 1, 0);
        for (const auto &[a, b] : bytes)
            out[a - from] = b;
        return out;
    }
};

struct Chunk {
    std::uint32_t address;
    std::size_t size;
};

class SrecDifferential : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_srec_cat())
            GTEST_SKIP() << "srec_cat (package srecord) is not installed";
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("hexsrec-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    int run(const std::string &cmd) {
        return std::system(("cd '" + dir_.string() + "' && " + cmd).c_str());
    }

    // Writes random chunks, has srec_cat join them into image.hex with records
    // of `block` data bytes, and its own reading of that file into image.bin
    // (starting at `lowest`).
    void make_image(const std::vector<Chunk> &chunks, int block, std::mt19937 &rng) {
        std::string inputs;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            std::string name = "chunk" + std::to_string(i) + ".bin";
            std::ofstream out(dir_ / name, std::ios::binary);
            for (std::size_t k = 0; k < chunks[i].size; ++k)
                out.put(static_cast<char>(rng() & 0xFF));
            inputs += name + " -binary -offset " + std::to_string(chunks[i].address) + " ";
        }
        ASSERT_EQ(run("srec_cat " + inputs + "-o image.hex -intel -obs=" + std::to_string(block) +
                      " 2>/dev/null"),
                  0);
        lowest_ = chunks[0].address;
        for (const auto &c : chunks)
            lowest_ = std::min(lowest_, c.address);
        ASSERT_EQ(run("srec_cat image.hex -intel -offset -" + std::to_string(lowest_) +
                      " -o image.bin -binary 2>/dev/null"),
                  0);
    }

    void expect_same_bytes(const fs::path &hex, const std::string &what) {
        Image image;
        ASSERT_EQ(read_hex_file(hex.c_str(), Image::handle, &image, 0), 0) << what;
        EXPECT_EQ(image.end_records, 1) << what;
        EXPECT_EQ(image.other_records, 0) << what;
        std::vector<std::uint8_t> expected = read_bytes(dir_ / "image.bin");
        ASSERT_FALSE(expected.empty()) << what;
        EXPECT_TRUE(image.flat(lowest_) == expected) << what << ": images differ";
    }

    fs::path dir_;
    std::uint32_t lowest_ = 0;
};

TEST_F(SrecDifferential, RandomImagesRebuildTheSameBytes) {
    std::mt19937 rng(20240611);
    struct Layout {
        std::vector<Chunk> chunks;
        int block;
    };
    // MSP430-sized images in one piece and with gaps, records of various
    // sizes up to the longest the format allows, and images that cross 64 KiB
    // (extended linear address records).
    std::vector<Layout> layouts = {
        {{{0xC000, 0x3000}}, 16},
        {{{0xC000, 0x3FE0}, {0xFFE0, 0x20}}, 32},
        {{{0x1100, 777}, {0x8000, 1}, {0xE000, 4097}}, 250},
        {{{0xFF00, 0x300}}, 64},
        {{{0xC000, 255 * 3 + 10}}, 255},
        {{{0x1FFF0, 100}, {0x3A000, 513}}, 37},
    };
    for (int i = 0; i < 4; ++i) {
        std::uniform_int_distribution<std::uint32_t> addr(0, 0xF000);
        std::uniform_int_distribution<std::size_t> size(1, 0x1000);
        std::uniform_int_distribution<int> block(1, HEX_MAX_DATA);
        std::uint32_t a = addr(rng);
        layouts.push_back({{{a, size(rng)}, {a + 0x2000 + addr(rng), size(rng)}}, block(rng)});
    }

    for (std::size_t n = 0; n < layouts.size(); ++n) {
        SCOPED_TRACE("layout " + std::to_string(n));
        make_image(layouts[n].chunks, layouts[n].block, rng);
        if (HasFatalFailure())
            return;
        expect_same_bytes(dir_ / "image.hex", "as written");

        // The same file in lower case and with CRLF line ends.
        std::string text = read_text(dir_ / "image.hex");
        std::string lower = text;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::ofstream(dir_ / "lower.hex", std::ios::binary) << lower;
        expect_same_bytes(dir_ / "lower.hex", "lower case");

        std::string crlf;
        for (char c : text) {
            if (c == '\n' && (crlf.empty() || crlf.back() != '\r'))
                crlf += '\r';
            crlf += c;
        }
        std::ofstream(dir_ / "crlf.hex", std::ios::binary) << crlf;
        expect_same_bytes(dir_ / "crlf.hex", "CRLF");
    }
}

} // namespace
