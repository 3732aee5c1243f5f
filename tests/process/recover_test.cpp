// Updates that never complete, and the next boot: the record an update keeps
// while it changes the board, tarvo_recover finishing it after a power cycle,
// and the cases where it must leave the board to a person.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using testing_support::json_field;
using testing_support::RunResult;
using testing_support::World;

namespace {

const std::string IMAGE = "V1a2a3c4b5b6b7o.hex";
const std::string NEW_TEXT = "1a2a3c4b5b6b7o";

// A simulated controller with its boot, and what the tests look at.
struct Controller {
    World w;

    std::string record_path() const { return w.path("/opt/tarvo_update/state/PORT1"); }
    bool has_record() const {
        std::error_code ec;
        return std::filesystem::symlink_status(record_path(), ec).type() !=
               std::filesystem::file_type::not_found;
    }
    std::string record() const { return testing_support::read_file(record_path()); }
    std::string board() const {
        std::istringstream in(w.sim({"show", w.root()}).out);
        std::string line;
        std::getline(in, line);
        return line;
    }
    // A controller restart: the boards lose power, then the boot runs tarvo_recover.
    RunResult boot() const {
        EXPECT_EQ(w.sim({"reboot", w.root()}).status, 0);
        std::vector<std::string> argv = w.wrapper;
        argv.push_back(testing_support::build_path("sim/tarvo_recover"));
        return testing_support::run(argv, {w.env(), "TARVO_SIM_SPEED=", "TARVO_SIM_TRACE="});
    }
    // How often the board was erased, by the updater's log.
    int erases() const {
        int n = 0;
        for (const auto &m : w.messages())
            n += m.text == "Erasing device on PORT1 ...";
        return n;
    }
    bool logged(const std::string &level, const std::string &start) const {
        for (const auto &m : w.messages())
            if (m.level == level && m.text.rfind(start, 0) == 0)
                return true;
        return false;
    }
    void expect_running_image() const {
        std::string b = board();
        EXPECT_EQ(json_field(b, "mode"), "running");
        EXPECT_EQ(json_field(b, "config_text"), NEW_TEXT);
        EXPECT_EQ(json_field(b, "version"), "0x01010000");
    }
};

class Recover : public ::testing::Test, public Controller {};

// Wherever an update stops between writing its record and removing it, the
// next boot finishes it.
struct Interruption {
    const char *name;
    std::string kill;  // TARVO_SIM_KILL of the interrupted run
    std::string fault; // or a fault of the board
    int status;        // of the interrupted run
};

class RecoverAfter : public ::testing::TestWithParam<Interruption>, public Controller {};

TEST_P(RecoverAfter, TheNextBootFinishesTheUpdate) {
    const Interruption &c = GetParam();
    if (!c.fault.empty()) {
        ASSERT_EQ(w.sim({"fault", w.root(), "1", c.fault}).status, 0);
    }
    std::vector<std::string> env;
    if (!c.kill.empty())
        env.push_back("TARVO_SIM_KILL=" + c.kill);
    EXPECT_EQ(w.update({"1", IMAGE}, env).status, c.status);
    ASSERT_TRUE(has_record());
    EXPECT_NE(record().find("image=" + IMAGE + "\n"), std::string::npos) << record();
    EXPECT_NE(record().find("\nattempts=1\n"), std::string::npos) << record();
    ASSERT_EQ(w.sim({"clear", w.root(), "1"}).status, 0);

    auto r = boot();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("PORT1: finishing " + IMAGE + " (attempt 2)\n"), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("\nPORT1: done\nPORT2: nothing to do\n")) << r.out;
    expect_running_image();
    EXPECT_FALSE(has_record());
    EXPECT_TRUE(logged("notice", "PORT1: finishing the update of " + IMAGE + " pending since 20"));
    EXPECT_TRUE(logged("notice", "PORT1: the update of " + IMAGE + " finished"));
    // A boot with nothing to do does nothing.
    int erased = erases();
    EXPECT_EQ(boot().status, 0);
    EXPECT_EQ(erases(), erased);
}

INSTANTIATE_TEST_SUITE_P(
    Interruptions, RecoverAfter,
    ::testing::Values(
        Interruption{"KilledRightAfterTheRecord", "log:Update of " + IMAGE + " on PORT1 recorded",
                     "", 137},
        Interruption{"KilledInTheLoaderBeforeTheErase", "log:Erasing device on PORT1", "", 137},
        Interruption{"KilledRightAfterTheErase", "log:Device erased at", "", 137},
        Interruption{"KilledInTheMiddleOfTheFlashing", "at:60", "", 137},
        Interruption{"KilledBeforeTheRecordIsRemoved", "log:Device flashed at", "", 137},
        Interruption{"PowerCutInTheMiddleOfTheFlashing", "", "power-cut-after=228", 4}),
    [](const ::testing::TestParamInfo<Interruption> &info) { return info.param.name; });

TEST_F(Recover, ABoardThatAlwaysFailsIsFlashedThreeTimesThenLeftToAPerson) {
    // The loader never starts: every run fails at the erase.
    ASSERT_EQ(w.sim({"fault", w.root(), "1", "loader-silent"}).status, 0);
    EXPECT_EQ(w.update({"1", IMAGE}).status, 4);
    EXPECT_EQ(boot().status, 2);
    EXPECT_NE(record().find("\nattempts=2\n"), std::string::npos) << record();
    EXPECT_EQ(boot().status, 2);
    EXPECT_EQ(erases(), 3);
    EXPECT_TRUE(logged("err", "PORT1: the update of " + IMAGE + " did not finish"));

    auto r = boot();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(erases(), 3);
    EXPECT_TRUE(
        logged("err", "PORT1 needs a person: the update of " + IMAGE + " pending since 20"));
    EXPECT_TRUE(r.out.starts_with("PORT1: needs a person: the update of " + IMAGE)) << r.out;
    EXPECT_NE(record().find("\nattempts=3\n"), std::string::npos) << record();
}

// A board taken out of its port after an interrupted update: each boot
// without it counts as an attempt, and a board put in later is not flashed.
TEST_F(Recover, ABoardTakenOutIsGivenUpAsAnyOtherAndNotFlashedWhenPutBack) {
    const std::string conf = w.path("/sim/world.conf");
    const std::string in = testing_support::read_file(conf);
    ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"}).status, 137);
    testing_support::write_file(conf, "port1=none\nport2=tarvo\n");
    for (int n = 0; n < 2; ++n) {
        auto r = boot();
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find("PORT1: did not finish " + IMAGE + ": no TARVO board in the port"),
                  std::string::npos)
            << r.out;
    }
    auto r = boot();
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.starts_with("PORT1: needs a person: its board is gone")) << r.out;
    testing_support::write_file(conf, in);
    EXPECT_EQ(boot().status, 2);
    EXPECT_EQ(erases(), 1);
    EXPECT_TRUE(logged("err", "PORT1 needs a person: its board is gone"));

    // A person updates it by hand, and the power is cut after the erase: that
    // update is a new one, which the next boot finishes.
    ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"}).status, 137);
    EXPECT_EQ(record().find("absent="), std::string::npos) << record();
    EXPECT_NE(record().find("\nattempts=1\n"), std::string::npos) << record();
    r = boot();
    EXPECT_EQ(r.status, 0) << r.out;
    expect_running_image();
}

// An image that the updater refuses (here: a key installed since the update
// began, and the image is not signed) is left to a person at once.
TEST_F(Recover, ARefusedImageNeedsAPersonAtOnce) {
    if (geteuid() != 0)
        GTEST_SKIP() << "trusted keys belong to root";
    ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"}).status, 137);
    const std::string keys = w.path("/opt/tarvo_update/keys");
    ASSERT_TRUE(std::filesystem::create_directory(keys));
    ASSERT_EQ(chmod(keys.c_str(), 0755), 0);
    testing_support::write_file(keys + "/release.pub",
                                "untrusted comment: minisign public key 0\n"
                                "RWQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n");
    auto r = boot();
    EXPECT_EQ(r.status, 2);
    const std::string why =
        "PORT1: needs a person: the updater refuses " + IMAGE + " of the update pending since ";
    EXPECT_NE(r.out.find(why), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": not signed: no " + IMAGE + ".minisig beside it\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("tries again"), std::string::npos) << r.out;
    EXPECT_EQ(erases(), 1);
}

// An image that is not the one the update began with is never flashed at boot.
TEST_F(Recover, AMissingOrChangedImageIsNotFlashed) {
    const std::string image = w.path("/opt/tarvo_update/fw/" + IMAGE);
    const std::string text = testing_support::read_file(image);
    for (const std::string change : {"changed", "missing"}) {
        SCOPED_TRACE(change);
        ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"}).status, 137);
        if (change == "changed")
            testing_support::write_file(image, text + "\n");
        else
            std::filesystem::remove(image);
        int erased = erases();
        EXPECT_EQ(boot().status, 2);
        EXPECT_EQ(erases(), erased);
        EXPECT_TRUE(has_record());
        EXPECT_EQ(json_field(board(), "mode"), "hung");
        EXPECT_TRUE(logged("err", change == "changed" ? "PORT1 needs a person: the image " + IMAGE +
                                                            " changed since the update began"
                                                      : "PORT1 needs a person: the image " + IMAGE +
                                                            " of the update pending since"));
        testing_support::write_file(image, text);
        std::filesystem::remove(record_path());
    }
}

// Only root's runs and the web server's reach the state directory, so what is
// at a record's path was put there by one of them: a record with another
// name, of the web server's user or writable by the group counts; something
// that is no file needs a person.  Another user can neither read a record nor
// give it another name.
TEST_F(Recover, WhatIsInThePrivateStateDirectoryCounts) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as other users";
    w.set_up_for_web_user();
    const std::string kept = w.path("/kept");
    for (const std::string kind :
         {"hard link", "of the web server's user", "writable by the group", "link", "socket"}) {
        SCOPED_TRACE(kind);
        ASSERT_EQ(w.sim({"reboot", w.root()}).status, 0);
        ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"}).status, 137);
        std::vector<std::string> ln = World::OTHER_USER;
        ln.insert(ln.end(), {"/bin/ln", record_path(), w.path("/tmp/mine")});
        EXPECT_NE(testing_support::run(ln).status, 0);
        bool counts = true;
        if (kind == "hard link") {
            std::filesystem::create_hard_link(record_path(), kept);
        } else if (kind == "of the web server's user") {
            ASSERT_EQ(chown(record_path().c_str(), 65534, 65534), 0);
        } else if (kind == "writable by the group") {
            chmod(record_path().c_str(), 0660);
        } else if (kind == "link") {
            std::filesystem::rename(record_path(), kept);
            std::filesystem::create_symlink(kept, record_path());
            counts = false;
        } else {
            std::filesystem::rename(record_path(), kept);
            int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un at{};
            at.sun_family = AF_UNIX;
            std::snprintf(at.sun_path, sizeof at.sun_path, "%s", record_path().c_str());
            ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
            close(fd);
            counts = false;
        }
        auto r = boot();
        if (counts) {
            EXPECT_EQ(r.status, 0) << r.out;
            expect_running_image();
        } else {
            EXPECT_EQ(r.status, 2) << r.out;
            EXPECT_EQ(json_field(board(), "mode"), "hung");
            EXPECT_TRUE(logged("err", "PORT1 needs a person: "));
        }
        std::filesystem::remove(record_path());
        std::filesystem::remove(kept);
    }
}

// A root run's record is read and replaced by the web server's runs.
TEST_F(Recover, ARootRunsRecordServesTheWebServersRuns) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    w.set_up_for_web_user();
    ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Update of " + IMAGE}).status, 137);
    // And a killed root run's temporary file beside it.
    testing_support::write_file(record_path() + ".new-AbC123", "");
    struct stat st;
    ASSERT_EQ(stat(record_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    w.wrapper = World::NOBODY;
    EXPECT_NE(w.info({"1", "json"}).out.find("\"pending\":{\"image\":\"" + IMAGE),
              std::string::npos);
    auto r = w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"});
    EXPECT_EQ(r.status, 137) << r.out;
    w.wrapper.clear();
    ASSERT_EQ(stat(record_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
}

TEST_F(Recover, ARecordThatCannotBeWrittenStopsTheRunBeforeTheBoardIsTouched) {
    std::filesystem::remove_all(w.path("/opt/tarvo_update/state"));
    testing_support::write_file(w.path("/opt/tarvo_update/state"), "");
    std::string before = board();
    auto r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 9);
    EXPECT_TRUE(r.out.starts_with("Unsafe directory: /opt/tarvo_update/state is not a directory"))
        << r.out;
    EXPECT_TRUE(logged(
        "err", "check_before_lock: Unsafe directory: /opt/tarvo_update/state is not a directory"));
    EXPECT_EQ(erases(), 0);
    EXPECT_EQ(board(), before);
}

// Runs that end before the erase write no record; a run whose flashing
// completed removes it, whatever the board reports then.
TEST_F(Recover, RunsThatEndWithoutAFlashingInProgressLeaveNoRecord) {
    const std::string fw = w.path("/opt/tarvo_update/fw/");
    std::filesystem::copy_file(fw + IMAGE, fw + "Xother.hex");
    testing_support::write_file(fw + "Xbroken.hex", ":10C00000\n");
    struct Case {
        std::string image;
        int status;
    };
    for (const Case &c : std::vector<Case>{{"Xbroken.hex", 5}, {"Xother.hex", 6}}) {
        SCOPED_TRACE(c.image);
        EXPECT_EQ(w.update({"1", c.image}).status, c.status);
        EXPECT_FALSE(has_record());
    }
    // The run with the configuration mismatch had written one and removed it.
    EXPECT_TRUE(logged("info", "Update on PORT1 completed, its record removed"));
}

} // namespace
