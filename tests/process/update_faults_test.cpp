// Updates of a simulated board with an injected fault: what the updater prints
// and logs, its exit status, and the state it leaves the board in.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using testing_support::json_field;
using testing_support::RunResult;
using testing_support::World;

namespace {

const std::string IMAGE = "V1a2a3c4b5b6b7o.hex";
const std::string OLD_TEXT = "1a2a3b4b5b6b7o";
const std::string NEW_TEXT = "1a2a3c4b5b6b7o";
const std::string HEAD = "Looking for TARVO on PORT1 ... found\n"
                         "Checking firmware file " +
                         IMAGE +
                         " ... done\n"
                         "Reading current TARVO FW version on PORT1 ... 0x01000000\n"
                         "Reading current TARVO config on PORT1 ... " +
                         OLD_TEXT + "\n";
const std::string PATCH_FAILED =
    "Erasing device on PORT1 ... done\nPatching device on PORT1 ... failed: ";
const std::string LOADED = "Erasing device on PORT1 ... done\n"
                           "Patching device on PORT1 ... done\n"
                           "Authenticating to Bootstrap Loader on PORT1 ... done\n"
                           "Flashing TARVO on PORT1 ... ";

std::string repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

class UpdateFault : public ::testing::Test {
  protected:
    World w;
    std::string before; // PORT1's board before the update

    void SetUp() override { before = board(); }

    std::string board() const {
        std::istringstream in(w.sim({"show", w.root()}).out);
        std::string line;
        std::getline(in, line);
        return line;
    }
    RunResult update_with(const std::string &fault) {
        EXPECT_EQ(w.sim({"fault", w.root(), "1", fault}).status, 0) << fault;
        return w.update({"1", IMAGE});
    }
    // The log's errors and warnings, "LEVEL TEXT".
    std::vector<std::string> complaints() const {
        std::vector<std::string> out;
        for (const auto &m : w.messages())
            if (m.level == "err" || m.level == "warn")
                out.push_back(m.level + " " + m.text);
        return out;
    }
    bool logged(const std::string &line) const {
        for (const auto &m : w.messages())
            if (m.level + " " + m.text == line)
                return true;
        return false;
    }
    void expect_log_ends_with_failure(const std::string &line) const {
        auto msgs = w.messages();
        ASSERT_GE(msgs.size(), 2u);
        EXPECT_EQ(msgs[msgs.size() - 2].level + " " + msgs[msgs.size() - 2].text, line);
        EXPECT_EQ(msgs.back().text.rfind("All done in ", 0), 0u) << msgs.back().text;
    }
    // The run ended with status 4 before the flashing, having printed HEAD and
    // then `shown`; the board is left in `mode`, its flash as before unless erased.
    void expect_stopped_before_flashing(const RunResult &r, const std::string &shown,
                                        const std::string &mode, bool erased = false) const {
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.out, HEAD + shown);
        std::string after = board();
        EXPECT_EQ(json_field(after, "mode"), mode);
        if (erased)
            EXPECT_NE(json_field(after, "flash_crc32"), json_field(before, "flash_crc32"));
        else
            EXPECT_EQ(json_field(after, "flash_crc32"), json_field(before, "flash_crc32"));
    }
    // Data bytes of the image's record on the given line (1 = first).
    std::string record(int number) const {
        std::istringstream in(testing_support::read_file(w.path("/opt/tarvo_update/fw/" + IMAGE)));
        std::string line;
        for (int i = 0; i < number; ++i)
            std::getline(in, line);
        return line;
    }
};

TEST_F(UpdateFault, SilentLoaderFailsTheErase) {
    auto r = update_with("loader-silent");
    EXPECT_TRUE(logged("err bsl_sync: ACK timeout of 5000 us reached."));
    expect_log_ends_with_failure("err main: Device mass erase failed with code -9");
    // Not in its loader, the chip started its old program again.
    expect_stopped_before_flashing(
        r, "Erasing device on PORT1 ... failed: no answer from the loader\n", "running");
}

TEST_F(UpdateFault, UnansweredEraseEndsTheRun) {
    auto r = update_with("erase-silent");
    auto msgs = w.messages();
    ASSERT_GE(msgs.size(), 3u);
    EXPECT_EQ(msgs[msgs.size() - 3].text, "uart_recv_ack: Timeout expired on PORT1 expecting 0x90");
    expect_log_ends_with_failure("err main: Device mass erase failed with code -8");
    expect_stopped_before_flashing(
        r, "Erasing device on PORT1 ... failed: no answer from the loader to the mass erase\n",
        "loader");
}

TEST_F(UpdateFault, RefusedLoaderRestartFailsThePatch) {
    // Frames after entry: 19 erase cycles, password, identification, load PC
    // to the loader's entry.
    auto r = update_with("nak-after=22");
    EXPECT_EQ(complaints(),
              (std::vector<std::string>{
                  "warn uart_recv_ack: ACK failed. Received 0xA0, but expected 0x90",
                  "err msp430_load_pc: ACK(exp. 0x90) failed",
                  "err msp430_patch_bsl: MSP430 BSL load PC with 0x0C22 failed at PORT1",
                  "err main: Device patch failed with code -9"}));
    expect_stopped_before_flashing(r, PATCH_FAILED + "not acknowledged by the loader\n", "loader",
                                   true);
}

// The loader version's minor byte reads 0xEF: no BCD version, so no loader the
// updater knows.
TEST_F(UpdateFault, UnreadableIdentificationFailsThePatch) {
    auto r = update_with("corrupt-readback=0x0FFB");
    EXPECT_EQ(complaints(),
              (std::vector<std::string>{
                  "err identify_loader: MSP430 identification at 0x0FF0 names no loader version: "
                  "F1 49 00 00 00 00 00 00 00 00 01 EF 00 00 00 00",
                  "err main: Device patch failed with code -16"}));
    expect_stopped_before_flashing(
        r, PATCH_FAILED + "identification unreadable (it names no loader version)\n", "loader",
        true);
}

TEST_F(UpdateFault, CorruptedReadBackFailsTheFlashing) {
    // The third data record (line 3) covers 0xC020..0xC02F.
    auto r = update_with("corrupt-readback=0xC025");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, HEAD + LOADED + "wrwrwrfailed: read-back differs from what was written\n");
    std::string first_byte = "0x" + record(3).substr(9, 2);
    EXPECT_EQ(complaints(),
              (std::vector<std::string>{"err flash_block: Memory check at 0x0000C020 failed",
                                        "err flash_block: Payload: " + first_byte +
                                            ", Device: " + first_byte,
                                        "err msp430_load_fw: Error at line 3",
                                        "err msp430_load_fw: Flashing file /opt/tarvo_update/fw/" +
                                            IMAGE + " failed with error code -14",
                                        "err main: Device flashing failed with code -14"}));
    EXPECT_EQ(json_field(board(), "mode"), "loader");
}

// Failed stages in the history: the stage reached and the screen's reason,
// the first block's failure as the last one's.
TEST_F(UpdateFault, FailedStagesAreRecordedWithStageAndReason) {
    // The image's last data record (type 00), as the flashing writes it last.
    std::istringstream in(testing_support::read_file(w.path("/opt/tarvo_update/fw/" + IMAGE)));
    std::string line, last;
    while (std::getline(in, line))
        if (line.size() > 9 && line.substr(7, 2) == "00")
            last = line;
    char address[16];
    std::snprintf(address, sizeof address, "0x%04lX", std::stoul(last.substr(3, 4), nullptr, 16));
    const struct {
        std::string fault, stage, reason;
    } rows[] = {
        {"loader-silent", "erase", "no answer from the loader"},
        {std::string("corrupt-readback=") + address, "flash",
         "read-back differs from what was written"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.fault);
        ASSERT_EQ(w.sim({"clear", w.root(), "1"}).status, 0);
        auto r = update_with(row.fault);
        EXPECT_EQ(r.status, 4);
        EXPECT_TRUE(r.out.ends_with("failed: " + row.reason + "\n")) << r.out.substr(0, 400);
        std::string record = w.last_record(1);
        EXPECT_EQ(json_field(record, "status"), "4") << record;
        EXPECT_EQ(json_field(record, "cause"), "stage-failed") << record;
        EXPECT_EQ(json_field(record, "stage"), row.stage) << record;
        EXPECT_EQ(json_field(record, "reason"), row.reason) << record;
    }
}

// A run killed on its way leaves no record, and a record torn by a power cut
// costs only itself: the next run's record stands on its own line.
TEST_F(UpdateFault, KilledRunAndTornRecordLoseNothingElse) {
    auto done = w.update({"2", IMAGE});
    ASSERT_EQ(done.status, 0);
    std::string kept = w.last_record(2);
    auto killed = w.update({"1", IMAGE}, {"TARVO_SIM_KILL=at:60"});
    EXPECT_EQ(killed.status, 128 + 9);
    EXPECT_EQ(w.last_record(1), "");
    const std::string history = w.path("/opt/tarvo_update/state/history");
    std::string torn = kept.substr(0, kept.size() / 2);
    testing_support::write_file(history, testing_support::read_file(history) + torn);
    EXPECT_EQ(w.info({"--history", "json"}).out, kept + "\n");
    auto again = w.update({"1", IMAGE});
    EXPECT_EQ(again.status, 0);
    std::string newest = w.last_record(1);
    EXPECT_EQ(json_field(newest, "cause"), "updated");
    EXPECT_EQ(w.info({"--history", "json"}).out, newest + "\n" + kept + "\n");
    EXPECT_EQ(testing_support::read_file(history), kept + "\n" + torn + "\n" + newest + "\n");

    // A history that cannot be written costs one warning, and nothing else.
    std::filesystem::remove(history);
    std::filesystem::create_directory(history);
    auto refused = w.update({"1", "Vmissing.hex"});
    EXPECT_EQ(refused.status, 5);
    int warnings = 0;
    for (const auto &m : w.messages())
        warnings += m.level == "warn" && m.text.rfind("run_finish: Update history: ", 0) == 0;
    EXPECT_EQ(warnings, 1) << w.log();
}

TEST_F(UpdateFault, SilentFirmwareShowsNothingAndMatchesNothing) {
    auto r = update_with("modbus-silent");
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.out.rfind("Looking for TARVO on PORT1 ... found\nChecking firmware file " + IMAGE +
                              " ... done\n"
                              "Reading current TARVO FW version on PORT1 ... 0x00000000\n"
                              "Reading current TARVO config on PORT1 ... \n" +
                              LOADED,
                          0),
              0u)
        << r.out;
    // Nothing read after the flashing: "no answer", and the red mark.
    std::string tail = "jfReading new TARVO FW version on PORT1 ... no answer\n"
                       "Reading new TARVO config on PORT1 ... no answer <font "
                       "color=\"red\">&#10008;</font>\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_TRUE(logged("err read_holding_reg: UART receive MODBUS packet failed: -2"));
    // The board was updated all the same.
    EXPECT_EQ(json_field(board(), "config_text"), NEW_TEXT);
    EXPECT_EQ(json_field(board(), "mode"), "running");
}

// A new program that starts later than the updater waits for: the readings
// after the flashing show that nothing answered, not what the old program said.
TEST_F(UpdateFault, FirmwareStartingAfterTheWindowShowsNoAnswer) {
    ASSERT_EQ(w.sim({"set", w.root(), "1", "firmware-start-ms=10000"}).status, 0);
    auto r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.out.rfind(HEAD, 0), 0u) << r.out;
    EXPECT_TRUE(r.out.ends_with("jfReading new TARVO FW version on PORT1 ... no answer\n"
                                "Reading new TARVO config on PORT1 ... no answer <font "
                                "color=\"red\">&#10008;</font>\n"))
        << r.out;
    EXPECT_EQ(json_field(board(), "config_text"), NEW_TEXT);
}

TEST_F(UpdateFault, ShortRepliesFailEveryQuery) {
    auto r = update_with("modbus-short");
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("Reading current TARVO FW version on PORT1 ... 0x00000000\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Reading new TARVO config on PORT1 ... no answer <font color=\"red\">"),
              std::string::npos);
    EXPECT_TRUE(logged("warn uart_recv_packet: timeout = 0, pos = 11, *packet_len=15"));
    EXPECT_TRUE(logged("err read_holding_reg: UART receive MODBUS packet failed: -2"));
    EXPECT_EQ(json_field(board(), "config_text"), NEW_TEXT);
}

TEST_F(UpdateFault, ByteLostInTheEraseFrame) {
    // 51 bytes of MODBUS requests, the SYNC, then the first erase frame.  The
    // loader refuses the incomplete frame, and an erase takes any answer; the
    // other 18 cycles erase the chip, and the update goes through.
    auto r = update_with("drop-byte=55");
    EXPECT_EQ(complaints(),
              (std::vector<std::string>{
                  "warn uart_recv_ack: ACK failed. Received 0xA0, but expected 0x90"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(json_field(board(), "config_text"), NEW_TEXT);
}

TEST_F(UpdateFault, PowerCutMidFlashAndASecondUpdate) {
    // 26 frames before the flashing, four per data record: the power goes
    // right after the write of the 51st record, before its read-back.
    auto r = update_with("power-cut-after=228");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, HEAD + LOADED + repeat("wr", 51) + "failed: no answer from the loader\n");
    EXPECT_TRUE(logged("err flash_block: Patch at 0x00000220 execution failed with code -9"));
    EXPECT_TRUE(logged("err msp430_load_fw: Error at line 51"));
    EXPECT_TRUE(logged("err main: Device flashing failed with code -13"));
    std::string after = board();
    EXPECT_EQ(json_field(after, "mode"), "hung");
    EXPECT_EQ(json_field(after, "config_text"), "null");

    ASSERT_EQ(w.sim({"clear", w.root(), "1"}).status, 0);
    r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 0);
    // The hung chip answers no query before it is flashed.
    EXPECT_NE(r.out.find("Reading current TARVO config on PORT1 ... \n"), std::string::npos);
    EXPECT_NE(r.out.find("Reading new TARVO config on PORT1 ... " + NEW_TEXT +
                         " <font "
                         "color=\"green\">&#10004;</font>\n"),
              std::string::npos);
    after = board();
    EXPECT_EQ(json_field(after, "mode"), "running");
    EXPECT_EQ(json_field(after, "config_text"), NEW_TEXT);
}

// A run that dies leaves the board as far as it had driven it, as a real
// board's flash is; a power cycle then starts whatever the flash holds.
TEST_F(UpdateFault, KilledRunLeavesTheBoardAsItWasDriven) {
    std::string erased_crc;
    struct Case {
        std::string kill;     // TARVO_SIM_KILL
        std::string mode;     // the board right after
        std::string flash;    // "old", "erased" or "partial"
        std::string rebooted; // its mode after a power cycle
    };
    for (const Case &c : std::vector<Case>{
             {"log:Erasing device on PORT1", "loader", "old", "running"},
             {"log:Device erased at", "loader", "erased", "hung"},
             {"at:60", "loader", "partial", "hung"},
         }) {
        World world;
        ASSERT_EQ(world.sim({"fault", world.root(), "2", "nak-after=1"}).status, 0);
        auto r = world.update({"1", IMAGE}, {"TARVO_SIM_KILL=" + c.kill});
        EXPECT_EQ(r.status, 128 + 9) << c.kill;
        std::istringstream shown(world.sim({"show", world.root()}).out);
        std::string after, other;
        std::getline(shown, after);
        std::getline(shown, other);
        EXPECT_EQ(json_field(after, "mode"), c.mode) << c.kill;
        std::string crc = json_field(after, "flash_crc32");
        EXPECT_EQ(crc == json_field(before, "flash_crc32"), c.flash == "old") << c.kill;
        EXPECT_EQ(json_field(after, "config_text") == "null", c.flash != "old") << c.kill;
        if (c.flash == "erased")
            erased_crc = crc;
        EXPECT_EQ(crc != erased_crc, c.flash != "erased") << c.kill;
        ASSERT_EQ(world.sim({"reboot", world.root()}).status, 0);
        std::istringstream rebooted(world.sim({"show", world.root()}).out);
        std::getline(rebooted, after);
        EXPECT_EQ(json_field(after, "mode"), c.rebooted) << c.kill;
        EXPECT_EQ(json_field(after, "flash_crc32"), crc) << c.kill;
        // The other board was not touched: it keeps its faults and runs.
        std::string other_after;
        std::getline(rebooted, other_after);
        EXPECT_EQ(other_after, other) << c.kill;
        EXPECT_EQ(json_field(other, "faults"), "nak-after=1");
    }
}

} // namespace
