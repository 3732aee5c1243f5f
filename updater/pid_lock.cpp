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
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *PID_FILE = "/var/tarvo_update/tarvo_update.pid";
constexpr const char *PID_DIR = "/var/tarvo_update";
// What a query writes after its pid, so that an update can tell it from
// another update ("%i\n").
constexpr const char *QUERY_MARK = " query";

// How often the file is opened anew when it was replaced or removed between the
// open and the lock (a run that ends removes it).
constexpr int OPEN_ATTEMPTS = 16;
// A new holder writes its pid right after it takes the lock; a reader that finds
// no living process in the file looks again this often, 1 ms apart.
constexpr int HOLDER_READS = 20;
// An update waits for queries (each lasts well under a second) this long in
// all, looking every tick at who holds the lock.
constexpr int QUERY_WAIT_MS = 10000;
constexpr int QUERY_TICK_MS = 20;

char pid_path[512];
int pid_fd = -1;
bool pid_query = false;
const char *pid_who = "main";

enum Holder { HOLDER_UPDATE, HOLDER_QUERY };

bool same_file(int fd, const char *path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool process_alive(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// The living holder written in the file (0 when there is none yet) and what
// it is.  Only a whole line counts: the holder may be writing it.
int holder_in(int fd, Holder *kind) {
    char buf[32] = {0};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    char *end = nullptr;
    long pid = n > 0 ? std::strtol(buf, &end, 10) : 0;
    if (n <= 0 || !std::strchr(buf, '\n') || !process_alive(static_cast<int>(pid)))
        return 0;
    *kind = std::strcmp(end, " query\n") == 0 ? HOLDER_QUERY : HOLDER_UPDATE;
    return static_cast<int>(pid);
}

int read_holder(int fd, Holder *kind) {
    *kind = HOLDER_UPDATE;
    for (int i = 0; i < HOLDER_READS; ++i) {
        if (int pid = holder_in(fd, kind))
            return pid;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}

void on_tick(int) {}

enum Waited { WAIT_TAKEN, WAIT_MOVED, WAIT_BUSY };

// Waits, blocked on the lock of `fd`, while a query holds it, for at most
// *budget ticks (used up as they pass).  WAIT_TAKEN with the lock taken;
// WAIT_MOVED when the path no longer names the file; WAIT_BUSY when an update
// holds it or the time is up.
Waited wait_for_query(int fd, int *budget) {
    struct sigaction tick = {}, old = {};
    tick.sa_handler = on_tick; // without SA_RESTART: each tick ends the wait for a look
    sigemptyset(&tick.sa_mask);
    sigaction(SIGALRM, &tick, &old);
    struct itimerval every = {{0, QUERY_TICK_MS * 1000}, {0, QUERY_TICK_MS * 1000}}, off = {};
    setitimer(ITIMER_REAL, &every, nullptr);
    Waited result = WAIT_BUSY;
    while (*budget > 0) {
        if (flock(fd, LOCK_EX) == 0) {
            result = WAIT_TAKEN;
            break;
        }
        if (errno != EINTR)
            break;
        --*budget;
        Holder kind = HOLDER_UPDATE;
        if (!same_file(fd, pid_path)) {
            result = WAIT_MOVED;
            break;
        }
        if (holder_in(fd, &kind) && kind != HOLDER_QUERY)
            break;
    }
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    return result;
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

// Takes something that is not a plain file away from the pid file's path, on
// a file system that cannot swap two names: its name is removed, whatever it
// points at is left alone.  A directory is removed when empty and otherwise
// renamed aside, over an empty directory of an unpredictable name made for
// it, which in the sticky pid directory root may do with anyone's.  False
// (errno set) when this user may not.
bool clear_pid_path(const char *who) {
    if (unlink(pid_path) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    if (rmdir(pid_path) == 0 || errno == ENOENT)
        return true;
    if (errno != ENOTEMPTY && errno != EEXIST)
        return false;
    char aside[sizeof pid_path + 16];
    std::snprintf(aside, sizeof aside, "%s.aside-XXXXXX", pid_path);
    if (!mkdtemp(aside))
        return false;
    if (rename(pid_path, aside) != 0) {
        int err = errno;
        rmdir(aside);
        errno = err;
        return err == ENOENT || err == ENOTDIR;
    }
    plat_syslog(LOG_WARNING, "%s: Moved the directory %s aside to %s", who, pid_path, aside);
    return true;
}

// Whether the regular file at `path` is locked by another process than this
// one through `ours`.
bool held_by_another(const char *path, int ours) {
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    struct stat mine;
    if (ours >= 0 && fstat(ours, &mine) == 0 && mine.st_dev == st.st_dev &&
        mine.st_ino == st.st_ino)
        return false;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

enum Replaced { REPLACED = 0, REPLACE_AGAIN = 1, REPLACE_FAILED = -1 };

// Puts a new pid file in place of what is at the path (`why` it is not a pid
// file to use; `held` its descriptor when this run holds its lock, or -1).  The
// new file is locked before anyone can see it and takes the path's place in one
// step, swapping names with what was there, so nothing planted there again and
// again gets in between; what was swapped out is then removed, or left at the
// new file's unpredictable name (a full directory).  Should a run have locked
// a pid file there meanwhile, the names are swapped back.  REPLACED leaves the
// new file's descriptor in *fd.
int replace_pid_file(const char *who, const char *why, int held, int *fd) {
    char tmp[sizeof pid_path + 16];
    std::snprintf(tmp, sizeof tmp, "%s.new-XXXXXX", pid_path);
    int mine = mkostemp(tmp, O_CLOEXEC);
    if (mine < 0)
        return REPLACE_FAILED;
    fchmod(mine, 0666);
    flock(mine, LOCK_EX | LOCK_NB);
    int result = REPLACED;
    if (renameat2(AT_FDCWD, tmp, AT_FDCWD, pid_path, RENAME_EXCHANGE) == 0) {
        if (held_by_another(tmp, held)) {
            // A run's own pid file: it is back at the path before this run
            // lets go of the new one.
            if (renameat2(AT_FDCWD, tmp, AT_FDCWD, pid_path, RENAME_EXCHANGE) == 0)
                result = REPLACE_AGAIN;
        } else {
            plat_syslog(LOG_WARNING, "%s: Replaced %s, %s", who, pid_path, why);
            if (unlink(tmp) != 0 && rmdir(tmp) != 0 && errno != ENOENT)
                plat_syslog(LOG_WARNING, "%s: Moved what was at %s aside to %s", who, pid_path,
                            tmp);
        }
    } else if (errno == ENOENT) {
        // Gone meanwhile: the new file goes there unless something else came.
        result = renameat2(AT_FDCWD, tmp, AT_FDCWD, pid_path, RENAME_NOREPLACE) == 0
                     ? REPLACED
                     : REPLACE_AGAIN;
    } else if (errno == EINVAL || errno == ENOSYS) {
        plat_syslog(LOG_WARNING, "%s: Removing %s, %s", who, pid_path, why);
        result = clear_pid_path(who) ? REPLACE_AGAIN : REPLACE_FAILED;
    } else {
        result = REPLACE_FAILED;
    }
    int err = errno;
    if (result != REPLACED) {
        unlink(tmp);
        close(mine);
    } else {
        *fd = mine;
    }
    if (held >= 0)
        close(held);
    errno = err;
    return result;
}

int failed(const char *who, const char *what, char *reason, unsigned size) {
    int err = errno;
    std::snprintf(reason, size, "%s %s: %s", what, pid_path, std::strerror(err));
    errno = err;
    plat_syslog(LOG_ERR, "%s: Cannot take the update lock, %s %s: %m", who, what, pid_path);
    return PID_LOCK_FAILED;
}

// Takes the lock as an update or as a query.
int take(bool query, const char *who, int *holder, char *reason, unsigned size) {
    *holder = 0;
    char dir[512];
    plat_path(PID_DIR, dir, sizeof dir);
    if (mkdir(dir, 0755) != 0 && errno != EEXIST)
        plat_syslog(LOG_WARNING, "%s: Cannot create %s: %m", who, dir);
    plat_path(PID_FILE, pid_path, sizeof pid_path);

    int budget = QUERY_WAIT_MS / QUERY_TICK_MS;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        // Anything but a plain file at the path (a planted link, FIFO, socket,
        // device or directory) is no pid file of ours: it is replaced, never
        // written.
        const char *why = nullptr;
        int held = -1;
        bool created = false;
        int fd = open_pid_file(&created);
        struct stat st;
        if (fd < 0) {
            // Created by another run since the first open.
            if (errno == EEXIST)
                continue;
            if (errno != ELOOP && errno != ENXIO && errno != EISDIR && errno != ENODEV &&
                errno != EOPNOTSUPP)
                return failed(who, created ? "cannot create" : "cannot open", reason, size);
            why = "not a plain file";
        } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            fd = -1;
            why = "not a plain file";
        } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
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
            // A query holds the lock for a moment; an update waits for it, a
            // query never waits.
            Holder kind;
            *holder = read_holder(fd, &kind);
            if (query || kind != HOLDER_QUERY) {
                close(fd);
                return PID_LOCK_BUSY;
            }
            if (wait_for_query(fd, &budget) == WAIT_BUSY) {
                *holder = read_holder(fd, &kind);
                close(fd);
                return PID_LOCK_BUSY;
            }
            *holder = 0;
            // A query that ended removed the file: the path is opened anew,
            // which the wait pays for, not the attempts.
            if (!same_file(fd, pid_path)) {
                close(fd);
                --attempt;
                --budget;
                continue;
            }
        }
        if (!why) {
            // The lock is on this inode; it counts only while the path still
            // names it: a run that ended may have removed it since the open.
            if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !same_file(fd, pid_path)) {
                close(fd);
                continue;
            }
            // Another name for the same file (a planted hard link): the file is
            // not ours to write.  A file of a user other than root and this
            // one: its owner may remove it while this run holds its lock, and
            // the next run would lock a new file beside it.  Holding its lock,
            // nobody uses it; it is replaced.
            bool foreign = st.st_uid != 0 && st.st_uid != geteuid();
            if (st.st_nlink != 1 || foreign) {
                why = foreign ? "it belongs to another user" : "it has other names";
                held = fd;
            }
        }
        if (why) {
            int r = replace_pid_file(who, why, held, &fd);
            if (r == REPLACE_FAILED)
                return failed(who, "cannot remove", reason, size);
            if (r == REPLACE_AGAIN)
                continue;
        }
        // Other users' runs must be able to take the lock after this one, so a
        // file of this user's that an older run left with another mode is made
        // writable for all (a new one is created so); who may create and
        // remove files there is the directory's business.
        if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 07777) != 0666)
            fchmod(fd, 0666);
        if (ftruncate(fd, 0) == 0)
            dprintf(fd, "%i%s\n", static_cast<int>(getpid()), query ? QUERY_MARK : "");
        pid_fd = fd;
        pid_query = query;
        pid_who = who;
        return PID_LOCK_TAKEN;
    }
    errno = EAGAIN;
    return failed(who, "keeps changing", reason, size);
}

} // namespace

int pid_lock_take(const char *who, int *holder, char *reason, unsigned size) {
    return take(false, who, holder, reason, size);
}

int pid_lock_take_query(const char *who, int *holder, char *reason, unsigned size) {
    return take(true, who, holder, reason, size);
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
