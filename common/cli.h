// What every program of the package does with its command line alike: it
// answers --help and --version, and says what is wrong with an argument,
// followed by its usage line, on standard error.
#pragma once

// A program's usage: its name, its arguments after the name, and the lines
// that explain them (each ending in "\n").
struct ProgramUsage {
    const char *name;
    const char *arguments;
    const char *details;
};

// When the only argument is "--help" or "--version": prints the usage with its
// details, or the name and the package's version, on standard output and
// returns true; the program then ends with status 0.  False otherwise.
bool cli_standard_option(int argc, char **argv, const ProgramUsage &usage);

// A wrong argument: "NAME: WHAT" and the usage line on standard error.
__attribute__((format(printf, 2, 3))) void cli_usage_error(const ProgramUsage &usage,
                                                           const char *what, ...);
