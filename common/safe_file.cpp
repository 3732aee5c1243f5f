#include "common/safe_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t PATH_SIZE = 1024;
constexpr const char *TEMP_INFIX = ".new-";
constexpr int TEMP_RANDOM = 6; // the X's of mkostemp

// Splits a path into its directory ("." when it has none) and its last name.
bool split_path(const char *path, char *dir, std::size_t size, const char **base) {
    const char *slash = std::strrchr(path, '/');
    if (!slash) {
        *base = path;
        return std::snprintf(dir, size, ".") < static_cast<int>(size);
    }
    int len = slash == path ? 1 : static_cast<int>(slash - path);
    *base = slash + 1;
    return std::snprintf(dir, size, "%.*s", len, path) < static_cast<int>(size);
}

// "BASE.new-" and six characters of mkostemp's alphabet.
bool is_temp_name(const char *name, const char *base) {
    std::size_t base_len = std::strlen(base), infix_len = std::strlen(TEMP_INFIX);
    if (std::strncmp(name, base, base_len) != 0 ||
        std::strncmp(name + base_len, TEMP_INFIX, infix_len) != 0)
        return false;
    const char *p = name + base_len + infix_len;
    if (std::strlen(p) != TEMP_RANDOM)
        return false;
    for (; *p; ++p) {
        bool alnum =
            (*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z');
        if (!alnum)
            return false;
    }
    return true;
}

// Makes the locked temporary file beside `target`; its name goes to `temp`.
// Returns the descriptor, or -1 with errno set.
int create_temp(const char *target, char *temp, std::size_t size) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (std::snprintf(temp, size, "%s%sXXXXXX", target, TEMP_INFIX) >= static_cast<int>(size)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = mkostemp(temp, O_CLOEXEC);
        if (fd < 0)
            return -1;
        // Another writer's clean-up may have taken the file before it was locked.
        struct stat st, now;
        if (flock(fd, LOCK_EX) == 0 && fstat(fd, &st) == 0 && lstat(temp, &now) == 0 &&
            now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

int fail(int result, char *reason, std::size_t reason_size, const char *what, const char *path) {
    std::snprintf(reason, reason_size, "cannot %s %s: %s", what, path, std::strerror(errno));
    return result;
}

} // namespace

bool write_fully(int fd, const void *data, std::size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void safe_file_sync_directory(const char *path) {
    char dir[PATH_SIZE];
    const char *base;
    if (!split_path(path, dir, sizeof dir, &base))
        return;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void safe_file_remove_leftovers(const char *target) {
    char dir[PATH_SIZE];
    const char *base;
    if (!split_path(target, dir, sizeof dir, &base))
        return;
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (struct dirent *entry = readdir(d)) {
        if (!is_temp_name(entry->d_name, base))
            continue;
        int fd = openat(dirfd(d), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        // Only a file of this user that nobody holds, and still the one that
        // was opened.
        struct stat st, now;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(dirfd(d), entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            unlinkat(dirfd(d), entry->d_name, 0);
        close(fd);
    }
    closedir(d);
}

int safe_file_replace(const char *target, const void *data, std::size_t size,
                      const SafeFileOwner &owner, char *reason, std::size_t reason_size) {
    safe_file_remove_leftovers(target);
    char temp[PATH_SIZE + 16];
    int fd = create_temp(target, temp, sizeof temp);
    if (fd < 0)
        return fail(SAFE_FILE_NO_TEMP, reason, reason_size, "create", temp);
    int result = SAFE_FILE_WRITTEN;
    bool chown_needed = (owner.uid != static_cast<uid_t>(-1) && owner.uid != geteuid()) ||
                        (owner.gid != static_cast<gid_t>(-1) && owner.gid != getegid());
    if ((chown_needed && fchown(fd, owner.uid, owner.gid) != 0) ||
        fchmod(fd, owner.mode & 07777) != 0)
        result = fail(SAFE_FILE_NO_TEMP, reason, reason_size, "give mode and owner to", temp);
    else if (!write_fully(fd, data, size) || fsync(fd) != 0)
        result = fail(SAFE_FILE_NOT_SAVED, reason, reason_size, "write", temp);
    // Renamed while still locked, so that no clean-up takes it first.
    else if (std::rename(temp, target) != 0)
        result = fail(SAFE_FILE_NO_RENAME, reason, reason_size, "rename to", target);
    if (result != SAFE_FILE_WRITTEN)
        unlink(temp);
    close(fd);
    if (result == SAFE_FILE_WRITTEN)
        safe_file_sync_directory(target);
    return result;
}
