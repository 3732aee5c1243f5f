#include "updater/run.h"

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
