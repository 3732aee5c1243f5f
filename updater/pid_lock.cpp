#include "updater/pid_lock.h"

#include "common/paths.h"
#include "common/platform.h"
#include "updater/private_dir.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr off_t UPDATE_BYTE = 0;
constexpr off_t BOARD_BYTE = 1;
// Queries last well under a second each; an update waits this long for them.
constexpr unsigned QUERY_WAIT_S = 10;

char pid_path[PATH_MAX];
int lock_fd = -1;
bool lock_update = false;
const char *lock_who = "main";

// Locks one byte (F_RDLCK or F_WRLCK), waiting for it or not.  0 or -1 with errno.
int lock_byte(int fd, short type, off_t byte, bool wait) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    return fcntl(fd, wait ? F_SETLKW : F_SETLK, &fl);
}

// The pid of a process that holds a lock on the byte, 0 when none does.
int holder_of(int fd, off_t byte) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK)
        return 0;
    return fl.l_pid > 0 ? static_cast<int>(fl.l_pid) : 0;
}

void on_alarm(int) {}

// Waits for the board byte while queries hold it, QUERY_WAIT_S at most.
int wait_for_queries(int fd) {
    struct sigaction alarm_action = {}, old = {};
    alarm_action.sa_handler = on_alarm; // without SA_RESTART: the alarm ends the wait
    sigemptyset(&alarm_action.sa_mask);
    sigaction(SIGALRM, &alarm_action, &old);
    unsigned left = alarm(QUERY_WAIT_S);
    int rc;
    unsigned rest;
    // Another signal (SIGTERM, which the updater takes note of) only wakes it.
    while ((rc = lock_byte(fd, F_WRLCK, BOARD_BYTE, true)) != 0 && errno == EINTR &&
           (rest = alarm(0)) > 0)
        alarm(rest);
    int err = errno;
    alarm(left);
    sigaction(SIGALRM, &old, nullptr);
    errno = err;
    return rc;
}

int failed(const char *who, const char *what, const char *path, char *reason, unsigned size) {
    int err = errno;
    std::snprintf(reason, size, "%s %s: %s", what, path, std::strerror(err));
    plat_syslog(LOG_ERR, "%s: Cannot take the update lock, %s %s: %s", who, what, path,
                std::strerror(err));
    return PID_LOCK_FAILED;
}

int busy(int fd, int pid, int *holder) {
    close(fd);
    *holder = pid;
    return PID_LOCK_BUSY;
}

int take(bool update, const char *who, int *holder, char *reason, unsigned size) {
    *holder = 0;
    if (!private_dir_ready(PATH_LOCK_DIR, reason, size)) {
        plat_syslog(LOG_ERR, "%s: Cannot take the update lock: %s", who, reason);
        return PID_LOCK_FAILED;
    }
    const LocalPath lock_file(PATH_LOCK_FILE);
    const char *lock_path = lock_file.path;
    std::snprintf(pid_path, sizeof pid_path, "%s", LocalPath(PATH_PID_FILE).path);
    // Read and written by root's runs and the web server's, whatever the umask.
    mode_t mask = umask(0);
    int fd = open(lock_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0660);
    umask(mask);
    if (fd < 0)
        return failed(who, "cannot open", lock_path, reason, size);

    if (update) {
        // Held by another update, or let go just now: then it is tried again.
        for (int attempt = 0; lock_byte(fd, F_WRLCK, UPDATE_BYTE, false) != 0; ++attempt) {
            if (errno != EAGAIN && errno != EACCES) {
                failed(who, "cannot lock", lock_path, reason, size);
                close(fd);
                return PID_LOCK_FAILED;
            }
            int pid = holder_of(fd, UPDATE_BYTE);
            if (pid != 0 || attempt == 100)
                return busy(fd, pid, holder);
        }
        if (wait_for_queries(fd) != 0) {
            if (errno == EINTR)
                return busy(fd, holder_of(fd, BOARD_BYTE), holder);
            failed(who, "cannot lock", lock_path, reason, size);
            close(fd);
            return PID_LOCK_FAILED;
        }
        // Made anew: a killed run's may be another user's.
        unlink(pid_path);
        int pid = open(pid_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
        if (pid >= 0) {
            dprintf(pid, "%i\n", static_cast<int>(getpid()));
            close(pid);
        } else {
            plat_syslog(LOG_WARNING, "%s: Cannot write %s: %m", who, PATH_PID_FILE);
        }
    } else {
        // No query begins while an update runs or waits.
        if (int pid = holder_of(fd, UPDATE_BYTE))
            return busy(fd, pid, holder);
        if (lock_byte(fd, F_RDLCK, BOARD_BYTE, false) != 0) {
            if (errno != EAGAIN && errno != EACCES) {
                failed(who, "cannot lock", lock_path, reason, size);
                close(fd);
                return PID_LOCK_FAILED;
            }
            return busy(fd, holder_of(fd, BOARD_BYTE), holder);
        }
        // An update that came meanwhile goes first.
        if (int pid = holder_of(fd, UPDATE_BYTE))
            return busy(fd, pid, holder);
    }
    lock_fd = fd;
    lock_update = update;
    lock_who = who;
    return PID_LOCK_TAKEN;
}

} // namespace

int pid_lock_take(const char *who, int *holder, char *reason, unsigned size) {
    return take(true, who, holder, reason, size);
}

int pid_lock_take_query(const char *who, int *holder, char *reason, unsigned size) {
    return take(false, who, holder, reason, size);
}

void pid_lock_release(void) {
    if (lock_fd < 0)
        return;
    // Removed while the lock is held: the next update's file is never taken.
    if (lock_update && unlink(pid_path) != 0 && errno != ENOENT)
        plat_syslog(LOG_WARNING, "%s: Cannot remove %s: %m", lock_who, PATH_PID_FILE);
    close(lock_fd);
    lock_fd = -1;
}
