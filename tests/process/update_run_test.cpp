// Whole updates of the simulated board by the simulated updater, as processes:
// what is printed, what is logged, the exit status and what the board runs
// afterwards; and the firmware file check that comes before any of it.
#include "sim/board/state.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
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
    ASSERT_EQ(log.size(), 19u) << testing::PrintToString(log);
    EXPECT_EQ(log[0], "info Using text output.");
    EXPECT_EQ(log[1], "notice started");
    EXPECT_TRUE(starts(log[4], "info Update of " + IMAGE +
                                   " on PORT1 recorded (attempt 1, pending since 20"))
        << log[4];
    EXPECT_EQ(log[5], "info Erasing device on PORT1 ...");
    EXPECT_EQ(log[6], "info Mass erase: 19 cycles");
    EXPECT_TRUE(starts(log[7], "info Device erased at ")) << log[7];
    EXPECT_EQ(log[8], "info MSP430 device ID 0xF149, loader version 1.10");
    EXPECT_EQ(log[9], "info Starting code at 0C22:0000");
    EXPECT_EQ(log[10], "info BSL patch loaded successfuly at 0x0220");
    EXPECT_EQ(log[11], "info Authenticating to Bootstrap Loader on PORT1 ...");
    EXPECT_TRUE(starts(log[12], "info Device authenticated at 0s ")) << log[12];
    EXPECT_EQ(log[13], "info Flashing " + IMAGE + " on PORT1 ...");
    EXPECT_TRUE(starts(log[14], "info Starting code at ")) << log[14];
    EXPECT_EQ(log[15], "info Sending HEX-file finished");
    EXPECT_TRUE(starts(log[16], "info Device flashed at ")) << log[16];
    EXPECT_EQ(log[17], "info Update on PORT1 completed, its record removed");
    EXPECT_TRUE(starts(log[18], "info All done in ")) << log[18];
    EXPECT_FALSE(testing_support::file_exists(w.path("/opt/tarvo_update/state/PORT1")));

    std::string after = board(w, 1);
    EXPECT_EQ(json_field(after, "mode"), "running");
    EXPECT_EQ(json_field(after, "config_text"), NEW_TEXT);
    EXPECT_EQ(json_field(after, "version"), "0x01010000");
    EXPECT_EQ(board(w, 2), before2);
    ASSERT_TRUE(sim::board::load_state(state1, &state, &error)) << error;
    EXPECT_EQ(std::count(state.info.begin(), state.info.end(), 0xFF), 256);
    EXPECT_FALSE(testing_support::file_exists(w.path("/var/tarvo_update/tarvo_update.pid")));
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

TEST(UpdateRun, ImageEndingInAnEmptyLineIsAnUpdate) {
    World w;
    testing_support::write_file(
        w.path("/opt/tarvo_update/fw/" + IMAGE),
        testing_support::read_file(w.path("/opt/tarvo_update/fw/" + IMAGE)) + "\n");
    auto r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 0);
    expect_new_config(w, r, GREEN);
}

// A type-4 record with upper address 0, as common toolchains write it, also
// after a segment record: the data records that follow go where they say.
TEST(UpdateRun, LinearAddressRecordOfZeroIsAnUpdate) {
    World w;
    std::string fw = w.path("/opt/tarvo_update/fw/" + IMAGE);
    testing_support::write_file(fw, record(0, 2, {0x10, 0x00}) + record(0, 4, {0, 0}) +
                                        testing_support::read_file(fw));
    auto r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 0) << r.out;
    expect_new_config(w, r, GREEN);
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

// Files refused by the check leave the board alone.
class FirmwareCheck : public ::testing::Test {
  protected:
    World w;
    std::string before;
    void SetUp() override { before = w.sim({"show", w.root()}).out; }

    void expect_refused(const std::string &name, const std::string &reason) {
        auto r = w.update({"1", name});
        EXPECT_EQ(r.status, 5) << name;
        EXPECT_EQ(r.out, "Looking for TARVO on PORT1 ... found\nChecking firmware file " + name +
                             " ... failed\n");
        auto log = texts(w);
        ASSERT_GE(log.size(), 2u);
        // The path is cut where the flashing would cut it.
        std::string path = ("/opt/tarvo_update/fw/" + name).substr(0, 256);
        EXPECT_EQ(log[log.size() - 2], "err main: Firmware file " + path + " refused: " + reason);
        EXPECT_TRUE(starts(log.back(), "info All done in ")) << log.back();
        EXPECT_EQ(w.sim({"show", w.root()}).out, before);
        EXPECT_FALSE(testing_support::file_exists(w.path("/var/tarvo_update/tarvo_update.pid")));
    }
    void write(const std::string &name, const std::string &content) {
        testing_support::write_file(w.path("/opt/tarvo_update/fw/" + name), content);
    }
};

TEST_F(FirmwareCheck, MissingFile) {
    expect_refused("V1a2a3c4b5b6b7x.hex", "cannot be opened (No such file or directory)");
}

TEST_F(FirmwareCheck, OneBadChecksum) {
    std::string image = testing_support::read_file(w.path("/opt/tarvo_update/fw/" + IMAGE));
    // Line 3 gets a wrong checksum.
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i)
        at = image.find('\n', at) + 1;
    std::size_t end = image.find('\n', at);
    char &last = image[end - 1] == '\r' ? image[end - 2] : image[end - 1];
    last = last == '0' ? '1' : '0';
    write("Vbad.hex", image);
    expect_refused("Vbad.hex", "line 4 is not a good record (status 13)");
}

TEST_F(FirmwareCheck, RecordsMissingOrNameLeavingTheDirectory) {
    write("Vempty.hex", "\n  \n");
    expect_refused("Vempty.hex", "no data record");
    write("Vnoend.hex", ":04C000000102030432\n");
    expect_refused("Vnoend.hex", "no end-of-file record");
    write("Vtext.hex", ":04C000000102030432\nhello\n:00000001FF\n");
    expect_refused("Vtext.hex", "line 2 is not a good record (status 2)");
    expect_refused("../fw/" + IMAGE, "the name has a \"..\" component");
    expect_refused(std::string(300, 'V'), "the path is longer than 255 characters");
}

// Records that the flashing would not write where the file means them.
TEST_F(FirmwareCheck, RecordsTheFlashingWouldMisplace) {
    const std::string data = record(0xC000, 0, {1, 2, 3, 4});
    const std::string end = record(0, 1, {});
    const struct {
        std::string content, reason;
    } rows[] = {
        {record(0, 2, {0x0C, 0x00, 0, 0}) + data + end,
         "line 1: segment address record of 4 bytes, not 2"},
        {record(0, 4, {0, 1}) + data + end, "line 1: extended linear address record other than 0"},
        {record(0, 2, {0x0F, 0x00}) + record(0x1000, 0, {1}) + end,
         "line 2: data at 0x10000 passes 0xFFFF"},
        {record(0xFFFE, 0, {1, 2, 3, 4}) + end, "line 1: data at 0xFFFE passes 0xFFFF"},
        {data + record(0, 3, {0, 0xC0}) + end, "line 2: start address record of 2 bytes, not 4"},
        {data + record(0, 3, {0x10, 0, 0, 0}) + end, "line 2: start address 0x10000 passes 0xFFFF"},
        {data + record(0, 5, {0, 0, 0xC0, 0}) + end, "line 2: start linear address record"},
        {data + record(0, 6, {}) + end, "line 2: unknown record type 06"},
        {data + end + data, "line 3: a record after the end-of-file record"},
    };
    for (const auto &row : rows) {
        write("Vrefused.hex", row.content);
        expect_refused("Vrefused.hex", row.reason);
    }
}

} // namespace
