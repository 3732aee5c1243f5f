// Running the updater from the set page: its progress passed on to the page
// as it comes, the end of it kept, and that end read back for the rows that
// say how the update went.
#pragma once

#include "common/ports.h"

#include <cstddef>

// What the updater printed last (its last UPDATER_TAIL_SIZE bytes) and how
// it ended.
constexpr std::size_t UPDATER_TAIL_SIZE = 8192;
struct UpdaterRun {
    int status; // wait status, or -1 when it was not started
    int pid;    // the updater's process id (its outcome record's), or 0
    char tail[UPDATER_TAIL_SIZE + 1];
    std::size_t tail_len;
};

// Starts the updater on a port with a firmware file and its HTML output, its
// standard output on a pipe, and passes all of it on to ours as it comes,
// keeping the end of it in `run`.  The updater never waits for the page:
// what the client does not take (it went away) is read and dropped.
void updater_run_relayed(const PortInfo &port, const char *file, UpdaterRun *run);

// The last progress row of the output ("STAGE ... RESULT") whose stage starts
// with `stage` (any stage when empty) and whose result holds `word`: the
// stage in `what` ("Erasing device on PORT1"), and what the updater said
// after the word in `reason`, or when nothing follows it there, the row after
// it (unless that is the next stage's).  False when there is no such row.
bool updater_stage_row(const UpdaterRun &run, const char *stage, const char *word, char *what,
                       std::size_t what_size, char *reason, std::size_t reason_size);

// The text of the last row of the output that starts with `start`, or "".
void updater_row_starting(const UpdaterRun &run, const char *start, char *out, std::size_t size);
