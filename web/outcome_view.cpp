#include "web/outcome_view.h"

#include "common/history.h"
#include "common/outcome.h"
#include "common/paths.h"
#include "common/ports.h"
#include "web/html.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *DETAILS = " Details are on the <a href=\"slog.cgi\" style=\"color: #FFFFFF; "
                                "text-decoration: underline\">System Log</a> page.";
// An update takes about this long when the port has no good one on record.
constexpr int USUAL_UPDATE_MINUTES = 2;
constexpr int TOKEN_RANDOM_BYTES = 8;

struct ByPid {
    int pid;
    OutcomeRecord *record;
    bool found;
};

bool of_pid(const OutcomeRecord &record, const char *, std::size_t, void *context) {
    ByPid *by = static_cast<ByPid *>(context);
    if (record.pid != by->pid)
        return true;
    *by->record = record;
    by->found = true;
    return false;
}

// "OUTCOME At STAGE: REASON. ACTION" as HTML.
void failure_words(const OutcomeRecord &r, char *out, std::size_t size) {
    char reason[1400] = "", outcome[700], action[700];
    html_escape_into(outcome, sizeof outcome, r.outcome);
    html_escape_into(action, sizeof action, r.action);
    if (r.reason[0]) {
        char text[900];
        const char *words = r.stage[0] ? stage_words(r.stage) : "";
        std::snprintf(text, sizeof text, "%s%s%s%s%s", words[0] ? "At " : "", words,
                      words[0] ? ": " : "", r.reason,
                      r.reason[std::strlen(r.reason) - 1] == '.' ? "" : ".");
        html_escape_into(reason, sizeof reason, text);
    }
    std::snprintf(out, size, "%s%s%s %s", outcome, reason[0] ? " " : "", reason, action);
}

void reading_text(const BoardReading &b, char *out, std::size_t size) {
    char config[300];
    html_escape_into(config, sizeof config, b.config);
    if (b.has_version && b.has_config)
        std::snprintf(out, size, " (version 0x%08X, configuration %s)", b.version, config);
    else
        out[0] = '\0';
}

// What the index page takes from the history in one reading: each port's
// newest record, and the newest records of all.
// The ports' newest records are kept in the order of the port table.
struct Newest {
    OutcomeRecord last[PORT_COUNT];
    bool has_last[PORT_COUNT];
    int shown;
    char lines[HISTORY_SHOWN][1100];
};

// The place of a port's record in Newest, or -1 for a number that is no
// port (a record that names none is shown in the history only).
int slot_of(int number) {
    for (int i = 0; i < PORT_COUNT; ++i)
        if (PORT_TABLE[i].number == number)
            return i;
    return -1;
}

bool gather(const OutcomeRecord &record, const char *, std::size_t, void *context) {
    Newest *n = static_cast<Newest *>(context);
    int slot = slot_of(record.port);
    if (slot >= 0 && !n->has_last[slot]) {
        n->last[slot] = record;
        n->has_last[slot] = true;
    }
    if (n->shown < HISTORY_SHOWN)
        history_text(record, n->lines[n->shown++], sizeof n->lines[0]);
    bool all_last = true;
    for (bool has : n->has_last)
        all_last = all_last && has;
    return n->shown < HISTORY_SHOWN || !all_last;
}

Newest *newest() {
    static Newest n;
    static bool read = false;
    if (!read) {
        read = true;
        n = Newest{};
        char reason[600];
        history_read(nullptr, 0, gather, &n, reason, sizeof reason);
    }
    return &n;
}

// The port's newest record, or null when the history has none.
const OutcomeRecord *last_of(const PortInfo &port) {
    Newest *n = newest();
    int slot = slot_of(port.number);
    return slot >= 0 && n->has_last[slot] ? &n->last[slot] : nullptr;
}

// Forgets the tokens of forms too old to be sent.
void forget_old_tokens(const char *dir, std::time_t now) {
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            now - st.st_mtime > FORM_TOKEN_LIFE_S)
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

} // namespace

bool outcome_result_text(const PortInfo &port, const char *file, int pid, char *out,
                         std::size_t size, bool *ok) {
    char image[300];
    html_escape_into(image, sizeof image, file);
    static OutcomeRecord record;
    ByPid by{pid, &record, false};
    char reason[600];
    if (pid <= 0 || history_read(&port, 20, of_pid, &by, reason, sizeof reason) <= 0 || !by.found)
        return false;
    *ok = record.status == EXIT_UPDATED;
    if (*ok) {
        char reading[400];
        reading_text(record.after, reading, sizeof reading);
        std::snprintf(out, size, "PORT%d now runs %s%s.", port.number, image, reading);
        return true;
    }
    // Turned away: the update that holds the lock, by its port where it can
    // be told.
    const char *pid_text = std::strstr(record.reason, "(pid ");
    int other = std::strcmp(record.cause, CAUSE_BUSY) == 0 && pid_text
                    ? history_update_port(std::atoi(pid_text + 5))
                    : 0;
    if (other) {
        std::size_t n = std::strlen(record.reason);
        std::snprintf(record.reason + n, sizeof record.reason - n, ": PORT%d is being updated",
                      other);
    }
    char words[3000];
    failure_words(record, words, sizeof words);
    std::snprintf(out, size, "PORT%d, %s: %s%s", port.number, image, words, DETAILS);
    return true;
}

void outcome_last_html(const PortInfo &port, char *out, std::size_t size) {
    out[0] = '\0';
    const OutcomeRecord *last = last_of(port);
    if (!last)
        return;
    const OutcomeRecord &r = *last;
    char image[300], when[40], outcome[700];
    html_escape_into(image, sizeof image, r.image);
    // "2026-12-08 17:53 UTC"
    std::snprintf(when, sizeof when, "%.10s %.5s UTC", r.start, r.start[0] ? r.start + 11 : "");
    html_escape_into(outcome, sizeof outcome, r.outcome);
    std::snprintf(out, size, "last update %s: %s, <font color=\"#%s\">%s</font>", when, image,
                  r.status == EXIT_UPDATED ? "008000" : "800000", outcome);
}

void outcome_history_rows() {
    Newest *n = newest();
    html_header_row("<a id=\"history\"></a>Update history (newest first)");
    if (n->shown == 0)
        html_row_text("No update recorded.");
    for (int i = 0; i < n->shown; ++i) {
        char escaped[2400];
        html_escape_into(escaped, sizeof escaped, n->lines[i]);
        html_row_text(escaped);
    }
}

void outcome_duration_note(const PortInfo &port, char *out, std::size_t size) {
    int minutes = USUAL_UPDATE_MINUTES;
    const OutcomeRecord *last = last_of(port);
    if (last && last->status == EXIT_UPDATED && last->duration > 0)
        minutes = static_cast<int>(last->duration / 60.0 + 0.99);
    if (minutes < 1)
        minutes = 1;
    std::snprintf(out, size,
                  "The update takes about %d minute%s. Do not power off the controller or unplug "
                  "the board until it has ended.",
                  minutes, minutes == 1 ? "" : "s");
}

void form_token_new(char *out, std::size_t size) {
    unsigned char bytes[TOKEN_RANDOM_BYTES];
    out[0] = '\0';
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes))
        return;
    int used = std::snprintf(out, size, "%08lx", static_cast<unsigned long>(std::time(nullptr)));
    for (unsigned char b : bytes)
        used += std::snprintf(out + used, size - static_cast<std::size_t>(used), "%02x", b);
}

int form_token_claim(const char *token, char *why, std::size_t size) {
    why[0] = '\0';
    std::size_t length = token ? std::strlen(token) : 0;
    if (length != 8 + 2 * TOKEN_RANDOM_BYTES || std::strspn(token, "0123456789abcdef") != length)
        return FORM_TOKEN_BAD;
    char stamp[9];
    std::snprintf(stamp, sizeof stamp, "%.8s", token);
    std::time_t made = static_cast<std::time_t>(std::strtoul(stamp, nullptr, 16));
    std::time_t now = std::time(nullptr);
    if (made > now + 3600 || now - made > FORM_TOKEN_LIFE_S)
        return FORM_TOKEN_BAD;
    const LocalPath tokens(PATH_FORM_TOKENS_DIR);
    const char *dir = tokens.path;
    char path[sizeof tokens.path + 64];
    // Made by whichever user claims first; its group is the state
    // directory's.
    if (mkdir(dir, 02770) == 0)
        chmod(dir, 02770);
    forget_old_tokens(dir, now);
    std::snprintf(path, sizeof path, "%s/%s", dir, token);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd >= 0) {
        close(fd);
        return FORM_TOKEN_CLAIMED;
    }
    if (errno == EEXIST)
        return FORM_TOKEN_USED;
    std::snprintf(why, size, "cannot record the form in %s: %s", PATH_FORM_TOKENS_DIR,
                  std::strerror(errno));
    return FORM_TOKEN_FAILED;
}
