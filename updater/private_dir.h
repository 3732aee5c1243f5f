// The updater's private directories: "/var/tarvo_update" (the lock and the pid
// file) and "/opt/tarvo_update/state" (the records of updates in progress).
// They belong to root and to the web server's group, the group of
// "/opt/tarvo_update/etc", with mode 2770: root and the web pages' runs create
// files there, nobody else may even look in.  So whatever is in them was put
// there by a trusted run, and plain opens, writes and renames are safe.
#pragma once

#include <cstddef>

constexpr const char *PRIVATE_LOCK_DIR = "/var/tarvo_update";
constexpr const char *PRIVATE_STATE_DIR = "/opt/tarvo_update/state";
// Whose group the private directories get: the installation gives this
// directory to the web server's user and group.
constexpr const char *PRIVATE_GROUP_DIR = "/opt/tarvo_update/etc";
// Makes both directories as they must be (run as root; the boot script and
// the installation run it too).
constexpr const char *PRIVATE_DIRS_FIX = "/opt/tarvo_update/bin/tarvo_dirs";

// Makes the directory `fixed` when it is missing (mode 2770, the group of
// PRIVATE_GROUP_DIR) and checks that it is private: a directory with no
// access for others, of that group.  False with the reason, which says what
// to run, when it is not.
bool private_dir_ready(const char *fixed, char *reason, std::size_t size);
