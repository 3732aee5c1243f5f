// Reading back what the updater printed: its rows as plain text, found by
// stage and result word, the reason after the word or on the next row.
#include "web/updater_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

UpdaterRun ran(const std::string &output) {
    UpdaterRun run{};
    run.status = 0;
    run.tail_len = std::snprintf(run.tail, sizeof run.tail, "%s", output.c_str());
    return run;
}

const std::string ROW = "</td></tr><tr><td>";

TEST(UpdaterRun, FindsTheLastRowOfAStageAndItsReason) {
    struct Row {
        std::string output, stage, word;
        bool found;
        std::string what, reason;
    };
    const std::vector<Row> rows = {
        {"Flashing TARVO on PORT1 ... wrwrwr failed: read-back differs" + ROW, "", "failed", true,
         "Flashing TARVO on PORT1", "read-back differs"},
        {"Checking firmware file a.hex ... failed: line 5: wrong checksum" + ROW,
         "Checking firmware file", "failed", true, "Checking firmware file a.hex",
         "line 5: wrong checksum"},
        // Nothing after the word: the row after it, unless it is the next
        // stage's.
        {"Checking firmware file a.hex ... failed" + ROW + "line 5: wrong checksum" + ROW,
         "Checking firmware file", "failed", true, "Checking firmware file a.hex",
         "line 5: wrong checksum"},
        {"Erasing device on PORT1 ... failed" + ROW + "Resetting PORT1 ... done" + ROW, "",
         "failed", true, "Erasing device on PORT1", ""},
        // Tags left out, references turned back, a bracket of the page's own
        // dropped, one of the reason's kept.
        {"Looking for TARVO on PORT1 ... <span style=\"position: relative\">failed: cannot open "
         "/dev/mem (needs root or CAP_SYS_RAWIO)</span>" +
             ROW,
         "Looking for TARVO", "failed", true, "Looking for TARVO on PORT1",
         "cannot open /dev/mem (needs root or CAP_SYS_RAWIO)"},
        {"Looking for TARVO on PORT2 ... not found (no answer &lt;&amp;&gt;)" + ROW,
         "Looking for TARVO", "not found", true, "Looking for TARVO on PORT2", "no answer <&>"},
        // The last of several, and none at all.
        {"A ... failed: one" + ROW + "B ... failed: two" + ROW, "", "failed", true, "B", "two"},
        {"Checking firmware file a.hex ... done" + ROW, "", "failed", false, "", ""},
        {"", "", "failed", false, "", ""},
    };
    for (const Row &row : rows) {
        char what[400] = "", reason[500] = "";
        UpdaterRun run = ran(row.output);
        EXPECT_EQ(updater_stage_row(run, row.stage.c_str(), row.word.c_str(), what, sizeof what,
                                    reason, sizeof reason),
                  row.found)
            << row.output;
        EXPECT_EQ(what, row.what) << row.output;
        EXPECT_EQ(reason, row.reason) << row.output;
    }
    char out[400];
    updater_row_starting(ran("Cannot x" + ROW + "Cannot take the lock: denied" + ROW + "done"),
                         "Cannot", out, sizeof out);
    EXPECT_STREQ(out, "Cannot take the lock: denied");
    updater_row_starting(ran("done" + ROW), "Cannot", out, sizeof out);
    EXPECT_STREQ(out, "");
}

} // namespace
