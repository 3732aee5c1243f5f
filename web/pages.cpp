// The pages of the web interface: index.cgi, set.cgi and slog.cgi.
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
#include "web/result_row.h"
#include "web/settings.h"
#include "web/updater_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    outcome_duration_note(port, note, sizeof note);
    std::printf("%s</td></tr><tr><td>", note);
    // Everything so far must reach the client before the updater writes.
    std::fflush(stdout);
    static UpdaterRun run;
    updater_run_relayed(port, file, &run);
    // The updater's last cell is closed, the result gets a row of its own,
    // then the OK row.
    std::fputs("</td></tr>\n", stdout);
    result_row(port, file, run);
    std::fputs("<tr align=\"center\"><td id=\"button\"><a href=\"index.cgi\">&raquo; "
               "OK &laquo;</a>",
               stdout);
    std::fputs("</td></tr></table></td></tr></table></form></center>\n", stdout);
    std::fflush(stdout);
}

// What the board in the port runs now, as HTML for the index page: the
// version and configuration (with the offered image that carries it), an
// update running, no answer, and an interrupted update still pending.
void port_state(const PortInfo &port, char *out, std::size_t size) {
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
        if (other && other != port.number)
            used = std::snprintf(out, size, "not asked: an update of PORT%d is running", other);
        else
            used = std::snprintf(out, size, "update running");
    } else if (query == BOARD_NO_ANSWER) {
        used = std::snprintf(out, size, "<font color=\"#800000\">no answer</font>");
    } else if (query == BOARD_NO_BOARD) {
        used = std::snprintf(out, size, "no TARVO board in PORT%d", port.number);
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
            port_state(port, state, sizeof state);
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

namespace {

// What the set page was asked, read once: the guard's verdict, the upload's
// problem, the button and the chosen files, the port whose update was asked
// for and the claim of the form's token.
struct SetRequest {
    char why[2048];
    const char *refused;
    const char *problem;
    bool input;
    char *button;
    char *files[PORT_COUNT];
    const PortInfo *update; // "Update PORTn": the port's row, or null
    const char *update_file;
    int claim;
    char claim_why[700];
};

// The request is judged before any of it is read: only a POST from our own
// pages gets its body read (and a file part stored) at all.
void read_set_request(SetRequest *r) {
    *r = SetRequest{};
    r->claim = FORM_TOKEN_CLAIMED;
    if (is_post()) {
        r->refused = refusal_of_this_request(r->why, sizeof r->why);
        if (!r->refused)
            cgi_read_input();
    }
    r->problem = r->refused ? nullptr : cgi_upload_problem();
    r->input = !r->refused && !r->problem && cgi_has_input();
    if (!r->input)
        return;
    cgi_get_field("button", &r->button, false);
    for (int i = 0; i < PORT_COUNT; ++i)
        cgi_get_field(PORT_TABLE[i].form_field, &r->files[i], true);
    // "Update PORT" and the port's digit; whatever follows it is not looked at.
    for (int i = 0; i < PORT_COUNT && std::strcmp(r->button, "Apply") != 0; ++i) {
        const char *label = PORT_TABLE[i].update_button;
        if (std::strncmp(r->button, label, std::strlen(label)) == 0) {
            r->update = &PORT_TABLE[i];
            r->update_file = r->files[i];
            break;
        }
    }
    // An update starts once per form: a reload or a re-sent form of the same
    // page finds its token used.
    if (r->update) {
        char *token = nullptr;
        cgi_get_field(FORM_TOKEN_FIELD, &token, false);
        r->claim = form_token_claim(token, r->claim_why, sizeof r->claim_why);
        std::free(token);
    }
}

// The response's status line, for a request that is not answered with 200.
void set_status_line(const SetRequest &r) {
    if (r.refused)
        std::fputs("Status: 403 Forbidden\n", stdout);
    else if (r.claim == FORM_TOKEN_USED)
        std::fputs("Status: 409 Conflict\n", stdout);
    else if (r.claim == FORM_TOKEN_BAD)
        std::fputs("Status: 403 Forbidden\n", stdout);
    else if (r.claim == FORM_TOKEN_FAILED)
        std::fputs("Status: 500 Internal Server Error\n", stdout);
}

// The box of an update that the form's token did not let start.
void token_refused_box(int claim, const char *claim_why) {
    if (claim == FORM_TOKEN_USED) {
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
    }
}

// "Apply": the chosen images are remembered.
void save_choice(char *const files[PORT_COUNT]) {
    FirmwareSettings settings{files[0], files[1]};
    if (settings_save(&settings))
        saved_box(files);
    else
        html_config_result(false, "index.cgi");
}

} // namespace

void page_set() {
    static SetRequest r;
    read_set_request(&r);
    set_status_line(r);
    html_page_begin(PAGE_TITLE);
    if (r.refused)
        html_message_box(false, "Request refused", r.refused, "index.cgi", "Back");
    else if (r.problem)
        html_message_box(false, "Upload refused", r.problem, "index.cgi", "Back");
    else if (r.input && std::strcmp(r.button, "Apply") == 0)
        save_choice(r.files);
    else if (r.claim != FORM_TOKEN_CLAIMED)
        token_refused_box(r.claim, r.claim_why);
    else if (r.update)
        update_window(*r.update, r.update_file);
    std::free(r.button);
    for (char *file : r.files)
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
