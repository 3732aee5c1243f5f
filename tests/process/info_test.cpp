// tarvo_info as a process in simulated worlds: its line or JSON object and its
// exit status for each state a board can be in, and its refusal to talk to a
// board while an update holds the lock.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <string>
#include <vector>

using testing_support::World;

namespace {

const std::string FACTORY_JSON =
    "{\"port\":1,\"status\":\"read\",\"board\":true,\"answered\":true,"
    "\"version\":\"0x01000000\",\"config\":\"1a2a3b4b5b6b7o\",\"pending\":null}\n";

struct InfoCase {
    const char *name;
    const char *port2; // board kind in port 2 (port 1 always has a TARVO board)
    std::vector<std::string> args;
    int status;
    const char *out;
};

TEST(Info, PrintsWhatTheBoardReports) {
    const InfoCase cases[] = {
        {"text", "tarvo", {"1"}, 0, "PORT1: version 0x01000000, configuration 1a2a3b4b5b6b7o\n"},
        {"json", "tarvo", {"1", "json"}, 0, FACTORY_JSON.c_str()},
        {"port by its name", "tarvo", {"PORT1", "json"}, 0, FACTORY_JSON.c_str()},
        {"no board, text", "none", {"2"}, 3, "PORT2: no TARVO board\n"},
        {"other board, json",
         "other",
         {"2", "json"},
         3,
         "{\"port\":2,\"status\":\"no-board\",\"board\":false,\"answered\":false,"
         "\"version\":null,\"config\":null,\"pending\":null}\n"},
        {"bad port", "tarvo", {"3"}, 2, "Unknown PORT3, expecting PORT1 or PORT2\n"},
        {"port beyond int",
         "tarvo",
         {"4294967297"},
         2,
         "Unknown PORT2147483647, expecting PORT1 or PORT2\n"},
        {"bad port, json",
         "tarvo",
         {"0", "json"},
         2,
         "{\"port\":0,\"status\":\"bad-port\",\"board\":false,\"answered\":false,"
         "\"version\":null,\"config\":null,\"pending\":null}\n"},
        {"no port", "tarvo", {}, 1, ""},
        {"unknown format", "tarvo", {"1", "html"}, 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        World w("tarvo", c.port2);
        auto r = w.info(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        if (c.status == 1 || c.status == 2) {
            EXPECT_NE(r.err.find("usage: tarvo_info PORT [json]"), std::string::npos) << r.err;
        }
    }
}

TEST(Info, BoardLeftByAnInterruptedUpdateDoesNotAnswerAndIsLeftAlone) {
    World w;
    ASSERT_EQ(w.sim({"fault", w.root(), "1", "power-cut-after=20"}).status, 0);
    ASSERT_EQ(w.update({"1", "V1a2a3c4b5b6b7o.hex"}).status, 4);
    std::string before = w.sim({"show", w.root()}).out;

    // The update's record tells which image the board was getting.
    std::string record = testing_support::read_file(w.path("/opt/tarvo_update/state/PORT1"));
    auto at = record.find("since=");
    ASSERT_NE(at, std::string::npos) << record;
    std::string since = record.substr(at + 6, record.find('\n', at) - at - 6);

    auto info_lines = [&] {
        std::string log = w.log();
        int n = 0;
        for (auto at = log.find("tarvo_info["); at != std::string::npos;
             at = log.find("tarvo_info[", at + 1))
            ++n;
        return n;
    };
    auto r = w.info({"1", "json"});
    EXPECT_EQ(r.status, 8);
    // One line in the log for a board that does not answer, none for one that does.
    EXPECT_EQ(info_lines(), 1) << w.log();
    EXPECT_EQ(r.out, "{\"port\":1,\"status\":\"no-answer\",\"board\":true,\"answered\":false,"
                     "\"version\":null,\"config\":null,\"pending\":{\"image\":"
                     "\"V1a2a3c4b5b6b7o.hex\",\"since\":\"" +
                         since + "\",\"attempts\":1,\"recovery_gave_up\":false}}\n");
    EXPECT_EQ(w.info({"1"}).out, "PORT1: the board did not answer\n"
                                 "PORT1: interrupted update of V1a2a3c4b5b6b7o.hex pending since " +
                                     since + "\n");
    // Neither the board's lines nor its loader were touched.
    EXPECT_EQ(w.sim({"show", w.root()}).out, before);
    // The other port's board answers as ever.
    int lines = info_lines();
    EXPECT_EQ(w.info({"2"}).status, 0);
    EXPECT_EQ(info_lines(), lines);
}

TEST(Info, IsTurnedAwayWhileAnUpdateRuns) {
    World w;
    std::string pid_file = w.path("/var/tarvo_update/tarvo_update.pid");
    auto update = w.spawn_update({"1", "V1a2a3c4b5b6b7o.hex"}, {"TARVO_SIM_SPEED=200"});
    ASSERT_GT(update.pid, 0);
    const std::string pid = std::to_string(update.pid);
    ASSERT_TRUE(testing_support::wait_for_file(pid_file));
    for (int i = 0; i < 20000 && testing_support::read_file(pid_file) != pid + "\n"; ++i)
        poll(nullptr, 0, 1);

    auto json = w.info({"2", "json"});
    auto text = w.info({"2"});
    // Asked about its own port once it has recorded its update: running, not
    // interrupted.
    ASSERT_TRUE(testing_support::wait_for_file(w.path("/opt/tarvo_update/state/PORT1")));
    auto own = w.info({"1"});
    auto r = testing_support::finish(update);
    ASSERT_EQ(r.status, 0) << r.out;

    EXPECT_EQ(json.status, 7);
    EXPECT_EQ(json.out, "{\"port\":2,\"status\":\"busy\",\"board\":true,\"answered\":false,"
                        "\"version\":null,\"config\":null,\"update_pid\":" +
                            pid + ",\"update_port\":1,\"pending\":null}\n");
    EXPECT_EQ(text.status, 7);
    EXPECT_EQ(text.out, "PORT2: not asked: an update of PORT1 is running (pid " + pid + ")\n");
    EXPECT_EQ(own.status, 7);
    EXPECT_EQ(own.out, "PORT1: an update is running (pid " + pid + ")\n");
    // After the update, the query reads the new image and leaves no lock behind.
    EXPECT_EQ(w.info({"1"}).out, "PORT1: version 0x01010000, configuration 1a2a3c4b5b6b7o\n");
    EXPECT_FALSE(testing_support::file_exists(pid_file));
}

} // namespace
