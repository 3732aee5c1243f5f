// The three pages of the web interface: the form, the page that saves the
// choice or runs an update, and the system log; and the entry that picks one.
#pragma once

#include "web/html.h"

constexpr const char *PAGE_TITLE = "TARVO FW update";

// index.cgi: a firmware selector and an update button per port with a TARVO
// board, and the "Apply" button.
void page_index();
// set.cgi: saves the choice ("Apply") or runs the updater ("Update PORTn")
// with its progress streamed into the page.
void page_set();
// slog.cgi: the last lines of the system log.
void page_syslog(const char *title, const MenuEntry *menu);

// The program entry without the platform start: picks the page by the
// program's name.  Always returns 0.
int cgi_main(int argc, char **argv);
