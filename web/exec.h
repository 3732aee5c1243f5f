// Running a program as a child with chosen standard descriptors, and placing a
// shell command's output in a page.
#pragma once

// Descriptors for the next child: the keep-as-is value (0, 1, 2) keeps the
// inherited stream, a negative one connects it to "/dev/null", any other is
// duplicated onto the stream.  Reset to -1 after every run.
struct ExecRedirect {
    int stdin_fd;
    int stdout_fd;
    int stderr_fd;
};
extern ExecRedirect exec_redirect;

// Program name plus at most this many arguments reach the child.
constexpr int EXEC_MAX_ARGS = 62;

// Runs program with the given arguments, ended by a null one, and waits for
// it.  Returns the wait status, or -1 when no child could be created.
int exec_command(const char *program, ...);
// Standard output of the next child; 0 and 2 are ignored.
void exec_set_stdout(int fd);
// Closes the redirection descriptors above 2 and sets all three to -1.
void exec_reset_redirect();

// Runs argv[0] (a path; argv ends with a null entry) with standard input and
// error on "/dev/null" and its standard output collected into `out` (the
// first size - 1 bytes, always terminated; the rest is read and dropped).  A
// child still running after timeout_ms of real time is killed.  Returns the
// wait status, EXEC_NOT_STARTED, or EXEC_TIMED_OUT.
constexpr int EXEC_NOT_STARTED = -1;
constexpr int EXEC_TIMED_OUT = -2;
int exec_capture(char *const argv[], char *out, unsigned long size, int timeout_ms);

// A full-width preformatted cell holding the standard output of `command`
// run by "/bin/sh -c", unchanged.
void html_command_output(const char *command);
// The same with "&", "<" and ">" of the output escaped for HTML.
void html_command_output_escaped(const char *command);
