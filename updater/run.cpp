#include "updater/run.h"

#include "common/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool html_mode = false;
const char *line_suffix = TEXT_LINE_SUFFIX;

void elapsed_time(const struct timespec &start, const struct timespec &end, int *seconds,
                  double *micros) {
    long sec = static_cast<long>(end.tv_sec - start.tv_sec);
    long nsec = end.tv_nsec - start.tv_nsec;
    if (nsec < 0) {
        nsec += 1000000000L;
        sec -= 1;
    }
    *seconds = static_cast<int>(sec);
    *micros = static_cast<double>(nsec) / 1000.0;
}

void print_text(const char *text) {
    for (const char *p = text; *p; ++p) {
        if (html_mode && *p == '<')
            std::fputs("&lt;", stdout);
        else if (html_mode && *p == '>')
            std::fputs("&gt;", stdout);
        else if (html_mode && *p == '&')
            std::fputs("&amp;", stdout);
        else if (html_mode && *p == '"')
            std::fputs("&quot;", stdout);
        else
            std::putchar(*p);
    }
}

void print_failed(const char *reason) {
    // On the page the flashing's progress boxes stand at the end of their line,
    // on top of what follows them: the failure is drawn above them, on the
    // window's colour.
    if (html_mode)
        std::fputs("<span style=\"position: relative; background-color: #F4F4F4\">", stdout);
    std::fputs("failed: ", stdout);
    print_text(reason);
    if (html_mode)
        std::fputs("</span>", stdout);
    std::fputs(line_suffix, stdout);
    std::fflush(stdout);
}

void mem_open_error_text(int error, char *text, std::size_t size) {
    if (error == EACCES || error == EPERM)
        std::snprintf(text, size, "cannot open " PATH_DEV_MEM " (needs root or CAP_SYS_RAWIO)");
    else
        std::snprintf(text, size, "cannot open " PATH_DEV_MEM " (%s)", std::strerror(error));
}
