// Preloaded into a program under test (LD_PRELOAD) to stop it, or kill it, at
// the steps of taking the update lock.  The steps are counted: opening the
// lock file ("*.lock"), each lock that fcntl() takes (F_SETLK, F_SETLKW) and
// opening the pid file ("*.pid").
//
//   TARVO_TEST_LOCK_HOLD=DIR   before each lock that fcntl() takes, while DIR
//                              holds no file "go", leaves a file "held" there
//                              and waits for "go": the test decides when the
//                              program gets to lock.
//   TARVO_TEST_LOCK_KILL=N     kills the program (SIGKILL, as a power loss
//                              would) right after its step N.
//
// Without the variables the calls are left alone.
#undef _FILE_OFFSET_BITS
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int HOLD_LIMIT_MS = 20000; // a test that never says "go" fails, not hangs

int steps = 0;

void step_done() {
    const char *kill = std::getenv("TARVO_TEST_LOCK_KILL");
    if (kill && *kill && ++steps == std::atoi(kill))
        raise(SIGKILL);
}

bool ends_with(const char *path, const char *tail) {
    std::size_t n = std::strlen(path), t = std::strlen(tail);
    return path && n >= t && std::strcmp(path + n - t, tail) == 0;
}

void hold() {
    const char *dir = std::getenv("TARVO_TEST_LOCK_HOLD");
    if (!dir || !*dir)
        return;
    char go[1024], held[1024];
    std::snprintf(go, sizeof go, "%s/go", dir);
    std::snprintf(held, sizeof held, "%s/held", dir);
    if (access(go, F_OK) == 0)
        return;
    int mark = ::open(held, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (mark >= 0)
        close(mark);
    for (int waited = 0; waited < HOLD_LIMIT_MS && access(go, F_OK) != 0; ++waited)
        poll(nullptr, 0, 1);
}

template <typename Fn> Fn next(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int lock_call(const char *name, int fd, int cmd, void *arg) {
    using Fcntl = int (*)(int, int, ...);
    static Fcntl real_fcntl = next<Fcntl>("fcntl"), real_fcntl64 = next<Fcntl>("fcntl64");
    Fcntl real = std::strcmp(name, "fcntl64") == 0 && real_fcntl64 ? real_fcntl64 : real_fcntl;
    bool lock =
        (cmd == F_SETLK || cmd == F_SETLKW) && static_cast<struct flock *>(arg)->l_type != F_UNLCK;
    if (lock)
        hold();
    int result = real(fd, cmd, arg);
    if (lock && result == 0)
        step_done();
    return result;
}

int opened(const char *path, int fd) {
    if (fd >= 0 && path && (ends_with(path, ".lock") || ends_with(path, ".pid")))
        step_done();
    return fd;
}

} // namespace

extern "C" int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return lock_call("fcntl", fd, cmd, arg);
}

extern "C" int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return lock_call("fcntl64", fd, cmd, arg);
}

extern "C" int open(const char *path, int flags, ...) {
    using Open = int (*)(const char *, int, ...);
    static Open real = next<Open>("open");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    return opened(path, real(path, flags, mode));
}

extern "C" int open64(const char *path, int flags, ...) {
    using Open = int (*)(const char *, int, ...);
    static Open real = next<Open>("open64");
    va_list ap;
    va_start(ap, flags);
    mode_t mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    return opened(path, real(path, flags, mode));
}
