// The three pages of the web interface and the start of the updater.
#pragma once

#include "web/html.h"

#include <cstddef>

constexpr const char *PAGE_TITLE = "TARVO FW update";
constexpr const char *UPDATER_PROGRAM = "/opt/tarvo_update/bin/tarvo_update";

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

// Why a POST may not change anything, as HTML text in `why`: its Origin (or,
// without one, its Referer) names another host than the request's Host, or
// another scheme than the one the server says it was reached by.  Null when
// it may: the page that sent it is ours, or it names none.
const char *request_refusal(char *why, std::size_t size);

// The program entry without the platform start: picks the page by the
// program's name.  Always returns 0.
int cgi_main(int argc, char **argv);
