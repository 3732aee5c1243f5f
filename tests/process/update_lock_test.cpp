// Live behaviour of a running update: the lock on the pid file keeps a second
// updater out, and SIGTERM does not end the run.  The simulated clock is slowed
// so that the first run is still going while the test acts on it.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using testing_support::json_field;
using testing_support::World;

namespace {

// Slow enough that a whole update lasts a good part of a second of wall time.
const std::string SLOW = "TARVO_SIM_SPEED=200";
const std::string IMAGE = "V1a2a3c4b5b6b7o.hex";

bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string pid_file(const World &w) {
    return w.path("/var/tarvo_update/tarvo_update.pid");
}

// Waits until the pid file holds this pid (a run writes it right after it takes
// the lock).
bool wait_for_holder(const World &w, int pid) {
    const std::string text = std::to_string(pid) + "\n";
    for (int i = 0; i < 20000; ++i) {
        if (testing_support::read_file(pid_file(w)) == text)
            return true;
        poll(nullptr, 0, 1);
    }
    return false;
}

std::string lock_file(const World &w) {
    return w.path("/var/tarvo_update/tarvo_update.lock");
}

// The environment of a run with the lock library preloaded, plus `env`.
std::vector<std::string> preloaded(std::vector<std::string> env) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    env.push_back("LD_PRELOAD=" TARVO_LOCK_HOLD);
    // The preloaded library comes before the sanitizer's runtime.
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
    return env;
}

// The pid of a process that holds a lock on the byte of the lock file (1:
// the board's) as the test sees it, 0 when none does.
int byte_holder(const World &w, off_t byte) {
    int fd = open(lock_file(w).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    int pid = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK ? fl.l_pid : 0;
    close(fd);
    return pid;
}

bool logged(const World &w, const std::string &level, const std::string &text) {
    for (const auto &m : w.messages())
        if (m.level == level && m.text == text)
            return true;
    return false;
}

TEST(UpdateLive, SecondUpdaterIsTurnedAwayWhileTheFirstRuns) {
    World w;
    std::string pid_file = w.path("/var/tarvo_update/tarvo_update.pid");
    auto first = w.spawn_update({"1", IMAGE}, {SLOW});
    ASSERT_GT(first.pid, 0);
    const std::string pid = std::to_string(first.pid);
    ASSERT_TRUE(testing_support::wait_for_file(pid_file));
    // The file is created before the pid is written into it.
    for (int i = 0; i < 20000 && testing_support::read_file(pid_file) != pid + "\n"; ++i)
        poll(nullptr, 0, 1);

    auto second = w.update({"2", IMAGE});
    EXPECT_EQ(second.status, 7);
    EXPECT_EQ(second.out, "Another update is running (pid " + pid + ")\n");
    std::string record = w.last_record(2);
    EXPECT_EQ(json_field(record, "cause"), "busy") << record;
    EXPECT_EQ(json_field(record, "stage"), "lock") << record;
    EXPECT_EQ(json_field(record, "reason"), "Another update is running (pid " + pid + ")");

    auto r = testing_support::finish(first);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ends_with(r.out, "Reading new TARVO config on PORT1 ... 1a2a3c4b5b6b7o <font "
                                 "color=\"green\">&#10004;</font>\n"))
        << r.out;
    EXPECT_FALSE(testing_support::file_exists(pid_file));
    bool refused = false;
    for (const auto &m : w.messages())
        refused |=
            m.level == "err" && m.text == "take_lock: Another update is running (pid " + pid + ")";
    EXPECT_TRUE(refused) << w.log();
}

TEST(UpdateLive, SigtermDoesNotEndTheRun) {
    World w;
    auto child = w.spawn_update({"1", IMAGE}, {SLOW});
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(testing_support::wait_for_file(w.path("/var/tarvo_update/tarvo_update.pid")));
    ASSERT_EQ(kill(child.pid, SIGTERM), 0);
    ASSERT_EQ(kill(child.pid, SIGINT), 0);
    auto r = testing_support::finish(child);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ends_with(r.out, "<font color=\"green\">&#10004;</font>\n")) << r.out;
    // Said once, for the first of the two.
    EXPECT_EQ(r.err, "tarvo_update: the update cannot be stopped safely and will finish\n");
    auto show = w.sim({"show", w.root()});
    EXPECT_NE(show.out.find("1a2a3c4b5b6b7o"), std::string::npos) << show.out;
}

// A query holds the lock for a moment: an update that comes then waits for it
// instead of being turned away.
TEST(UpdateLive, UpdateWaitsForAQueryThatHoldsTheLock) {
    World w;
    // A board that does not answer keeps the query at its lock for a second.
    ASSERT_EQ(w.sim({"fault", w.root(), "1", "modbus-silent"}).status, 0);
    auto query = w.spawn_info({"1"}, {"TARVO_SIM_SPEED=0.2"});
    for (int i = 0; i < 20000 && byte_holder(w, 1) != query.pid; ++i)
        poll(nullptr, 0, 1);
    ASSERT_EQ(byte_holder(w, 1), query.pid);
    auto r = w.update({"2", IMAGE});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testing_support::finish(query).status, 8);
}

} // namespace

namespace {

// The environment of a program held before it locks until `hold`/go exists.
std::vector<std::string> held_before_lock(const std::string &hold) {
    return preloaded({"TARVO_TEST_LOCK_HOLD=" + hold});
}

// A query started while an update runs gets the lock when the update is over
// and reads what the update left, not what the board held when the query
// started; over and over, with the images taking turns.
TEST(UpdateLive, QueryHeldUntilTheUpdateEndedReadsTheNewVersion) {
    if (std::string(TARVO_LOCK_HOLD).empty())
        GTEST_SKIP() << "the programs of this build are linked statically: no preloading";
    World w;
    const char *images[] = {"V1a2a3c4b5b6b7o.hex", "V1a2a3b4b5b6b7o.hex"};
    for (int round = 0; round < 4; ++round) {
        std::string hold = w.path("/hold" + std::to_string(round));
        std::filesystem::create_directory(hold);
        auto query = w.spawn_info({"1"}, held_before_lock(hold));
        ASSERT_TRUE(testing_support::wait_for_file(hold + "/held"));
        const std::string image = images[round % 2];
        ASSERT_EQ(w.update({"1", image}).status, 0) << round;
        std::string shown = w.sim({"show", w.root()}).out;
        testing_support::write_file(hold + "/go", "");
        auto r = testing_support::finish(query);
        EXPECT_EQ(r.status, 0) << round << r.err;
        EXPECT_EQ(r.out, "PORT1: version " + testing_support::json_field(shown, "version") +
                             ", configuration " + image.substr(1, image.size() - 5) + "\n")
            << round;
    }
}

// The run that held the lock ends while a second run is about to lock, and a
// third run takes the lock.  The second must find that out and stay off its
// board.
TEST(UpdateLive, RunHeldBetweenOpenAndLockDoesNotUpdateBesideANewerRun) {
    if (std::string(TARVO_LOCK_HOLD).empty())
        GTEST_SKIP() << "the programs of this build are linked statically: no preloading";
    World w;
    std::string hold = w.path("/hold");
    std::filesystem::create_directory(hold);
    auto first = w.spawn_update({"1", IMAGE}, {SLOW});
    ASSERT_TRUE(wait_for_holder(w, first.pid));

    auto held = w.spawn_update({"2", IMAGE}, held_before_lock(hold));
    ASSERT_TRUE(testing_support::wait_for_file(hold + "/held"));
    EXPECT_EQ(testing_support::finish(first).status, 0);

    auto third = w.spawn_update({"1", IMAGE}, {SLOW});
    ASSERT_TRUE(wait_for_holder(w, third.pid));
    std::string board2 = w.sim({"show", w.root()}).out;
    board2 = board2.substr(board2.find("{\"port\":2"));
    testing_support::write_file(hold + "/go", "");

    auto r = testing_support::finish(held);
    EXPECT_EQ(r.status, 7) << r.out << r.err;
    EXPECT_EQ(r.out, "Another update is running (pid " + std::to_string(third.pid) + ")\n");
    EXPECT_EQ(testing_support::finish(third).status, 0);
    std::string after = w.sim({"show", w.root()}).out;
    EXPECT_EQ(after.substr(after.find("{\"port\":2")), board2);
}

// Runs as root, as the web server's user and as another local user, in a world
// set up as the installation sets it up: the lock's directory is root's and the
// web server's group's, mode 2770.
class UpdateLockUsers : public ::testing::Test {
  protected:
    World w;
    std::string before;

    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to run the updater as another user";
        w.set_up_for_web_user();
        before = w.sim({"show", w.root()}).out;
    }

    World &as_web_user() {
        w.wrapper = World::NOBODY;
        return w;
    }
    World &as_root() {
        w.wrapper.clear();
        return w;
    }
    int as_other_user(const std::string &command) {
        std::vector<std::string> argv = World::OTHER_USER;
        argv.insert(argv.end(), {"/bin/sh", "-c", command});
        return testing_support::run(argv).status;
    }
};

// A run killed at any step of taking the lock (the lock file opened, the
// update's byte locked, the board's, the pid file made) keeps nobody out: the
// web server's update and a root query come next.
TEST_F(UpdateLockUsers, RunKilledAtEachStepOfTakingTheLockKeepsNobodyOut) {
    if (std::string(TARVO_LOCK_HOLD).empty())
        GTEST_SKIP() << "the programs of this build are linked statically: no preloading";
    for (int step = 1; step <= 4; ++step) {
        SCOPED_TRACE(step);
        mode_t mask = umask(077);
        auto killed = as_root().update({"1", IMAGE},
                                       preloaded({"TARVO_TEST_LOCK_KILL=" + std::to_string(step)}));
        umask(mask);
        EXPECT_EQ(killed.status, 128 + SIGKILL);
        auto r = as_web_user().update({"2", IMAGE});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(as_root().info({"1"}).status, 0);
        EXPECT_FALSE(testing_support::file_exists(pid_file(w)));
    }
}

// A killed root run leaves its pid file; the web server's run takes the lock
// (a root run beside it is turned away), and removes the pid file at its end.
TEST_F(UpdateLockUsers, PidFileLeftByAKilledRootRunIsTakenByTheWebServer) {
    auto killed = as_root().spawn_update({"1", IMAGE}, {SLOW});
    ASSERT_TRUE(wait_for_holder(w, killed.pid));
    kill(killed.pid, SIGKILL);
    testing_support::finish(killed);

    auto web = as_web_user().spawn_update({"2", IMAGE}, {SLOW});
    ASSERT_TRUE(wait_for_holder(w, web.pid));
    auto root = as_root().update({"1", IMAGE});
    EXPECT_EQ(root.status, 7);
    EXPECT_EQ(root.out, "Another update is running (pid " + std::to_string(web.pid) + ")\n");
    auto r = testing_support::finish(web);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(testing_support::file_exists(pid_file(w)));
}

// A lock file that the run may not open stops it before the board is touched,
// and says why.
TEST_F(UpdateLockUsers, LockFileThatCannotBeOpenedStopsTheRun) {
    testing_support::write_file(lock_file(w), "");
    chmod(lock_file(w).c_str(), 0600);
    auto r = as_web_user().update({"1", IMAGE});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.out,
              "Cannot take the update lock: cannot open " + lock_file(w) + ": Permission denied\n");
    EXPECT_TRUE(logged(w, "err",
                       "take_lock: Cannot take the update lock, cannot open " + lock_file(w) +
                           ": Permission denied"))
        << w.log();
    EXPECT_EQ(w.sim({"show", w.root()}).out, before);
}

// Another local user cannot reach the lock's directory nor the records': no
// FIFO, file or lease at the pid path, no name taken at the lock's, no link to
// a record; root's runs and the web server's go on.
TEST_F(UpdateLockUsers, AnotherUserCannotReachTheLockNorTheRecords) {
    const std::string state = w.path("/opt/tarvo_update/state");
    ASSERT_EQ(as_root().update({"1", IMAGE}, {"TARVO_SIM_KILL=log:Device erased at"}).status, 137);
    for (const std::string &command :
         {"mkfifo " + pid_file(w), ": > " + pid_file(w), "ls " + w.path("/var/tarvo_update"),
          "mkdir " + lock_file(w), "ln " + state + "/PORT1 " + w.path("/tmp/PORT1"),
          "cat " + state + "/PORT1"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(as_other_user(command + " 2>/dev/null"), 0);
    }
    EXPECT_EQ(as_root().update({"1", IMAGE}).status, 0);
    EXPECT_EQ(as_web_user().update({"2", IMAGE}).status, 0);
}

// Either private directory open to others (an installation of before) stops
// every run before the board is touched, and says what to run.
TEST_F(UpdateLockUsers, APrivateDirectoryOpenToOthersStopsTheRun) {
    for (const std::string dir : {"/var/tarvo_update", "/opt/tarvo_update/state"}) {
        SCOPED_TRACE(dir);
        chmod(w.path(dir).c_str(), 01777);
        auto r = as_root().update({"1", IMAGE});
        EXPECT_EQ(r.status, 9);
        EXPECT_EQ(r.out, "Unsafe directory: " + dir +
                             " is open to others (owner 0, group 65534, mode 1777); run "
                             "/opt/tarvo_update/bin/tarvo_dirs as root\n");
        EXPECT_EQ(w.sim({"show", w.root()}).out, before);
        chmod(w.path(dir).c_str(), 02770);
    }
}

// Root runs started at once: at most one holds the lock at any time, so no
// two of them are at a board together.
TEST_F(UpdateLockUsers, ConcurrentRootRunsNeverOverlap) {
    std::vector<testing_support::Spawned> runs;
    for (int i = 0; i < 4; ++i)
        runs.push_back(as_root().spawn_update({i % 2 ? "2" : "1", IMAGE}, {SLOW}));
    std::vector<int> updated;
    for (auto &run : runs) {
        auto r = testing_support::finish(run);
        EXPECT_TRUE(r.status == 0 || r.status == 7) << r.out;
        if (r.status == 0)
            updated.push_back(run.pid);
    }
    EXPECT_FALSE(updated.empty());
    // In the log, each updated run's lines from its record to the end of its
    // flashing come together.
    std::istringstream log(w.log());
    std::string line;
    int inside = 0;
    while (std::getline(log, line)) {
        for (int pid : updated) {
            std::string tag = std::to_string(pid);
            tag.insert(0, 1, '[').append("]: ");
            if (line.find(tag + "Update of ") != std::string::npos) {
                EXPECT_EQ(inside, 0) << line;
                inside = pid;
            } else if (line.find(tag + "Update on PORT") != std::string::npos) {
                EXPECT_EQ(inside, pid) << line;
                inside = 0;
            }
        }
    }
}

// Queries in loops beside updates (as the index pages that reload) never turn
// an update away.
TEST_F(UpdateLockUsers, QueriesInLoopsDoNotTurnUpdatesAway) {
    const std::string stop = w.path("/tmp/stop");
    std::vector<testing_support::Spawned> loops;
    for (int i = 0; i < 4; ++i)
        loops.push_back(testing_support::spawn(
            {"/bin/sh", "-c", "until [ -e \"$0\" ]; do \"$1\" 1 >/dev/null; done", stop,
             testing_support::build_path("sim/tarvo_info")},
            {w.env(), "TARVO_SIM_SPEED=", "TARVO_SIM_TRACE="}));
    for (int i = 0; i < 6; ++i) {
        auto r = as_root().update({i % 2 ? "2" : "1", IMAGE});
        EXPECT_EQ(r.status, 0) << r.out;
    }
    testing_support::write_file(stop, "");
    for (auto &loop : loops)
        testing_support::finish(loop);
}

} // namespace
