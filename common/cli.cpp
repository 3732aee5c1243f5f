#include "common/cli.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#ifndef TARVO_VERSION
#error "the build passes the package's version as TARVO_VERSION"
#endif

bool cli_standard_option(int argc, char **argv, const ProgramUsage &usage) {
    if (argc != 2)
        return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::printf("usage: %s%s%s\n%s"
                    "       %s --help | --version\n",
                    usage.name, *usage.arguments ? " " : "", usage.arguments, usage.details,
                    usage.name);
    } else if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", usage.name, TARVO_VERSION);
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

void cli_usage_error(const ProgramUsage &usage, const char *what, ...) {
    std::fprintf(stderr, "%s: ", usage.name);
    va_list args;
    va_start(args, what);
    std::vfprintf(stderr, what, args);
    va_end(args);
    std::fprintf(stderr, "\nusage: %s%s%s (%s --help for more)\n", usage.name,
                 *usage.arguments ? " " : "", usage.arguments, usage.name);
}
