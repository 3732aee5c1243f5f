// The three pages of the web interface and the start of the updater.
#pragma once

#include "web/html.h"

#include <cstddef>

constexpr const char *PAGE_TITLE = "TARVO FW update";
constexpr const char *UPDATER_PROGRAM = "/opt/tarvo_update/bin/tarvo_update";
// Names besides its address and host name under which the server takes
// changes, one per line.
constexpr const char *HOSTS_ALLOWED = "/opt/tarvo_update/etc/hosts_allowed";
// A larger allowed hosts file, or one that is not a regular file, is ignored.
constexpr unsigned long HOSTS_ALLOWED_MAX = 4096;

// index.cgi: a firmware selector and an update button per port with a TARVO
// board, and the "Apply" button.
void page_index();
// set.cgi: saves the choice ("Apply") or runs the updater ("Update PORTn")
// with its progress streamed into the page.
void page_set();
// slog.cgi: the last lines of the system log.
void page_syslog(const char *title, const MenuEntry *menu);

// Runs the updater on a port with a firmware file, its output going straight
// to ours.  Returns its exit status, or 1 when it did not start or did not
// exit normally.
int run_updater(int port, const char *file);

// Why a POST may not change anything, as HTML text in `why`: its Host does
// not name this server (its address, host name or an allowed name, with the
// port the request came to), or its Origin (or, without one, its Referer)
// names another host than the Host, or another scheme than the one the server
// says it was reached by.  Null when it may: it is addressed to this server
// and the page that sent it is ours, or it names none.
const char *request_refusal(char *why, std::size_t size);

// The program entry without the platform start: picks the page by the
// program's name.  Always returns 0.
int cgi_main(int argc, char **argv);
