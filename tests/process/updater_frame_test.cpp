// The updater's run frame as a process in a simulated world: arguments, exit
// statuses, output mode, board check, pid file, signals and log lines.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

using testing_support::World;

namespace {

bool has_message(const World &w, const std::string &level, const std::string &text) {
    for (const auto &m : w.messages())
        if (m.level == level && m.text == text)
            return true;
    return false;
}

TEST(UpdaterFrame, WrongArgumentCountsExitOneAndPrintNothing) {
    World w;
    for (auto args : std::vector<std::vector<std::string>>{{}, {"1"}, {"1", "a", "html", "x"}}) {
        auto r = w.update(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(has_message(w, "err",
                                "main: Wrong number of parameters (" + std::to_string(args.size()) +
                                    "), expecting 2 or 3."));
    }
    EXPECT_FALSE(testing_support::file_exists(w.path("/var/tarvo_update/tarvo_update.pid")));
}

TEST(UpdaterFrame, BadPortsExitTwo) {
    World w;
    // Numbers beyond int are not read modulo 2^32 (which would give 1 or 2).
    const std::pair<std::string, std::string> rows[] = {
        {"3", "3"}, {"one", "0"}, {"4294967297", "2147483647"}, {"-4294967294", "-2147483648"}};
    for (const auto &[arg, logged] : rows) {
        auto r = w.update({arg, "V1a2a3b4b5b6b7o.hex"});
        EXPECT_EQ(r.status, 2) << arg;
        EXPECT_EQ(r.out, "") << arg;
        EXPECT_TRUE(
            has_message(w, "err", "main: Unknown PORT" + logged + ", expecting PORT1 or PORT2."))
            << arg;
    }
}

TEST(UpdaterFrame, AbsentOrOtherBoardIsNotFound) {
    for (const char *kind : {"none", "other"}) {
        World w(kind, "tarvo");
        auto r = w.update({"1", "V1a2a3b4b5b6b7o.hex"});
        EXPECT_EQ(r.status, 3) << kind;
        EXPECT_EQ(r.out, "Looking for TARVO on PORT1 ... not found\n");
        EXPECT_TRUE(
            has_message(w, "info", "Expansion board at PORT1 is NOT the TARVO. Exitting ..."));
        EXPECT_FALSE(testing_support::file_exists(w.path("/var/tarvo_update/tarvo_update.pid")));

        r = w.update({"1", "V1a2a3b4b5b6b7o.hex", "html"});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, "Looking for TARVO on PORT1 ... not found</td></tr><tr><td>");
    }
}

TEST(UpdaterFrame, HtmlInCapitalsSelectsText) {
    World w("tarvo", "none");
    auto r = w.update({"2", "V1a2a3b4b5b6b7o.hex", "HTML"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Looking for TARVO on PORT2 ... not found\n");
    EXPECT_TRUE(has_message(w, "info", "Using text output."));
    r = w.update({"2", "V1a2a3b4b5b6b7o.hex", "html"});
    EXPECT_TRUE(has_message(w, "info", "Using HTML output."));
}

TEST(UpdaterFrame, StartLogLinesInOrder) {
    World w("none", "none");
    w.update({"1", "x.hex"});
    auto msgs = w.messages();
    ASSERT_GE(msgs.size(), 5u);
    EXPECT_EQ(msgs[0].text, "Using text output.");
    EXPECT_EQ(msgs[1].level, "notice");
    EXPECT_EQ(msgs[1].text, "started");
    EXPECT_EQ(msgs[2].text.rfind("Current priority: ", 0), 0u);
    EXPECT_EQ(msgs[3].text.rfind("Current priority: ", 0), 0u);
}

TEST(UpdaterFrame, WithoutWorldTheSimulatedProgramRefuses) {
    auto r = testing_support::run({testing_support::build_path("sim/tarvo_update"), "1", "x.hex"},
                                  {"TARVO_SIM_ROOT="});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("TARVO_SIM_ROOT"), std::string::npos);
}

// What a killed run or a person left at the pid file's path is replaced,
// never opened or followed, and the run goes on.
TEST(UpdaterFrame, WhatIsLeftAtThePidPathIsReplaced) {
    World w("none", "none");
    const std::string victim = w.path("/victim"),
                      pid = w.path("/var/tarvo_update/tarvo_update.pid");
    testing_support::write_file(victim, "precious\n");
    const std::pair<const char *, std::function<void()>> rows[] = {
        {"link", [&] { ASSERT_EQ(symlink(victim.c_str(), pid.c_str()), 0); }},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(pid.c_str(), 0666), 0); }},
    };
    for (const auto &[what, plant] : rows) {
        plant();
        auto r = w.update({"1", "x.hex"});
        EXPECT_EQ(r.status, 3) << what << r.out;
        EXPECT_EQ(testing_support::read_file(victim), "precious\n") << what;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(pid))) << what;
    }
}

// Made private, of the settings directory's group, whatever the umask.
TEST(UpdaterFrame, MissingPrivateDirectoriesAreCreated) {
    World w("none", "none");
    for (const std::string dir : {"/var/tarvo_update", "/opt/tarvo_update/state"}) {
        std::filesystem::remove_all(w.path(dir));
        mode_t mask = umask(077);
        w.update({"1", "x.hex"});
        umask(mask);
        struct stat st, etc;
        ASSERT_EQ(stat(w.path(dir).c_str(), &st), 0);
        ASSERT_EQ(stat(w.path("/opt/tarvo_update/etc").c_str(), &etc), 0);
        EXPECT_EQ(st.st_mode & 07777, 02770u) << dir;
        EXPECT_EQ(st.st_gid, etc.st_gid) << dir;
    }
}

// Every program, and the demo script, at the command line: --help and
// --version answer on standard output with status 0; a wrong argument is named
// on standard error with the usage line, and standard output stays empty.
TEST(CommandLine, EveryProgramAnswersHelpVersionAndWrongArguments) {
    World w;
    std::string version = testing_support::read_file(testing_support::build_path("VERSION"));
    struct Row {
        std::string program; // in the build tree; "scripts/..." in the sources
        std::vector<std::string> args;
        int status;
        std::string out; // standard output starts with this
        std::string err; // standard error holds this
    };
    std::vector<Row> rows;
    for (std::string name : {"tarvo_update", "tarvo_info", "tarvo_recover", "index.cgi"}) {
        rows.push_back({"sim/" + name, {"--help"}, 0, "usage: " + name, ""});
        rows.push_back({"sim/" + name, {"--version"}, 0, name + " " + version, ""});
    }
    rows.push_back({"sim/tarvo_update", {"3", "x.hex"}, 2, "", "unknown port \"3\""});
    rows.push_back({"sim/tarvo_update", {"--help", "x.hex"}, 2, "", "usage: tarvo_update PORT"});
    // An option where the output word stands is refused before anything is touched.
    rows.push_back({"sim/tarvo_update",
                    {"1", "V1a2a3c4b5b6b7o.hex", "--dry-run"},
                    1,
                    "",
                    "tarvo_update: unknown option \"--dry-run\""});
    rows.push_back({"sim/tarvo_update", {"--check", "a.hex", "b.hex"}, 1, "", "--check takes one"});
    rows.push_back({"sim/tarvo_info", {"1", "--help"}, 1, "", "usage: tarvo_info PORT [json]"});
    rows.push_back({"sim/tarvo_recover", {"now"}, 1, "", "usage: tarvo_recover"});
    rows.push_back({"sim/index.cgi", {"--debug"}, 1, "", "usage: index.cgi"});
    rows.push_back({"scripts/demo.sh", {"--help"}, 0, "usage: scripts/demo.sh", ""});
    rows.push_back({"scripts/demo.sh", {"nosuch.hex"}, 1, "", "no image nosuch.hex in fw/"});
    for (const auto &row : rows) {
        SCOPED_TRACE(row.program + " " + row.args[0]);
        std::vector<std::string> argv = {row.program.rfind("scripts/", 0) == 0
                                             ? std::string(TARVO_SOURCE_DIR) + "/" + row.program
                                             : testing_support::build_path(row.program)};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        // --help and --version need no world; index.cgi reads arguments only
        // outside a web server.
        bool answer = row.args.size() == 1 && row.args[0].rfind("--", 0) == 0;
        auto r = testing_support::run(
            argv, {answer ? "TARVO_SIM_ROOT=" : w.env(), "REQUEST_METHOD=", "GATEWAY_INTERFACE="});
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out.substr(0, row.out.size()), row.out) << r.out;
        if (row.out.empty()) {
            EXPECT_EQ(r.out, "");
        }
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    }
}

// The controller's updater and board query without the right to open
// /dev/mem say so where they would look for the board, and touch nothing.
TEST(CommandLine, WithoutDevMemTheProgramsSayWhy) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run the programs as another user";
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=nobody",
                                             "--regid=nogroup", "--clear-groups"};
    const std::string why = testing_support::file_exists("/dev/mem")
                                ? "cannot open /dev/mem (needs root or CAP_SYS_RAWIO)\n"
                                : "cannot open /dev/mem (No such file or directory)\n";
    const struct {
        std::string program, arg;
        int status;
        std::string shown;
    } rows[] = {{"tarvo_update", "x.hex", 9, "Looking for TARVO on PORT1 ... failed: " + why},
                {"tarvo_info", "json", 10, "{\"port\":1,\"status\":\"no-access\""},
                {"tarvo_info", "", 10, "PORT1: " + why}};
    for (const auto &row : rows) {
        auto argv = nobody;
        argv.push_back(testing_support::build_path(row.program));
        argv.push_back("1");
        if (!row.arg.empty())
            argv.push_back(row.arg);
        auto r = testing_support::run(argv);
        EXPECT_EQ(r.status, row.status) << row.program << r.err;
        EXPECT_EQ(r.out.substr(0, row.shown.size()), row.shown) << r.out;
    }
}

} // namespace

namespace {
TEST(UpdaterFrame, WithoutGpioDriverNoPortHasABoard) {
    World w;
    w.sim({"init", w.root(), "--no-gpio"});
    for (const char *port : {"1", "2"}) {
        auto r = w.update({port, "V1a2a3b4b5b6b7o.hex"});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, std::string("Looking for TARVO on PORT") + port + " ... not found\n");
    }
}
} // namespace
