// Live behaviour of a running update: the lock on the pid file keeps a second
// updater out, and SIGTERM does not end the run.  The simulated clock is slowed
// so that the first run is still going while the test acts on it.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <string>

using testing_support::World;

namespace {

// Slow enough that a whole update lasts a good part of a second of wall time.
const std::string SLOW = "TARVO_SIM_SPEED=200";
const std::string IMAGE = "V1a2a3c4b5b6b7o.hex";

bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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
    auto show = w.sim({"show", w.root()});
    EXPECT_NE(show.out.find("1a2a3c4b5b6b7o"), std::string::npos) << show.out;
}

} // namespace
