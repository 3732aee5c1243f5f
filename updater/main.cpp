// tarvo_update PORT FILE [html]: updates the MSP430 firmware of the TARVO board
// in expansion port PORT with the Intel HEX image FILE from the firmware
// directory.  Progress goes to standard output (text, or HTML fragments for the
// web page), the detailed report to the system log.
#include "common/board.h"
#include "common/cli.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/ports.h"
#include "updater/pid_lock.h"
#include "updater/port/mem.h"
#include "updater/private_dir.h"
#include "updater/run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The first SIGINT or SIGTERM received; the run goes on regardless.
volatile sig_atomic_t caught_signal = 0;

// An update cut short leaves the board without firmware: the run ends as it
// would have, and says so once.  Only write(2) here: the signal may come in
// the middle of stdio.
void on_signal(int sig) {
    if (caught_signal != 0)
        return;
    caught_signal = sig;
    static const char NOTE[] =
        "tarvo_update: the update cannot be stopped safely and will finish\n";
    ssize_t ignored = write(STDERR_FILENO, NOTE, sizeof NOTE - 1);
    (void)ignored;
}

constexpr ProgramUsage USAGE = {
    "tarvo_update", "PORT FILE [html] | --check FILE",
    "  PORT     1 or 2, the expansion port of the TARVO board\n"
    "  FILE     Intel HEX image in " PATH_FIRMWARE_DIR "\n"
    "  html     report progress as HTML fragments (default: text)\n"
    "  --check  check FILE as an update would (intact, signed where keys are\n"
    "           installed) without touching a board: exit 0 or 5\n"
    "exit status: 0 updated and the board reports the file's configuration,\n"
    "  1 usage, 2 bad port, 3 no TARVO board, 4 a stage failed,\n"
    "  5 firmware file refused, 6 the board reports no configuration or\n"
    "  another one than the file name, 7 another update runs,\n"
    "  9 the update lock or its record could not be taken or written, the\n"
    "  lock's or the records' directory is open to others, or " PATH_DEV_MEM "\n"
    "  cannot be opened\n"
    "every update is recorded in " PATH_HISTORY "\n"
    "(tarvo_info --history)\n"};

// tarvo_update --check FILE: the check of an update, and nothing else.
int check_only(const char *file) {
    plat_openlog();
    html_mode = false;
    line_suffix = TEXT_LINE_SUFFIX;
    bool ok = check_firmware_file(file);
    std::fflush(stdout);
    plat_closelog();
    return ok ? EXIT_UPDATED : EXIT_FILE_REFUSED;
}

// Answered before anything is set up: the standard options, --check, and an
// option where the output word stands.  RUN_GOES_ON when none of these.
constexpr int RUN_GOES_ON = -1;

int before_set_up(int argc, char **argv) {
    // Answered before anything else, in the simulated build without a world too.
    if (cli_standard_option(argc, argv, USAGE))
        return EXIT_UPDATED;
    if (plat_start() != 0)
        return 1;
    if (argc >= 2 && std::strcmp(argv[1], "--check") == 0) {
        if (argc != 3) {
            cli_usage_error(USAGE, "--check takes one FILE");
            return EXIT_USAGE;
        }
        return check_only(argv[2]);
    }
    // An option where the output word stands is a mistake, never an update.
    if (argc == 4 && argv[3][0] == '-') {
        cli_usage_error(USAGE, "unknown option \"%s\"", argv[3]);
        return EXIT_USAGE;
    }
    return RUN_GOES_ON;
}

// The process of an update: its own session, signals that cannot stop it, the
// system log.
void set_up_process() {
    setsid();
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    plat_openlog();
}

// The arguments of an update: the port's row, and the output chosen.  Null
// after a usage error, with the exit status in `status`.
const PortInfo *read_arguments(int argc, char **argv, int *status) {
    int nargs = argc - 1;
    if (nargs != 2 && nargs != 3) {
        plat_syslog(LOG_ERR, "%s: Wrong number of parameters (%d), expecting 2 or 3.", "main",
                    nargs);
        cli_usage_error(USAGE, "expecting 2 or 3 arguments, not %d", nargs);
        plat_closelog();
        *status = EXIT_USAGE;
        return nullptr;
    }
    // The port is looked up here, once: everything below is handed its row.
    int number = parse_port(argv[1]);
    const PortInfo *row = port_info(number);
    if (!row) {
        plat_syslog(LOG_ERR, "%s: Unknown PORT%d, expecting PORT1 or PORT2.", "main", number);
        cli_usage_error(USAGE, "unknown port \"%s\", expecting 1 or 2", argv[1]);
        plat_closelog();
        *status = EXIT_BAD_PORT;
        return nullptr;
    }
    html_mode = nargs == 3 && std::strcmp(argv[3], "html") == 0;
    line_suffix = html_mode ? HTML_LINE_SUFFIX : TEXT_LINE_SUFFIX;
    plat_syslog(LOG_INFO, "Using %s output.", html_mode ? "HTML" : "text");
    return row;
}

// The run's record begins, and its clock; the process gets the highest
// priority.
void start_run(const PortInfo &port, const char *file, struct timespec *program_start) {
    run_begin(port.number, file);
    plat_clock_monotonic(program_start);
    plat_syslog(LOG_NOTICE, "started");

    plat_syslog(LOG_INFO, "Current priority: %d", getpriority(PRIO_PROCESS, 0));
    setpriority(PRIO_PROCESS, 0, -19);
    plat_syslog(LOG_INFO, "Current priority: %d", getpriority(PRIO_PROCESS, 0));
}

// What must hold before the lock is taken: the registers can be reached, and
// the lock's and the records' directories are private.  RUN_GOES_ON, or the
// run's exit status once it has ended.
int check_before_lock(const PortInfo &port) {
    // Without the registers the board can be neither asked nor updated: said
    // where the board check stands, before anything else is taken.
    if (mem_read32(port.uart_base, 0, nullptr) != 0) {
        char why[160];
        mem_open_error_text(errno, why, sizeof why);
        run_stage(STAGE_BOARD);
        std::printf("Looking for TARVO on PORT%d ... ", port.number);
        print_failed(why);
        plat_log_here(LOG_ERR, "PORT%d not checked: %s", port.number, why);
        run_finish(EXIT_NO_REGISTERS, CAUSE_NO_REGISTERS);
        plat_closelog();
        return EXIT_NO_REGISTERS;
    }

    // The lock and the records are reached by root's and the web server's runs
    // only; a directory open to others is put right before anything is done.
    char reason[600];
    run_stage(STAGE_LOCK);
    if (!private_dir_ready(PATH_LOCK_DIR, reason, sizeof reason) ||
        !private_dir_ready(PATH_STATE_DIR, reason, sizeof reason)) {
        std::printf("Unsafe directory: ");
        print_text(reason);
        std::printf("%s", line_suffix);
        std::fflush(stdout);
        plat_log_here(LOG_ERR, "Unsafe directory: %s", reason);
        std::snprintf(run_record.reason, sizeof run_record.reason, "Unsafe directory: %.500s",
                      reason);
        run_finish(EXIT_UNSAFE_DIRECTORY, CAUSE_UNSAFE_DIRECTORY);
        plat_closelog();
        return EXIT_UNSAFE_DIRECTORY;
    }
    return RUN_GOES_ON;
}

// Nothing touches the board without the lock.  RUN_GOES_ON with the lock
// held, or the run's exit status once it has ended.
int take_lock() {
    char reason[600];
    int other = 0;
    int lock = pid_lock_take(__func__, &other, reason, sizeof reason);
    if (lock == PID_LOCK_TAKEN)
        return RUN_GOES_ON;
    if (lock == PID_LOCK_BUSY) {
        std::printf("Another update is running (pid %d)%s", other, line_suffix);
        plat_log_here(LOG_ERR, "Another update is running (pid %d)", other);
        std::snprintf(run_record.reason, sizeof run_record.reason,
                      "Another update is running (pid %d)", other);
    } else {
        std::printf("Cannot take the update lock: %s%s", reason, line_suffix);
        std::snprintf(run_record.reason, sizeof run_record.reason,
                      "Cannot take the update lock: %.500s", reason);
    }
    std::fflush(stdout);
    if (lock == PID_LOCK_BUSY)
        run_finish(EXIT_BUSY, CAUSE_BUSY);
    else
        run_finish(EXIT_LOCK_FAILED, CAUSE_LOCK_FAILED);
    plat_closelog();
    return lock == PID_LOCK_BUSY ? EXIT_BUSY : EXIT_LOCK_FAILED;
}

// The port holds a TARVO board.  RUN_GOES_ON, or the run's exit status once
// it has ended and the lock is released.
int check_board(const PortInfo &port) {
    run_stage(STAGE_BOARD);
    std::printf("Looking for TARVO on PORT%d ... ", port.number);
    std::fflush(stdout);
    if (!board_present(port)) {
        std::printf("not found%s", line_suffix);
        std::fflush(stdout);
        plat_syslog(LOG_INFO, "Expansion board at PORT%d is NOT the TARVO. Exitting ...",
                    port.number);
        std::snprintf(run_record.reason, sizeof run_record.reason, "no TARVO board in PORT%d",
                      port.number);
        // Written under the lock: a waiting run's record follows this one.
        run_finish(EXIT_NO_BOARD, CAUSE_NO_BOARD);
        pid_lock_release();
        plat_closelog();
        return EXIT_NO_BOARD;
    }
    std::printf("found%s", line_suffix);
    std::fflush(stdout);
    return RUN_GOES_ON;
}

// The end of an update that reached the board: its record, the lock released,
// its time in the log.
int end_run(int status, const struct timespec &program_start) {
    std::fflush(stdout);
    run_finish(status, run_record.cause);
    pid_lock_release();
    struct timespec program_end;
    plat_clock_monotonic(&program_end);
    int seconds;
    double micros;
    elapsed_time(program_start, program_end, &seconds, &micros);
    plat_syslog(LOG_INFO, "All done in %ds %0.3fus! Bye, bye.", seconds, micros);
    plat_closelog();
    return status;
}

} // namespace

int main(int argc, char **argv) {
    int status = before_set_up(argc, argv);
    if (status != RUN_GOES_ON)
        return status;
    set_up_process();
    const PortInfo *row = read_arguments(argc, argv, &status);
    if (!row)
        return status;
    const PortInfo &port = *row;
    const char *file = argv[2];
    struct timespec program_start;
    start_run(port, file, &program_start);
    if ((status = check_before_lock(port)) != RUN_GOES_ON ||
        (status = take_lock()) != RUN_GOES_ON || (status = check_board(port)) != RUN_GOES_ON)
        return status;
    return end_run(update_sequence(port, file), program_start);
}
