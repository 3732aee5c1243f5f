// The sentences of the set page's result row, one per way an update ends,
// and the row itself.
#include "web/result_row.h"

#include "common/paths.h"
#include "web/board_state.h"
#include "web/html.h"
#include "web/outcome_view.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

namespace {

// The same as HTML for a sentence: " (REASON)", or "" without a reason.
void reason_html(const char *reason, char *out, std::size_t size) {
    char escaped[1400];
    html_escape_into(escaped, sizeof escaped, reason);
    std::snprintf(out, size, "%s%s%s", escaped[0] ? " (" : "", escaped, escaped[0] ? ")" : "");
}

// The reason on the updater's last row of a stage (its title and result), as
// reason_html gives it.
void stage_reason_html(const UpdaterRun &run, const char *title, const char *result, char *out,
                       std::size_t size) {
    char stage[400], reason[500] = "";
    updater_stage_row(run, title, result, stage, sizeof stage, reason, sizeof reason);
    reason_html(reason, out, size);
}

const char *const DETAILS = " Details are on the <a href=\"slog.cgi\" style=\"color: #FFFFFF; "
                            "text-decoration: underline\">System Log</a> page.";
const char *const RETRY =
    "Press Update again; where boot-time recovery is installed, the next start of the "
    "controller also tries again.";

// The sentences of the result row, one per way the update can end, as HTML
// in text: `image` is the image's name escaped.

// Exit status 0 (the board runs the image) or 6 (it was flashed, but reports
// another configuration than the image's name carries), with what the board
// says now.
void flashed_text(int code, const PortInfo &port, const char *image, char *text, std::size_t size) {
    BoardState board;
    bool read = board_state_query(port, &board) == BOARD_READ;
    char config[300];
    html_escape_into(config, sizeof config, board.config);
    if (code == 0) {
        if (read)
            std::snprintf(text, size, "PORT%d now runs %s (version %s, configuration %s).",
                          port.number, image, board.version, config);
        else
            std::snprintf(text, size, "PORT%d now runs %s.", port.number, image);
        return;
    }
    char reports[400];
    if (read && config[0])
        std::snprintf(reports, sizeof reports, "configuration %s", config);
    else
        std::snprintf(reports, sizeof reports, "%s",
                      read ? "an empty configuration" : "no configuration");
    std::snprintf(text, size,
                  "PORT%d was flashed with %s, but the board reports %s, not the one the "
                  "image's name carries. Check that %s is the image meant for this board "
                  "and press Update again.%s",
                  port.number, image, reports, image, DETAILS);
}

// Exit status 5: the check refused the image, for the reason on its row.
void refused_text(const UpdaterRun &run, const char *image, char *text, std::size_t size) {
    char shown[1800];
    stage_reason_html(run, "Checking firmware file", "failed", shown, sizeof shown);
    std::snprintf(text, size,
                  "The image %s was refused%s, and the board was not touched. Choose "
                  "another image, or put a good copy of it in " PATH_FIRMWARE_DIR ", and "
                  "press Update again.%s",
                  image, shown, DETAILS);
}

// Exit status 7: another update holds the lock; the port it updates, when
// the updater named its pid.
void busy_text(const UpdaterRun &run, const PortInfo &port, char *text, std::size_t size) {
    const char *pid_text = std::strstr(run.tail, "(pid ");
    int pid = pid_text ? std::atoi(pid_text + 5) : 0;
    int other = updating_port(pid);
    char who[64];
    if (other)
        std::snprintf(who, sizeof who, "PORT%d is being updated", other);
    else
        std::snprintf(who, sizeof who, "another update is running");
    std::snprintf(text, size,
                  "PORT%d was not updated: %s%s%.0d%s. Wait for that update to finish, then "
                  "press Update again.%s",
                  port.number, who, pid ? " (pid " : "", pid, pid ? ")" : "", DETAILS);
}

// Exit status 3: no board; the updater says why when it could not even ask.
void no_board_text(const UpdaterRun &run, const PortInfo &port, char *text, std::size_t size) {
    char shown[1800];
    stage_reason_html(run, "Looking for TARVO", "not found", shown, sizeof shown);
    std::snprintf(text, size,
                  "No TARVO board was found in PORT%d%s, so nothing was changed. Check the "
                  "board, then open the Automatic Update page again.%s",
                  port.number, shown, DETAILS);
}

// Exit status 4: a stage failed, told by its row.
void stage_failed_text(const UpdaterRun &run, const PortInfo &port, char *text, std::size_t size) {
    char stage[400], reason[500], said[1200] = "", shown[1800];
    if (updater_stage_row(run, "", "failed", stage, sizeof stage, reason, sizeof reason))
        std::snprintf(said, sizeof said, "%.300s ... failed%s%.500s", stage, reason[0] ? ": " : "",
                      reason);
    reason_html(said, shown, sizeof shown);
    std::snprintf(text, size,
                  "The update of PORT%d failed%s, and the board may be left without "
                  "firmware. %s%s",
                  port.number, shown, RETRY, DETAILS);
}

// Exit status 9: the lock, the update's record or the registers; the
// updater's own words on its "Cannot ..." or "failed" row.
void not_begun_text(const UpdaterRun &run, const PortInfo &port, char *text, std::size_t size) {
    char stage[400], reason[500], said[1200], shown[1800];
    updater_row_starting(run, "Cannot", said, sizeof said);
    if (!said[0] &&
        updater_stage_row(run, "", "failed", stage, sizeof stage, reason, sizeof reason))
        std::snprintf(said, sizeof said, "%.500s", reason);
    reason_html(said, shown, sizeof shown);
    std::snprintf(text, size,
                  "The update of PORT%d could not begin%s; the board was not touched. Press "
                  "Update again; if this comes back, the installation needs a look.%s",
                  port.number, shown, DETAILS);
}

// The updater did not start, or ended in a way it does not end by itself.
void not_ended_text(int status, int code, const PortInfo &port, char *text, std::size_t size) {
    if (status < 0) {
        std::snprintf(text, size,
                      "The updater %s could not be started, so nothing was changed. The "
                      "installation needs a look.",
                      PATH_UPDATER);
        return;
    }
    char how[64];
    if (WIFSIGNALED(status))
        std::snprintf(how, sizeof how, "was ended by signal %d", WTERMSIG(status));
    else
        std::snprintf(how, sizeof how, "ended with exit status %d", code);
    std::snprintf(text, size,
                  "The updater %s before the update of PORT%d was done, and the board may be "
                  "left without firmware. %s%s",
                  how, port.number, RETRY, DETAILS);
}

} // namespace

void result_row(const PortInfo &port, const char *file, const UpdaterRun &run) {
    static char text[4096];
    char image[300];
    html_escape_into(image, sizeof image, file);
    int status = run.status;
    int code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    bool recorded_ok = false;
    bool recorded = outcome_result_text(port, file, run.pid, text, sizeof text, &recorded_ok);
    if (recorded)
        code = recorded_ok ? 0 : code == 0 ? 6 : code;
    else if (code == 0 || code == 6)
        flashed_text(code, port, image, text, sizeof text);
    else if (code == 5)
        refused_text(run, image, text, sizeof text);
    else if (code == 7)
        busy_text(run, port, text, sizeof text);
    else if (code == 3)
        no_board_text(run, port, text, sizeof text);
    else if (code == 4)
        stage_failed_text(run, port, text, sizeof text);
    else if (code == 9)
        not_begun_text(run, port, text, sizeof text);
    else
        not_ended_text(status, code, port, text, sizeof text);
    bool ok = code == 0;
    std::printf("<tr><td id=\"result\" bgcolor=\"#%s\" style=\"padding: 5px\"><font "
                "color=\"#FFFFFF\"><b>%s</b></font>",
                ok ? "008000" : "800000", text);
    if (!ok)
        std::fputs("<script type=\"text/javascript\">\n<!--\nvar title = "
                   "document.f.getElementsByTagName('td')[0];\ntitle.bgColor = '#800000';\n"
                   "title.getElementsByTagName('b')[0].innerHTML = 'Flashing firmware "
                   "failed';\n//-->\n</script>",
                   stdout);
    std::fputs("</td></tr>\n", stdout);
}
