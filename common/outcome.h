// How an update ended, in one table: each exit status of tarvo_update and its
// cause, with a sentence for the person who reads it and what to do next.  The
// updater writes these words into its outcome record; the page, tarvo_info,
// tarvo_recover and the fleet report show them, so that every reader tells
// one outcome the same way.
#pragma once

// Exit statuses of tarvo_update.
enum ExitStatus {
    EXIT_UPDATED = 0,          // update ran to its end, the board reports the file's configuration
    EXIT_USAGE = 1,            // wrong arguments
    EXIT_BAD_PORT = 2,         // port is not 1 or 2
    EXIT_NO_BOARD = 3,         // no TARVO board on the port
    EXIT_STAGE_FAILED = 4,     // erase, patch, authentication or flashing failed
    EXIT_FILE_REFUSED = 5,     // firmware file refused before the board was touched
    EXIT_MISMATCH = 6,         // flashed, but the board reports no configuration or another one
    EXIT_BUSY = 7,             // another update is running
    EXIT_LOCK_FAILED = 9,      // the update lock could not be taken; the board was not touched
    EXIT_NOT_RECORDED = 9,     // the record of the update could not be written; the board was not
                               // touched
    EXIT_NO_REGISTERS = 9,     // the registers cannot be reached ("/dev/mem" cannot be opened); the
                               // board was not touched
    EXIT_UNSAFE_DIRECTORY = 9, // the lock's or the records' directory is open to others; the
                               // board was not touched
};

// Causes: the record's "cause" token, which tells apart the statuses that
// share a number.
constexpr const char *CAUSE_UPDATED = "updated";
constexpr const char *CAUSE_USAGE = "usage";
constexpr const char *CAUSE_BAD_PORT = "bad-port";
constexpr const char *CAUSE_NO_BOARD = "no-board";
constexpr const char *CAUSE_STAGE_FAILED = "stage-failed";
constexpr const char *CAUSE_REFUSED = "refused";
constexpr const char *CAUSE_MISMATCH = "mismatch";
constexpr const char *CAUSE_BUSY = "busy";
constexpr const char *CAUSE_LOCK_FAILED = "lock-failed";
constexpr const char *CAUSE_NOT_RECORDED = "not-recorded";
constexpr const char *CAUSE_NO_REGISTERS = "no-registers";
constexpr const char *CAUSE_UNSAFE_DIRECTORY = "unsafe-directory";

// Boot recovery tries an interrupted update this many times (the interrupted
// run counts as the first), and then leaves the port to a person with these
// words.
constexpr int RECOVERY_MAX_ATTEMPTS = 3;
constexpr const char *RECOVERY_GAVE_UP = "recovery gave up after 3 tries: update this port by hand";

struct Outcome {
    int status;          // exit status
    const char *cause;   // token
    const char *outcome; // what happened, for a person
    const char *action;  // what to do
};

// The row of a status and cause; with a null or unknown cause, the status's
// first row.  A status that has no row gets a row of its own words ("the
// update ended with exit status N"), never null.
const Outcome &outcome_of(int status, const char *cause);

// Every row, ended by a row with a null cause (for tests and documentation).
extern const Outcome OUTCOME_TABLE[];

// A stage token's words for a person ("the flashing"); the token itself when
// it is not one.
const char *stage_words(const char *stage);
