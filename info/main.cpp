// tarvo_info PORT [json]: reads the firmware version and configuration of the
// TARVO board in expansion port PORT from its running firmware, without
// touching the board's control lines or its bootstrap loader.  One line of text,
// or one JSON object, on standard output; the system log has a line only when
// the board cannot be asked or does not answer.
// tarvo_info --history [PORT] [json]: the update history, newest first.
#include "common/board.h"
#include "common/cli.h"
#include "common/history.h"
#include "common/outcome.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/ports.h"
#include "updater/modbus/modbus.h"
#include "updater/pending.h"
#include "updater/pid_lock.h"
#include "updater/port/mem.h"
#include "updater/port/uart.h"
#include "updater/run.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <syslog.h>

namespace {

// Exit statuses of tarvo_info, in the spirit of the updater's.
enum InfoStatus {
    INFO_READ = 0,        // version and configuration read
    INFO_USAGE = 1,       // wrong arguments
    INFO_BAD_PORT = 2,    // port is not 1 or 2
    INFO_NO_BOARD = 3,    // no TARVO board on the port
    INFO_BUSY = 7,        // an update is running: the board was not asked
    INFO_NO_ANSWER = 8,   // the board's firmware did not answer (in its loader, hung, ...)
    INFO_LOCK_FAILED = 9, // the update lock could not be taken: the board was not asked
    INFO_NO_ACCESS = 10,  // "/dev/mem" cannot be opened: the board cannot be asked
    INFO_NO_HISTORY = 11, // the history cannot be read
};

constexpr int CONFIG_TEXT_SIZE = 128;
constexpr int REASON_SIZE = 600;

// What the program learned; printed once, as text or as JSON.
struct Report {
    int number = 0;                 // the port argument, for the messages
    const PortInfo *port = nullptr; // its row, null when the number is no port
    int status = INFO_READ;
    bool board = false;       // the port reports a TARVO board
    bool has_version = false; // version read
    bool has_config = false;  // configuration text read
    std::uint32_t version = 0;
    char config[CONFIG_TEXT_SIZE] = "";
    int holder = 0;                // pid of the running update (INFO_BUSY)
    int holder_port = 0;           // the port it updates, 0 when unknown
    char reason[REASON_SIZE] = ""; // why the lock could not be taken (INFO_LOCK_FAILED) or
                                   // the registers cannot be reached (INFO_NO_ACCESS)
    bool pending = false;          // an update of the port never completed
    PendingUpdate record{};
};

const char *status_name(int status) {
    switch (status) {
    case INFO_READ:
        return "read";
    case INFO_BAD_PORT:
        return "bad-port";
    case INFO_NO_BOARD:
        return "no-board";
    case INFO_BUSY:
        return "busy";
    case INFO_NO_ANSWER:
        return "no-answer";
    case INFO_NO_ACCESS:
        return "no-access";
    default:
        break;
    }
    return "lock-failed";
}

// A JSON string: quotes, backslashes and control characters escaped.
void print_json_string(const char *text) {
    std::putchar('"');
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p == '"' || *p == '\\')
            std::printf("\\%c", *p);
        else if (*p < 0x20)
            std::printf("\\u%04x", *p);
        else
            std::putchar(*p);
    }
    std::putchar('"');
}

void print_json(const Report &r) {
    std::printf("{\"port\":%d,\"status\":\"%s\",\"board\":%s,\"answered\":%s,\"version\":",
                r.number, status_name(r.status), r.board ? "true" : "false",
                r.status == INFO_READ ? "true" : "false");
    if (r.has_version)
        std::printf("\"0x%08X\"", r.version);
    else
        std::printf("null");
    std::printf(",\"config\":");
    if (r.has_config)
        print_json_string(r.config);
    else
        std::printf("null");
    if (r.status == INFO_BUSY)
        std::printf(",\"update_pid\":%d,\"update_port\":%d", r.holder, r.holder_port);
    if (r.status == INFO_LOCK_FAILED || r.status == INFO_NO_ACCESS) {
        std::printf(",\"error\":");
        print_json_string(r.reason);
    }
    std::printf(",\"pending\":");
    if (r.pending) {
        std::printf("{\"image\":");
        print_json_string(r.record.image);
        std::printf(",\"since\":");
        print_json_string(r.record.since);
        std::printf(",\"attempts\":%d,\"recovery_gave_up\":%s}", r.record.attempts,
                    r.record.attempts >= RECOVERY_MAX_ATTEMPTS ? "true" : "false");
    } else {
        std::printf("null");
    }
    std::printf("}\n");
}

void print_text(const Report &r) {
    switch (r.status) {
    case INFO_READ:
        std::printf("PORT%d: version 0x%08X, configuration %s\n", r.number, r.version, r.config);
        break;
    case INFO_BAD_PORT:
        std::printf("Unknown PORT%d, expecting PORT1 or PORT2\n", r.number);
        break;
    case INFO_NO_BOARD:
        std::printf("PORT%d: no TARVO board\n", r.number);
        break;
    case INFO_BUSY:
        if (r.holder_port != 0 && r.holder_port != r.number)
            std::printf("PORT%d: not asked: an update of PORT%d is running (pid %d)\n", r.number,
                        r.holder_port, r.holder);
        else
            std::printf("PORT%d: an update is running (pid %d)\n", r.number, r.holder);
        break;
    case INFO_NO_ANSWER:
        std::printf("PORT%d: the board did not answer\n", r.number);
        break;
    case INFO_NO_ACCESS:
        std::printf("PORT%d: %s\n", r.number, r.reason);
        break;
    default:
        std::printf("PORT%d: cannot take the update lock: %s\n", r.number, r.reason);
        break;
    }
    if (r.pending)
        std::printf("PORT%d: interrupted update of %s pending since %s%s%s\n", r.number,
                    r.record.image, r.record.since,
                    r.record.attempts >= RECOVERY_MAX_ATTEMPTS ? "; " : "",
                    r.record.attempts >= RECOVERY_MAX_ATTEMPTS ? RECOVERY_GAVE_UP : "");
}

// Board check, lock, MODBUS queries: fills the report and returns its status.
int query(const PortInfo &port, Report *r) {
    // Without the registers the board cannot be asked, whatever the driver says.
    if (mem_read32(port.uart_base, 0, nullptr) != 0) {
        mem_open_error_text(errno, r->reason, sizeof r->reason);
        plat_log_here(LOG_ERR, "PORT%d not queried: %s", port.number, r->reason);
        return INFO_NO_ACCESS;
    }
    // The board type comes from the GPIO driver, never from the board's lines.
    r->board = board_present(port) != 0;
    if (!r->board) {
        plat_syslog(LOG_INFO, "Expansion board at PORT%d is NOT the TARVO.", port.number);
        return INFO_NO_BOARD;
    }
    // The lock keeps the queries off a board that an update is talking to.
    int lock = pid_lock_take_query(__func__, &r->holder, r->reason, sizeof r->reason);
    if (lock == PID_LOCK_BUSY) {
        r->holder_port = history_update_port(r->holder);
        plat_log_here(LOG_ERR, "An update is running (pid %d), PORT%d not queried", r->holder,
                      port.number);
        return INFO_BUSY;
    }
    if (lock != PID_LOCK_TAKEN)
        return INFO_LOCK_FAILED;

    // The queries' own complaints stay out of the log: one line below says
    // that the board did not answer.
    int mask = plat_setlogmask(LOG_MASK(LOG_EMERG));
    uart_init_modbus(port);
    r->has_version = read_fw_version(port, &r->version) == 0;
    r->has_config = read_config_string(port, r->config, CONFIG_TEXT_SIZE) == 0;
    plat_setlogmask(mask);
    pid_lock_release();
    if (!r->has_version || !r->has_config) {
        plat_log_here(LOG_ERR, "The board on PORT%d did not answer", port.number);
        return INFO_NO_ANSWER;
    }
    // A board that answers is no news for the log: a page that asks on every
    // load would push the lines that matter out of view.
    return INFO_READ;
}

constexpr ProgramUsage USAGE = {
    "tarvo_info", "PORT [json] | --history [PORT] [json]",
    "  PORT       1 or 2 (or PORT1, PORT2), the expansion port of the TARVO board\n"
    "  json       print one JSON object (default: one line of text)\n"
    "  --history  the updates recorded on this controller, newest first, of\n"
    "             PORT or of both ports: one line each, or their records as\n"
    "             stored, one JSON object a line\n"
    "exit status: 0 read, 1 usage, 2 bad port, 3 no TARVO board,\n"
    "  7 an update is running, 8 the board did not answer,\n"
    "  9 the update lock could not be taken, 10 " PATH_DEV_MEM " cannot be opened,\n"
    "  11 the history cannot be read\n"};

// The port argument: a number, or the port's name as the messages write it
// ("PORT1", in any case).
int port_argument(const char *arg) {
    if (strncasecmp(arg, "PORT", 4) == 0 && arg[4] >= '0' && arg[4] <= '9')
        arg += 4;
    return parse_port(arg);
}

bool print_record(const OutcomeRecord &record, const char *line, std::size_t length, void *json) {
    if (*static_cast<bool *>(json)) {
        std::fwrite(line, 1, length, stdout);
        std::putchar('\n');
    } else {
        char text[2048];
        history_text(record, text, sizeof text);
        std::printf("%s\n", text);
    }
    return true;
}

// --history [PORT] [json]
int history(int nargs, char **argv) {
    bool json = nargs >= 2 && std::strcmp(argv[nargs], "json") == 0;
    int words = nargs - 1 - (json ? 1 : 0);
    const PortInfo *port = nullptr; // every port
    if (words > 1) {
        cli_usage_error(USAGE, "--history takes a PORT and json, not %d arguments", nargs - 1);
        return INFO_USAGE;
    }
    if (words == 1) {
        port = port_info(port_argument(argv[2]));
        if (!port) {
            cli_usage_error(USAGE, "unknown port \"%s\", expecting 1 or 2", argv[2]);
            return INFO_BAD_PORT;
        }
    }
    char reason[800];
    int count = history_read(port, 0, print_record, &json, reason, sizeof reason);
    if (count < 0) {
        std::fprintf(stderr, "tarvo_info: %s\n", reason);
        return INFO_NO_HISTORY;
    }
    if (count == 0 && !json) {
        if (port)
            std::printf("PORT%d: no update recorded\n", port->number);
        else
            std::printf("no update recorded\n");
    }
    return INFO_READ;
}

} // namespace

int main(int argc, char **argv) {
    if (cli_standard_option(argc, argv, USAGE))
        return INFO_READ;
    if (plat_start() != 0)
        return INFO_USAGE;
    std::signal(SIGPIPE, SIG_IGN);
    plat_openlog_as("tarvo_info");

    int nargs = argc - 1;
    if (nargs >= 1 && std::strcmp(argv[1], "--history") == 0) {
        int status = history(nargs, argv);
        std::fflush(stdout);
        plat_closelog();
        return status;
    }
    bool json = nargs == 2 && std::strcmp(argv[2], "json") == 0;
    if (nargs < 1 || nargs > 2 || (nargs == 2 && !json)) {
        plat_log_here(LOG_ERR, "Wrong parameters, expecting PORT [json].");
        if (nargs == 2)
            cli_usage_error(USAGE, "unknown output \"%s\", expecting json", argv[2]);
        else
            cli_usage_error(USAGE, "expecting 1 or 2 arguments, not %d", nargs);
        plat_closelog();
        return INFO_USAGE;
    }

    static Report report;
    report.number = port_argument(argv[1]);
    report.port = port_info(report.number);
    if (!report.port) {
        plat_log_here(LOG_ERR, "Unknown PORT%d, expecting PORT1 or PORT2.", report.number);
        report.status = INFO_BAD_PORT;
        cli_usage_error(USAGE, "unknown port \"%s\", expecting 1 or 2", argv[1]);
    } else {
        report.status = query(*report.port, &report);
        char why[PENDING_REASON_SIZE];
        // The record of the update that runs now is no interrupted one.
        report.pending =
            pending_read(*report.port, &report.record, why, sizeof why) == PENDING_FOUND &&
            !(report.status == INFO_BUSY && report.holder_port == report.number);
    }
    if (json)
        print_json(report);
    else
        print_text(report);
    std::fflush(stdout);
    plat_closelog();
    return report.status;
}
