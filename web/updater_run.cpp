// Running the updater from the set page and reading back what it printed.
#include "web/updater_run.h"

#include "common/paths.h"
#include "common/ports.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void keep_tail(UpdaterRun *run, const char *data, std::size_t n) {
    if (n > UPDATER_TAIL_SIZE) {
        data += n - UPDATER_TAIL_SIZE;
        n = UPDATER_TAIL_SIZE;
    }
    if (run->tail_len + n > UPDATER_TAIL_SIZE) {
        std::size_t drop = run->tail_len + n - UPDATER_TAIL_SIZE;
        std::memmove(run->tail, run->tail + drop, run->tail_len - drop);
        run->tail_len -= drop;
    }
    std::memcpy(run->tail + run->tail_len, data, n);
    run->tail_len += n;
    run->tail[run->tail_len] = '\0';
}

// Starts the updater with its standard output on `out` (the write end is
// closed here).  `failed` tells the parent that the program did not start:
// it closes on a successful exec.  Returns the child, or -1.
pid_t start_updater(const PortInfo &port, const char *file, int out[2], int failed[2]) {
    LocalPath program(PATH_UPDATER);
    char port_arg[12];
    std::snprintf(port_arg, sizeof port_arg, "%d", port.number);
    char html_arg[] = "html";
    char *argv[] = {program.path, port_arg, const_cast<char *>(file), html_arg, nullptr};
    pid_t pid = vfork();
    if (pid == 0) {
        dup2(out[1], 1);
        execvp(program.path, argv);
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
    }
    return pid;
}

// Passes all that comes on `fd` on to our standard output while the client
// takes it, keeping the end of it.
void relay_output(int fd, UpdaterRun *run) {
    std::signal(SIGPIPE, SIG_IGN);
    bool client = true;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
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
    close(fd);
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

} // namespace

void updater_run_relayed(const PortInfo &port, const char *file, UpdaterRun *run) {
    run->status = -1;
    run->pid = 0;
    run->tail_len = 0;
    run->tail[0] = '\0';
    // out carries the output; failed tells that the program did not start.
    int out[2], failed[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    if (pipe2(failed, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    pid_t pid = start_updater(port, file, out, failed);
    if (pid < 0)
        return;
    run->pid = static_cast<int>(pid);
    relay_output(out[0], run);
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

bool updater_stage_row(const UpdaterRun &run, const char *stage, const char *word, char *what,
                       std::size_t what_size, char *reason, std::size_t reason_size) {
    static char row[UPDATER_TAIL_SIZE + 1], next[UPDATER_TAIL_SIZE + 1];
    bool found = false;
    next[0] = '\0';
    for (const char *at = run.tail; *at;) {
        const char *end = std::strstr(at, ROW_END);
        std::size_t len = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
        if (found && !next[0])
            plain_text(at, len, next, sizeof next);
        char text[UPDATER_TAIL_SIZE + 1];
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

void updater_row_starting(const UpdaterRun &run, const char *start, char *out, std::size_t size) {
    out[0] = '\0';
    for (const char *at = run.tail; *at;) {
        const char *end = std::strstr(at, ROW_END);
        std::size_t len = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
        char text[UPDATER_TAIL_SIZE + 1];
        plain_text(at, len, text, sizeof text);
        if (std::strncmp(text, start, std::strlen(start)) == 0)
            std::snprintf(out, size, "%.400s", text);
        if (!end)
            break;
        at = end + std::strlen(ROW_END);
    }
}
