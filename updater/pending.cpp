#include "updater/pending.h"

#include "common/crc32.h"
#include "common/platform.h"
#include "updater/bsl/bsl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
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

// Writes `text` to `tmp`, syncs it, renames it to `file` and syncs the
// directory.  0 or an errno; nothing is left at tmp on failure.
int write_durably(const char *dir, const char *file, const char *tmp, const char *text) {
    if (int err = state_dir_ready(dir))
        return err;
    // A file left by a run killed while writing: its own user's, or root's.
    unlink(tmp);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, RECORD_MODE);
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
    if (err == 0 && rename(tmp, file) != 0)
        err = errno;
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

} // namespace

void pending_path(int port, char *buf, std::size_t size) {
    std::snprintf(buf, size, "%s/PORT%d", STATE_DIR, port);
}

int pending_read(int port, PendingUpdate *record, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    Where file = where(fixed);
    int fd = open(file.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return PENDING_NONE;
        std::snprintf(reason, size, errno == ELOOP ? "%s is a symbolic link" : "cannot read %s: %s",
                      fixed, std::strerror(errno));
        return errno == ELOOP ? PENDING_IGNORED : PENDING_DAMAGED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !trusted_owner(st.st_uid)) {
        bool regular = S_ISREG(st.st_mode);
        close(fd);
        if (regular)
            std::snprintf(reason, size, "%s belongs to uid %u, neither root nor the owner of %s",
                          fixed, static_cast<unsigned>(st.st_uid), SETTINGS_DIR);
        else
            std::snprintf(reason, size, "%s is not a regular file", fixed);
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
    if (pending_read(port, &old, why, sizeof why) == PENDING_FOUND &&
        std::strcmp(old.image, image) == 0 && old.crc32 == r.crc32) {
        r = old;
        r.attempts = old.attempts + 1;
    } else {
        std::snprintf(r.image, sizeof r.image, "%s", image);
        now_iso8601(r.since, sizeof r.since);
        r.attempts = 1;
    }
    char text[RECORD_SIZE];
    std::snprintf(text, sizeof text, "image=%s\ncrc32=0x%08X\nsince=%s\nattempts=%d\n", r.image,
                  r.crc32, r.since, r.attempts);
    Where dir = where(STATE_DIR), file = where(fixed);
    char tmp[sizeof file.path + 8];
    std::snprintf(tmp, sizeof tmp, "%s.new", file.path);
    if (int err = write_durably(dir.path, file.path, tmp, text)) {
        std::snprintf(reason, size, "cannot write %s: %s", fixed, std::strerror(err));
        return false;
    }
    *written = r;
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
