// Preloaded into a program under test (LD_PRELOAD): the first time the program
// opens the file named by TARVO_TEST_SWAP_PATH, the file named by
// TARVO_TEST_SWAP_FROM is renamed over it right after the open, so the test
// sees what a program does with a file that is replaced while it has it open.
// Without the variables every open is left alone.
// The hooks define open and open64 both, under their own names.
#undef _FILE_OFFSET_BITS
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>

namespace {

bool swapped = false;

// After an open of path that succeeded.
void swap_if_named(const char *path) {
    const char *target = std::getenv("TARVO_TEST_SWAP_PATH");
    const char *from = std::getenv("TARVO_TEST_SWAP_FROM");
    if (swapped || !target || !from || !path || std::strcmp(path, target) != 0)
        return;
    swapped = true;
    std::rename(from, target);
}

template <typename Fn> Fn next(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int open_with(const char *name, const char *path, int flags, va_list args) {
    using Open = int (*)(const char *, int, ...);
    static Open real_open = next<Open>("open");
    static Open real_open64 = next<Open>("open64");
    mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    int fd = (std::strcmp(name, "open") == 0 ? real_open : real_open64)(path, flags, mode);
    if (fd >= 0)
        swap_if_named(path);
    return fd;
}

std::FILE *fopen_with(const char *name, const char *path, const char *mode) {
    using Fopen = std::FILE *(*)(const char *, const char *);
    std::FILE *f = next<Fopen>(name)(path, mode);
    if (f)
        swap_if_named(path);
    return f;
}

} // namespace

extern "C" int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = open_with("open", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = open_with("open64", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" std::FILE *fopen(const char *path, const char *mode) {
    return fopen_with("fopen", path, mode);
}

extern "C" std::FILE *fopen64(const char *path, const char *mode) {
    return fopen_with("fopen64", path, mode);
}
