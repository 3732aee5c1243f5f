// The pages of the web interface: index.cgi, set.cgi and slog.cgi, and the
// rows that tell how an update run from the set page ended.
#include "web/pages.h"

#include "common/board.h"
#include "common/outcome.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/ports.h"
#include "web/board_state.h"
#include "web/cgi_input.h"
#include "web/exec.h"
#include "web/outcome_view.h"
#include "web/request_guard.h"
#include "web/settings.h"
#include "web/updater_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool is_post() {
    const char *method = std::getenv("REQUEST_METHOD");
    return method && std::strcmp(method, "POST") == 0;
}

// The guard's verdict on this request, from the CGI environment, the host
// name and the allowed hosts file.
const char *refusal_of_this_request(char *why, std::size_t size) {
    static char allowed[HOSTS_ALLOWED_MAX + 1];
    char self[256] = {0};
    if (gethostname(self, sizeof self - 1) != 0)
        self[0] = '\0';
    GuardRequest request = {};
    request.host = std::getenv("HTTP_HOST");
    request.origin = std::getenv("HTTP_ORIGIN");
    request.referer = std::getenv("HTTP_REFERER");
    request.request_scheme = std::getenv("REQUEST_SCHEME");
    request.https = std::getenv("HTTPS");
    request.server_addr = std::getenv("SERVER_ADDR");
    request.server_port = std::getenv("SERVER_PORT");
    request.host_name = self;
    request.hosts_ignored = read_hosts_allowed(allowed, &request.hosts_allowed_len);
    request.hosts_allowed = allowed;
    return request_refusal(request, why, size);
}

// The same as HTML for a sentence: " (REASON)", or "" without a reason.
void reason_html(const char *reason, char *out, std::size_t size) {
    char escaped[1400];
    html_escape_into(escaped, sizeof escaped, reason);
    std::snprintf(out, size, "%s%s%s", escaped[0] ? " (" : "", escaped, escaped[0] ? ")" : "");
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
void flashed_text(int code, int port, const char *image, char *text, std::size_t size) {
    BoardState board;
    bool read = board_state_query(port, &board) == BOARD_READ;
    char config[300];
    html_escape_into(config, sizeof config, board.config);
    if (code == 0) {
        if (read)
            std::snprintf(text, size, "PORT%d now runs %s (version %s, configuration %s).", port,
                          image, board.version, config);
        else
            std::snprintf(text, size, "PORT%d now runs %s.", port, image);
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
                  port, image, reports, image, DETAILS);
}

// Exit status 5: the check refused the image, for the reason on its row.
void refused_text(const UpdaterRun &run, const char *image, char *text, std::size_t size) {
    char stage[400], reason[500] = "", shown[1800];
    updater_stage_row(run, "Checking firmware file", "failed", stage, sizeof stage, reason,
                      sizeof reason);
    reason_html(reason, shown, sizeof shown);
    std::snprintf(text, size,
                  "The image %s was refused%s, and the board was not touched. Choose "
                  "another image, or put a good copy of it in " PATH_FIRMWARE_DIR ", and "
                  "press Update again.%s",
                  image, shown, DETAILS);
}

// Exit status 7: another update holds the lock; the port it updates, when
// the updater named its pid.
void busy_text(const UpdaterRun &run, int port, char *text, std::size_t size) {
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
                  port, who, pid ? " (pid " : "", pid, pid ? ")" : "", DETAILS);
}

// Exit status 3: no board; the updater says why when it could not even ask.
void no_board_text(const UpdaterRun &run, int port, char *text, std::size_t size) {
    char stage[400], reason[500] = "", shown[1800];
    updater_stage_row(run, "Looking for TARVO", "not found", stage, sizeof stage, reason,
                      sizeof reason);
    reason_html(reason, shown, sizeof shown);
    std::snprintf(text, size,
                  "No TARVO board was found in PORT%d%s, so nothing was changed. Check the "
                  "board, then open the Automatic Update page again.%s",
                  port, shown, DETAILS);
}

// Exit status 4: a stage failed, told by its row.
void stage_failed_text(const UpdaterRun &run, int port, char *text, std::size_t size) {
    char stage[400], reason[500], said[1200] = "", shown[1800];
    if (updater_stage_row(run, "", "failed", stage, sizeof stage, reason, sizeof reason))
        std::snprintf(said, sizeof said, "%.300s ... failed%s%.500s", stage, reason[0] ? ": " : "",
                      reason);
    reason_html(said, shown, sizeof shown);
    std::snprintf(text, size,
                  "The update of PORT%d failed%s, and the board may be left without "
                  "firmware. %s%s",
                  port, shown, RETRY, DETAILS);
}

// Exit status 9: the lock, the update's record or the registers; the
// updater's own words on its "Cannot ..." or "failed" row.
void not_begun_text(const UpdaterRun &run, int port, char *text, std::size_t size) {
    char stage[400], reason[500], said[1200], shown[1800];
    updater_row_starting(run, "Cannot", said, sizeof said);
    if (!said[0] &&
        updater_stage_row(run, "", "failed", stage, sizeof stage, reason, sizeof reason))
        std::snprintf(said, sizeof said, "%.500s", reason);
    reason_html(said, shown, sizeof shown);
    std::snprintf(text, size,
                  "The update of PORT%d could not begin%s; the board was not touched. Press "
                  "Update again; if this comes back, the installation needs a look.%s",
                  port, shown, DETAILS);
}

// The updater did not start, or ended in a way it does not end by itself.
void not_ended_text(int status, int code, int port, char *text, std::size_t size) {
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
                  how, port, RETRY, DETAILS);
}

// The row that tells how the update ended, from the updater's outcome record
// (or, when it left none, from its exit status and what it printed): green
// only when the board now runs the image.  On failure the window's title
// turns red as well.
void result_row(int port, const char *file, const UpdaterRun &run) {
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

// The green box of a saved choice, saying what was saved for each port.
void saved_box(char *const files[PORT_COUNT]) {
    char text[2 * 400 + 64] = "Remembered ";
    for (int i = 0; i < PORT_COUNT; ++i) {
        char name[300];
        html_escape_into(name, sizeof name, files[i]);
        std::size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "%s%s%.300s for PORT%d",
                      i == 0 ? "" : " and ", name[0] ? "" : "no image", name, PORT_TABLE[i].number);
    }
    std::strcat(text, ".");
    html_message_box(true, "Configuration", text, "index.cgi", "Back");
}

void update_window(const PortInfo &port, const char *file) {
    std::fputs("<center>\n"
               "<form name=\"f\" action=\"\">\n"
               "<table cellspacing=\"0\" cellpadding=\"5\" border=\"3\" class=\"window\">\n"
               "  <tr>\n"
               "    <td bgcolor=\"#008000\" align=\"center\"><font color=\"#FFFFFF\"><b>Flashing "
               "firmware</b></font></td>\n"
               "  </tr>\n"
               "  <tr>\n"
               "    <td width=\"400em\">\n"
               "      <table>\n"
               "        <tr>\n"
               "          <td>\n",
               stdout);
    // How long, and not to power off: before the progress, in a row of its own.
    char note[300];
    outcome_duration_note(port.number, note, sizeof note);
    std::printf("%s</td></tr><tr><td>", note);
    // Everything so far must reach the client before the updater writes.
    std::fflush(stdout);
    static UpdaterRun run;
    updater_run_relayed(port, file, &run);
    // The updater's last cell is closed, the result gets a row of its own,
    // then the OK row.
    std::fputs("</td></tr>\n", stdout);
    result_row(port.number, file, run);
    std::fputs("<tr align=\"center\"><td id=\"button\"><a href=\"index.cgi\">&raquo; "
               "OK &laquo;</a>",
               stdout);
    std::fputs("</td></tr></table></td></tr></table></form></center>\n", stdout);
    std::fflush(stdout);
}

// What the board in the port runs now, as HTML for the index page: the
// version and configuration (with the offered image that carries it), an
// update running, no answer, and an interrupted update still pending.
void port_state(int port, char *out, std::size_t size) {
    BoardState board;
    int query = board_state_query(port, &board);
    char config[300], image[300], since[100], error[400];
    html_escape_into(config, sizeof config, board.config);
    html_escape_into(image, sizeof image, board.pending);
    html_escape_into(since, sizeof since, board.since);
    html_escape_into(error, sizeof error, board.error);
    int used = 0;
    if (query == BOARD_READ) {
        if (const char *offered = offered_image(board.config))
            used = std::snprintf(out, size, "runs %s (version %s, configuration %s)", offered,
                                 board.version, config);
        else
            used = std::snprintf(out, size, "runs version %s, configuration %s", board.version,
                                 config);
    } else if (query == BOARD_BUSY) {
        int other = board.update_port ? board.update_port : updating_port(board.update_pid);
        if (other && other != port)
            used = std::snprintf(out, size, "not asked: an update of PORT%d is running", other);
        else
            used = std::snprintf(out, size, "update running");
    } else if (query == BOARD_NO_ANSWER) {
        used = std::snprintf(out, size, "<font color=\"#800000\">no answer</font>");
    } else if (query == BOARD_NO_BOARD) {
        used = std::snprintf(out, size, "no TARVO board in PORT%d", port);
    } else {
        used = std::snprintf(out, size, "<font color=\"#800000\">state unknown: %s</font>", error);
    }
    // A running update keeps the record until it ends: it is not interrupted.
    if (image[0] && query != BOARD_BUSY && used >= 0 && static_cast<std::size_t>(used) < size)
        used += std::snprintf(
            out + used, size - static_cast<std::size_t>(used),
            "; <font color=\"#800000\">interrupted update of %s pending since %s%s%s</font>", image,
            since, board.gave_up ? "; " : "", board.gave_up ? RECOVERY_GAVE_UP : "");
    char last[1200];
    outcome_last_html(port, last, sizeof last);
    if (last[0] && used >= 0 && static_cast<std::size_t>(used) < size)
        std::snprintf(out + used, size - static_cast<std::size_t>(used), "; %s", last);
}

} // namespace

void page_index() {
    FirmwareSettings settings;
    settings_load(&settings);
    html_page_begin(PAGE_TITLE);
    html_frame_begin(PAGE_TITLE, "TARVO FW Changer", "set.cgi", MENU);
    // The form's one-time token: an update starts once per form sent.
    char token[64];
    form_token_new(token, sizeof token);
    std::printf("<input type=\"hidden\" name=\"%s\" value=\"%s\">", FORM_TOKEN_FIELD, token);
    // Label, selector, button, and what the board runs now and how its last
    // update ended.
    html_layout(4);
    const char *chosen[PORT_COUNT] = {settings.firmware1, settings.firmware2};
    for (int i = 0; i < PORT_COUNT; ++i) {
        const PortInfo &port = PORT_TABLE[i];
        char state[2600];
        if (board_present(port)) {
            html_text(port.selector_label);
            html_select(port.form_field, chosen[i], firmware_options);
            html_submit("button", port.update_button);
            port_state(port.number, state, sizeof state);
            html_text(state);
        } else {
            std::snprintf(state, sizeof state, "no TARVO board in PORT%d", port.number);
            html_row_text(state);
        }
    }
    html_section_break();
    html_layout(1);
    html_submit("button", "Apply");
    html_section_break();
    html_layout(1);
    outcome_history_rows();
    html_frame_end();
    html_page_end();
    std::free(settings.firmware1);
    std::free(settings.firmware2);
}

void page_set() {
    // The request is judged before any of it is read: only a POST from our
    // own pages gets its body read (and a file part stored) at all.
    char why[2048];
    const char *refused = nullptr;
    if (is_post()) {
        refused = refusal_of_this_request(why, sizeof why);
        if (!refused)
            cgi_read_input();
    }
    const char *problem = refused ? nullptr : cgi_upload_problem();
    bool input = !refused && !problem && cgi_has_input();
    char *button = nullptr;
    char *files[PORT_COUNT] = {};
    // "Update PORT" and the port's digit; whatever follows it is not looked at.
    int update = -1;
    int claim = FORM_TOKEN_CLAIMED;
    char claim_why[700] = "";
    if (input) {
        cgi_get_field("button", &button, false);
        for (int i = 0; i < PORT_COUNT; ++i)
            cgi_get_field(PORT_TABLE[i].form_field, &files[i], true);
        for (int i = 0; i < PORT_COUNT && std::strcmp(button, "Apply") != 0; ++i) {
            const char *label = PORT_TABLE[i].update_button;
            if (std::strncmp(button, label, std::strlen(label)) == 0) {
                update = i;
                break;
            }
        }
        // An update starts once per form: a reload or a re-sent form of the
        // same page finds its token used.
        if (update >= 0) {
            char *token = nullptr;
            cgi_get_field(FORM_TOKEN_FIELD, &token, false);
            claim = form_token_claim(token, claim_why, sizeof claim_why);
            std::free(token);
        }
    }
    if (refused)
        std::fputs("Status: 403 Forbidden\n", stdout);
    else if (claim == FORM_TOKEN_USED)
        std::fputs("Status: 409 Conflict\n", stdout);
    else if (claim == FORM_TOKEN_BAD)
        std::fputs("Status: 403 Forbidden\n", stdout);
    else if (claim == FORM_TOKEN_FAILED)
        std::fputs("Status: 500 Internal Server Error\n", stdout);
    html_page_begin(PAGE_TITLE);
    if (refused) {
        html_message_box(false, "Request refused", refused, "index.cgi", "Back");
    } else if (problem) {
        html_message_box(false, "Upload refused", problem, "index.cgi", "Back");
    } else if (input && std::strcmp(button, "Apply") == 0) {
        FirmwareSettings settings{files[0], files[1]};
        if (settings_save(&settings))
            saved_box(files);
        else
            html_config_result(false, "index.cgi");
    } else if (claim == FORM_TOKEN_USED) {
        html_message_box(false, "Update not started again",
                         "This form has started its update already: a reload or a re-sent form "
                         "does not start it a second time. See how it ended in the <a "
                         "href=\"index.cgi#history\">update history</a>, and open the Automatic "
                         "Update page to start another update.",
                         "index.cgi#history", "History");
    } else if (claim == FORM_TOKEN_BAD) {
        html_message_box(false, "Update not started",
                         "This form is not one of this server's current pages (it has no token, "
                         "or one more than a week old). Nothing was changed. Open the Automatic "
                         "Update page again and press Update there.",
                         "index.cgi", "Back");
    } else if (claim == FORM_TOKEN_FAILED) {
        char text[1200], escaped[900];
        html_escape_into(escaped, sizeof escaped, claim_why);
        std::snprintf(text, sizeof text,
                      "The update could not be started: %s. Nothing was changed; the "
                      "installation needs a look.",
                      escaped);
        html_message_box(false, "Update not started", text, "index.cgi", "Back");
    } else if (update >= 0) {
        update_window(PORT_TABLE[update], files[update]);
    }
    std::free(button);
    for (char *file : files)
        std::free(file);
    html_page_end();
    cgi_free_input();
}

void page_syslog(const char *title, const MenuEntry *menu) {
    html_page_begin(title);
    html_frame_begin(title, "System Log", "/slog_save.cgi", menu);
    html_header_row("System Messages");
    const LocalPath previous(PATH_MESSAGES_OLD), current(PATH_MESSAGES);
    char command[2 * sizeof previous.path + 64];
    std::snprintf(command, sizeof command, "cat %s %s 2> /dev/null | tail -n 25", previous.path,
                  current.path);
    html_command_output_escaped(command);
    html_section_break();
    html_layout(2);
    html_submit("button", "Save Log");
    html_submit("button", "Save Report");
    html_frame_end();
    html_page_end();
}

int cgi_main(int argc, char **argv) {
    if (argc <= 0 || !argv[0])
        return 0;
    const char *name = argv[0];
    if (const char *slash = std::strrchr(name, '/'))
        name = slash + 1;
    if (std::strcmp(name, "index.cgi") == 0)
        page_index();
    else if (std::strcmp(name, "slog.cgi") == 0)
        page_syslog(PAGE_TITLE, MENU);
    else if (std::strcmp(name, "set.cgi") == 0)
        page_set();
    return 0;
}
