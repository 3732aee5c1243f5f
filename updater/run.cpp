#include "updater/run.h"

#include "common/paths.h"
#include "common/platform.h"
#include "common/utc_time.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

bool html_mode = false;
const char *line_suffix = TEXT_LINE_SUFFIX;

void elapsed_time(const struct timespec &start, const struct timespec &end, int *seconds,
                  double *micros) {
    long sec = static_cast<long>(end.tv_sec - start.tv_sec);
    long nsec = end.tv_nsec - start.tv_nsec;
    if (nsec < 0) {
        nsec += 1000000000L;
        sec -= 1;
    }
    *seconds = static_cast<int>(sec);
    *micros = static_cast<double>(nsec) / 1000.0;
}

void print_text(const char *text) {
    for (const char *p = text; *p; ++p) {
        if (html_mode && *p == '<')
            std::fputs("&lt;", stdout);
        else if (html_mode && *p == '>')
            std::fputs("&gt;", stdout);
        else if (html_mode && *p == '&')
            std::fputs("&amp;", stdout);
        else if (html_mode && *p == '"')
            std::fputs("&quot;", stdout);
        else
            std::putchar(*p);
    }
}

void print_failed(const char *reason) {
    if (!run_record.reason[0])
        std::snprintf(run_record.reason, sizeof run_record.reason, "%s", reason);
    // On the page the flashing's progress boxes stand at the end of their line,
    // on top of what follows them: the failure is drawn above them, on the
    // window's colour.
    if (html_mode)
        std::fputs("<span style=\"position: relative; background-color: #F4F4F4\">", stdout);
    std::fputs("failed: ", stdout);
    print_text(reason);
    if (html_mode)
        std::fputs("</span>", stdout);
    std::fputs(line_suffix, stdout);
    std::fflush(stdout);
}

void mem_open_error_text(int error, char *text, std::size_t size) {
    if (error == EACCES || error == EPERM)
        std::snprintf(text, size, "cannot open " PATH_DEV_MEM " (needs root or CAP_SYS_RAWIO)");
    else
        std::snprintf(text, size, "cannot open " PATH_DEV_MEM " (%s)", std::strerror(error));
}

OutcomeRecord run_record;

namespace {

bool run_begun = false;
struct timespec run_start;

} // namespace

void run_begin(int port, const char *file) {
    run_record = OutcomeRecord{};
    run_record.port = port;
    std::snprintf(run_record.image, sizeof run_record.image, "%s", file);
    std::snprintf(run_record.by, sizeof run_record.by, "%s", history_started_by());
    run_record.pid = static_cast<int>(getpid());
    utc_now_iso8601(run_record.start, sizeof run_record.start);
    plat_clock_monotonic(&run_start);
    run_begun = true;
}

void run_stage(const char *stage) {
    std::snprintf(run_record.stage, sizeof run_record.stage, "%s", stage);
}

int run_finish(int status, const char *cause) {
    if (!run_begun)
        return status;
    run_begun = false;
    struct timespec end;
    plat_clock_monotonic(&end);
    int seconds;
    double micros;
    elapsed_time(run_start, end, &seconds, &micros);
    utc_now_iso8601(run_record.end, sizeof run_record.end);
    run_record.duration = seconds + micros / 1e6;
    run_record.status = status;
    char token[sizeof run_record.cause];
    std::snprintf(token, sizeof token, "%s", cause ? cause : "");
    const Outcome &o = outcome_of(status, token);
    std::snprintf(run_record.cause, sizeof run_record.cause, "%s", o.cause);
    std::snprintf(run_record.outcome, sizeof run_record.outcome, "%s", o.outcome);
    std::snprintf(run_record.action, sizeof run_record.action, "%s", o.action);
    char reason[800];
    if (!history_append(run_record, reason, sizeof reason))
        plat_log_here(LOG_WARNING, "Update history: %s", reason);
    return status;
}
