#include "web/exec.h"

#include "web/html.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

ExecRedirect exec_redirect = {-1, -1, -1};

namespace {

// Gives the child's stream `target` its descriptor: kept, duplicated from
// `fd`, or "/dev/null" (closed when that could not be opened).
void setup_stream(int target, int fd, int null_fd) {
    if (fd == target)
        return;
    close(target);
    if (fd >= 0)
        dup2(fd, target);
    else if (null_fd >= 0)
        dup2(null_fd, target);
}

void close_from_3() {
    if (close_range(3, ~0U, 0) == 0)
        return;
    for (int fd = getdtablesize() - 1; fd >= 3; --fd)
        close(fd);
}

[[noreturn]] void exec_child(const char *program, va_list args) {
    int null_fd = open("/dev/null", O_RDWR);
    // Kept clear of the standard descriptors, which are about to be replaced.
    if (null_fd >= 0 && null_fd <= 2) {
        int moved = fcntl(null_fd, F_DUPFD, 3);
        null_fd = moved;
    }
    setup_stream(0, exec_redirect.stdin_fd, null_fd);
    setup_stream(1, exec_redirect.stdout_fd, null_fd);
    setup_stream(2, exec_redirect.stderr_fd, null_fd);
    close_from_3();

    char *argv[EXEC_MAX_ARGS + 2];
    int n = 0;
    argv[n++] = const_cast<char *>(program);
    while (n <= EXEC_MAX_ARGS) {
        char *arg = va_arg(args, char *);
        if (!arg)
            break;
        argv[n++] = arg;
    }
    argv[n] = nullptr;
    execvp(argv[0], argv);
    _exit(1);
}

int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

} // namespace

int exec_command(const char *program, ...) {
    va_list args;
    va_start(args, program);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(program, args);
    va_end(args);
    exec_reset_redirect();
    if (pid < 0)
        return -1;
    return wait_child(pid);
}

int exec_capture(char *const argv[], char *out, unsigned long size, int timeout_ms) {
    if (size > 0)
        out[0] = '\0';
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return EXEC_NOT_STARTED;
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd <= 2)
            null_fd = fcntl(null_fd, F_DUPFD, 3);
        setup_stream(0, -1, null_fd);
        setup_stream(1, fds[1], null_fd);
        setup_stream(2, -1, null_fd);
        close_from_3();
        execv(argv[0], argv);
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return EXEC_NOT_STARTED;
    }
    // The bound is on real time, whatever clock the programs themselves run
    // on: it only keeps a hung child from holding the page.
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    unsigned long kept = 0;
    bool timed_out = false;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long waited = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited >= timeout_ms) {
            timed_out = true;
            break;
        }
        struct pollfd p = {fds[0], POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(timeout_ms - waited));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buf[1024];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        unsigned long take = static_cast<unsigned long>(n);
        if (size > 0 && kept < size - 1) {
            if (take > size - 1 - kept)
                take = size - 1 - kept;
            std::memcpy(out + kept, buf, take);
            kept += take;
            out[kept] = '\0';
        }
    }
    close(fds[0]);
    if (timed_out)
        kill(pid, SIGKILL);
    int status = wait_child(pid);
    return timed_out ? EXEC_TIMED_OUT : status;
}

void exec_set_stdout(int fd) {
    if (fd == 0 || fd == 2)
        return;
    exec_redirect.stdout_fd = fd;
}

void exec_reset_redirect() {
    for (int *fd : {&exec_redirect.stdin_fd, &exec_redirect.stdout_fd, &exec_redirect.stderr_fd}) {
        if (*fd > 2)
            close(*fd);
        *fd = -1;
    }
}

void html_command_output(const char *command) {
    html_wide_row_begin(false);
    std::fflush(stdout);
    exec_set_stdout(1);
    exec_command("/bin/sh", "-c", command, static_cast<char *>(nullptr));
    std::fputs("</pre></td></tr>", stdout);
}

void html_command_output_escaped(const char *command) {
    html_wide_row_begin(false);
    std::fflush(stdout);
    // The output is collected in an unnamed file, so that a long one cannot
    // block the child while the page waits for it, and then escaped.
    if (FILE *out = std::tmpfile()) {
        int fd = dup(fileno(out));
        if (fd >= 0) {
            exec_set_stdout(fd);
            exec_command("/bin/sh", "-c", command, static_cast<char *>(nullptr));
            std::rewind(out);
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, out)) > 0)
                html_escaped(buf, n);
        }
        std::fclose(out);
    }
    std::fputs("</pre></td></tr>", stdout);
}
