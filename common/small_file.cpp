#include "common/small_file.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

long read_small_file(int fd, char *buffer, long capacity) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return SMALL_FILE_UNREADABLE;
    if (!S_ISREG(st.st_mode))
        return SMALL_FILE_NOT_REGULAR;
    if (st.st_size > capacity)
        return SMALL_FILE_TOO_LARGE;
    long got = 0;
    while (got <= capacity) {
        ssize_t n = read(fd, buffer + got, static_cast<std::size_t>(capacity + 1 - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return SMALL_FILE_UNREADABLE;
        if (n == 0)
            break;
        got += n;
    }
    if (got > capacity)
        return SMALL_FILE_TOO_LARGE;
    return got;
}
