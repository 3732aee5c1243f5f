#include "updater/pending.h"

#include "common/crc32.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/ports.h"
#include "common/safe_file.h"
#include "common/utc_time.h"
#include "updater/bsl/bsl.h"
#include "updater/private_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int RECORD_SIZE = 1024; // longest record read
// Read by root's runs and the web server's; replaced, never written in place.
constexpr mode_t RECORD_MODE = 0640;

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

} // namespace

void pending_path(const PortInfo &port, char *buf, std::size_t size) {
    std::snprintf(buf, size, PATH_STATE_DIR "/PORT%d", port.number);
}

int pending_read(const PortInfo &port, PendingUpdate *record, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    // Only what root's runs and the web server's wrote counts.
    if (!private_dir_ready(PATH_STATE_DIR, reason, size))
        return PENDING_DAMAGED;
    const LocalPath file(fixed);
    // Never blocks on something that is no file (a FIFO made there by hand).
    int fd = open(file.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return PENDING_NONE;
        std::snprintf(reason, size, "cannot read %s: %s", fixed, std::strerror(errno));
        return PENDING_DAMAGED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        std::snprintf(reason, size, "%s is not a regular file", fixed);
        return PENDING_DAMAGED;
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
bool store(const PortInfo &port, const PendingUpdate &r, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    char text[RECORD_SIZE];
    int n = std::snprintf(text, sizeof text, "image=%s\ncrc32=0x%08X\nsince=%s\nattempts=%d\n",
                          r.image, r.crc32, r.since, r.attempts);
    if (r.absent > 0)
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "absent=%d\n", r.absent);
    if (!private_dir_ready(PATH_STATE_DIR, reason, size))
        return false;
    char why[PENDING_REASON_SIZE];
    const SafeFileOwner owner = {RECORD_MODE, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    if (safe_file_replace(LocalPath(fixed).path, text, std::strlen(text), owner, why, sizeof why) !=
        SAFE_FILE_WRITTEN) {
        std::snprintf(reason, size, "cannot write %s: %s", fixed, why);
        return false;
    }
    return true;
}

} // namespace

bool pending_begin(const PortInfo &port, const char *image, std::uint32_t crc32, bool by_recovery,
                   PendingUpdate *written, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    FirmwarePath fw;
    char why[PENDING_REASON_SIZE];
    if (!recordable(image) || !firmware_path(image, &fw, why, sizeof why)) {
        std::snprintf(reason, size, "the image name cannot be recorded");
        return false;
    }
    PendingUpdate r{};
    r.crc32 = crc32;
    PendingUpdate old;
    if (by_recovery && pending_read(port, &old, why, sizeof why) == PENDING_FOUND &&
        std::strcmp(old.image, image) == 0 && old.crc32 == r.crc32) {
        r = old;
        r.attempts = old.attempts + 1;
    } else {
        std::snprintf(r.image, sizeof r.image, "%s", image);
        utc_now_iso8601(r.since, sizeof r.since);
        r.attempts = 1;
    }
    if (!store(port, r, reason, size))
        return false;
    *written = r;
    return true;
}

bool pending_missed(const PortInfo &port, PendingUpdate *record, char *reason, std::size_t size) {
    PendingUpdate r = *record;
    r.attempts += 1;
    r.absent += 1;
    if (!store(port, r, reason, size))
        return false;
    *record = r;
    return true;
}

bool pending_clear(const PortInfo &port, char *reason, std::size_t size) {
    char fixed[PENDING_PATH_SIZE];
    pending_path(port, fixed, sizeof fixed);
    const LocalPath file(fixed);
    if (unlink(file.path) == 0 || errno == ENOENT) {
        safe_file_sync_directory(file.path);
        return true;
    }
    std::snprintf(reason, size, "cannot remove %s: %s", fixed, std::strerror(errno));
    return false;
}
