// tarvo_recover: run once at boot.  An update that never completed (power lost,
// the updater killed, a stage failed) left a record of itself for its port;
// for each such record this program runs the update again with the recorded
// image, so that a board left erased or half written heals without a person.
// It gives up, and says so in the system log, where a person must look: the
// update was already tried three times (a boot that found the board gone
// counts as a try), its image is missing or is no longer the one the update
// began with, or the updater refuses the image (a key installed since, a
// signature that does not fit): no later boot would do better.  Everything
// goes to the system log, and one line per port to standard output.
#include "common/cli.h"
#include "common/history.h"
#include "common/outcome.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/ports.h"
#include "updater/bsl/bsl.h"
#include "updater/pending.h"
#include "updater/pid_lock.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

enum RecoverStatus {
    RECOVER_DONE = 0,     // no record left: none was there, or every update finished
    RECOVER_USAGE = 1,    // arguments given
    RECOVER_LEFT = 2,     // a port keeps its record: it needs a person (see the log)
    RECOVER_MISMATCH = 3, // an update finished flashing, but the board reports another
                          // configuration than the image's name
};

// The interrupted run counts as the first.
constexpr int MAX_ATTEMPTS = RECOVERY_MAX_ATTEMPTS;

// tarvo_update's exit statuses: the port holds no TARVO board; the firmware
// file is refused before the board is touched.
constexpr int UPDATE_NO_BOARD = 3;
constexpr int UPDATE_REFUSED = 5;

constexpr ProgramUsage USAGE = {
    "tarvo_recover", "",
    "  finishes the updates that a power loss or a killed run left\n"
    "  unfinished (run once at boot)\n"
    "exit status: 0 nothing left to do, 1 usage, 2 a port needs a person,\n"
    "  3 an update finished but its board reports another configuration\n"};

// The pid of the last updater run.
pid_t updater_pid = 0;

// Runs the updater on the port with the image, in text mode, its output
// passed on; its exit status, or -1 when it could not be run.
int run_update(const PortInfo &port, const char *image) {
    const LocalPath updater(PATH_UPDATER);
    char port_arg[8];
    std::snprintf(port_arg, sizeof port_arg, "%d", port.number);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        plat_log_here(LOG_ERR, "Cannot start %s: %m", PATH_UPDATER);
        return -1;
    }
    if (pid == 0) {
        char *const argv[] = {const_cast<char *>(PATH_UPDATER), port_arg, const_cast<char *>(image),
                              nullptr};
        execv(updater.path, argv);
        _exit(127);
    }
    updater_pid = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            plat_log_here(LOG_ERR, "Lost %s (pid %d): %m", PATH_UPDATER, static_cast<int>(pid));
            return -1;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 127)
        return WEXITSTATUS(status);
    plat_log_here(LOG_ERR, "%s did not run to its end (wait status 0x%X)", PATH_UPDATER,
                  static_cast<unsigned>(status));
    return -1;
}

struct Found {
    int pid;
    OutcomeRecord *record;
};

bool of_pid(const OutcomeRecord &record, const char *, std::size_t, void *context) {
    Found *found = static_cast<Found *>(context);
    if (record.pid != found->pid)
        return true;
    *found->record = record;
    return false;
}

// How the last updater run ended, in the words of its record (or of the
// outcome table when it left none): "STATUS: OUTCOME[ STAGE: REASON]"; the
// record's reason alone goes to `failure` ("" when none).
void run_outcome(const PortInfo &port, int status, char *text, std::size_t size, char *failure,
                 std::size_t failure_size) {
    static OutcomeRecord record;
    record = OutcomeRecord{};
    Found found{static_cast<int>(updater_pid), &record};
    char reason[600];
    failure[0] = '\0';
    if (history_read(&port, 10, of_pid, &found, reason, sizeof reason) > 0 && record.pid != 0 &&
        record.status == status) {
        std::snprintf(text, size, "%d: %s%s%s%s", status, record.outcome,
                      record.reason[0] ? " " : "", record.reason[0] ? record.stage : "",
                      record.reason[0] ? ": " : "");
        std::size_t n = std::strlen(text);
        std::snprintf(text + n, size - n, "%s", record.reason);
        std::snprintf(failure, failure_size, "%s", record.reason);
    } else {
        std::snprintf(text, size, "%d: %s", status, outcome_of(status, nullptr).outcome);
    }
}

// A port left to a person: one line in the log, one on standard output.
__attribute__((format(printf, 2, 3))) void needs_person(const PortInfo &port, const char *format,
                                                        ...) {
    char why[PENDING_REASON_SIZE + PENDING_IMAGE_SIZE + 200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    plat_syslog(LOG_ERR, "PORT%d needs a person: %s", port.number, why);
    std::printf("PORT%d: needs a person: %s\n", port.number, why);
}

// Whether the recorded image is still there, byte for byte.
bool image_unchanged(const PortInfo &port, const PendingUpdate &r) {
    FirmwarePath fw;
    char reason[PENDING_REASON_SIZE];
    std::uint32_t crc = 0;
    if (!firmware_path(r.image, &fw, reason, sizeof reason) ||
        !pending_file_crc(fw.where, &crc, reason, sizeof reason)) {
        needs_person(port,
                     "the image %s of the update pending since %s cannot be read (%s); the "
                     "board is not flashed",
                     r.image, r.since, reason);
        return false;
    }
    if (crc != r.crc32) {
        needs_person(port,
                     "the image %s changed since the update began (checksum 0x%08X, recorded "
                     "0x%08X); the board is not flashed",
                     r.image, crc, r.crc32);
        return false;
    }
    return true;
}

// Counts this boot as an attempt of the record `r` on a port without a board,
// under the update lock, and only while the record is still the one read: a
// run started by hand meanwhile may have written or removed it.
void count_missing_board(const PortInfo &port, const PendingUpdate &r) {
    int holder = 0;
    char reason[PENDING_REASON_SIZE];
    if (pid_lock_take(__func__, &holder, reason, sizeof reason) != PID_LOCK_TAKEN)
        return;
    PendingUpdate now;
    if (pending_read(port, &now, reason, sizeof reason) == PENDING_FOUND &&
        std::strcmp(now.image, r.image) == 0 && now.crc32 == r.crc32 &&
        std::strcmp(now.since, r.since) == 0 && now.attempts == r.attempts &&
        !pending_missed(port, &now, reason, sizeof reason))
        plat_syslog(LOG_ERR, "PORT%d: %s", port.number, reason);
    pid_lock_release();
}

// Whether the update of the record `r` is worth another attempt: not tried
// too often yet, and its image unchanged.  When not, a person is told.
bool worth_another_attempt(const PortInfo &port, const PendingUpdate &r) {
    if (r.attempts >= MAX_ATTEMPTS) {
        if (r.absent > 0)
            needs_person(port,
                         "its board is gone (no TARVO board in the port at %d of the boots "
                         "since the update of %s pending since %s); a board put in is not "
                         "flashed without a person",
                         r.absent, r.image, r.since);
        else
            needs_person(port,
                         "the update of %s pending since %s did not finish in %d attempts; %s",
                         r.image, r.since, r.attempts, RECOVERY_GAVE_UP);
        return false;
    }
    return image_unchanged(port, r);
}

// What the updater's run of the record `r` ended in, with its exit status,
// the reason its record gives and its outcome in words: the port's result.
int judge_run(const PortInfo &port, const PendingUpdate &r, int status, const char *failure,
              const char *how) {
    // The updater refuses the image (a signature, a key installed since): no
    // later boot does better without a person.
    if (status == UPDATE_REFUSED) {
        needs_person(port, "the updater refuses %s of the update pending since %s: %s", r.image,
                     r.since, failure[0] ? failure : "see the system log");
        return RECOVER_LEFT;
    }
    PendingUpdate left;
    char reason[PENDING_REASON_SIZE];
    if (pending_read(port, &left, reason, sizeof reason) != PENDING_NONE) {
        // The updater turned away at the board check: the board was taken out.
        // The boot counts as an attempt all the same, so that the record is
        // given up in as many boots as any other, and a board put in later is
        // not flashed with it.
        const char *gone = "";
        if (status == UPDATE_NO_BOARD) {
            gone = ": no TARVO board in the port";
            count_missing_board(port, r);
        }
        bool again = pending_read(port, &left, reason, sizeof reason) == PENDING_FOUND &&
                     left.attempts < MAX_ATTEMPTS;
        plat_syslog(LOG_ERR,
                    "PORT%d: the update of %s did not finish%s (tarvo_update exit status %s)",
                    port.number, r.image, gone, how);
        std::printf("PORT%d: did not finish %s%s (tarvo_update exit status %s); the next start "
                    "%s\n",
                    port.number, r.image, gone, how,
                    again ? "tries again" : "leaves it to a person");
        return RECOVER_LEFT;
    }
    if (status != 0) {
        plat_syslog(LOG_ERR,
                    "PORT%d: %s was flashed, but the board does not report its configuration "
                    "(tarvo_update exit status %s)",
                    port.number, r.image, how);
        std::printf("PORT%d: needs a person: %s was flashed, but the board does not report its "
                    "configuration (tarvo_update exit status %s)\n",
                    port.number, r.image, how);
        return RECOVER_MISMATCH;
    }
    plat_syslog(LOG_NOTICE, "PORT%d: the update of %s finished", port.number, r.image);
    std::printf("PORT%d: done\n", port.number);
    return RECOVER_DONE;
}

int recover_port(const PortInfo &port) {
    PendingUpdate r;
    char reason[PENDING_REASON_SIZE];
    switch (pending_read(port, &r, reason, sizeof reason)) {
    case PENDING_NONE:
        std::printf("PORT%d: nothing to do\n", port.number);
        return RECOVER_DONE;
    case PENDING_FOUND:
        break;
    default:
        needs_person(port, "%s", reason);
        return RECOVER_LEFT;
    }
    if (!worth_another_attempt(port, r))
        return RECOVER_LEFT;

    plat_syslog(LOG_NOTICE, "PORT%d: finishing the update of %s pending since %s (attempt %d)",
                port.number, r.image, r.since, r.attempts + 1);
    std::printf("PORT%d: finishing %s (attempt %d)\n", port.number, r.image, r.attempts + 1);
    int status = run_update(port, r.image);
    char how[1200], failure[PENDING_REASON_SIZE];
    run_outcome(port, status, how, sizeof how, failure, sizeof failure);
    return judge_run(port, r, status, failure, how);
}

} // namespace

int main(int argc, char **argv) {
    if (cli_standard_option(argc, argv, USAGE))
        return RECOVER_DONE;
    if (plat_start() != 0)
        return RECOVER_USAGE;
    plat_openlog_as("tarvo_recover");
    if (argc != 1) {
        cli_usage_error(USAGE, "takes no arguments");
        plat_closelog();
        return RECOVER_USAGE;
    }
    int status = RECOVER_DONE;
    for (const PortInfo &port : PORT_TABLE) {
        int s = recover_port(port);
        // A port that needs a person outweighs a configuration that differs.
        if (s == RECOVER_LEFT || status == RECOVER_DONE)
            status = s;
    }
    plat_closelog();
    return status;
}
