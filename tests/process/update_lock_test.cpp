// Live behaviour of a running update: the lock on the pid file keeps a second
// updater out, and SIGTERM does not end the run.  The simulated clock is slowed
// so that the first run is still going while the test acts on it.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
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

// The environment of a run with the flock library preloaded, plus `env`.
std::vector<std::string> preloaded(std::vector<std::string> env) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    env.push_back("LD_PRELOAD=" TARVO_FLOCK_HOLD);
    // The preloaded library comes before the sanitizer's runtime.
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
    return env;
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
            m.level == "err" && m.text == "main: Another update is running (pid " + pid + ")";
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
    const std::string mark = std::to_string(query.pid) + " query\n";
    for (int i = 0; i < 20000 && testing_support::read_file(pid_file(w)) != mark; ++i)
        poll(nullptr, 0, 1);
    ASSERT_EQ(testing_support::read_file(pid_file(w)), mark);
    auto r = w.update({"2", IMAGE});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testing_support::finish(query).status, 8);
}

} // namespace

namespace {

// The environment of a program held between opening the pid file and locking
// it until `hold`/go exists.
std::vector<std::string> held_before_lock(const std::string &hold) {
    return preloaded({"TARVO_TEST_FLOCK_HOLD=" + hold});
}

// A query started while an update runs gets the lock when the update is over
// and reads what the update left, not what the board held when the query
// started; over and over, with the images taking turns.
TEST(UpdateLive, QueryHeldUntilTheUpdateEndedReadsTheNewVersion) {
    if (std::string(TARVO_FLOCK_HOLD).empty())
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

// The run that held the lock ends (and removes the pid file) while a second run
// is between opening the pid file and locking it, and a third run takes the
// lock on a new pid file.  The second must find that out and stay off its
// board.
TEST(UpdateLive, RunHeldBetweenOpenAndLockDoesNotUpdateBesideANewerRun) {
    if (std::string(TARVO_FLOCK_HOLD).empty())
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

// Runs as root and as the web server's user, in a world whose pid directory is
// set up as the installation sets it up: owned by root, anyone may create files
// in it, nobody may remove another user's.
class UpdateLockUsers : public ::testing::Test {
  protected:
    World w;
    std::string before;

    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to run the updater as another user";
        w.open_to_all_users();
        before = w.sim({"show", w.root()}).out;
    }

    World &as_other_user() {
        w.wrapper = World::NOBODY;
        return w;
    }
    World &as_root() {
        w.wrapper.clear();
        return w;
    }
};

// A root run that was killed leaves its pid file; the other user's run takes
// the lock on it (a root run beside it is turned away), cannot remove it and
// leaves it empty; the next root run takes it again.
TEST_F(UpdateLockUsers, PidFileLeftByARootRunIsTakenByAnotherUser) {
    auto killed = as_root().spawn_update({"1", IMAGE}, {SLOW});
    ASSERT_TRUE(wait_for_holder(w, killed.pid));
    kill(killed.pid, SIGKILL);
    testing_support::finish(killed);

    auto web = as_other_user().spawn_update({"2", IMAGE}, {SLOW});
    ASSERT_TRUE(wait_for_holder(w, web.pid));
    auto root = as_root().update({"1", IMAGE});
    EXPECT_EQ(root.status, 7);
    EXPECT_EQ(root.out, "Another update is running (pid " + std::to_string(web.pid) + ")\n");
    auto r = testing_support::finish(web);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testing_support::read_file(pid_file(w)), "");

    EXPECT_EQ(as_root().update({"2", IMAGE}).status, 0);
    EXPECT_FALSE(testing_support::file_exists(pid_file(w)));
}

// A root run killed right after it created its pid file leaves a file that
// the other user's runs can lock: it is writable for all from its creation.
TEST_F(UpdateLockUsers, RootRunKilledAtItsPidFileDoesNotLockOthersOut) {
    if (std::string(TARVO_FLOCK_HOLD).empty())
        GTEST_SKIP() << "the programs of this build are linked statically: no preloading";
    mode_t mask = umask(022);
    auto killed = as_root().update({"1", IMAGE}, preloaded({"TARVO_TEST_FLOCK_KILL=1"}));
    umask(mask);
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    struct stat st;
    ASSERT_EQ(stat(pid_file(w).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    auto r = as_other_user().update({"2", IMAGE});
    EXPECT_EQ(r.status, 0) << r.out;
}

// A pid file that the run may not open (another user's, not writable for
// others) stops the run before the board is touched, and says why.
TEST_F(UpdateLockUsers, PidFileThatCannotBeOpenedStopsTheRun) {
    testing_support::write_file(pid_file(w), "");
    chmod(pid_file(w).c_str(), 0644);
    auto r = as_other_user().update({"1", IMAGE});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.out,
              "Cannot take the update lock: cannot open " + pid_file(w) + ": Permission denied\n");
    EXPECT_TRUE(logged(w, "err",
                       "main: Cannot take the update lock, cannot open " + pid_file(w) +
                           ": Permission denied"))
        << w.log();
    EXPECT_EQ(w.sim({"show", w.root()}).out, before);
}

// Another user cannot keep a root run out without holding the lock: not with
// a FIFO made again and again at the path, nor by taking in advance the
// names a run could move a directory there aside to.
TEST_F(UpdateLockUsers, ThingsPlantedAtThePidPathDoNotKeepARootRunOut) {
    if (std::string(TARVO_FLOCK_HOLD).empty())
        GTEST_SKIP() << "the programs of this build are linked statically: no preloading";
    ASSERT_EQ(mkfifo(pid_file(w).c_str(), 0666), 0);
    for (int run = 0; run < 2; ++run) {
        auto query = as_root().spawn_info({"1"}, preloaded({"TARVO_TEST_REPLANT=" + pid_file(w)}));
        EXPECT_EQ(testing_support::finish(query).status, 0) << run;
    }

    std::filesystem::remove(pid_file(w));
    std::filesystem::create_directories(pid_file(w) + "/x");
    // The run's own pid, and a counter, were the names once.
    w.wrapper = {"/bin/sh", "-c",
                 "for n in $(seq 0 15); do mkdir -p \"$0.aside-$$-$n/x\"; done; exec \"$@\"",
                 pid_file(w)};
    auto r = w.info({"1"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(testing_support::file_exists(pid_file(w)));
}

// A run does not lock a file whose owner could remove it while the run holds
// the lock: a run of that owner would then lock a new file beside it.
TEST_F(UpdateLockUsers, PidFileOfAnotherUserIsReplaced) {
    testing_support::write_file(pid_file(w), "");
    ASSERT_EQ(chown(pid_file(w).c_str(), 65534, 65534), 0);
    auto root = as_root().spawn_update({"1", IMAGE}, {SLOW});
    ASSERT_TRUE(wait_for_holder(w, root.pid));
    std::vector<std::string> remove = World::NOBODY;
    remove.insert(remove.end(), {"/bin/rm", "-f", pid_file(w)});
    testing_support::run(remove);
    auto r = as_other_user().update({"2", IMAGE});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "Another update is running (pid " + std::to_string(root.pid) + ")\n");
    EXPECT_EQ(testing_support::finish(root).status, 0);
}

} // namespace
