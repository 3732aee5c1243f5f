#include "common/history.h"

#include "common/outcome.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/safe_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t HISTORY_MODE = 0660;
// How long an append waits for a rotation or another append to finish.
constexpr int LOCK_TRIES = 250;
constexpr int LOCK_PAUSE_MS = 2;
// The most of the file a reader takes: its end, where the newest records are.
constexpr std::size_t READ_LIMIT = (HISTORY_KEEP + HISTORY_SLACK) * HISTORY_LINE_SIZE;

// A record is the history's when root or the owner of the settings directory
// (the web server's user) wrote it into a file that no one else may change:
// the same rule as for the records of updates in progress.
bool trusted(const struct stat &st) {
    if (!S_ISREG(st.st_mode) || (st.st_mode & S_IWOTH))
        return false;
    if (st.st_uid == 0)
        return true;
    struct stat settings;
    return stat(LocalPath(PATH_ETC_DIR).path, &settings) == 0 && settings.st_uid == st.st_uid;
}

// The group of the directory that holds the history: root's runs and the web
// server's both append to it.
gid_t directory_group(const char *path) {
    char dir[sizeof LocalPath::path];
    std::snprintf(dir, sizeof dir, "%s", path);
    if (char *slash = std::strrchr(dir, '/'))
        *slash = '\0';
    struct stat st;
    return stat(dir, &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

__attribute__((format(printf, 3, 4))) bool fail(char *reason, std::size_t size, const char *format,
                                                ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, size, format, args);
    va_end(args);
    return false;
}

// Text added to a line that cannot overflow it: once full, the line is
// marked unusable.
struct Line {
    char *buf;
    std::size_t size;
    std::size_t used = 0;
    bool full = false;

    void raw(const char *text, std::size_t n) {
        if (full || used + n >= size) {
            full = true;
            return;
        }
        std::memcpy(buf + used, text, n);
        used += n;
        buf[used] = '\0';
    }
    void put(const char *text) { raw(text, std::strlen(text)); }
    __attribute__((format(printf, 2, 3))) void putf(const char *format, ...) {
        char piece[64];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(piece, sizeof piece, format, args);
        va_end(args);
        raw(piece, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    void string(const char *text) {
        put("\"");
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
            if (*p == '"' || *p == '\\') {
                char e[2] = {'\\', static_cast<char>(*p)};
                raw(e, 2);
            } else if (*p < 0x20 || *p == 0x7F) {
                putf("\\u%04x", *p);
            } else {
                raw(reinterpret_cast<const char *>(p), 1);
            }
        }
        put("\"");
    }
    void string_or_null(const char *text) {
        if (text[0])
            string(text);
        else
            put("null");
    }
    void reading(const BoardReading &r) {
        put("{\"version\":");
        if (r.has_version)
            putf("\"0x%08X\"", r.version);
        else
            put("null");
        put(",\"config\":");
        if (r.has_config)
            string(r.config);
        else
            put("null");
        put("}");
    }
};

// A reader of one stored line: the members of an object, their values
// copied out.
struct Scan {
    const char *p;
    const char *end;

    void blanks() {
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
    }
    bool take(char c) {
        blanks();
        if (p < end && *p == c) {
            ++p;
            return true;
        }
        return false;
    }
    // A string into out (cut to its size); \uXXXX of the ASCII range kept,
    // others become "?".
    bool string(char *out, std::size_t size) {
        if (!take('"'))
            return false;
        std::size_t used = 0;
        while (p < end && *p != '"') {
            char c = *p++;
            if (c == '\\') {
                if (p >= end)
                    return false;
                char e = *p++;
                if (e == 'u') {
                    unsigned v = 0;
                    for (int i = 0; i < 4; ++i, ++p) {
                        if (p >= end)
                            return false;
                        char h = *p;
                        int d = h >= '0' && h <= '9'   ? h - '0'
                                : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                       : -1;
                        if (d < 0)
                            return false;
                        v = v * 16 + static_cast<unsigned>(d);
                    }
                    c = v < 0x80 ? static_cast<char>(v) : '?';
                } else {
                    c = e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            }
            if (used + 1 < size)
                out[used++] = c;
        }
        if (size > 0)
            out[used] = '\0';
        return take('"');
    }
    bool null() {
        blanks();
        if (end - p >= 4 && std::strncmp(p, "null", 4) == 0) {
            p += 4;
            return true;
        }
        return false;
    }
    // A string, or null (then out is "" and *present false).
    bool string_or_null(char *out, std::size_t size, bool *present = nullptr) {
        bool is_null = null();
        if (is_null)
            out[0] = '\0';
        if (present)
            *present = !is_null;
        return is_null || string(out, size);
    }
    bool number(double *value) {
        blanks();
        char digits[40];
        std::size_t n = 0;
        while (p < end && n + 1 < sizeof digits && std::strchr("+-0123456789.eE", *p))
            digits[n++] = *p++;
        digits[n] = '\0';
        char *stop = nullptr;
        *value = std::strtod(digits, &stop);
        return n > 0 && *stop == '\0';
    }
    bool integer(int *value) {
        double v = 0;
        if (!number(&v) || v < -2147483648.0 || v > 2147483647.0)
            return false;
        *value = static_cast<int>(v);
        return *value == v;
    }
    // Skips a value of a member this reader does not know.
    bool skip() {
        blanks();
        if (p < end && *p == '"') {
            char ignored[1];
            return string(ignored, 0);
        }
        if (p < end && (*p == '{' || *p == '[')) {
            int depth = 0;
            while (p < end) {
                if (*p == '"') {
                    char ignored[1];
                    if (!string(ignored, 0))
                        return false;
                    continue;
                }
                if (*p == '{' || *p == '[')
                    ++depth;
                else if ((*p == '}' || *p == ']') && --depth == 0) {
                    ++p;
                    return true;
                }
                ++p;
            }
            return false;
        }
        while (p < end && *p != ',' && *p != '}')
            ++p;
        return true;
    }
    bool reading(BoardReading *r) {
        *r = BoardReading{};
        if (null())
            return true;
        if (!take('{'))
            return false;
        if (take('}'))
            return true;
        do {
            char key[16];
            if (!string(key, sizeof key) || !take(':'))
                return false;
            bool ok;
            if (std::strcmp(key, "version") == 0) {
                char text[16];
                ok = string_or_null(text, sizeof text, &r->has_version);
                if (ok && r->has_version) {
                    char *stop = nullptr;
                    r->version = static_cast<std::uint32_t>(std::strtoul(text, &stop, 16));
                }
            } else if (std::strcmp(key, "config") == 0) {
                ok = string_or_null(r->config, sizeof r->config, &r->has_config);
            } else {
                ok = skip();
            }
            if (!ok)
                return false;
        } while (take(','));
        return take('}');
    }
};

} // namespace

const char *history_started_by(void) {
    char path[64], name[32] = "";
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(getppid()));
    if (FILE *f = std::fopen(path, "re")) {
        if (std::fgets(name, sizeof name, f))
            name[std::strcspn(name, "\n")] = '\0';
        std::fclose(f);
    }
    if (std::strcmp(name, "index.cgi") == 0 || std::strcmp(name, "set.cgi") == 0)
        return BY_WEB_PAGE;
    if (std::strcmp(name, "tarvo_recover") == 0)
        return BY_BOOT_RECOVERY;
    if (std::strcmp(name, "tarvo_fleet") == 0)
        return BY_FLEET;
    return BY_COMMAND_LINE;
}

void history_now(char *buf, std::size_t size) {
    std::time_t t = std::time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    std::strftime(buf, size, "%Y-%m-%dT%H:%M:%SZ", &tm);
}

std::size_t history_format(const OutcomeRecord &r, char *buf, std::size_t size) {
    Line line{buf, size};
    line.putf("{\"port\":%d,\"image\":", r.port);
    line.string(r.image);
    line.put(",\"signer\":");
    line.string_or_null(r.signer);
    line.put(",\"start\":");
    line.string_or_null(r.start);
    line.put(",\"end\":");
    line.string_or_null(r.end);
    line.putf(",\"duration\":%.3f,\"status\":%d,\"cause\":", r.duration, r.status);
    line.string(r.cause);
    line.put(",\"stage\":");
    line.string_or_null(r.stage);
    line.put(",\"reason\":");
    line.string(r.reason);
    line.put(",\"outcome\":");
    line.string(r.outcome);
    line.put(",\"action\":");
    line.string(r.action);
    line.put(",\"before\":");
    line.reading(r.before);
    line.put(",\"after\":");
    line.reading(r.after);
    line.put(",\"by\":");
    line.string(r.by);
    line.putf(",\"pid\":%d}\n", r.pid);
    return line.full ? 0 : line.used;
}

bool history_parse(const char *text, std::size_t length, OutcomeRecord *r) {
    *r = OutcomeRecord{};
    Scan s{text, text + length};
    if (!s.take('{'))
        return false;
    bool port = false, status = false, cause = false, pid = false;
    do {
        char key[16];
        if (!s.string(key, sizeof key) || !s.take(':'))
            return false;
        bool ok;
        if (std::strcmp(key, "port") == 0)
            ok = port = s.integer(&r->port);
        else if (std::strcmp(key, "image") == 0)
            ok = s.string_or_null(r->image, sizeof r->image);
        else if (std::strcmp(key, "signer") == 0)
            ok = s.string_or_null(r->signer, sizeof r->signer);
        else if (std::strcmp(key, "start") == 0)
            ok = s.string_or_null(r->start, sizeof r->start);
        else if (std::strcmp(key, "end") == 0)
            ok = s.string_or_null(r->end, sizeof r->end);
        else if (std::strcmp(key, "duration") == 0)
            ok = s.null() || s.number(&r->duration);
        else if (std::strcmp(key, "status") == 0)
            ok = status = s.integer(&r->status);
        else if (std::strcmp(key, "cause") == 0)
            ok = cause = s.string(r->cause, sizeof r->cause);
        else if (std::strcmp(key, "stage") == 0)
            ok = s.string_or_null(r->stage, sizeof r->stage);
        else if (std::strcmp(key, "reason") == 0)
            ok = s.string_or_null(r->reason, sizeof r->reason);
        else if (std::strcmp(key, "outcome") == 0)
            ok = s.string_or_null(r->outcome, sizeof r->outcome);
        else if (std::strcmp(key, "action") == 0)
            ok = s.string_or_null(r->action, sizeof r->action);
        else if (std::strcmp(key, "before") == 0)
            ok = s.reading(&r->before);
        else if (std::strcmp(key, "after") == 0)
            ok = s.reading(&r->after);
        else if (std::strcmp(key, "by") == 0)
            ok = s.string_or_null(r->by, sizeof r->by);
        else if (std::strcmp(key, "pid") == 0)
            ok = pid = s.integer(&r->pid);
        else
            ok = s.skip();
        if (!ok)
            return false;
    } while (s.take(','));
    if (!s.take('}'))
        return false;
    s.blanks();
    return s.p == s.end && port && status && cause && pid;
}

namespace {

// Opens the history for appending and locks it: the file at the path when
// this returns (a rotation replaces it).  -1 with the reason otherwise.
int open_locked(const char *path, struct stat *st, char *reason, std::size_t size) {
    for (int turn = 0; turn < 4; ++turn) {
        int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      HISTORY_MODE);
        if (fd < 0) {
            fail(reason, size, "cannot open %s: %s", path, std::strerror(errno));
            return -1;
        }
        if (fstat(fd, st) != 0 || !trusted(*st)) {
            close(fd);
            fail(reason, size,
                 "%s is not a regular file of root or the web server's user that "
                 "only they may write: left alone",
                 path);
            return -1;
        }
        // A new history: writable for the directory's group, whatever the umask.
        if (st->st_uid == geteuid() && st->st_size == 0) {
            fchmod(fd, HISTORY_MODE);
            gid_t group = directory_group(path);
            if (group != static_cast<gid_t>(-1) && group != st->st_gid &&
                fchown(fd, static_cast<uid_t>(-1), group) != 0) {
                // Left to the directory's set-group-ID bit.
            }
        }
        int tries = 0;
        // Real time: the holder is another process.
        while (flock(fd, LOCK_EX | LOCK_NB) != 0 && ++tries < LOCK_TRIES)
            poll(nullptr, 0, LOCK_PAUSE_MS);
        if (tries == LOCK_TRIES) {
            close(fd);
            fail(reason, size, "%s is held by another writer", path);
            return -1;
        }
        struct stat now;
        if (fstat(fd, st) == 0 && stat(path, &now) == 0 && now.st_dev == st->st_dev &&
            now.st_ino == st->st_ino)
            return fd;
        close(fd); // rotated meanwhile: the new file takes the record
    }
    fail(reason, size, "%s keeps being replaced", path);
    return -1;
}

// Reads up to `limit` bytes of the file's end; the bytes and their count, or
// null.  Starts at a line's beginning unless it is the whole file.
char *read_end(int fd, std::size_t file_size, std::size_t limit, std::size_t *length) {
    std::size_t want = file_size < limit ? file_size : limit;
    char *buf = static_cast<char *>(std::malloc(want + 1));
    if (!buf)
        return nullptr;
    std::size_t got = 0;
    off_t from = static_cast<off_t>(file_size - want);
    while (got < want) {
        ssize_t n = pread(fd, buf + got, want - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    buf[got] = '\0';
    *length = got;
    return buf;
}

// Keeps the newest HISTORY_KEEP records once the file holds more than
// HISTORY_KEEP + HISTORY_SLACK lines: one replacement, under the append lock.
// The lines are counted only once the file is about that long in records like
// the one just written (records of a controller differ little in length), so
// that an append does not read the whole file.
bool rotate(const char *path, std::size_t file_size, std::size_t record_size, char *reason,
            std::size_t size) {
    if (file_size / 10 * 11 < (HISTORY_KEEP + HISTORY_SLACK) * record_size)
        return true;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(reason, size, "cannot read %s to rotate it: %s", path, std::strerror(errno));
    std::size_t length = 0;
    char *text = read_end(fd, file_size, file_size, &length);
    close(fd);
    if (!text)
        return fail(reason, size, "no memory to rotate %s", path);
    // The newest HISTORY_KEEP lines begin after the line end before them.
    int lines = 0;
    const char *keep = nullptr;
    for (const char *p = text + length; p > text; --p)
        if (p[-1] == '\n' && ++lines == HISTORY_KEEP + 1)
            keep = p;
    bool ok = true;
    if (keep && lines > HISTORY_KEEP + HISTORY_SLACK) {
        SafeFileOwner owner{HISTORY_MODE, static_cast<uid_t>(-1), directory_group(path)};
        char why[600];
        if (safe_file_replace(path, keep, length - static_cast<std::size_t>(keep - text), owner,
                              why, sizeof why) != SAFE_FILE_WRITTEN)
            ok = fail(reason, size, "record written, but the history was not rotated: %s", why);
    }
    std::free(text);
    return ok;
}

} // namespace

bool history_append(const OutcomeRecord &record, char *reason, std::size_t size) {
    char buf[HISTORY_LINE_SIZE + 1];
    buf[0] = '\n';
    std::size_t n = history_format(record, buf + 1, sizeof buf - 1);
    if (n == 0)
        return fail(reason, size, "the record is longer than %zu bytes", HISTORY_LINE_SIZE);
    const LocalPath history(PATH_HISTORY);
    const char *path = history.path;
    struct stat st;
    int fd = open_locked(path, &st, reason, size);
    if (fd < 0)
        return false;
    // After a torn line, the record starts on a line of its own.
    char last = '\n';
    bool torn = st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
    const char *from = torn ? buf : buf + 1;
    std::size_t count = torn ? n + 1 : n;
    bool ok = write_fully(fd, from, count) && fdatasync(fd) == 0;
    if (!ok)
        fail(reason, size, "cannot write %s: %s", path, std::strerror(errno));
    else
        ok = rotate(path, static_cast<std::size_t>(st.st_size) + count, n, reason, size);
    close(fd);
    return ok;
}

int history_read(int port, int limit, HistoryVisitor visit, void *context, char *reason,
                 std::size_t size) {
    const LocalPath history(PATH_HISTORY);
    const char *path = history.path;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        fail(reason, size, "cannot open %s: %s", path, std::strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !trusted(st)) {
        close(fd);
        fail(reason, size,
             "%s is not a regular file of root or the web server's user that only "
             "they may write: not read",
             path);
        return -1;
    }
    std::size_t length = 0;
    char *text = read_end(fd, static_cast<std::size_t>(st.st_size), READ_LIMIT, &length);
    close(fd);
    if (!text) {
        fail(reason, size, "no memory to read %s", path);
        return -1;
    }
    char prefix[32];
    int prefix_length = std::snprintf(prefix, sizeof prefix, "{\"port\":%d,", port);
    int handed = 0;
    static OutcomeRecord record;
    // Whole lines only, from the end: the text after the last line end is a
    // torn record, and so is a line that does not read as one.
    char *line_end = static_cast<char *>(memrchr(text, '\n', length));
    while (line_end && (limit == 0 || handed < limit)) {
        char *start = line_end;
        while (start > text && start[-1] != '\n')
            --start;
        std::size_t n = static_cast<std::size_t>(line_end - start);
        bool wanted = port == 0 || std::strncmp(start, prefix, prefix_length) == 0;
        if (wanted && n > 0 && n <= HISTORY_LINE_SIZE && history_parse(start, n, &record)) {
            ++handed;
            *line_end = '\0';
            if (!visit(record, start, n, context))
                break;
        }
        line_end = start > text ? start - 1 : nullptr;
    }
    std::free(text);
    return handed;
}

namespace {

bool keep_first(const OutcomeRecord &record, const char *, std::size_t, void *context) {
    *static_cast<OutcomeRecord *>(context) = record;
    return false;
}

} // namespace

bool history_last(int port, OutcomeRecord *record) {
    char reason[600];
    return history_read(port, 1, keep_first, record, reason, sizeof reason) == 1;
}

int history_update_port(int pid) {
    if (pid <= 0)
        return 0;
    char path[64], args[1024];
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, args, sizeof args - 1);
    close(fd);
    if (n <= 0)
        return 0;
    args[n] = '\0';
    // The arguments, each ended by a NUL; the updater may have been started
    // through another program (an emulator, for example).
    for (const char *arg = args; arg < args + n; arg += std::strlen(arg) + 1) {
        const char *base = std::strrchr(arg, '/');
        base = base ? base + 1 : arg;
        if (std::strcmp(base, "tarvo_update") != 0)
            continue;
        const char *next = arg + std::strlen(arg) + 1;
        if (next >= args + n)
            return 0;
        return std::strcmp(next, "1") == 0 ? 1 : std::strcmp(next, "2") == 0 ? 2 : 0;
    }
    return 0;
}

void history_text(const OutcomeRecord &r, char *line, std::size_t size) {
    char failure[700] = "";
    if (r.reason[0])
        std::snprintf(failure, sizeof failure, " %s%s%s%s.", r.stage[0] ? "At " : "",
                      r.stage[0] ? stage_words(r.stage) : "", r.stage[0] ? ": " : "", r.reason);
    std::snprintf(line, size, "%s PORT%d %s: %s%s (exit %d %s, %.0f s, by %s, pid %d)",
                  r.start[0] ? r.start : "-", r.port, r.image, r.outcome, failure, r.status,
                  r.cause, r.duration, r.by[0] ? r.by : "-", r.pid);
}
