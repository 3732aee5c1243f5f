#include "updater/private_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t PRIVATE_MODE = 02770;

// The web server's group, or -1 when the settings directory is missing.
gid_t web_group() {
    struct stat st;
    if (stat(LocalPath(PATH_ETC_DIR).path, &st) != 0)
        return static_cast<gid_t>(-1);
    return st.st_gid;
}

} // namespace

bool private_dir_ready(const char *fixed, char *reason, std::size_t size) {
    const LocalPath local(fixed);
    const char *path = local.path;
    gid_t group = web_group();
    // Made closed and only then opened to the group: nobody else gets in
    // between.
    if (mkdir(path, 0700) == 0 &&
        (chown(path, static_cast<uid_t>(-1), group) != 0 || chmod(path, PRIVATE_MODE) != 0)) {
        std::snprintf(reason, size, "cannot set up %s: %s", fixed, std::strerror(errno));
        return false;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        std::snprintf(reason, size, "cannot use %s: %s", fixed, std::strerror(errno));
        return false;
    }
    const char *wrong = nullptr;
    if (!S_ISDIR(st.st_mode))
        wrong = "is not a directory";
    else if (st.st_mode & S_IRWXO)
        wrong = "is open to others";
    else if (group != static_cast<gid_t>(-1) && st.st_gid != group)
        wrong = "is not of the group of " PATH_ETC_DIR;
    if (!wrong)
        return true;
    std::snprintf(reason, size, "%s %s (owner %u, group %u, mode %04o); run %s as root", fixed,
                  wrong, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
                  static_cast<unsigned>(st.st_mode & 07777), PATH_DIRS_FIX);
    return false;
}
