// Preloaded into a program under test (LD_PRELOAD): while the directory named
// by TARVO_TEST_FLOCK_HOLD holds no file "go", flock() leaves a file "held"
// there and waits for "go" before it locks, so the test decides when a
// process that has opened a file gets to lock it.  Without the variable, or
// once "go" exists, flock() locks at once.  With TARVO_TEST_FLOCK_KILL set,
// a flock() on a file whose name ends in ".pid" kills the process instead, as
// a power loss or SIGKILL right after the file was opened would.  With
// TARVO_TEST_REPLANT set, a FIFO is made at that path right after each time
// the program removes it: another user who makes one again and again, winning
// every race.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int HOLD_LIMIT_MS = 20000; // a test that never says "go" fails, not hangs

bool exists(const char *path) {
    return access(path, F_OK) == 0;
}

} // namespace

extern "C" int flock(int fd, int operation) {
    using Flock = int (*)(int, int);
    static Flock real = reinterpret_cast<Flock>(dlsym(RTLD_NEXT, "flock"));
    const char *kill = std::getenv("TARVO_TEST_FLOCK_KILL");
    if (kill && *kill) {
        char link[64], name[1024];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, name, sizeof name - 1);
        if (n > 4 && std::strncmp(name + n - 4, ".pid", 4) == 0)
            raise(SIGKILL);
    }
    const char *dir = std::getenv("TARVO_TEST_FLOCK_HOLD");
    if (dir && *dir) {
        char go[1024], held[1024];
        std::snprintf(go, sizeof go, "%s/go", dir);
        std::snprintf(held, sizeof held, "%s/held", dir);
        if (!exists(go)) {
            int mark = open(held, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (mark >= 0)
                close(mark);
            for (int waited = 0; waited < HOLD_LIMIT_MS && !exists(go); ++waited)
                poll(nullptr, 0, 1);
        }
    }
    return real(fd, operation);
}

extern "C" int unlink(const char *path) {
    using Unlink = int (*)(const char *);
    static Unlink real = reinterpret_cast<Unlink>(dlsym(RTLD_NEXT, "unlink"));
    int result = real(path);
    const char *again = std::getenv("TARVO_TEST_REPLANT");
    if (result == 0 && again && std::strcmp(again, path) == 0) {
        int err = errno;
        mkfifo(path, 0666);
        errno = err;
    }
    return result;
}
