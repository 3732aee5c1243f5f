// The history file's storage: appending under a lock, rotation, and reading
// the newest records back from the file's end.
#include "common/history.h"

#include "common/paths.h"
#include "common/platform.h"
#include "common/ports.h"
#include "common/safe_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

} // namespace

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

int history_read(const PortInfo *port, int limit, HistoryVisitor visit, void *context, char *reason,
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
    int prefix_length =
        std::snprintf(prefix, sizeof prefix, "{\"port\":%d,", port ? port->number : 0);
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
        bool wanted = !port || std::strncmp(start, prefix, prefix_length) == 0;
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

bool history_last(const PortInfo &port, OutcomeRecord *record) {
    char reason[600];
    return history_read(&port, 1, keep_first, record, reason, sizeof reason) == 1;
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
