// The controller's update history: one outcome record per run of tarvo_update
// that got past its argument checks, one JSON object on one line, appended to
// PATH_HISTORY (newest last).  The file keeps the newest
// HISTORY_KEEP records: once it holds more than HISTORY_KEEP + HISTORY_SLACK,
// it is replaced in one step by its newest HISTORY_KEEP.  A line that a power cut or
// a killed writer left torn (no line end, or not a whole record) is skipped by
// every reader, and the next record starts on a line of its own.
#pragma once

#include <cstddef>
#include <cstdint>

struct PortInfo;

constexpr int HISTORY_KEEP = 1000;
constexpr int HISTORY_SLACK = 250;
constexpr std::size_t HISTORY_LINE_SIZE = 4096; // longest record written or read

// Stage tokens: the stage a run had reached when it ended.
constexpr const char *STAGE_CHECK = "check";
constexpr const char *STAGE_LOCK = "lock";
constexpr const char *STAGE_BOARD = "board";
constexpr const char *STAGE_READ = "read";
constexpr const char *STAGE_ERASE = "erase";
constexpr const char *STAGE_PATCH = "patch";
constexpr const char *STAGE_AUTHENTICATE = "authenticate";
constexpr const char *STAGE_FLASH = "flash";
constexpr const char *STAGE_VERIFY = "verify";

// Who started a run, told from its parent process's name.
constexpr const char *BY_COMMAND_LINE = "command line";
constexpr const char *BY_WEB_PAGE = "web page";
constexpr const char *BY_BOOT_RECOVERY = "boot recovery";
constexpr const char *BY_FLEET = "fleet";

// The board's firmware as read before or after the update.
struct BoardReading {
    bool has_version;
    std::uint32_t version;
    bool has_config;
    char config[128];
};

struct OutcomeRecord {
    int port;
    char image[256];   // the FILE argument
    char signer[24];   // key ID, "unsigned", or "" (null: the check did not get that far)
    char start[24];    // "YYYY-MM-DDTHH:MM:SSZ"
    char end[24];      // the same
    double duration;   // seconds
    int status;        // exit status
    char cause[24];    // token of the outcome table
    char stage[16];    // token of the stage reached
    char reason[600];  // the failure in the screen's words, "" when none
    char outcome[300]; // the outcome table's sentence
    char action[300];  // the table's "what to do"
    BoardReading before;
    BoardReading after;
    char by[16]; // one of BY_...
    int pid;
};

// Who started this process: its parent's name ("/proc/PPID/comm") told as one
// of BY_...
const char *history_started_by(void);

// The record as one line of JSON, with its line end.  Returns the length, or
// 0 when it does not fit.
std::size_t history_format(const OutcomeRecord &record, char *line, std::size_t size);

// Reads one line (without its line end) back into a record; false when it is
// not a whole record.
bool history_parse(const char *line, std::size_t length, OutcomeRecord *record);

// Appends the record, after a torn last line when there is one, and makes it
// durable; rotates the file when it is full.  Never waits for long: false with
// the reason when the record could not be written.
bool history_append(const OutcomeRecord &record, char *reason, std::size_t size);

// Hands the records of `port` (every port when null) to `visit`, newest first,
// with their stored line, until `visit` returns false or `limit` records were
// handed (no limit when 0).  Lines that are not whole records are skipped.
// Returns the number of records handed, or -1 with the reason when the
// history exists but cannot be read.  No history is no record.
using HistoryVisitor = bool (*)(const OutcomeRecord &record, const char *line, std::size_t length,
                                void *context);
int history_read(const PortInfo *port, int limit, HistoryVisitor visit, void *context, char *reason,
                 std::size_t size);

// The newest record of `port`; false when there is none.
bool history_last(const PortInfo &port, OutcomeRecord *record);

// The port that the running tarvo_update with this pid works on (its first
// argument), or 0 when it cannot be told: no such process, not the updater.
int history_update_port(int pid);

// One line of text for a person about the record, without a line end:
// "START PORTn IMAGE: OUTCOME (...)".
void history_text(const OutcomeRecord &record, char *line, std::size_t size);
