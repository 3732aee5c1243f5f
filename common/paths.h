// Every fixed path of the installation, spelled once.  The programs know no
// configuration for them: the installation puts its files there, and the
// texts that name a path (usage lines, logs, pages) take it from here too.
// They are string literals so that such texts can be put together at compile
// time ("in " PATH_FIRMWARE_DIR).
//
// A path is opened through LocalPath, never as written here: the simulated
// build keeps its controller's files in a world of their own (plat_path).
#pragma once

#include "common/platform.h"

#include <climits>

// The installation.
#define PATH_INSTALL_DIR "/opt/tarvo_update"
#define PATH_BIN_DIR PATH_INSTALL_DIR "/bin"
#define PATH_UPDATER PATH_BIN_DIR "/tarvo_update"
#define PATH_INFO PATH_BIN_DIR "/tarvo_info"
// Makes the private directories as they must be (at install and at boot).
#define PATH_DIRS_FIX PATH_BIN_DIR "/tarvo_dirs"
// Firmware images, with the slash: a file's path is this and its name.
#define PATH_FIRMWARE_DIR PATH_INSTALL_DIR "/fw/"
// The owner's settings; its group is the web server's.
#define PATH_ETC_DIR PATH_INSTALL_DIR "/etc"
#define PATH_SETTINGS PATH_ETC_DIR "/settings"
#define PATH_HOSTS_ALLOWED PATH_ETC_DIR "/hosts_allowed"
// The trusted public keys.
#define PATH_KEY_DIR PATH_INSTALL_DIR "/keys"
// Private: the records of updates in progress ("PORT1", "PORT2") and the history.
#define PATH_STATE_DIR PATH_INSTALL_DIR "/state"
#define PATH_HISTORY PATH_STATE_DIR "/history"
// The one-time tokens of the web page's update forms.
#define PATH_FORM_TOKENS_DIR PATH_STATE_DIR "/forms"

// Private: the update lock and the pid file.
#define PATH_LOCK_DIR "/var/tarvo_update"
#define PATH_PID_FILE PATH_LOCK_DIR "/tarvo_update.pid"
#define PATH_LOCK_FILE PATH_LOCK_DIR "/tarvo_update.lock"

// A firmware image uploaded through the web page.
#define PATH_UPLOAD "/tmp/upload.bin"
// The system log as the log page shows it: the current file and the one before.
#define PATH_MESSAGES "/var/log/messages"
#define PATH_MESSAGES_OLD "/var/log/messages.1"

// The controller's devices: physical memory and the board type driver.
#define PATH_DEV_MEM "/dev/mem"
#define PATH_DEV_GPIO "/dev/gpio"

// A fixed path as this system keeps it, in `path`: the path itself on the
// controller, the path inside the world in the simulated build.
struct LocalPath {
    char path[PATH_MAX];

    explicit LocalPath(const char *fixed) { plat_path(fixed, path, sizeof path); }
};
