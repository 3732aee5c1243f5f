// The row of the set page that tells how an update ended: from the
// updater's outcome record, or when it left none, from its exit status and
// what it printed.
#pragma once

#include "common/ports.h"
#include "web/updater_run.h"

// Prints the row: green only when the board now runs `file`.  On failure the
// window's title turns red as well.
void result_row(const PortInfo &port, const char *file, const UpdaterRun &run);
