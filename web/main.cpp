// index.cgi, also installed as set.cgi and slog.cgi: the web pages of the
// firmware update.  The name the web server starts it under picks the page.
#include "common/cli.h"
#include "common/platform.h"
#include "web/pages.h"

#include <cstdlib>

namespace {

constexpr ProgramUsage USAGE = {
    "index.cgi", "",
    "  the web pages of the firmware update, run by the web server as\n"
    "  index.cgi (the form), set.cgi (saves the choice, runs an update) and\n"
    "  slog.cgi (the system log); from a terminal it prints the form page\n"};

} // namespace

int main(int argc, char **argv) {
    // Arguments count only at a terminal: a web server may hand a query
    // string without "=" to a CGI program as its arguments.
    bool cgi = std::getenv("GATEWAY_INTERFACE") || std::getenv("REQUEST_METHOD");
    if (!cgi && argc > 1) {
        if (cli_standard_option(argc, argv, USAGE))
            return 0;
        cli_usage_error(USAGE, "takes no arguments");
        return 1;
    }
    if (plat_start() != 0)
        return 1;
    return cgi_main(argc, argv);
}
