#include "updater/pid_lock.h"

#include "common/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *PID_FILE = "/var/tarvo_update/tarvo_update.pid";
constexpr const char *PID_DIR = "/var/tarvo_update";

// How often the file is opened anew when it was replaced or removed between the
// open and the lock (a run that ends removes it).
constexpr int OPEN_ATTEMPTS = 16;
// A new holder writes its pid right after it takes the lock; a reader that finds
// no living process in the file looks again this often, 1 ms apart.
constexpr int HOLDER_READS = 20;

char pid_path[512];
int pid_fd = -1;
const char *pid_who = "main";

bool same_file(int fd, const char *path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool process_alive(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

int read_holder(int fd) {
    for (int i = 0; i < HOLDER_READS; ++i) {
        char buf[32] = {0};
        ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
        int pid = n > 0 ? std::atoi(buf) : 0;
        if (process_alive(pid))
            return pid;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

// Opens the pid file for reading and writing, creating it when missing.  Never
// follows a link and never blocks (a FIFO planted there).  *created tells a
// failed creation (the directory is missing or not writable) from a failed open.
int open_pid_file(bool *created) {
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    *created = false;
    int fd = open(pid_path, flags);
    if (fd < 0 && errno == ENOENT) {
        *created = true;
        // Writable for all from its creation on, whatever the umask: a run
        // killed right after this still leaves a file that others can lock.
        mode_t mask = umask(0);
        fd = open(pid_path, flags | O_CREAT | O_EXCL, 0666);
        int err = errno;
        umask(mask);
        errno = err;
    }
    return fd;
}

// Takes something that is not a plain file away from the pid file's path: its
// name is removed, whatever it points at is left alone.  A directory is
// removed when empty and otherwise renamed aside, which in the sticky pid
// directory root may do with anyone's.  False (errno set) when this user may
// not.
bool clear_pid_path(const char *who, bool directory) {
    if (!directory)
        return unlink(pid_path) == 0 || errno == ENOENT;
    if (rmdir(pid_path) == 0 || errno == ENOENT)
        return true;
    if (errno != ENOTEMPTY && errno != EEXIST)
        return false;
    // A name already taken by a file or a full directory is passed over.
    for (int n = 0; n < OPEN_ATTEMPTS; ++n) {
        char aside[sizeof pid_path + 32];
        std::snprintf(aside, sizeof aside, "%s.aside-%d-%d", pid_path, static_cast<int>(getpid()),
                      n);
        if (rename(pid_path, aside) == 0) {
            plat_syslog(LOG_WARNING, "%s: Moved the directory %s aside to %s", who, pid_path,
                        aside);
            return true;
        }
        if (errno == ENOENT)
            return true;
        if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOTDIR && errno != EISDIR)
            return false;
    }
    return false;
}

int failed(const char *who, const char *what, char *reason, unsigned size) {
    int err = errno;
    std::snprintf(reason, size, "%s %s: %s", what, pid_path, std::strerror(err));
    errno = err;
    plat_syslog(LOG_ERR, "%s: Cannot take the update lock, %s %s: %m", who, what, pid_path);
    return PID_LOCK_FAILED;
}

} // namespace

int pid_lock_take(const char *who, int *holder, char *reason, unsigned size) {
    *holder = 0;
    char dir[512];
    plat_path(PID_DIR, dir, sizeof dir);
    if (mkdir(dir, 0755) != 0 && errno != EEXIST)
        plat_syslog(LOG_WARNING, "%s: Cannot create %s: %m", who, dir);
    plat_path(PID_FILE, pid_path, sizeof pid_path);

    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        // Anything but a plain file at the path (a planted link, FIFO, device
        // or directory) is no pid file of ours and is never opened.
        struct stat st;
        if (lstat(pid_path, &st) == 0 && !S_ISREG(st.st_mode)) {
            plat_syslog(LOG_WARNING, "%s: Removing %s, not a plain file", who, pid_path);
            if (!clear_pid_path(who, S_ISDIR(st.st_mode)))
                return failed(who, "cannot remove", reason, size);
            continue;
        }
        bool created = false;
        int fd = open_pid_file(&created);
        if (fd < 0) {
            // Created or replaced by another run since the look above.
            if (errno == EEXIST || errno == ELOOP)
                continue;
            return failed(who, created ? "cannot create" : "cannot open", reason, size);
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                int err = errno;
                close(fd);
                errno = err;
                return failed(who, "cannot lock", reason, size);
            }
            // Held.  A holder of a file that is no longer at the path is a run
            // that is about to find that out and open the path again.
            if (!same_file(fd, pid_path)) {
                close(fd);
                continue;
            }
            *holder = read_holder(fd);
            close(fd);
            return PID_LOCK_BUSY;
        }
        // The lock is on this inode; it counts only while the path still names
        // it: a run that ended may have removed it since the open.
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !same_file(fd, pid_path)) {
            close(fd);
            continue;
        }
        // Another name for the same file (a planted hard link): the file is not
        // ours to write.  A file of a user other than root and this one: its
        // owner may remove it while this run holds its lock, and the next run
        // would lock a new file beside it.  Holding its lock, nobody uses it;
        // drop its name and make a new file.
        bool foreign = st.st_uid != 0 && st.st_uid != geteuid();
        if (st.st_nlink != 1 || foreign) {
            plat_syslog(LOG_WARNING, "%s: Removing %s, %s", who, pid_path,
                        foreign ? "it belongs to another user" : "it has other names");
            int removed = unlink(pid_path);
            int err = errno;
            close(fd);
            errno = err;
            if (removed != 0)
                return failed(who, "cannot remove", reason, size);
            continue;
        }
        // Other users' runs must be able to take the lock after this one, so a
        // file of this user's that an older run left with another mode is made
        // writable for all (a new one is created so); who may create and
        // remove files there is the directory's business.
        if (st.st_uid == geteuid() && (st.st_mode & 07777) != 0666)
            fchmod(fd, 0666);
        if (ftruncate(fd, 0) == 0)
            dprintf(fd, "%i\n", static_cast<int>(getpid()));
        pid_fd = fd;
        pid_who = who;
        return PID_LOCK_TAKEN;
    }
    errno = EAGAIN;
    return failed(who, "keeps changing", reason, size);
}

void pid_lock_release(void) {
    if (pid_fd < 0)
        return;
    // Emptied first: where the directory does not let this user remove another
    // user's file, the file stays, and no stale pid is left in it.  Removing it
    // while the lock is held is safe, since a run checks after locking that the
    // path still names the file it locked.
    if (ftruncate(pid_fd, 0) != 0)
        plat_syslog(LOG_WARNING, "%s: Cannot empty %s: %m", pid_who, pid_path);
    if (same_file(pid_fd, pid_path))
        unlink(pid_path);
    close(pid_fd);
    pid_fd = -1;
}
