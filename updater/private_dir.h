// The updater's private directories: PATH_LOCK_DIR (the lock and the pid
// file) and PATH_STATE_DIR (the records of updates in progress).
// They belong to root and to the web server's group, the group of
// PATH_ETC_DIR, with mode 2770: root and the web pages' runs create
// files there, nobody else may even look in.  So whatever is in them was put
// there by a trusted run, and plain opens, writes and renames are safe.
#pragma once

#include "common/paths.h"

#include <cstddef>

// Makes the directory `fixed` when it is missing (mode 2770, the group of
// PATH_ETC_DIR: the installation gives it to the web server's user and group) and checks that it is
// private: a directory with no access for others, of that group.  False with the reason, which says
// what to run, when it is not.
bool private_dir_ready(const char *fixed, char *reason, std::size_t size);
