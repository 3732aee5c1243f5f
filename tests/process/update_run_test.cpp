// Whole updates of the simulated board by the simulated updater, as processes:
// what is printed, what is logged, the exit status and what the board runs
// afterwards; and the firmware file check that comes before any of it.
#include "sim/board/info.h"
#include "sim/board/sample_images.h"
#include "sim/board/state.h"
#include "tests/support/process.h"
#include "updater/hexfile/hexfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using testing_support::json_field;
using testing_support::World;

namespace {

const std::string OLD_TEXT = "1a2a3b4b5b6b7o"; // what a new world's boards run
const std::string IMAGE = "V1a2a3c4b5b6b7o.hex";
const std::string NEW_TEXT = "1a2a3c4b5b6b7o";
const std::string GREEN = " <font color=\"green\">&#10004;</font>";
const std::string RED = " <font color=\"red\">&#10008;</font>";

std::string padding() {
    std::string p;
    for (int i = 0; i < 64; ++i)
        p += "<!-- padding -->";
    return p;
}

// Device addresses of the data records of a sample image, in file order.
std::vector<unsigned> data_addresses(const std::string &image) {
    std::istringstream in(
        testing_support::read_file(std::string(TARVO_SOURCE_DIR) + "/fw/" + image));
    std::vector<unsigned> out;
    unsigned base = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 11 || line[0] != ':')
            continue;
        unsigned address = std::stoul(line.substr(3, 4), nullptr, 16);
        int type = std::stoi(line.substr(7, 2), nullptr, 16);
        if (type == 0)
            out.push_back(address + base);
        else if (type == 2)
            base = std::stoul(line.substr(9, 4), nullptr, 16) * 16;
    }
    return out;
}

// One line of `tarvo-sim show` for the port.
std::string board(const World &w, int port) {
    std::istringstream in(w.sim({"show", w.root()}).out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("{\"port\":" + std::to_string(port) + ",", 0) == 0)
            return line;
    return "";
}

// The run ends with the board's new configuration and this mark, and the
// board runs the new configuration.
void expect_new_config(const World &w, const testing_support::RunResult &r,
                       const std::string &mark) {
    EXPECT_TRUE(r.out.ends_with("Reading new TARVO config on PORT1 ... " + NEW_TEXT + mark + "\n"))
        << r.out;
    EXPECT_EQ(json_field(board(w, 1), "config_text"), NEW_TEXT);
}

std::vector<std::string> texts(const World &w) {
    std::vector<std::string> out;
    for (const auto &m : w.messages())
        out.push_back(m.level + " " + m.text);
    return out;
}

// One Intel HEX record with its checksum, and its line end.
std::string record(unsigned address, unsigned type, const std::vector<unsigned> &data) {
    std::vector<unsigned> bytes{static_cast<unsigned>(data.size()), address >> 8, address & 0xFF,
                                type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    char hex[3];
    for (unsigned b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
        sum += b;
    }
    std::snprintf(hex, sizeof hex, "%02X", (0x100 - sum % 0x100) % 0x100);
    return line + hex + "\n";
}

// A JSON string of the text, as the history writes it.
std::string json_text(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

bool starts(const std::string &s, const std::string &prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::string text_head(int port) {
    std::string p = std::to_string(port);
    return "Looking for TARVO on PORT" + p + " ... found\n" + "Checking firmware file " + IMAGE +
           " ... done\n" + "Reading current TARVO FW version on PORT" + p + " ... 0x01000000\n" +
           "Reading current TARVO config on PORT" + p + " ... " + OLD_TEXT + "\n";
}

TEST(UpdateRun, WholeUpdateInTextMode) {
    World w;
    std::string before2 = board(w, 2);
    // Whatever the board kept in its information memory is lost in an update.
    sim::board::BoardState state;
    std::string error;
    const std::string state1 = sim::board::state_path(w.root(), 1);
    ASSERT_TRUE(sim::board::load_state(state1, &state, &error)) << error;
    state.info.fill(0x5A);
    ASSERT_TRUE(sim::board::save_state(state1, state, &error)) << error;
    auto r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 0);

    std::string letters;
    for (std::size_t i = 0; i < data_addresses(IMAGE).size(); ++i)
        letters += "wr";
    // The flashing letters run into the next title: no line end between them.
    EXPECT_EQ(r.out, text_head(1) +
                         "Erasing device on PORT1 ... done\n"
                         "Patching device on PORT1 ... done\n"
                         "Authenticating to Bootstrap Loader on PORT1 ... done\n"
                         "Flashing TARVO on PORT1 ... " +
                         letters +
                         "jfReading new TARVO FW version on PORT1 ... 0x01010000\n"
                         "Reading new TARVO config on PORT1 ... " +
                         NEW_TEXT + GREEN + "\n");

    // The log in order, leaving out the bootstrap entry's register report.
    std::vector<std::string> log;
    for (const auto &t : texts(w))
        if (!starts(t, "info Control register") && !starts(t, "info Saving PERIP1") &&
            !starts(t, "info GPIO "))
            log.push_back(t);
    ASSERT_EQ(log.size(), 20u) << testing::PrintToString(log);
    EXPECT_EQ(log[0], "info Using text output.");
    EXPECT_EQ(log[1], "notice started");
    // No key installed: the image is taken unsigned, and the log says so once.
    EXPECT_EQ(log[4], "notice Firmware file /opt/tarvo_update/fw/" + IMAGE +
                          " not verified: no key in /opt/tarvo_update/keys, images are taken "
                          "unsigned");
    EXPECT_TRUE(starts(log[5], "info Update of " + IMAGE +
                                   " on PORT1 recorded (attempt 1, pending since 20"))
        << log[5];
    EXPECT_EQ(log[6], "info Erasing device on PORT1 ...");
    EXPECT_EQ(log[7], "info Mass erase: 19 cycles");
    EXPECT_TRUE(starts(log[8], "info Device erased at ")) << log[8];
    EXPECT_EQ(log[9], "info MSP430 device ID 0xF149, loader version 1.10");
    EXPECT_EQ(log[10], "info Starting code at 0C22:0000");
    EXPECT_EQ(log[11], "info BSL patch loaded successfuly at 0x0220");
    EXPECT_EQ(log[12], "info Authenticating to Bootstrap Loader on PORT1 ...");
    EXPECT_TRUE(starts(log[13], "info Device authenticated at 0s ")) << log[13];
    EXPECT_EQ(log[14], "info Flashing " + IMAGE + " on PORT1 ...");
    EXPECT_TRUE(starts(log[15], "info Starting code at ")) << log[15];
    EXPECT_EQ(log[16], "info Sending HEX-file finished");
    EXPECT_TRUE(starts(log[17], "info Device flashed at ")) << log[17];
    EXPECT_EQ(log[18], "info Update on PORT1 completed, its record removed");
    EXPECT_TRUE(starts(log[19], "info All done in ")) << log[19];
    EXPECT_FALSE(testing_support::file_exists(w.path("/opt/tarvo_update/state/PORT1")));

    std::string after = board(w, 1);
    EXPECT_EQ(json_field(after, "mode"), "running");
    EXPECT_EQ(json_field(after, "config_text"), NEW_TEXT);
    EXPECT_EQ(json_field(after, "version"), "0x01010000");
    EXPECT_EQ(board(w, 2), before2);
    ASSERT_TRUE(sim::board::load_state(state1, &state, &error)) << error;
    EXPECT_EQ(std::count(state.info.begin(), state.info.end(), 0xFF), 256);
    EXPECT_FALSE(testing_support::file_exists(w.path("/var/tarvo_update/tarvo_update.pid")));

    // Its outcome record, the history's only one.
    std::string record = w.last_record(1);
    EXPECT_EQ(w.info({"--history", "json"}).out, record + "\n");
    for (const auto &[field, value] : std::vector<std::pair<std::string, std::string>>{
             {"image", IMAGE},
             {"signer", "unsigned"},
             {"status", "0"},
             {"cause", "updated"},
             {"stage", "verify"},
             {"reason", ""},
             {"outcome", "The board runs the new firmware."},
             {"by", "command line"}})
        EXPECT_EQ(json_field(record, field), value) << field << " in " << record;
    EXPECT_NE(record.find("\"before\":{\"version\":\"0x01000000\",\"config\":\"" + OLD_TEXT +
                          "\"},\"after\":{\"version\":\"0x01010000\",\"config\":\"" + NEW_TEXT +
                          "\"}"),
              std::string::npos)
        << record;
}

TEST(UpdateRun, WholeUpdateInHtmlModeHasOneRowPerStage) {
    World w;
    auto r = w.update({"2", IMAGE, "html"});
    EXPECT_EQ(r.status, 0);
    const std::string row = "</td></tr><tr><td>";
    std::string spans;
    for (unsigned a : data_addresses(IMAGE)) {
        char buf[200];
        std::snprintf(buf, sizeof buf,
                      "<span style=\"display: inline-block; position: absolute; background-color: "
                      "#F4F4F4; width: 10em\">&nbsp;0x%04X (&nbsp;%d&nbsp;%%)</span>",
                      a, static_cast<int>((a - 0xC000u) / 16383.0 * 100.0));
        spans += buf + padding();
    }
    EXPECT_EQ(r.out,
              "Looking for TARVO on PORT2 ... found" + row + "Checking firmware file " + IMAGE +
                  " ... done" + row + "Reading current TARVO FW version on PORT2 ... 0x01000000" +
                  row + "Reading current TARVO config on PORT2 ... " + OLD_TEXT + row +
                  "Erasing device on PORT2 ... done" + row + "Patching device on PORT2 ... done" +
                  row + "Authenticating to Bootstrap Loader on PORT2 ... done" + row +
                  "Flashing TARVO on PORT2 ... " + spans + row +
                  "Starting program at 0xC000 on PORT2 ... " + padding() + "done" + row +
                  padding() + "Reading new TARVO FW version on PORT2 ... 0x01010000" + row +
                  "Reading new TARVO config on PORT2 ... " + NEW_TEXT + GREEN + row);
    EXPECT_EQ(json_field(board(w, 2), "config_text"), NEW_TEXT);
    EXPECT_EQ(texts(w).front(), "info Using HTML output.");
}

TEST(UpdateRun, ImageWhoseNameDoesNotMatchItsConfigurationExitsSix) {
    World w;
    testing_support::write_file(
        w.path("/opt/tarvo_update/fw/Vcustom.hex"),
        testing_support::read_file(w.path("/opt/tarvo_update/fw/" + IMAGE)));
    auto r = w.update({"1", "Vcustom.hex"});
    EXPECT_EQ(r.status, 6);
    expect_new_config(w, r, RED);
}

// A board whose new image carries no configuration reports an empty text: it
// gets the match mark, but confirms nothing.
TEST(UpdateRun, ImageWithoutConfigurationExitsSix) {
    World w;
    testing_support::write_file(w.path("/opt/tarvo_update/fw/Vbare.hex"),
                                record(0xC000, 0, {0xFF, 0x3F}) + record(0xFFFE, 0, {0x00, 0xC0}) +
                                    record(0, 3, {0, 0, 0xC0, 0}) + record(0, 1, {}));
    auto r = w.update({"1", "Vbare.hex"});
    EXPECT_EQ(r.status, 6);
    EXPECT_TRUE(r.out.ends_with("Reading new TARVO FW version on PORT1 ... 0x00000000\n"
                                "Reading new TARVO config on PORT1 ... " +
                                GREEN + "\n"))
        << r.out;
}

// Crafted images, as a customer's toolchain or a careless build writes them:
// what the run ends with, and the board afterwards, either untouched (the
// file refused before the board is touched) or running the image.
class CraftedImage : public ::testing::Test {
  protected:
    World w;
    std::string before;
    void SetUp() override { before = w.sim({"show", w.root()}).out; }

    std::string fw(const std::string &name) const { return w.path("/opt/tarvo_update/fw/" + name); }
    std::string sample() const { return testing_support::read_file(fw(IMAGE)); }
    void write(const std::string &name, const std::string &content) const {
        testing_support::write_file(fw(name), content);
    }

    // Runs a shell command in the world's /tmp: its exit status.
    int sh(const std::string &command) const {
        return std::system(("cd '" + w.path("/tmp") + "' && " + command).c_str());
    }
    // The text rewritten by srec_cat, as Intel HEX again.
    std::string srec_rewritten(const std::string &text) const {
        testing_support::write_file(w.path("/tmp/in.hex"), text);
        EXPECT_EQ(sh("srec_cat in.hex -intel -o out.hex -intel 2>/dev/null"), 0);
        return testing_support::read_file(w.path("/tmp/out.hex"));
    }

    // Refused with this reason, and nothing else happened.
    void expect_refused(const std::string &name, const std::string &reason) {
        auto r = w.update({"1", name});
        EXPECT_EQ(r.status, 5) << name;
        // The reason is on the screen as in the log.
        EXPECT_EQ(r.out, "Looking for TARVO on PORT1 ... found\nChecking firmware file " + name +
                             " ... failed: " + reason + "\n");
        auto log = texts(w);
        ASSERT_GE(log.size(), 2u);
        // The path is cut where the flashing would cut it.
        std::string path = ("/opt/tarvo_update/fw/" + name).substr(0, 256);
        EXPECT_EQ(log[log.size() - 2],
                  "err check_firmware_file: Firmware file " + path + " refused: " + reason);
        EXPECT_TRUE(starts(log.back(), "info All done in ")) << log.back();
        EXPECT_EQ(w.sim({"show", w.root()}).out, before);
        EXPECT_FALSE(testing_support::file_exists(w.path("/var/tarvo_update/tarvo_update.pid")));
        // The record has the reason; the check alone predicts the refusal.
        std::string record = w.last_record(1);
        EXPECT_EQ(json_field(record, "cause"), "refused") << record;
        EXPECT_EQ(json_field(record, "stage"), "check") << record;
        EXPECT_NE(record.find("\"reason\":" + json_text(reason) + ","), std::string::npos)
            << record;
        auto check = w.update({"--check", name});
        EXPECT_EQ(check.status, 5);
        EXPECT_EQ(check.out, "Checking firmware file " + name + " ... failed: " + reason + "\n");
    }
    // Ran to the end with this status, the board running this image.
    testing_support::RunResult expect_running(const std::string &name, int status,
                                              const sim::board::FwImage &image) {
        auto r = w.update({"1", name});
        EXPECT_EQ(r.status, status) << name << "\n" << r.out;
        std::string after = board(w, 1);
        EXPECT_EQ(json_field(after, "mode"), "running") << name;
        char crc[16];
        auto main = sim::board::factory_state(image).main;
        std::snprintf(crc, sizeof crc, "0x%08X",
                      static_cast<unsigned>(sim::board::crc32(main.data(), main.size())));
        EXPECT_EQ(json_field(after, "flash_crc32"), crc) << name;
        return r;
    }
};

sim::board::FwImage sample_image(const std::string &name) {
    for (const auto &s : sim::board::sample_images())
        if (s.file == name)
            return sim::board::make_sample_image(s);
    return {};
}

// The sample image with its lines rearranged still writes that image; names
// that go on after the configuration, and a board that reports only the
// beginning of the name's configuration.
TEST_F(CraftedImage, AcceptedFormsRunTheImage) {
    std::string image = sample();
    std::string start = record(0, 3, {0, 0, 0xC0, 0});
    std::string end = record(0, 1, {});
    std::string data = image.substr(0, image.find(start));
    // Firmware that reports the configuration "1a".
    sim::board::FwImage prefix = sim::board::make_sample_image({"V1a.hex", 0x01010000, 0x0001, 7});
    const struct {
        std::string name, content;
        int status;
        sim::board::FwImage runs;
        std::string what;
    } rows[] = {
        {IMAGE, start + data + end, 0, sample_image(IMAGE), "start record before the data"},
        {IMAGE, data + end, 0, sample_image(IMAGE),
         "no start record: the program starts at the reset vector"},
        {IMAGE, image + "\n", 0, sample_image(IMAGE), "an empty last line"},
        // Upper address 0 as common toolchains write it, also after a segment record.
        {IMAGE, record(0, 2, {0x10, 0x00}) + record(0, 4, {0, 0}) + image, 0, sample_image(IMAGE),
         "linear address record of 0"},
        {IMAGE, record(0xC000, 0, {}) + image, 0, sample_image(IMAGE),
         "a data record without data"},
        {"V1a2a3c4b5b6b7o_r2.hex", image, 0, sample_image(IMAGE), "a name going on after it"},
        // 32-bit records throughout, the start as a start linear address record.
        {IMAGE, srec_rewritten(image), 0, sample_image(IMAGE), "rewritten by srec_cat"},
        {IMAGE, sim::board::intel_hex(prefix), 6, prefix, "a prefix of the name's configuration"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        write(row.name, row.content);
        auto r = expect_running(row.name, row.status, row.runs);
        EXPECT_TRUE(r.out.ends_with((row.status == 0 ? GREEN : RED) + "\n")) << r.out;
    }
}

TEST_F(CraftedImage, RefusedBeforeTheBoardIsTouched) {
    // A program that loops on itself at 0xC000, and its reset vector.
    const std::string code = record(0xC000, 0, {0xFF, 0x3F});
    const std::string vector = record(0xFFFE, 0, {0x00, 0xC0});
    const std::string end = record(0, 1, {});
    const std::string image = code + vector + end;
    std::string bad_sum = sample();
    {
        // Line 4 gets a wrong checksum.
        std::size_t at = 0;
        for (int i = 0; i < 3; ++i)
            at = bad_sum.find('\n', at) + 1;
        std::size_t eol = bad_sum.find('\n', at);
        char &last = bad_sum[eol - 1] == '\r' ? bad_sum[eol - 2] : bad_sum[eol - 1];
        last = last == '0' ? '1' : '0';
    }
    std::string biggest(HEX_FILE_MAX + 1, '\n');
    biggest.replace(0, image.size(), image);
    const struct {
        std::string content, reason;
    } rows[] = {
        // Lines that are no good record.
        {bad_sum, "line 4 is not a good record: wrong checksum"},
        {code + "hello\n" + vector + end, "line 2 is not a good record: not of the record form"},
        {code + std::string(1, '\0') + vector + end,
         "line 2 is not a good record: a byte that no HEX line holds"},
        {code + vector.substr(0, vector.size() - 3) + std::string(100000, '0') +
             vector.substr(vector.size() - 3) + end,
         "line 2 is not a good record: more data digits than its length"},
        // Data the board cannot hold: boot ROM, peripherals, RAM over the loader patch.
        {record(0x0C00, 0, {1, 2}) + image,
         "line 1: data at 0x0C00..0x0C01 outside main flash (0xC000..0xFFFF) and information "
         "memory (0x1000..0x10FF)"},
        {record(0x0120, 0, {0x80, 0x5A}) + image,
         "line 1: data at 0x0120..0x0121 outside main flash (0xC000..0xFFFF) and information "
         "memory (0x1000..0x10FF)"},
        {code + vector + record(0x0220, 0, {0x31, 0x40}) + end,
         "line 3: data at 0x0220..0x0221 outside main flash (0xC000..0xFFFF) and information "
         "memory (0x1000..0x10FF)"},
        {record(0x10FE, 0, {1, 2, 3}) + image,
         "line 1: data at 0x10FE..0x1100 outside main flash (0xC000..0xFFFF) and information "
         "memory (0x1000..0x10FF)"},
        // The same flash bytes twice, differing or not.
        {code + record(0xC001, 0, {0x00}) + vector + end,
         "line 2: data at 0xC001 written before, by line 1"},
        {code + vector + code + end, "line 3: data at 0xC000 written before, by line 1"},
        // Nothing to write, or nothing that starts.
        {record(0xC000, 0, {}) + end, "no data to write"},
        {"\n  \n", "no data to write"},
        {code + end, "no reset vector: nothing written at 0xFFFE..0xFFFF"},
        {code + record(0xFFFE, 0, {0x01, 0xC0}) + end,
         "line 2: reset vector 0xC001 cannot start a program (odd)"},
        {code + record(0xFFFE, 0, {0xFF, 0xFF}) + end,
         "line 2: reset vector 0xFFFF cannot start a program (erased)"},
        {code + record(0xFFE0, 0, {0xE0, 0xFF}) + record(0xFFFE, 0, {0xE0, 0xFF}) + end,
         "line 3: reset vector 0xFFE0 cannot start a program (outside main flash below the "
         "vectors, 0xC000..0xFFDE)"},
        {code + record(0, 3, {0, 0, 0x10, 0}) + vector + end,
         "line 2: start address 0x1000 cannot start a program (outside main flash below the "
         "vectors, 0xC000..0xFFDE)"},
        {code + record(0, 3, {0, 0, 0xD0, 0}) + vector + end,
         "line 2: the program would start at 0xD000, which the image does not write"},
        {code + record(0, 3, {0, 0, 0xC0, 0}) + record(0, 3, {0, 0, 0xC0, 0}) + vector + end,
         "line 3: a second start address record, after line 2"},
        // Records the loader's 16-bit addresses cannot follow as the file means them.
        {record(0, 2, {0x0C, 0x00, 0, 0}) + image,
         "line 1: segment address record of 4 bytes, not 2"},
        {record(0, 4, {0, 1}) + image, "line 1: extended linear address record other than 0"},
        {record(0, 2, {0x0F, 0x00}) + record(0x1000, 0, {1}) + end,
         "line 2: data at 0x10000..0x10000 outside main flash (0xC000..0xFFFF) and information "
         "memory (0x1000..0x10FF)"},
        {code + record(0, 3, {0, 0xC0}) + vector + end,
         "line 2: start address record of 2 bytes, not 4"},
        {code + record(0, 3, {0x10, 0, 0, 0}) + vector + end,
         "line 2: start address 0x10000 cannot start a program (outside main flash below the "
         "vectors, 0xC000..0xFFDE)"},
        {code + record(0, 5, {0, 1, 0xC0, 0}) + vector + end,
         "line 2: start linear address 0x1C000 above 0xFFFF, beyond the loader's 16-bit "
         "addresses"},
        {code + record(0, 3, {0, 0, 0xC0, 0}) + record(0, 5, {0, 0, 0xC0, 0}) + vector + end,
         "line 3: a second start address record, after line 2"},
        {code + record(0, 6, {}) + vector + end, "line 2: unknown record type 06"},
        {image + code, "line 4: a record after the end-of-file record"},
        {code + vector, "no end-of-file record"},
        // Larger than any image the board holds: refused before it is read.
        {biggest, "253697 bytes, larger than any image the board holds (253696)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.reason);
        write("Vcrafted.hex", row.content);
        expect_refused("Vcrafted.hex", row.reason);
    }
}

// The file is replaced by another image right after the updater opened it:
// the board runs what was checked.
TEST_F(CraftedImage, FileReplacedAfterTheCheckOpenedItIsNotFlashed) {
    if (std::string(TARVO_SWAP_ON_OPEN).empty())
        GTEST_SKIP() << "the programs of this build are linked statically: no preloading";
    const std::string other = "V1a2a3c4c5b6b7o.hex";
    std::string replacement = fw("replacement.hex");
    testing_support::write_file(replacement, testing_support::read_file(fw(other)));
    const char *asan = std::getenv("ASAN_OPTIONS");
    auto r =
        w.update({"1", IMAGE},
                 {"LD_PRELOAD=" TARVO_SWAP_ON_OPEN, "TARVO_TEST_SWAP_PATH=" + fw(IMAGE),
                  "TARVO_TEST_SWAP_FROM=" + replacement,
                  std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The swap happened, and the board runs the image that was checked.
    EXPECT_EQ(testing_support::read_file(fw(IMAGE)), testing_support::read_file(fw(other)));
    expect_new_config(w, r, GREEN);
    std::string after = board(w, 1);
    EXPECT_EQ(json_field(after, "version"), "0x01010000");
}

TEST_F(CraftedImage, FilesAndNamesRefused) {
    expect_refused("V1a2a3c4b5b6b7x.hex", "cannot be opened (No such file or directory)");
    ASSERT_EQ(mkfifo(fw("Vfifo.hex").c_str(), 0644), 0);
    expect_refused("Vfifo.hex", "is not a regular file");
    expect_refused("../fw/" + IMAGE, "the name has a \"..\" component");
    expect_refused(std::string(300, 'V'), "the path is longer than 255 characters");
    // On the page the name and the reason are text, not markup, and the
    // failure is drawn above the flashing's progress boxes.
    auto r = w.update({"1", "../<b>\".hex", "html"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "Looking for TARVO on PORT1 ... found</td></tr><tr><td>Checking firmware file "
                     "../&lt;b&gt;&quot;.hex ... <span style=\"position: relative; "
                     "background-color: #F4F4F4\">failed: the name has a &quot;..&quot; "
                     "component</span></td></tr><tr><td>");
}

// Where the owner has installed a key, every image needs a good signature by
// a trusted key.  Keys and signatures are made here with minisign itself.
TEST_F(CraftedImage, SignaturesWhereAKeyIsInstalled) {
    if (geteuid() != 0)
        GTEST_SKIP() << "trusted keys belong to root";
    ASSERT_EQ(sh("command -v minisign >/dev/null"), 0) << "minisign is missing: scripts/deps.sh";
    const std::string keys = w.path("/opt/tarvo_update/keys");
    const std::string other = "V1a2a3c4c5b6b7o.hex";
    // The key ID as minisign shows it, the last word of the key's first line,
    // in 16 digits: minisign leaves out leading zeros.
    auto key_id = [&](const std::string &key) {
        std::string text = testing_support::read_file(w.path("/tmp/" + key + ".pub"));
        std::string first = text.substr(0, text.find('\n'));
        std::string id = first.substr(first.rfind(' ') + 1);
        return std::string(16 - std::min<std::size_t>(id.size(), 16), '0') + id;
    };
    for (const char *key : {"release", "next"})
        ASSERT_EQ(
            sh(std::string("minisign -G -W -p ") + key + ".pub -s " + key + ".sec >/dev/null"), 0);
    const std::string release = key_id("release"), next = key_id("next");
    auto install = [&](const std::string &key) {
        testing_support::write_file(keys + "/" + key + ".pub",
                                    testing_support::read_file(w.path("/tmp/" + key + ".pub")));
        ASSERT_EQ(chmod((keys + "/" + key + ".pub").c_str(), 0644), 0);
    };
    auto sign = [&](const std::string &name, const std::string &key, const std::string &flags) {
        ASSERT_EQ(sh("minisign -S -s " + key + ".sec -m '" + fw(name) + "' -t 'release 2' " +
                     flags + " >/dev/null"),
                  0);
    };
    // minisign's own trusted comment names the file ("file:NAME").
    auto sign_as_minisign = [&](const std::string &name) {
        ASSERT_EQ(sh("minisign -S -s release.sec -m '" + fw(name) + "' >/dev/null"), 0);
    };
    const std::string sig = fw(IMAGE) + ".minisig";
    const std::string top = w.path("/opt/tarvo_update");
    auto edit_sig = [&](const std::string &from, const std::string &to) {
        std::string text = testing_support::read_file(sig);
        std::size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << text;
        testing_support::write_file(sig, text.replace(at, from.size(), to));
    };
    auto sig_line = [&](int n) {
        std::istringstream in(testing_support::read_file(sig));
        std::string line;
        for (int i = 0; i < n; ++i)
            std::getline(in, line);
        return line;
    };

    const struct {
        std::string what;
        std::function<void()> prepare;
        std::string reason; // empty: the image is flashed, signed by `signer`
        std::string signer = "";
    } rows[] = {
        {"signature", [&] { sign(IMAGE, "release", ""); }, "", release},
        {"legacy signature", [&] { sign(IMAGE, "release", "-l"); }, "", release},
        {"by the second installed key",
         [&] {
             install("next");
             sign(IMAGE, "next", "");
         },
         "", next},
        {"signature with minisign's own comment", [&] { sign_as_minisign(IMAGE); }, "", release},
        {"another image's signature with its bytes under this name",
         [&] {
             sign_as_minisign(other);
             write(IMAGE, testing_support::read_file(fw(other)));
             testing_support::write_file(sig, testing_support::read_file(fw(other) + ".minisig"));
         },
         "the signature by key " + release + " was made for the file " + other + ", not " + IMAGE},
        {"no key directory, below a directory writable by others",
         [&] {
             std::filesystem::remove_all(keys);
             ASSERT_EQ(chmod(top.c_str(), 0777), 0);
         },
         "directory /opt/tarvo_update above the key directory is writable by group or others: "
         "no image is trusted"},
        {"the key directory a link",
         [&] {
             std::filesystem::rename(keys, top + "/keys.real");
             std::filesystem::create_directory_symlink("keys.real", keys);
             sign(IMAGE, "release", "");
         },
         "key directory /opt/tarvo_update/keys is a symbolic link: no image is trusted"},
        {"the key directory a dangling link",
         [&] {
             std::filesystem::remove_all(keys);
             std::filesystem::create_directory_symlink("gone", keys);
         },
         "key directory /opt/tarvo_update/keys is a symbolic link: no image is trusted"},
        {"the key directory a file",
         [&] {
             std::filesystem::remove_all(keys);
             testing_support::write_file(keys, "");
         },
         "key directory /opt/tarvo_update/keys is not a directory: no image is trusted"},
        {"no signature", [] {}, "not signed: no " + IMAGE + ".minisig beside it"},
        {"another key's signature", [&] { sign(IMAGE, "next", ""); },
         "signed by key " + next + ", which no trusted key has"},
        {"the signature of another image",
         [&] {
             sign(other, "release", "");
             testing_support::write_file(sig, testing_support::read_file(fw(other) + ".minisig"));
         },
         "the signature by key " + release + " does not match the file"},
        {"the image changed by one byte after signing",
         [&] {
             sign(IMAGE, "release", "");
             std::string image = sample();
             image[20] = image[20] == '0' ? '1' : '0';
             write(IMAGE, image);
         },
         "the signature by key " + release + " does not match the file"},
        {"the trusted comment changed",
         [&] {
             sign(IMAGE, "release", "");
             edit_sig("release 2", "release 3");
         },
         "the trusted comment of the signature by key " + release + " does not match it"},
        {"a truncated signature",
         [&] {
             sign(IMAGE, "release", "");
             testing_support::write_file(sig, sig_line(1) + "\n" + sig_line(2) + "\n");
         },
         "malformed signature: 2 lines, not 4"},
        {"a garbled signature",
         [&] {
             sign(IMAGE, "release", "");
             edit_sig(sig_line(2).substr(40, 4), "!!!!");
         },
         "malformed signature: line 2 is not the base64 of 74 bytes"},
        {"the only key file writable by others",
         [&] {
             sign(IMAGE, "release", "");
             ASSERT_EQ(chmod((keys + "/release.pub").c_str(), 0666), 0);
         },
         "no trusted key in /opt/tarvo_update/keys (release.pub is writable by group or "
         "others)"},
        {"the key directory writable by others",
         [&] {
             sign(IMAGE, "release", "");
             ASSERT_EQ(chmod(keys.c_str(), 0777), 0);
         },
         "key directory /opt/tarvo_update/keys is writable by group or others: no image is "
         "trusted"},
    };
    // Every row on a kernel whose random pool never gets ready: the check
    // needs no random numbers.
    if (!std::string(TARVO_RANDOM_NEVER_READY).empty()) {
        const char *asan = std::getenv("ASAN_OPTIONS");
        w.wrapper = {"/usr/bin/env", "LD_PRELOAD=" TARVO_RANDOM_NEVER_READY,
                     std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                         ":verify_asan_link_order=0"};
    }
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(chmod(top.c_str(), 0755), 0);
        std::filesystem::remove_all(top + "/keys.real");
        std::filesystem::remove_all(keys);
        ASSERT_TRUE(std::filesystem::create_directory(keys));
        ASSERT_EQ(chmod(keys.c_str(), 0755), 0);
        install("release");
        std::filesystem::remove(sig);
        write(IMAGE, testing_support::read_file(std::string(TARVO_SOURCE_DIR) + "/fw/" + IMAGE));
        row.prepare();
        before = w.sim({"show", w.root()}).out;
        if (!row.reason.empty()) {
            expect_refused(IMAGE, row.reason);
            continue;
        }
        auto check = w.update({"--check", IMAGE});
        EXPECT_EQ(check.status, 0);
        EXPECT_EQ(check.out, "Checking firmware file " + IMAGE + " ... done, signed by key " +
                                 row.signer + "\n");
        auto r = expect_running(IMAGE, 0, sample_image(IMAGE));
        EXPECT_NE(r.out.find("Checking firmware file " + IMAGE + " ... done, signed by key " +
                             row.signer + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(json_field(w.last_record(1), "signer"), row.signer);
        EXPECT_NE(
            w.log().find(
                "Firmware file /opt/tarvo_update/fw/" + IMAGE + " verified: signed by key " +
                row.signer + " (" + (row.signer == release ? "release" : "next") +
                ".pub), trusted comment: " +
                (row.what.find("minisign") != std::string::npos ? "timestamp:" : "release 2\n")),
            std::string::npos);
    }
}

} // namespace
