#include "updater/pending.h"

#include "common/crc32.h"
#include "common/platform.h"
#include "updater/bsl/bsl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *STATE_DIR = "/opt/tarvo_update/state";
constexpr const char *SETTINGS_DIR = "/opt/tarvo_update/etc";
constexpr int RECORD_SIZE = 1024; // longest record read
constexpr mode_t RECORD_MODE = 0644;
constexpr mode_t STATE_DIR_MODE = 01777;

// Where this system keeps a fixed path.
struct Where {
    char path[PENDING_PATH_SIZE + 512];
};

Where where(const char *fixed) {
    Where w;
    plat_path(fixed, w.path, sizeof w.path);
    return w;
}

// A record counts when root or the owner of the settings directory (the web
// server's user in a standard installation) wrote it: any other local user can
// create files in the state directory, and nobody may make a boot flash a board
// through them.
bool settings_owner(uid_t *owner) {
    struct stat st;
    if (stat(where(SETTINGS_DIR).path, &st) != 0)
        return false;
    *owner = st.st_uid;
    return true;
}

bool trusted_owner(uid_t owner) {
    uid_t web = 0;
    return owner == 0 || (settings_owner(&web) && web == owner);
}

void now_iso8601(char *buf, std::size_t size) {
    std::time_t t = std::time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    std::strftime(buf, size, "%Y-%m-%dT%H:%M:%SZ", &tm);
}

// A name that one line of the record can hold.
bool recordable(const char *image) {
    if (!*image || std::strlen(image) >= static_cast<std::size_t>(PENDING_IMAGE_SIZE))
        return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(image); *p; ++p)
        if (*p < 0x20 || *p == 0x7F)
            return false;
    return true;
}

bool parse_record(char *text, PendingUpdate *r) {
    bool image = false, crc = false, since = false, attempts = false;
    for (char *line = std::strtok(text, "\n"); line; line = std::strtok(nullptr, "\n")) {
        char *eq = std::strchr(line, '=');
        if (!eq)
            continue;
        *eq = '\0';
        const char *value = eq + 1;
        char *end = nullptr;
        if (std::strcmp(line, "image") == 0 && recordable(value)) {
            std::snprintf(r->image, sizeof r->image, "%s", value);
            image = true;
        } else if (std::strcmp(line, "crc32") == 0) {
            errno = 0;
            unsigned long v = std::strtoul(value, &end, 16);
            crc = errno == 0 && end != value && *end == '\0' && v <= 0xFFFFFFFFul;
            r->crc32 = static_cast<std::uint32_t>(v);
        } else if (std::strcmp(line, "since") == 0 &&
                   std::strlen(value) < static_cast<std::size_t>(PENDING_TIME_SIZE)) {
            std::snprintf(r->since, sizeof r->since, "%s", value);
            since = *value != '\0';
        } else if (std::strcmp(line, "attempts") == 0) {
            errno = 0;
            long v = std::strtol(value, &end, 10);
            attempts = errno == 0 && end != value && *end == '\0' && v >= 1 && v <= 1000000;
            r->attempts = static_cast<int>(v);
        } else if (std::strcmp(line, "absent") == 0) {
            errno = 0;
            long v = std::strtol(value, &end, 10);
            if (errno == 0 && end != value && *end == '\0' && v >= 0 && v <= 1000000)
                r->absent = static_cast<int>(v);
        }
    }
    return image && crc && since && attempts;
}

bool write_all(int fd, const char *text, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, text, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        text += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// The state directory, made when it is missing (mode 1777: runs as root and
// as the web server's user both write their records there).  0 or an errno.
int state_dir_ready(const char *dir) {
    struct stat st;
    if (stat(dir, &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    if (mkdir(dir, STATE_DIR_MODE) != 0)
        return errno == EEXIST ? 0 : errno;
    // mkdir's mode passes the umask.
    return chmod(dir, STATE_DIR_MODE) == 0 ? 0 : errno;
}

constexpr const char *TEMP_TAIL = ".new-XXXXXX"; // a record being written, beside it

// Removes what killed runs left of this record's temporary files: the run
// holds the update lock, so no other run is writing one.  Names that this user
// may not remove are left; they keep nobody out, as every run picks a new one.
void remove_stale_temps(const char *dir, const char *name) {
    DIR *d = opendir(dir);
    if (!d)
        return;
    char prefix[PENDING_PATH_SIZE];
    std::snprintf(prefix, sizeof prefix, "%s.new-", name);
    std::size_t n = std::strlen(prefix);
    while (struct dirent *e = readdir(d))
        if (std::strncmp(e->d_name, prefix, n) == 0 && std::strlen(e->d_name) == n + 6)
            unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
}

// Puts `tmp` in place of `file`.  A directory there (anybody may make one in
// the state directory) is swapped out in the same step and then removed, or
// left at the temporary file's unpredictable name when it is not empty; where
// the file system cannot swap, it is removed or moved aside to a directory of
// an unpredictable name first.  Something re-made there in between only costs
// another turn.  0 or an errno.
int put_in_place(const char *tmp, const char *file) {
    for (int turn = 0; turn < 16; ++turn) {
        if (rename(tmp, file) == 0)
            return 0;
        if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST)
            return errno;
        if (renameat2(AT_FDCWD, tmp, AT_FDCWD, file, RENAME_EXCHANGE) == 0) {
            plat_syslog(LOG_WARNING, "%s: Moved the directory %s aside to %s", "main", file, tmp);
            rmdir(tmp);
            return 0;
        }
        if (errno == ENOENT)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return errno;
        if (rmdir(file) == 0 || errno == ENOENT)
            continue;
        char aside[PENDING_PATH_SIZE + 512 + 16];
        std::snprintf(aside, sizeof aside, "%s.aside-XXXXXX", file);
        if (!mkdtemp(aside))
            return errno;
        // A directory replaces an empty one.
        if (rename(file, aside) == 0)
            plat_syslog(LOG_WARNING, "%s: Moved the directory %s aside to %s", "main", file, aside);
        else
            rmdir(aside);
    }
    return EAGAIN;
}

// Writes `text` beside `file` under a name of its own, syncs it, puts it in
// place of `file` and syncs the directory.  0 or an errno; nothing is left
// beside on failure.
int write_durably(const char *dir, const char *file, const char *name, const char *text) {
    if (int err = state_dir_ready(dir))
        return err;
    remove_stale_temps(dir, name);
    char tmp[PENDING_PATH_SIZE + 512 + 16];
    std::snprintf(tmp, sizeof tmp, "%s%s", file, TEMP_TAIL);
    // Created exclusively under a name nobody can take in advance.
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = 0;
    errno = 0;
    // The record is read by the web server's user too, whatever the umask.
    if (fchmod(fd, RECORD_MODE) != 0 || !write_all(fd, text, std::strlen(text)) || fsync(fd) != 0)
        err = errno ? errno : EIO;
    // A root run's record goes to the web server's user, so that an update
    // from the web pages can replace it in the sticky directory (a record of
    // that user counts as root's does).
    uid_t web = 0;
    if (err == 0 && geteuid() == 0 && settings_owner(&web) && web != 0 &&
        fchown(fd, web, static_cast<gid_t>(-1)) != 0)
        err = errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0)
        err = put_in_place(tmp, file);
    if (err != 0) {
        unlink(tmp);
        return err;
    }
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return errno;
    if (fsync(dfd) != 0)
        err = errno;
    close(dfd);
    return err;
}

// Why what is at a record's path is no record that anybody acts on, or null
// when it is one: a regular file with one name, not writable for group or
// others, of root or of the settings directory's owner.  Another name (a link
// to the update lock's pid file, say) or the write right would let another
// user choose what a boot flashes.
const char *untrusted(const struct stat &st, char *why, std::size_t size) {
    if (S_ISLNK(st.st_mode))
        return "is a symbolic link";
    if (!S_ISREG(st.st_mode))
        return "is not a regular file";
    if (st.st_nlink != 1)
        return "has other names";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "is writable for others";
    if (!trusted_owner(st.st_uid)) {
        std::snprintf(why, size, "belongs to uid %u, neither root nor the owner of %s",
                      static_cast<unsigned>(st.st_uid), SETTINGS_DIR);
        return why;
    }
    return nullptr;
}

} // namespace

void pending_path(int port, char *buf, std::size_t size) {
    std::snprintf(buf, size, "%s/PORT%d", STATE_DIR, port);
}

int pending_read(int port, PendingUpdate *record, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    Where file = where(fixed);
    char why[128];
    // Looked at before it is opened: opening a device or a socket planted there
    // would act on it.
    struct stat st;
    if (lstat(file.path, &st) != 0) {
        if (errno == ENOENT)
            return PENDING_NONE;
        std::snprintf(reason, size, "cannot read %s: %s", fixed, std::strerror(errno));
        return PENDING_DAMAGED;
    }
    if (const char *wrong = untrusted(st, why, sizeof why)) {
        std::snprintf(reason, size, "%s %s", fixed, wrong);
        return PENDING_IGNORED;
    }
    int fd = open(file.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return PENDING_NONE;
        bool replaced = errno == ELOOP || errno == ENXIO || errno == EISDIR;
        std::snprintf(reason, size, "cannot read %s: %s", fixed, std::strerror(errno));
        return replaced ? PENDING_IGNORED : PENDING_DAMAGED;
    }
    // What was opened is what counts: the name may have been replaced since.
    const char *wrong = fstat(fd, &st) == 0 ? untrusted(st, why, sizeof why) : "cannot be examined";
    if (wrong) {
        close(fd);
        std::snprintf(reason, size, "%s %s", fixed, wrong);
        return PENDING_IGNORED;
    }
    char text[RECORD_SIZE + 1];
    ssize_t n = read(fd, text, RECORD_SIZE);
    close(fd);
    if (n < 0) {
        std::snprintf(reason, size, "cannot read %s: %s", fixed, std::strerror(errno));
        return PENDING_DAMAGED;
    }
    text[n] = '\0';
    *record = PendingUpdate{};
    if (!parse_record(text, record)) {
        std::snprintf(reason, size, "%s is not a record of an update", fixed);
        return PENDING_DAMAGED;
    }
    return PENDING_FOUND;
}

bool pending_file_crc(const char *path, std::uint32_t *crc, char *reason, std::size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(reason, size, "cannot read %s: %s", path, std::strerror(errno));
        return false;
    }
    std::uint32_t c = 0;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            c = crc32_update(c, buf, static_cast<std::size_t>(n));
    int err = errno;
    close(fd);
    if (n < 0) {
        std::snprintf(reason, size, "cannot read %s: %s", path, std::strerror(err));
        return false;
    }
    *crc = c;
    return true;
}

namespace {

// Writes a port's record in place of whatever is at its path.
bool store(int port, const PendingUpdate &r, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    char text[RECORD_SIZE];
    int n = std::snprintf(text, sizeof text, "image=%s\ncrc32=0x%08X\nsince=%s\nattempts=%d\n",
                          r.image, r.crc32, r.since, r.attempts);
    if (r.absent > 0)
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "absent=%d\n", r.absent);
    char name[16];
    std::snprintf(name, sizeof name, "PORT%d", port);
    Where dir = where(STATE_DIR), file = where(fixed);
    if (int err = write_durably(dir.path, file.path, name, text)) {
        std::snprintf(reason, size, "cannot write %s: %s", fixed, std::strerror(err));
        return false;
    }
    return true;
}

} // namespace

bool pending_begin(int port, const char *image, PendingUpdate *written, char *reason,
                   std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    FirmwarePath fw;
    char why[PENDING_REASON_SIZE];
    if (!recordable(image) || !firmware_path(image, &fw, why, sizeof why)) {
        std::snprintf(reason, size, "the image name cannot be recorded");
        return false;
    }
    PendingUpdate r{};
    if (!pending_file_crc(fw.where, &r.crc32, why, sizeof why)) {
        std::snprintf(reason, size, "%s", why);
        return false;
    }
    PendingUpdate old;
    int found = pending_read(port, &old, why, sizeof why);
    // Nobody else's file decides what a boot flashes: a run that may replaces it.
    if (found == PENDING_IGNORED)
        plat_syslog(LOG_WARNING, "%s: Replacing %s", "main", why);
    if (found == PENDING_FOUND && std::strcmp(old.image, image) == 0 && old.crc32 == r.crc32) {
        r = old;
        r.attempts = old.attempts + 1;
    } else {
        std::snprintf(r.image, sizeof r.image, "%s", image);
        now_iso8601(r.since, sizeof r.since);
        r.attempts = 1;
    }
    if (!store(port, r, reason, size))
        return false;
    *written = r;
    return true;
}

bool pending_missed(int port, PendingUpdate *record, char *reason, std::size_t size) {
    PendingUpdate r = *record;
    r.attempts += 1;
    r.absent += 1;
    if (!store(port, r, reason, size))
        return false;
    *record = r;
    return true;
}

bool pending_clear(int port, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    if (unlink(where(fixed).path) == 0 || errno == ENOENT)
        return true;
    std::snprintf(reason, size, "cannot remove %s: %s", fixed, std::strerror(errno));
    return false;
}
