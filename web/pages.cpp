#include "web/pages.h"

#include "common/board.h"
#include "common/platform.h"
#include "common/ports.h"
#include "web/cgi_input.h"
#include "web/exec.h"
#include "web/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The site of a URL "scheme://host[:port][/...]": its scheme and its host
// with the port.  False when the text is not of that form.
struct Site {
    char scheme[16];
    char host[256];
};

bool url_site(const char *url, Site *site) {
    const char *sep = std::strstr(url, "://");
    if (!sep || sep == url || static_cast<std::size_t>(sep - url) >= sizeof site->scheme)
        return false;
    const char *host = sep + 3;
    std::size_t host_len = std::strcspn(host, "/?#");
    if (host_len == 0 || host_len >= sizeof site->host)
        return false;
    std::snprintf(site->scheme, sizeof site->scheme, "%.*s", static_cast<int>(sep - url), url);
    std::snprintf(site->host, sizeof site->host, "%.*s", static_cast<int>(host_len), host);
    return true;
}

// The scheme by which the client reached the server, when the server says it.
const char *server_scheme() {
    const char *scheme = std::getenv("REQUEST_SCHEME");
    if (scheme && *scheme)
        return scheme;
    const char *https = std::getenv("HTTPS");
    if (https && (strcasecmp(https, "on") == 0 || std::strcmp(https, "1") == 0))
        return "https";
    return nullptr;
}

// Splits a Host header, "name[:port]" or "[v6-address][:port]", into the
// name (brackets stripped) and the port, which without one is the scheme's
// default.  False for a text of another form.
bool split_host(const char *host, const char *scheme, char *name, std::size_t size, long *port) {
    const char *end, *rest;
    if (host[0] == '[') {
        ++host;
        end = std::strchr(host, ']');
        if (!end)
            return false;
        rest = end + 1;
    } else {
        end = host + std::strcspn(host, ":");
        rest = end;
        if (std::strchr(rest + (*rest ? 1 : 0), ':'))
            return false;
    }
    if (end == host || static_cast<std::size_t>(end - host) >= size)
        return false;
    std::snprintf(name, size, "%.*s", static_cast<int>(end - host), host);
    if (*rest == '\0') {
        *port = scheme && strcasecmp(scheme, "https") == 0 ? 443 : 80;
        return true;
    }
    if (*rest != ':' || rest[1] == '\0' || std::strlen(rest + 1) > 5 ||
        std::strspn(rest + 1, "0123456789") != std::strlen(rest + 1))
        return false;
    *port = std::strtol(rest + 1, nullptr, 10);
    return true;
}

// True when `name` is one the administrator lists in the allowed hosts file
// (one name per line; blanks around it, empty lines and lines starting with
// "#" are ignored; an IPv6 address may stand in brackets).
bool listed_host(const char *name) {
    char path[512], line[300];
    FILE *file = std::fopen(plat_path(HOSTS_ALLOWED, path, sizeof path), "r");
    if (!file)
        return false;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file)) {
        char *start = line + std::strspn(line, " \t[");
        std::size_t len = std::strcspn(start, " \t\r\n]");
        start[len] = '\0';
        found = *start != '#' && len > 0 && strcasecmp(start, name) == 0;
    }
    std::fclose(file);
    return found;
}

// True when the Host header names this server: the address the request came
// to, the controller's host name (also with ".local") or a listed name, each
// with the port the request came to.
bool host_is_this_server(const char *host, const char *scheme) {
    char name[256];
    long port = 0;
    const char *server_port = std::getenv("SERVER_PORT");
    if (!host || !split_host(host, scheme, name, sizeof name, &port) || !server_port ||
        std::strspn(server_port, "0123456789") != std::strlen(server_port) || !*server_port ||
        std::strtol(server_port, nullptr, 10) != port)
        return false;
    const char *addr = std::getenv("SERVER_ADDR");
    if (addr && *addr && strcasecmp(name, addr) == 0)
        return true;
    char self[256] = {0}, local[300];
    if (gethostname(self, sizeof self - 1) == 0 && self[0]) {
        std::snprintf(local, sizeof local, "%s.local", self);
        if (strcasecmp(name, self) == 0 || strcasecmp(name, local) == 0)
            return true;
    }
    return listed_host(name);
}

bool is_post() {
    const char *method = std::getenv("REQUEST_METHOD");
    return method && std::strcmp(method, "POST") == 0;
}

void update_window(int port, const char *file) {
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
    // Everything so far must reach the client before the updater writes.
    std::fflush(stdout);
    run_updater(port, file);
    std::fputs("</td></tr>\n<tr align=\"center\"><td id=\"button\"><a href=\"index.cgi\">&raquo; "
               "OK &laquo;</a>",
               stdout);
    std::fputs("</td></tr></table></td></tr></table></form></center>\n", stdout);
    std::fflush(stdout);
}

} // namespace

const char *request_refusal(char *why, std::size_t size) {
    // A page of another site under a name that leads here (DNS rebinding)
    // sends its own name as Host, and as Origin.
    const char *host = std::getenv("HTTP_HOST");
    const char *scheme = server_scheme();
    if (!host_is_this_server(host, scheme)) {
        char named[320] = "";
        if (host)
            html_escape_into(named, sizeof named, host);
        std::snprintf(why, size,
                      "Changes are accepted only when addressed to this server by its own address "
                      "or name, but this request %s%.320s. Nothing was changed.",
                      named[0] ? "was addressed to " : "named no server", named);
        return why;
    }
    // The page that sent the request: its Origin, or without one its Referer;
    // a request with neither (an older browser, a privacy setting) is taken.
    const char *from = std::getenv("HTTP_ORIGIN");
    if (!from) {
        from = std::getenv("HTTP_REFERER");
        if (!from || !*from)
            return nullptr;
    }
    Site site;
    bool parsed = url_site(from, &site);
    if (parsed && strcasecmp(site.host, host) == 0 &&
        (!scheme || strcasecmp(site.scheme, scheme) == 0))
        return nullptr;

    char sender[300], self[300], text[300];
    if (parsed)
        std::snprintf(text, sizeof text, "%s://%s", site.scheme, site.host);
    else
        std::snprintf(text, sizeof text, "%.100s", from);
    html_escape_into(sender, sizeof sender, text);
    if (scheme)
        std::snprintf(text, sizeof text, "%.16s://%.200s", scheme, host);
    else
        std::snprintf(text, sizeof text, "%.200s", host);
    html_escape_into(self, sizeof self, text);
    std::snprintf(why, size,
                  "Changes are accepted only from the pages of this server (%s), but this "
                  "request came from %s. Nothing was changed.",
                  self, sender);
    return why;
}

int run_updater(int port, const char *file) {
    char program[512];
    plat_path(UPDATER_PROGRAM, program, sizeof program);
    char port_arg[12];
    std::snprintf(port_arg, sizeof port_arg, "%d", port_for_updater(port).number);
    char html_arg[] = "html";
    char *argv[] = {program, port_arg, const_cast<char *>(file), html_arg, nullptr};
    pid_t pid = vfork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        execvp(program, argv);
        _exit(1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void page_index() {
    FirmwareSettings settings;
    settings_load(&settings);
    html_page_begin(PAGE_TITLE);
    html_frame_begin(PAGE_TITLE, "TARVO FW Changer", "set.cgi", MENU);
    html_layout(3);
    const char *chosen[PORT_COUNT] = {settings.firmware1, settings.firmware2};
    for (int i = 0; i < PORT_COUNT; ++i) {
        const PortInfo &port = PORT_TABLE[i];
        if (board_present(port.number)) {
            html_text(port.selector_label);
            html_select(port.form_field, chosen[i], firmware_options);
            html_submit("button", port.update_button);
        }
    }
    html_section_break();
    html_layout(1);
    html_submit("button", "Apply");
    html_frame_end();
    html_page_end();
    std::free(settings.firmware1);
    std::free(settings.firmware2);
}

void page_set() {
    // The request is judged before any of it is read: only a POST from our
    // own pages gets its body read (and a file part stored) at all.
    char why[1024];
    const char *refused = nullptr;
    if (is_post()) {
        refused = request_refusal(why, sizeof why);
        if (!refused)
            cgi_read_input();
    }
    html_page_begin(PAGE_TITLE);
    if (refused) {
        html_message_box(false, "Request refused", refused, "index.cgi", "Back");
    } else if (const char *problem = cgi_upload_problem()) {
        html_message_box(false, "Upload refused", problem, "index.cgi", "Back");
    } else if (cgi_has_input()) {
        char *button = nullptr;
        char *files[PORT_COUNT];
        cgi_get_field("button", &button, false);
        for (int i = 0; i < PORT_COUNT; ++i)
            cgi_get_field(PORT_TABLE[i].form_field, &files[i], true);
        if (std::strcmp(button, "Apply") == 0) {
            FirmwareSettings settings{files[0], files[1]};
            html_config_result(settings_save(&settings), "index.cgi");
        } else {
            // "Update PORT" and the port's digit; whatever follows it is not
            // looked at.
            for (int i = 0; i < PORT_COUNT; ++i) {
                const char *label = PORT_TABLE[i].update_button;
                if (std::strncmp(button, label, std::strlen(label)) == 0) {
                    update_window(PORT_TABLE[i].number, files[i]);
                    break;
                }
            }
        }
        std::free(button);
        for (char *file : files)
            std::free(file);
    }
    html_page_end();
    cgi_free_input();
}

void page_syslog(const char *title, const MenuEntry *menu) {
    html_page_begin(title);
    html_frame_begin(title, "System Log", "/slog_save.cgi", menu);
    html_header_row("System Messages");
    char previous[512], current[512], command[1200];
    plat_path("/var/log/messages.1", previous, sizeof previous);
    plat_path("/var/log/messages", current, sizeof current);
    std::snprintf(command, sizeof command, "cat %s %s 2> /dev/null | tail -n 25", previous,
                  current);
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
