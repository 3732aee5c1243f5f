#include "web/pages.h"

#include "common/board.h"
#include "common/platform.h"
#include "common/ports.h"
#include "common/small_file.h"
#include "web/board_state.h"
#include "web/cgi_input.h"
#include "web/exec.h"
#include "web/settings.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
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

// Reads the allowed hosts file whole into buf (HOSTS_ALLOWED_MAX + 1 bytes):
// only a regular file of at most HOSTS_ALLOWED_MAX bytes, so that a device
// or a FIFO put in its place can neither keep a request reading nor block it
// (the file is opened without waiting).  Returns why the file is ignored, or
// null; a missing file is simply empty.
const char *read_hosts_allowed(char *buf, std::size_t *len) {
    *len = 0;
    char path[512];
    int fd = open(plat_path(HOSTS_ALLOWED, path, sizeof path),
                  O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? nullptr : "it cannot be read";
    long got = read_small_file(fd, buf, static_cast<long>(HOSTS_ALLOWED_MAX));
    close(fd);
    if (got == SMALL_FILE_NOT_REGULAR)
        return "it is not a regular file";
    if (got == SMALL_FILE_TOO_LARGE)
        return "it is larger than 4096 bytes";
    if (got < 0)
        return "it cannot be read";
    *len = static_cast<std::size_t>(got);
    return nullptr;
}

// True when `name` is one the administrator lists in the allowed hosts file
// (one name per line; blanks around it, empty lines and lines starting with
// "#" are ignored; an IPv6 address may stand in brackets).  Lines are taken
// whole.  *ignored tells why the file was not read, or is null.
bool listed_host(const char *name, const char **ignored) {
    static char text[HOSTS_ALLOWED_MAX + 1];
    std::size_t len = 0;
    *ignored = read_hosts_allowed(text, &len);
    for (std::size_t at = 0; at < len;) {
        char *line = text + at;
        char *end = static_cast<char *>(std::memchr(line, '\n', len - at));
        std::size_t line_len = end ? static_cast<std::size_t>(end - line) : len - at;
        at += line_len + 1;
        line[line_len] = '\0';
        char *start = line + std::strspn(line, " \t[");
        std::size_t word = std::strcspn(start, " \t\r]");
        start[word] = '\0';
        if (*start != '#' && word > 0 && strcasecmp(start, name) == 0)
            return true;
    }
    return false;
}

// SERVER_ADDR as a client names it: an IPv4 address that a dual-stack server
// reports in its IPv6 form ("::ffff:127.0.0.1") is its IPv4 address.
const char *server_address() {
    const char *addr = std::getenv("SERVER_ADDR");
    if (addr && strncasecmp(addr, "::ffff:", 7) == 0 && std::strchr(addr + 7, '.') &&
        std::strspn(addr + 7, "0123456789.") == std::strlen(addr + 7))
        return addr + 7;
    return addr;
}

// True when `name` is this server's by itself: the address the request came
// to, the controller's host name (also with ".local"), or a listed name.
bool own_name(const char *name, const char **ignored) {
    *ignored = nullptr;
    const char *addr = server_address();
    if (addr && *addr && strcasecmp(name, addr) == 0)
        return true;
    char self[256] = {0}, local[300];
    if (gethostname(self, sizeof self - 1) == 0 && self[0]) {
        std::snprintf(local, sizeof local, "%s.local", self);
        if (strcasecmp(name, self) == 0 || strcasecmp(name, local) == 0)
            return true;
    }
    return listed_host(name, ignored);
}

// True when the Host header names this server: one of its own names with
// the port the request came to.  `name` gets the Host's name ("" when it
// has none), *known whether that name is one of the server's own.
bool host_is_this_server(const char *host, const char *scheme, char *name, std::size_t size,
                         bool *known, const char **ignored) {
    long port = 0;
    *ignored = nullptr;
    *known = false;
    name[0] = '\0';
    if (!host || !split_host(host, scheme, name, size, &port))
        return false;
    *known = own_name(name, ignored);
    const char *server_port = std::getenv("SERVER_PORT");
    return *known && server_port &&
           std::strspn(server_port, "0123456789") == std::strlen(server_port) && *server_port &&
           std::strtol(server_port, nullptr, 10) == port;
}

// The address of this server as a URL for the page ("http://10.0.0.5:8080/",
// an IPv6 address in brackets, no port when it is the scheme's own), HTML
// escaped; "" when the server does not say its address.
void server_url(const char *scheme, char *out, std::size_t size) {
    const char *addr = server_address();
    const char *port = std::getenv("SERVER_PORT");
    out[0] = '\0';
    if (!addr || !*addr || std::strspn(addr, "0123456789abcdefABCDEF.:") != std::strlen(addr))
        return;
    const char *use = scheme ? scheme : "http";
    bool default_port =
        !port || !*port || (std::strcmp(port, strcasecmp(use, "https") == 0 ? "443" : "80") == 0);
    bool v6 = std::strchr(addr, ':') != nullptr;
    std::snprintf(out, size, "%.8s://%s%.64s%s%s%.8s/", use, v6 ? "[" : "", addr, v6 ? "]" : "",
                  default_port ? "" : ":", default_port ? "" : port);
}

bool is_post() {
    const char *method = std::getenv("REQUEST_METHOD");
    return method && std::strcmp(method, "POST") == 0;
}

// What the updater printed last (its last TAIL_SIZE bytes) and how it ended.
constexpr std::size_t TAIL_SIZE = 8192;
struct UpdaterRun {
    int status; // wait status, or -1 when it was not started
    char tail[TAIL_SIZE + 1];
    std::size_t tail_len;
};

void keep_tail(UpdaterRun *run, const char *data, std::size_t n) {
    if (n > TAIL_SIZE) {
        data += n - TAIL_SIZE;
        n = TAIL_SIZE;
    }
    if (run->tail_len + n > TAIL_SIZE) {
        std::size_t drop = run->tail_len + n - TAIL_SIZE;
        std::memmove(run->tail, run->tail + drop, run->tail_len - drop);
        run->tail_len -= drop;
    }
    std::memcpy(run->tail + run->tail_len, data, n);
    run->tail_len += n;
    run->tail[run->tail_len] = '\0';
}

// Starts the updater with its standard output on a pipe and passes all of it
// on to ours as it comes, keeping the end of it for the result row.  The
// updater never waits for the page: what the client does not take (it went
// away) is read and dropped.
void run_updater_relayed(int port, const char *file, UpdaterRun *run) {
    run->status = -1;
    run->tail_len = 0;
    run->tail[0] = '\0';
    char program[512];
    plat_path(UPDATER_PROGRAM, program, sizeof program);
    // Only a port of the table is handed to the updater; anything else does
    // not start it.
    const PortInfo *row = port_info(port);
    if (!row)
        return;
    char port_arg[12];
    std::snprintf(port_arg, sizeof port_arg, "%d", row->number);
    char html_arg[] = "html";
    char *argv[] = {program, port_arg, const_cast<char *>(file), html_arg, nullptr};
    // out carries the output; failed tells the parent that the program did
    // not start (it closes on a successful exec).
    int out[2], failed[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    if (pipe2(failed, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    pid_t pid = vfork();
    if (pid == 0) {
        dup2(out[1], 1);
        execvp(program, argv);
        char c = 1;
        ssize_t ignored = write(failed[1], &c, 1);
        (void)ignored;
        _exit(1);
    }
    close(out[1]);
    close(failed[1]);
    if (pid < 0) {
        close(out[0]);
        close(failed[0]);
        return;
    }
    std::signal(SIGPIPE, SIG_IGN);
    bool client = true;
    char buf[4096];
    for (;;) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        keep_tail(run, buf, static_cast<std::size_t>(n));
        if (client) {
            client = std::fwrite(buf, 1, static_cast<std::size_t>(n), stdout) ==
                         static_cast<std::size_t>(n) &&
                     std::fflush(stdout) == 0;
        }
    }
    close(out[0]);
    char c;
    ssize_t exec_failed;
    do {
        exec_failed = read(failed[0], &c, 1);
    } while (exec_failed < 0 && errno == EINTR);
    close(failed[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return;
    }
    if (exec_failed <= 0)
        run->status = status;
}

// The rows the updater printed, as plain text: tags left out and the
// character references it writes turned back.
constexpr const char *ROW_END = "</td></tr><tr><td>";

void plain_text(const char *html, std::size_t len, char *out, std::size_t size) {
    std::size_t used = 0;
    bool tag = false;
    for (std::size_t i = 0; i < len && used + 1 < size; ++i) {
        char c = html[i];
        if (tag) {
            tag = c != '>';
            continue;
        }
        if (c == '<') {
            tag = true;
            continue;
        }
        if (c == '&') {
            const char *entities[][2] = {
                {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#10004;", ""}};
            bool found = false;
            for (auto &e : entities) {
                std::size_t n = std::strlen(e[0]);
                if (i + n <= len && std::strncmp(html + i, e[0], n) == 0) {
                    if (e[1][0])
                        out[used++] = e[1][0];
                    i += n - 1;
                    found = true;
                    break;
                }
            }
            if (found)
                continue;
        }
        out[used++] = c == '\n' || c == '\r' || c == '\t' ? ' ' : c;
    }
    while (used > 0 && out[used - 1] == ' ')
        --used;
    out[used] = '\0';
}

// The last progress row of the output ("STAGE ... RESULT") whose stage starts
// with `stage` (any stage when empty) and whose result holds `word`: the
// stage in `what` ("Erasing device on PORT1"), and what the updater said
// after the word in `reason`, or when nothing follows it there, the row after
// it (unless that is the next stage's).  False when there is no such row.
bool stage_row(const UpdaterRun &run, const char *stage, const char *word, char *what,
               std::size_t what_size, char *reason, std::size_t reason_size) {
    static char row[TAIL_SIZE + 1], next[TAIL_SIZE + 1];
    bool found = false;
    next[0] = '\0';
    for (const char *at = run.tail; *at;) {
        const char *end = std::strstr(at, ROW_END);
        std::size_t len = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
        if (found && !next[0])
            plain_text(at, len, next, sizeof next);
        char text[TAIL_SIZE + 1];
        plain_text(at, len, text, sizeof text);
        const char *dots = std::strstr(text, " ... ");
        if (dots && std::strncmp(text, stage, std::strlen(stage)) == 0 && std::strstr(dots, word)) {
            std::memcpy(row, text, sizeof row);
            found = true;
            next[0] = '\0';
        }
        if (!end)
            break;
        at = end + std::strlen(ROW_END);
    }
    if (!found)
        return false;
    const char *dots = std::strstr(row, " ... ");
    std::snprintf(what, what_size, "%.*s", static_cast<int>(dots - row), row);
    const char *said = std::strstr(dots, word) + std::strlen(word);
    said += std::strspn(said, " :;,-(");
    std::size_t len = std::strlen(said);
    // A bracket around the reason is the page's to add.
    int open = 0;
    for (const char *p = said; *p; ++p)
        open += *p == '(' ? 1 : *p == ')' ? -1 : 0;
    if (len > 0 && said[len - 1] == ')' && open < 0)
        --len;
    if (len == 0 && !std::strstr(next, " ... ")) {
        said = next + std::strspn(next, " ");
        len = std::strlen(said);
    }
    std::snprintf(reason, reason_size, "%.*s", static_cast<int>(len < 400 ? len : 400), said);
    return true;
}

// The text of the last row that starts with `start`, or "".
void row_starting(const UpdaterRun &run, const char *start, char *out, std::size_t size) {
    out[0] = '\0';
    for (const char *at = run.tail; *at;) {
        const char *end = std::strstr(at, ROW_END);
        std::size_t len = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
        char text[TAIL_SIZE + 1];
        plain_text(at, len, text, sizeof text);
        if (std::strncmp(text, start, std::strlen(start)) == 0)
            std::snprintf(out, size, "%.400s", text);
        if (!end)
            break;
        at = end + std::strlen(ROW_END);
    }
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

// The row that tells how the update ended, from the updater's exit status:
// green only when the board now runs the image.  On failure the window's
// title turns red as well.
void result_row(int port, const char *file, const UpdaterRun &run) {
    static char text[4096];
    char image[300], stage[400], said[1200], shown[1800], reason[500];
    html_escape_into(image, sizeof image, file);
    int status = run.status;
    int code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    bool ok = false;
    if (code == 0 || code == 6) {
        BoardState board;
        bool read = board_state_query(port, &board) == BOARD_READ;
        char config[300];
        html_escape_into(config, sizeof config, board.config);
        if (code == 0) {
            ok = true;
            if (read)
                std::snprintf(text, sizeof text,
                              "PORT%d now runs %s (version %s, configuration %s).", port, image,
                              board.version, config);
            else
                std::snprintf(text, sizeof text, "PORT%d now runs %s.", port, image);
        } else {
            char reports[400];
            if (read && config[0])
                std::snprintf(reports, sizeof reports, "configuration %s", config);
            else
                std::snprintf(reports, sizeof reports, "%s",
                              read ? "an empty configuration" : "no configuration");
            std::snprintf(text, sizeof text,
                          "PORT%d was flashed with %s, but the board reports %s, not the one the "
                          "image's name carries. Check that %s is the image meant for this board "
                          "and press Update again.%s",
                          port, image, reports, image, DETAILS);
        }
    } else if (code == 5) {
        stage_row(run, "Checking firmware file", "failed", stage, sizeof stage, reason,
                  sizeof reason);
        reason_html(reason, shown, sizeof shown);
        std::snprintf(text, sizeof text,
                      "The image %s was refused%s, and the board was not touched. Choose "
                      "another image, or put a good copy of it in /opt/tarvo_update/fw/, and "
                      "press Update again.%s",
                      image, shown, DETAILS);
    } else if (code == 7) {
        const char *pid_text = std::strstr(run.tail, "(pid ");
        int pid = pid_text ? std::atoi(pid_text + 5) : 0;
        int other = updating_port(pid);
        char who[64];
        if (other)
            std::snprintf(who, sizeof who, "PORT%d is being updated", other);
        else
            std::snprintf(who, sizeof who, "another update is running");
        std::snprintf(text, sizeof text,
                      "PORT%d was not updated: %s%s%.0d%s. Wait for that update to finish, then "
                      "press Update again.%s",
                      port, who, pid ? " (pid " : "", pid, pid ? ")" : "", DETAILS);
    } else if (code == 3) {
        // The updater says why when the board could not even be asked.
        stage_row(run, "Looking for TARVO", "not found", stage, sizeof stage, reason,
                  sizeof reason);
        reason_html(reason, shown, sizeof shown);
        std::snprintf(text, sizeof text,
                      "No TARVO board was found in PORT%d%s, so nothing was changed. Check the "
                      "board, then open the Automatic Update page again.%s",
                      port, shown, DETAILS);
    } else if (code == 4) {
        if (stage_row(run, "", "failed", stage, sizeof stage, reason, sizeof reason))
            std::snprintf(said, sizeof said, "%.300s ... failed%s%.500s", stage,
                          reason[0] ? ": " : "", reason);
        else
            said[0] = '\0';
        reason_html(said, shown, sizeof shown);
        std::snprintf(text, sizeof text,
                      "The update of PORT%d failed%s, and the board may be left without "
                      "firmware. %s%s",
                      port, shown, RETRY, DETAILS);
    } else if (code == 9) {
        // The lock, the update's record or the registers: the updater's own
        // words on its "Cannot ..." or "failed" row.
        row_starting(run, "Cannot", said, sizeof said);
        if (!said[0] && stage_row(run, "", "failed", stage, sizeof stage, reason, sizeof reason))
            std::snprintf(said, sizeof said, "%.500s", reason);
        reason_html(said, shown, sizeof shown);
        std::snprintf(text, sizeof text,
                      "The update of PORT%d could not begin%s; the board was not touched. Press "
                      "Update again; if this comes back, the installation needs a look.%s",
                      port, shown, DETAILS);
    } else if (status < 0) {
        std::snprintf(text, sizeof text,
                      "The updater %s could not be started, so nothing was changed. The "
                      "installation needs a look.",
                      UPDATER_PROGRAM);
    } else {
        char how[64];
        if (WIFSIGNALED(status))
            std::snprintf(how, sizeof how, "was ended by signal %d", WTERMSIG(status));
        else
            std::snprintf(how, sizeof how, "ended with exit status %d", code);
        std::snprintf(text, sizeof text,
                      "The updater %s before the update of PORT%d was done, and the board may be "
                      "left without firmware. %s%s",
                      how, port, RETRY, DETAILS);
    }
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
    static UpdaterRun run;
    run_updater_relayed(port, file, &run);
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
        int other = updating_port(board.update_pid);
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
        std::snprintf(out + used, size - static_cast<std::size_t>(used),
                      "; <font color=\"#800000\">interrupted update of %s pending since %s</font>",
                      image, since);
}

} // namespace

const char *request_refusal(char *why, std::size_t size) {
    // A page of another site under a name that leads here (DNS rebinding)
    // sends its own name as Host, and as Origin.
    const char *host = std::getenv("HTTP_HOST");
    const char *scheme = server_scheme();
    char name[256];
    const char *ignored = nullptr;
    bool known = false;
    if (!host_is_this_server(host, scheme, name, sizeof name, &known, &ignored)) {
        char named[320] = "", listed[320] = "", url[128], address[160] = "";
        if (host)
            html_escape_into(named, sizeof named, host);
        html_escape_into(listed, sizeof listed, name);
        server_url(scheme, url, sizeof url);
        if (url[0])
            std::snprintf(address, sizeof address, " (%s)", url);
        char hint[900];
        // A name of the server's own that came with another port is not
        // helped by listing it.
        if (listed[0] && !known)
            std::snprintf(
                hint, sizeof hint,
                " Open this page under the controller's address%s, or list %s in %s%s%s%s.",
                address, listed, HOSTS_ALLOWED, ignored ? " (the file there is ignored: " : "",
                ignored ? ignored : "", ignored ? ")" : "");
        else
            std::snprintf(hint, sizeof hint, " Open this page under the controller's address%s.",
                          address);
        std::snprintf(why, size,
                      "Changes are accepted only when addressed to this server by its own address "
                      "or name, but this request %s%.320s. Nothing was changed.%s",
                      named[0] ? "was addressed to " : "named no server", named, hint);
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
                  "request came from %s. Nothing was changed. Open this server's own page and "
                  "use its buttons.",
                  self, sender);
    return why;
}

int run_updater(int port, const char *file) {
    static UpdaterRun run;
    run_updater_relayed(port, file, &run);
    return run.status >= 0 && WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 1;
}

void page_index() {
    FirmwareSettings settings;
    settings_load(&settings);
    html_page_begin(PAGE_TITLE);
    html_frame_begin(PAGE_TITLE, "TARVO FW Changer", "set.cgi", MENU);
    // Label, selector, button, and what the board runs now.
    html_layout(4);
    const char *chosen[PORT_COUNT] = {settings.firmware1, settings.firmware2};
    for (int i = 0; i < PORT_COUNT; ++i) {
        const PortInfo &port = PORT_TABLE[i];
        char state[1024];
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
        refused = request_refusal(why, sizeof why);
        if (!refused)
            cgi_read_input();
    }
    if (refused)
        std::fputs("Status: 403 Forbidden\n", stdout);
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
            if (settings_save(&settings))
                saved_box(files);
            else
                html_config_result(false, "index.cgi");
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
