// The firmware file decoder against an independent tool: srec_cat writes
// random images that fit the board as Intel HEX, and the image our decoder
// makes of the file must hold exactly the bytes that srec_cat itself reads out
// of it.
#include "updater/hexfile/hexfile.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <memory>
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

// The decoded image's bytes from `from` to its highest byte, holes as zero (as
// srec_cat's binary output leaves them).
std::vector<std::uint8_t> flat(const HexImage &image, std::uint32_t from) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    for (int i = 0; i < image.chunks; ++i) {
        const HexChunk &c = image.chunk[i];
        for (int k = 0; k < c.length; ++k)
            bytes[c.address + static_cast<std::uint32_t>(k)] = hex_chunk_bytes(image, c)[k];
    }
    if (bytes.empty())
        return {};
    std::vector<std::uint8_t> out(bytes.rbegin()->first - from + 1, 0);
    for (const auto &[a, b] : bytes)
        out[a - from] = b;
    return out;
}

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
            // The reset vector starts the program at the beginning of main flash.
            for (std::size_t k = 0; k < chunks[i].size; ++k)
                out.put(static_cast<char>(chunks[i].address == MSP430_RESET_VECTOR
                                              ? (k == 0 ? 0x00 : 0xC0)
                                              : rng() & 0xFF));
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
        int fd = open(hex.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << what;
        char reason[200] = "";
        bool decoded = hex_read_image(fd, image_.get(), reason, sizeof reason);
        close(fd);
        ASSERT_TRUE(decoded) << what << ": " << reason;
        std::vector<std::uint8_t> expected = read_bytes(dir_ / "image.bin");
        ASSERT_FALSE(expected.empty()) << what;
        EXPECT_TRUE(flat(*image_, lowest_) == expected) << what << ": images differ";
    }

    std::unique_ptr<HexImage> image_ = std::make_unique<HexImage>();
    fs::path dir_;
    std::uint32_t lowest_ = 0;
};

TEST_F(SrecDifferential, RandomImagesRebuildTheSameBytes) {
    std::mt19937 rng(20240611);
    struct Layout {
        std::vector<Chunk> chunks;
        int block;
    };
    // Images in main flash in one piece and with gaps, with information
    // memory, at odd addresses, in records of various sizes up to the longest
    // the format allows; every one starts a program at 0xC000 from its reset
    // vector.
    const Chunk vector = {MSP430_RESET_VECTOR, 2};
    std::vector<Layout> layouts = {
        {{{0xC000, 0x3000}, vector}, 16},
        {{{0xC000, 0x3FDE}, vector}, 32},
        {{{MSP430_INFO_MEMORY.first, 0x100}, {0xC000, 777}, {0xE001, 4097}, vector}, 250},
        {{{0xC000, 2}, {0xFF00, 0xFE}, vector}, 64},
        {{{0xC000, 255 * 3 + 10}, vector}, HEX_MAX_DATA},
    };
    for (int i = 0; i < 4; ++i) {
        std::uniform_int_distribution<std::size_t> size(2, 0x1000);
        std::uniform_int_distribution<std::uint32_t> gap(0, 0x1000);
        std::uniform_int_distribution<int> block(1, HEX_MAX_DATA);
        Chunk first = {0xC000, size(rng)};
        Chunk second = {static_cast<std::uint32_t>(first.address + first.size) + gap(rng),
                        size(rng)};
        layouts.push_back({{first, second, vector}, block(rng)});
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
