// Preloaded into a program under test (LD_PRELOAD): the kernel's random pool
// never gets ready.  getrandom() would wait for it for ever; here it ends the
// program at once (exit status 86, and a line on stderr), so that a test sees
// a program that asks rather than hangs.
#include <cstdio>
#include <sys/types.h>
#include <unistd.h>

extern "C" ssize_t getrandom(void *, size_t, unsigned int) {
    std::fputs("getrandom: the random pool is not ready\n", stderr);
    _exit(86);
}
