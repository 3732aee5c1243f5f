// index.cgi, also installed as set.cgi and slog.cgi: the web pages of the
// firmware update.  The name the web server starts it under picks the page.
#include "common/platform.h"
#include "web/pages.h"

int main(int argc, char **argv) {
    if (plat_start() != 0)
        return 1;
    return cgi_main(argc, argv);
}
