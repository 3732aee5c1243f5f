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

// Only root's records and the web server's user's count, with one name and
// writable for nobody else: anything else at the path (a hard link to the
// pid file, which is root's and writable for all, or a socket) is left alone.
TEST_F(Recover, ARecordOfAnotherUserOrALinkIsIgnored) {
    ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"}).status, 137);
    const std::string kept = w.path("/kept");
    std::filesystem::rename(record_path(), kept);
    for (const std::string kind :
         {"link", "hard link", "writable for others", "socket", "other user"}) {
        SCOPED_TRACE(kind);
        if (kind == "link") {
            std::filesystem::create_symlink(kept, record_path());
        } else if (kind == "hard link") {
            std::filesystem::create_hard_link(kept, record_path());
        } else if (kind == "writable for others") {
            std::filesystem::copy_file(kept, record_path());
            chmod(record_path().c_str(), 0666);
        } else if (kind == "socket") {
            int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un at{};
            at.sun_family = AF_UNIX;
            std::snprintf(at.sun_path, sizeof at.sun_path, "%s", record_path().c_str());
            ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
            close(fd);
        } else {
            if (geteuid() != 0)
                GTEST_SKIP() << "needs root to give the record another owner";
            std::filesystem::copy_file(kept, record_path());
            ASSERT_EQ(chown(record_path().c_str(), 65534, 65534), 0);
        }
        EXPECT_EQ(boot().status, 0);
        EXPECT_EQ(erases(), 1);
        EXPECT_EQ(json_field(board(), "mode"), "hung");
        EXPECT_TRUE(has_record());
        EXPECT_TRUE(logged("warn", "PORT1: /opt/tarvo_update/state/PORT1 "));
        // tarvo_info does not show it either.
        EXPECT_NE(w.info({"1", "json"}).out.find("\"pending\":null"), std::string::npos);
        std::filesystem::remove(record_path());
    }
}

// So that an update from the web pages can replace it, and it still counts.
TEST_F(Recover, ARootRunsRecordBelongsToTheWebServersUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ASSERT_EQ(chown(w.path("/opt/tarvo_update/etc").c_str(), 65534, 65534), 0);
    ASSERT_EQ(w.update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Update of " + IMAGE}).status, 137);
    struct stat st;
    ASSERT_EQ(stat(record_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_NE(w.info({"1", "json"}).out.find("\"pending\":{\"image\":\"" + IMAGE),
              std::string::npos);
}

// What another user makes in the state directory, and what a killed run of
// root left there, keeps no later run out: a root run replaces or moves aside
// what is at the record's path, and the temporary file's name is new each time.
TEST_F(Recover, NamesTakenInTheStateDirectoryDoNotKeepRunsOut) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant files as another user";
    w.open_to_all_users();
    const std::string state = w.path("/opt/tarvo_update/state/");
    struct Case {
        const char *name;
        std::vector<std::string> dirs; // of another user
        std::string root_file;
        bool as_root;
    };
    for (const Case &c :
         std::vector<Case>{{"directory at the temporary name", {"PORT1.new"}, "", true},
                           {"full directory at the record", {"PORT1", "PORT1/x"}, "", true},
                           {"root's temporary file", {}, "PORT1.new", false}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(state);
        std::filesystem::create_directory(state);
        chmod(state.c_str(), 01777);
        for (const std::string &d : c.dirs) {
            std::filesystem::create_directory(state + d);
            ASSERT_EQ(chown((state + d).c_str(), 65534, 65534), 0);
        }
        if (!c.root_file.empty())
            testing_support::write_file(state + c.root_file, "");
        w.wrapper = c.as_root ? std::vector<std::string>{} : World::NOBODY;
        auto r = w.update({"1", IMAGE});
        w.wrapper.clear();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_FALSE(has_record());
    }
}

TEST_F(Recover, ARecordThatCannotBeWrittenStopsTheRunBeforeTheBoardIsTouched) {
    std::filesystem::remove_all(w.path("/opt/tarvo_update/state"));
    testing_support::write_file(w.path("/opt/tarvo_update/state"), "");
    std::string before = board();
    auto r = w.update({"1", IMAGE});
    EXPECT_EQ(r.status, 9);
    const std::string why = "cannot write /opt/tarvo_update/state/PORT1: Not a directory";
    EXPECT_NE(r.out.find("Reading current TARVO config on PORT1 ... 1a2a3b4b5b6b7o\n"
                         "Cannot record the update: " +
                         why + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(logged("err", "main: Cannot record the update of " + IMAGE + " on PORT1: " + why));
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
