#include "common/outcome.h"

#include "common/paths.h"

#include <cstdio>
#include <cstring>

const Outcome OUTCOME_TABLE[] = {
    {EXIT_UPDATED, CAUSE_UPDATED, "The board runs the new firmware.", "Nothing to do."},
    {EXIT_USAGE, CAUSE_USAGE, "The update was not started: its command line is wrong.",
     "Run tarvo_update PORT FILE [html] (see tarvo_update --help)."},
    {EXIT_BAD_PORT, CAUSE_BAD_PORT, "The update was not started: there is no such port.",
     "Give the port as 1 or 2."},
    {EXIT_NO_BOARD, CAUSE_NO_BOARD, "No TARVO board was found in the port; nothing was changed.",
     "Check that the board sits in the port, then update again."},
    {EXIT_STAGE_FAILED, CAUSE_STAGE_FAILED,
     "The update failed while the board was being written; the board may have no working "
     "firmware.",
     "Update this port again; if it fails again, check the board and its port."},
    {EXIT_FILE_REFUSED, CAUSE_REFUSED, "The firmware file was refused; the board was not touched.",
     "Use an intact image, signed by a trusted key where keys are installed."},
    {EXIT_MISMATCH, CAUSE_MISMATCH,
     "The firmware was written, but the board reports no configuration or another one than "
     "the image's name.",
     "Check that the image is the one for this board, then update again."},
    {EXIT_BUSY, CAUSE_BUSY, "Another update was running; this one did not start.",
     "Wait until the other update has ended, then update again."},
    {EXIT_LOCK_FAILED, CAUSE_LOCK_FAILED,
     "The update lock could not be taken; the board was not touched.",
     "Check " PATH_LOCK_DIR " (it must exist and be writable for the updater), then update "
     "again."},
    {EXIT_NOT_RECORDED, CAUSE_NOT_RECORDED,
     "The update could not be recorded; the board was not touched.",
     "Check " PATH_STATE_DIR " (free space, owner and mode), then update again."},
    {EXIT_NO_REGISTERS, CAUSE_NO_REGISTERS,
     "The port's registers cannot be reached (" PATH_DEV_MEM "); the board was not touched.",
     "Run the update as root or with CAP_SYS_RAWIO."},
    {EXIT_UNSAFE_DIRECTORY, CAUSE_UNSAFE_DIRECTORY,
     "A private directory of the updater is open to others; the board was not touched.",
     "Give the directory back to root and the web server's group, mode 2770, then update "
     "again."},
    {0, nullptr, nullptr, nullptr},
};

const Outcome &outcome_of(int status, const char *cause) {
    const Outcome *first = nullptr;
    for (const Outcome *o = OUTCOME_TABLE; o->cause; ++o) {
        if (o->status != status)
            continue;
        if (cause && std::strcmp(o->cause, cause) == 0)
            return *o;
        if (!first)
            first = o;
    }
    if (first)
        return *first;
    // Not a status of the updater (a program that could not be run, a signal).
    static char words[80];
    static Outcome other;
    std::snprintf(words, sizeof words, "The update ended with exit status %d.", status);
    other = {status, "other", words, "See the system log for what happened."};
    return other;
}

const char *stage_words(const char *stage) {
    static const char *const WORDS[][2] = {
        {"check", "the firmware check"},
        {"lock", "the update lock"},
        {"board", "the board check"},
        {"read", "reading the board"},
        {"erase", "the erase"},
        {"patch", "the loader patch"},
        {"authenticate", "the authentication"},
        {"flash", "the flashing"},
        {"verify", "the check of the new firmware"},
    };
    for (const auto &w : WORDS)
        if (std::strcmp(w[0], stage) == 0)
            return w[1];
    return stage;
}
