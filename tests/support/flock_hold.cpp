// Preloaded into a program under test (LD_PRELOAD): while the directory named
// by TARVO_TEST_FLOCK_HOLD holds no file "go", flock() leaves a file "held"
// there and waits for "go" before it locks, so the test decides when a
// process that has opened a file gets to lock it.  Without the variable, or
// once "go" exists, flock() locks at once.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
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
